#!/usr/bin/env bash
# Fails when an object compiled for one instruction set defines a weak
# symbol outside that set's namespace. The linker keeps one copy of each
# weak symbol for the whole library, whichever object it comes from: were it
# to keep the AVX-512 object's copy of, say, an inline std::max, code meant
# for any processor would run AVX-512 instructions. Such copies appear or
# vanish with the optimisation level, so both the release and the sanitizer
# builds are checked.
#
# Usage: check_kernel_symbols.sh BUILD_DIR
set -euo pipefail
build="${1:?usage: check_kernel_symbols.sh BUILD_DIR}"

status=0
checked=0
for set in sse2 avx2 avx512; do
    object="$(find "$build" -path "*/cache/kernels/$set.cpp.o" -print -quit)"
    [ -n "$object" ] || continue
    checked=$((checked + 1))
    # Names in marrowvale::<set>, mangled: functions and objects
    # (_ZN10marrowvale4avx2...), their local statics (_ZZN...), guards (_ZGV),
    # vtables and type information (_ZTV, _ZTI, _ZTS).
    inside="^_Z(GV|TV|TI|TS|TH|TW)?Z?N10marrowvale${#set}${set}"
    # Not code: the pointer to the C++ personality routine that the unwind
    # tables refer to, the same in every object (ThreadSanitizer's function
    # exit hooks give the kernels such tables).
    personality="DW.ref.__gxx_personality_v0"
    # Defined weak symbols: W (weak), V (weak object), u (unique global).
    while read -r name; do
        if [[ ! "$name" =~ $inside && "$name" != "$personality" ]]; then
            echo "error: $object defines the weak symbol $(c++filt "$name") outside marrowvale::$set" >&2
            status=1
        fi
    done < <(nm --defined-only "$object" | awk '$2 ~ /^[WVu]$/ { print $3 }')
done

case "$(uname -m)" in
    x86_64 | amd64)
        if [ "$checked" -ne 3 ]; then
            echo "error: found $checked of the 3 kernel objects under $build" >&2
            status=1
        fi
        ;;
esac
if [ "$status" -eq 0 ]; then echo "== kernel objects define no weak symbol outside their set ($checked checked)" >&2; fi
exit "$status"
