"""Storage tiers in evaluations: ``dtype=`` in a strategy choice and
``eval --kv-dtype`` store a run's keys and values in that tier, so that
quantisation stacks with a strategy's eviction; the full cache every run is
measured against stays float32."""

from pathlib import Path

import pytest

from model_files import WORDS, tiny_model, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale._strategy_choice import check_strategy, parse_choice_text, parse_strategy, with_dtype  # noqa: E402
from marrowvale.models import evaluate  # noqa: E402
from marrowvale.models._statistics import kv_storage_bytes  # noqa: E402
from test_model_eval import assert_usage_error, run  # noqa: E402

TEXT = " ".join(WORDS)


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_model(tmp_path_factory.mktemp("tiers") / "tiny", tiny_model(seed=5))


def test_a_choice_names_its_dtype():
    choice = parse_choice_text("static:static_k=4,recent_k=8,dtype=int8")
    assert parse_strategy(choice) == ("static(static_k=4, recent_k=8, dtype=int8)", "static",
                                    {"static_k": 4, "recent_k": 8, "dtype": "int8"})
    with pytest.raises(ValueError, match="dtype must be one of float32, bfloat16, int8, not 'int4'"):
        parse_strategy({"strategy": "full", "dtype": "int4"})
    check_strategy(choice, layer=True)
    with pytest.raises(ValueError, match="dtype is for eval's LayerCache"):
        check_strategy(choice)
    # --kv-dtype gives a dtype to the choices without one.
    assert with_dtype("tova", "bfloat16") == {"strategy": "tova", "dtype": "bfloat16"}
    assert with_dtype(choice, "bfloat16") is choice


def test_the_bytes_held_follow_the_tier():
    assert kv_storage_bytes(3, 64, 64) == 3 * 2 * 256
    assert kv_storage_bytes(3, 64, 64, "bfloat16") == 3 * 2 * 128
    assert kv_storage_bytes(3, 64, 64, "int8") == 3 * 2 * (8 + 64)
    assert kv_storage_bytes(1, 45, 45, "int8") == 2 * 56  # two scales and 45 bytes, padded to whole floats


def test_a_quantised_run_stacks_on_a_strategy_and_is_measured_against_float32(folder: Path):
    window = {"strategy": "sliding", "window_size": 7}
    result = evaluate(folder, TEXT, [window, {**window, "dtype": "int8"}, {"strategy": "full", "dtype": "bfloat16"}])
    full, plain, stacked, rounded = result.results
    assert stacked.label == "sliding(window_size=7, dtype=int8)" and stacked.params["dtype"] == "int8"
    assert stacked.entries_held == plain.entries_held
    assert stacked.kv_bytes_held < plain.kv_bytes_held / 2
    # Rounding costs a little, never nothing, and much less than eviction.
    assert 0 < rounded.kl_mean < plain.kl_mean and stacked.kl_mean != plain.kl_mean
    assert full.kl_mean == 0


def test_kv_dtype_on_the_command_line(folder: Path, capsys: pytest.CaptureFixture[str]):
    status, out, _ = run(["eval", "--model", str(folder), "--prompt", TEXT, "-s", "full", "-s",
                          "sliding:window_size=7,dtype=float32", "--kv-dtype", "int8"], capsys)
    assert status == 0
    labels = [line.split()[1] for line in out.splitlines()[4:7]]
    assert labels == ["full", "full(dtype=int8)", "sliding(window_size=7,"]
    assert_usage_error(["eval", "--model", str(folder), "--prompt", TEXT, "--kv-dtype", "int4"], capsys,
                       "argument --kv-dtype: invalid choice: 'int4'")
    assert_usage_error(["eval", "--model", str(folder), "--prompt", TEXT, "--kv-dtype", "int8",
                        "--prompt-tokens", "4"], capsys, "dtype is not yet available with a prompt")
