#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (any finding aborts the process) in an environment of its own and runs the
# test suite against that build. Arguments go to pytest.
#
# With --thread first, builds with ThreadSanitizer instead and runs the
# tests that use threads or fork (or the pytest arguments that follow).
#
# The environment is "$MARROWVALE_VENV-asan" ("-tsan") when MARROWVALE_VENV
# is set, otherwise build/venv-asan (venv-tsan); MARROWVALE_ASAN_VENV
# (MARROWVALE_TSAN_VENV) overrides both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

mode=address
if [ "${1:-}" = "--thread" ]; then
    mode=thread
    shift
fi
if [ "$mode" = address ]; then
    suffix=asan chosen_venv="${MARROWVALE_ASAN_VENV:-}" setting=MARROWVALE_SANITIZE
    markers=(__asan_report_ __ubsan_handle_) libraries=(libasan libubsan)
else
    suffix=tsan chosen_venv="${MARROWVALE_TSAN_VENV:-}" setting=MARROWVALE_SANITIZE_THREAD
    markers=(__tsan_) libraries=(libtsan)
    # Every test in which LayerCache uses threads (those that start their
    # own, fork, or ask for several threads for large work). Not the deep
    # re-entry test of tests/test_borrow.py: its one thread is there for a
    # small stack, most of which the runtime's per-thread state fills here.
    # fd 2 is left to the runtime, so that a report survives the abort.
    [ $# -ne 0 ] || set -- tests/test_layer_threads.py tests/test_layer_differential.py \
        tests/test_layer_grouped.py tests/test_layer_leaks.py tests/test_layer_state.py \
        tests/test_layer_tiers.py::test_threads_give_the_bits_of_one_thread --capture=sys -q
fi

if [ -n "$chosen_venv" ]; then
    sanitizer_venv="$chosen_venv"
elif [ -n "${MARROWVALE_VENV:-}" ]; then
    sanitizer_venv="$MARROWVALE_VENV-$suffix"
else
    sanitizer_venv="$root/build/venv-$suffix"
fi
mkdir -p "$(dirname "$sanitizer_venv")"

export MARROWVALE_VENV="$sanitizer_venv"
# Unstripped, so that sanitizer reports name the functions and lines.
export MARROWVALE_BUILD_SETTINGS="cmake.define.$setting=ON install.strip=false"
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
    for marker in "${markers[@]}"; do
        if ! grep -q "$marker" <<<"$symbols"; then
            echo "error: $built is not instrumented" >&2; exit 1
        fi
    done
done
runtimes=()
for library in "${libraries[@]}"; do
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
export PYTHONMALLOC=malloc
if [ "$mode" = address ]; then
    # LeakSanitizer stays off: the interpreter keeps interned strings, type
    # caches and module state alive until exit on purpose, which it would
    # report as thousands of leaks unrelated to this code; tests/test_leaks.py
    # checks the extension's own memory instead. allocator_may_return_null
    # lets a malloc of impossible size fail with MemoryError, as it does
    # without the sanitizer.
    export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    # Lets the tests know which build they run against.
    export MARROWVALE_SANITIZED=1
else
    # A race report fails the run. The tests fork and then start threads in
    # the child, which the runtime allows only when told. No report needs
    # suppressing: the interpreter is not instrumented, and what it shares
    # with our threads passes through the mutexes the runtime intercepts.
    export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:die_after_fork=0:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    export MARROWVALE_SANITIZED=thread
fi

echo "== pytest under ${mode^} sanitizer ($preload)" >&2
# The thread build runs its few files in one process, where a report reaches
# fd 2 directly.
[ "$mode" = address ] || test_jobs=()
LD_PRELOAD="$preload${LD_PRELOAD:+:$LD_PRELOAD}" exec "$py" -m pytest "${test_jobs[@]}" "$@"
