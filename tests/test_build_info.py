"""What an installation says about itself: marrowvale._layer_cache's
kernel_set() and build_settings(), and marrowvale.build_info() over them."""

import json
import os
import subprocess
import sys

import pytest

import marrowvale
from marrowvale import _layer_cache
from kernel_probe import probe

SETS = ["scalar", "sse2", "avx2", "avx512"]
# The sets this processor runs, narrowest first, as the kernel probe sees
# them: an oracle apart from the module under test.
SUPPORTED = [name for name, _lanes, supported in probe.built() if supported]

REPORT = "import marrowvale, json; print(json.dumps([marrowvale._layer_cache.kernel_set(), marrowvale.build_info()]))"


def report(kernel_set=None):
    """kernel_set() and build_info() in a fresh interpreter, MARROWVALE_KERNEL
    set to `kernel_set` or unset."""
    env = {key: value for key, value in os.environ.items() if key != "MARROWVALE_KERNEL"}
    if kernel_set is not None:
        env["MARROWVALE_KERNEL"] = kernel_set
    done = subprocess.run([sys.executable, "-c", REPORT], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("kernel_set", SETS)
def test_kernel_set_is_the_set_marrowvale_kernel_forces(kernel_set):
    if kernel_set not in SUPPORTED:
        pytest.skip(f"kernel set {kernel_set!r} is not built for or not supported by this processor")
    reported, info = report(kernel_set)
    assert reported == info["kernel_set"] == kernel_set


def test_without_marrowvale_kernel_the_widest_supported_set_runs():
    reported, info = report()
    assert reported == info["kernel_set"] == SUPPORTED[-1]


def test_kernel_set_in_this_process_is_one_of_the_supported():
    assert _layer_cache.kernel_set() in SUPPORTED
    forced = os.environ.get("MARROWVALE_KERNEL")
    assert _layer_cache.kernel_set() == (forced or SUPPORTED[-1])


def test_build_settings_name_the_compiler_and_the_float_rules():
    settings = _layer_cache.build_settings()
    assert list(settings) == ["compiler", "build_type", "flags"]
    assert settings["compiler"].split()[0] in {"GNU", "Clang"} and any(c.isdigit() for c in settings["compiler"])
    assert settings["build_type"] in {"Release", "Debug", "RelWithDebInfo", "MinSizeRel"}
    flags = settings["flags"].split()
    # Every bit of a result is fixed: no contraction, no value-changing optimisation.
    assert "-ffp-contract=off" in flags and "-fno-fast-math" in flags and "-ffast-math" not in flags
    sanitized = os.environ.get("MARROWVALE_SANITIZED")
    assert ("-fsanitize=address,undefined" in flags) == (sanitized == "1")
    assert ("-fsanitize=thread" in flags) == (sanitized == "thread")


def test_build_info_gathers_version_kernels_and_compiler():
    info = marrowvale.build_info()
    assert list(info) == ["version", "kernel_set", "compiler", "build_type", "flags"]
    assert info["version"] == marrowvale.__version__
    assert info["kernel_set"] == _layer_cache.kernel_set()
    assert {key: info[key] for key in ("compiler", "build_type", "flags")} == _layer_cache.build_settings()
    assert "build_info" in marrowvale.__all__ and "kernel_set" in _layer_cache.__all__
