#!/usr/bin/env bash
# Builds the extension in the project's virtual environment and runs the tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh"
bash "$root/scripts/check_kernel_symbols.sh" "$venv/build"
"$py" "$root/scripts/check_layout.py" "$root/src"
cd "$root"
exec "$py" -m pytest "${test_jobs[@]}" "$@"
