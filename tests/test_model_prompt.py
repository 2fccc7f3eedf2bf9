"""evaluate(prompt_tokens=P), the prompt-then-continuation protocol, and the
strategies that choose by score on a model: the prompt fills every cache
with full attention, each run then goes on under its own strategy (and is
compressed first where its choice says), and only the continuation is
measured. The caches at the end of the prompt are checked against the
model of tests/score_model.py, and the command line takes it all."""

import json
from pathlib import Path

import numpy as np
import pytest

from layer_helpers import bits
from model_files import WORDS, tiny_model, write_model
from reference import F32
from score_model import Layer, compress_flags

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale import LayerCache  # noqa: E402
from marrowvale.__main__ import main  # noqa: E402
from marrowvale._selection_choice import Selection, split_selection  # noqa: E402
from marrowvale._strategy_choice import check_strategy, parse_choice_text, parse_strategy  # noqa: E402
from marrowvale.models import evaluate, load_model  # noqa: E402
from marrowvale.models._layerwise import new_caches  # noqa: E402
from marrowvale.models._prompt import PromptPass, runs_after_prompt  # noqa: E402

TEXT = " ".join(WORDS + WORDS[:11])  # 51 tokens
PROMPT = 30


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_model(tmp_path_factory.mktemp("prompt") / "tiny", tiny_model(seed=5))


def test_only_the_continuation_is_measured_and_what_drops_nothing_is_the_full_cache(folder: Path) -> None:
    same = [{"strategy": "h2o", "budget": 60, "recent": 2}, {"strategy": "sliding", "window_size": 60},
            {"strategy": "full", "compress": 4, "keep": 40}]
    result = evaluate(folder, TEXT, same, prompt_tokens=PROMPT)
    assert (result.prompt_tokens, result.predictions) == (PROMPT, 50 - PROMPT)
    for run in result.results[1:]:
        assert run.kl_max == 0.0 and run.perplexity == result.results[0].perplexity
        assert len(run.kl_by_position) == 50 - PROMPT
    assert result.results[3].params == {"compress": 4, "keep": 40, "pool": 7}
    assert result.results[3].label == "full(compress=4, keep=40)"
    # What drops entries differs only after the prompt.
    small = evaluate(folder, TEXT, [{"strategy": "tova", "budget": 6, "recent": 1},
                                    {"strategy": "sliding", "window_size": 6, "compress": 3}], prompt_tokens=PROMPT)
    assert all(run.kl_mean > 0 and run.entries_per_head == 6 for run in small.results[1:])
    with pytest.raises(ValueError, match="prompt_tokens must be from 1 to 49"):
        evaluate(folder, TEXT, [], prompt_tokens=50)
    with pytest.raises(ValueError, match="compress selects at the end of a prompt"):
        evaluate(folder, TEXT, [{"strategy": "full", "compress": 2, "keep": 4}])
    with pytest.raises(ValueError, match="compress=8 needs at least as many prompt tokens, not 5"):
        evaluate(folder, TEXT, [{"strategy": "sliding", "window_size": 9, "compress": 8}], prompt_tokens=5)


def test_the_caches_at_the_end_of_the_prompt(folder: Path) -> None:
    # The prompt's keys, values and queries through the observer, as the
    # full run's pass hands them over, a few tokens at a time.
    model = load_model(folder)
    full = new_caches(model, "full", {})
    rng = np.random.default_rng(9)
    heads, d = 2, 8
    q = rng.standard_normal((PROMPT, 4, d)).astype(F32)
    k, v = rng.standard_normal((2, PROMPT, heads, d)).astype(F32)
    observer = PromptPass(full, ["h2o", "sliding", "knorm", "h2o"], 5)
    for start in range(0, PROMPT, 7):
        rows = slice(start, start + 7)
        for layer, cache in enumerate(full.caches):
            for t in range(start, min(start + 7, PROMPT)):
                cache.append(k[t], v[t])
                cache.attend(q[t])
            observer(0, layer, start, q[rows], k[rows], v[rows], q[rows])
    plans = [("h2o", {"budget": 12, "recent": 3}, None), ("sliding", {"window_size": 10}, None),
             ("h2o", {"budget": 12, "recent": 3}, Selection(5, 9, 3)), ("knorm", {"budget": 8, "recent": 0}, None)]
    h2o, sliding, compressed, knorm = runs_after_prompt(full, observer, plans)
    model_h2o = Layer(heads, "h2o", budget=10**9, recent=0)
    for t in range(PROMPT):
        model_h2o.append(k[t], v[t])
        model_h2o.attend(q[t])
    for layer in range(len(full.caches)):
        # Every entry of the prompt, with the scores of its queries...
        assert h2o.caches[layer].lengths() == sliding.caches[layer].lengths() == [PROMPT, PROMPT]
        for h in range(heads):
            assert np.array_equal(bits(h2o.caches[layer].scores(h)), bits(np.array(model_h2o.heads[h].scores, F32)))
            # ...and, compressed, the entries its last five queries choose.
            flags = compress_flags(k[:, h], q[-5:, 2 * h : 2 * h + 2].transpose(1, 0, 2).reshape(-1, d), 5, 9, 3)
            assert compressed.caches[layer].spans(h)[:, 0].tolist() == np.flatnonzero(flags).tolist()
    # The strategy acts from the next append on.
    for run, held in ((h2o, 12), (sliding, 10), (compressed, 10), (knorm, 8)):
        run.caches[0].append(k[0], v[0])
        assert run.caches[0].lengths() == [held, held]
    assert sliding.caches[0].spans(0)[:, 0].tolist() == list(range(PROMPT - 9, PROMPT + 1))


