#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (any finding aborts the process) in an environment of its own and runs the
# test suite against that build. Arguments go to pytest.
#
# The environment is "$MARROWVALE_VENV-asan" when MARROWVALE_VENV is set,
# otherwise build/venv-asan; MARROWVALE_ASAN_VENV overrides both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [ -n "${MARROWVALE_ASAN_VENV:-}" ]; then
    asan_venv="$MARROWVALE_ASAN_VENV"
elif [ -n "${MARROWVALE_VENV:-}" ]; then
    asan_venv="$MARROWVALE_VENV-asan"
else
    asan_venv="$root/build/venv-asan"
fi
mkdir -p "$(dirname "$asan_venv")"

export MARROWVALE_VENV="$asan_venv"
# Unstripped, so that sanitizer reports name the functions and lines.
export MARROWVALE_BUILD_SETTINGS="cmake.define.MARROWVALE_SANITIZE=ON install.strip=false"
source "$root/scripts/env.sh"
bash "$root/scripts/check_kernel_symbols.sh" "$venv/build"
cd "$root"

# The sanitizer runtimes must be loaded before anything else in the process,
# since the interpreter itself is not instrumented: preload exactly the ones
# the extension was linked against.
extension="$("$py" -c 'import importlib.util as u; print(u.find_spec("_marrowvale").origin)')"
# Found without importing the package, which would load _marrowvale before
# the sanitizer runtimes.
layer_extension="$("$py" -c 'import glob, importlib.util as u, os
print(glob.glob(os.path.join(u.find_spec("marrowvale").submodule_search_locations[0], "_layer_cache*.so"))[0])')"
# A build that silently lost its instrumentation would pass everything.
# (The symbols are read whole first: grep -q would stop reading early, and
# under pipefail the interrupted nm would count as a failure.)
for built in "$extension" "$layer_extension"; do
    symbols="$(nm -D "$built")"
    if ! grep -q '__asan_report_' <<<"$symbols" || ! grep -q '__ubsan_handle_' <<<"$symbols"; then
        echo "error: $built is not instrumented" >&2; exit 1
    fi
done
runtimes=()
for library in libasan libubsan; do
    path="$(ldd "$extension" | awk -v lib="$library" 'index($1, lib ".so") == 1 { print $3 }')"
    if [ -z "$path" ]; then
        path="$("${CXX:-g++}" -print-file-name="$library.so")"
    fi
    [ -f "$path" ] || { echo "error: no $library runtime found for $extension" >&2; exit 1; }
    runtimes+=("$path")
done
preload="$(IFS=:; echo "${runtimes[*]}")"

# PYTHONMALLOC=malloc hands every Python object to the sanitizer's malloc, so
# that it sees each block on its own instead of the interpreter's arenas.
# LeakSanitizer stays off: the interpreter keeps interned strings, type
# caches and module state alive until exit on purpose, which it would report
# as thousands of leaks unrelated to this code; tests/test_leaks.py checks
# the extension's own memory instead. allocator_may_return_null lets a
# malloc of impossible size fail with MemoryError, as it does without the
# sanitizer.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# Lets the tests know which build they run against.
export MARROWVALE_SANITIZED=1

echo "== pytest under ASan+UBSan ($preload)" >&2
LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" exec "$py" -m pytest "$@"