def test_strategy_choices_take_budgets_and_selections() -> None:
    choice = parse_choice_text("h2o:budget=12.5%,recent=8,compress=16,pool=5")
    assert choice == {"strategy": "h2o", "budget": "12.5%", "recent": 8, "compress": 16, "pool": 5}
    check_strategy(choice, layer=True)
    _, name, params = parse_strategy({"strategy": "h2o", "budget": 128, "recent": 8, "compress": 16, "pool": 5})
    assert split_selection(name, params) == ({"budget": 128, "recent": 8}, Selection(16, 128, 5))
    assert split_selection("static", {"static_k": 4, "recent_k": 60, "compress": 8}) == \
        ({"static_k": 4, "recent_k": 60}, Selection(8, 64))
    for name, params, kind, message in [
        ("full", {"compress": 8}, ValueError, "strategy 'full' has no size: give keep=K"),
        ("sliding", {"window_size": 4, "compress": 8}, ValueError, r"keep \(4\) must be at least compress \(8\)"),
        ("sliding", {"compress": 8, "pool": 4}, ValueError, "pool must be odd and at least 1, not 4"),
        ("sliding", {"compress": 0}, ValueError, "compress must be at least 1"),
        ("sliding", {"keep": 8}, ValueError, "keep needs compress=W"),
        ("sliding", {"compress": 2.5}, TypeError, "compress must be a whole number"),
    ]:
        with pytest.raises(kind, match=message):
            split_selection(name, params)
    # compare's single-head caches take neither.
    with pytest.raises(ValueError, match="unknown strategy 'h2o'. choose: full, sliding, static, merge, hybrid$"):
        check_strategy("h2o")
    with pytest.raises(ValueError, match="compress is for eval --prompt-tokens"):
        check_strategy({"strategy": "sliding", "compress": 4})
    with pytest.raises(ValueError, match=r"^argument 'recent': must be below budget \(8\), got 8$"):
        check_strategy({"strategy": "knorm", "budget": 8, "recent": 8}, layer=True)
    with pytest.raises(ValueError, match="^unknown strategy 'H2O'. choose: full, sliding, static, merge, hybrid, "
                                         "h2o, tova, knorm$"):
        check_strategy("H2O", layer=True)


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    try:
        status = main(argv)
    except SystemExit as exit_:
        status = int(exit_.code or 0)
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_eval_runs_the_protocol_from_the_command_line(folder: Path, tmp_path: Path,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    out_json = tmp_path / "out.json"
    status, out, err = run(["eval", "--model", str(folder), "--prompt", TEXT, "--prompt-tokens", "30",
                            "-s", "h2o:budget=8,recent=2", "-s", "knorm:budget=25%,recent=2,compress=4",
                            "--json", str(out_json)], capsys)
    assert status == 0, err
    lines = out.splitlines()
    assert lines[1] == "text --prompt: 51 tokens, the first 30 of each a prompt with full attention, " \
                       "20 predictions on the continuation"
    assert [line.split()[1] for line in lines[4:7]] == ["full", "h2o(budget=8,", "knorm(budget=13,"]
    document = json.loads(out_json.read_text())
    assert (document["prompt_tokens"], document["predictions"]) == (30, 20)
    assert document["results"][2]["params"] == {"budget": 13, "recent": 2, "compress": 4, "keep": 13, "pool": 7}
    for argv, message in [
        (["-s", "h2o:budget=4,recent=4"], "argument 'recent': must be below budget (4), got 4"),
        (["-s", "tova:window=3"], "unknown parameter 'window'"),
        (["--prompt-tokens", "0"], "--prompt-tokens: must be at least 1"),
        (["--prompt-tokens", "50"], "prompt_tokens must be from 1 to 49"),
        (["-s", "sliding:window_size=8,compress=4"], "compress selects at the end of a prompt"),
    ]:
        status, out, err = run(["eval", "--model", str(folder), "--prompt", TEXT, *argv], capsys)
        assert status == 2 and message in err.splitlines()[-1], err
    status, _, err = run(["compare", "--tokens", "16", "-s", "h2o"], capsys)
    assert status == 2 and "unknown strategy 'h2o'. choose: full, sliding, static, merge, hybrid" in err


def test_a_cache_made_as_the_protocol_makes_it_attends_as_a_full_cache_of_its_entries() -> None:
    # The continuation's first step on a compressed cache is plain attention
    # over the entries compress kept.
    rng = np.random.default_rng(3)
    keys, values = rng.standard_normal((2, 20, 1, 8)).astype(F32)
    unbounded = LayerCache(1, 8, 8, "tova", budget=2**64 - 1, recent=0)
    unbounded.extend(keys, values)
    cache = unbounded.with_strategy("tova", budget=6, recent=1)
    cache.compress(rng.standard_normal((1, 3, 8)).astype(F32), 6)
    full = LayerCache(1, 8, 8)
    full.extend(cache.keys(0)[:, None], cache.values(0)[:, None])
    q = rng.standard_normal((2, 8)).astype(F32)
    assert np.array_equal(bits(cache.attend(q)), bits(full.attend(q)))
