"""Quality of the strategies that choose by score on SmolLM2-135M, beside
the sliding window and the static cache, at 128 and 256 entries per head:
the first 1,024 tokens of the default text, as ``python -m marrowvale eval``
measures it. Reported, not tuned: every setting below was fixed before the
first run.

Two protocols, each one evaluation:

- streamed: every token goes through every run's cache (append, then
  attend), the KL and perplexity over all 1,023 predictions;
- prompt: the first 768 tokens fill every cache with full attention
  (``--prompt-tokens 768``), each run then goes on under its strategy, and
  the figures are those of the 255 predictions of the continuation. Here
  also compress, SnapKV's one-shot selection by the prompt's last 32
  queries, max-pooled over 7 (``compress=32``): once going on with "h2o" at
  the same budget, once with the full cache (SnapKV's own protocol, which
  keeps every token of the continuation, so that it holds 255 more entries
  per head at the end).

Settings at a budget of B entries: sliding(window_size=B);
static(static_k=16, recent_k=B-16) (16 first tokens, as
``budget_strategies`` keeps); h2o, tova and knorm with budget=B and
recent=B/4 (the split of the issue's example, 128 and 32).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

from harness.machine import blas_info, machine_info
from harness.model_options import add_model_options, model_and_tokens
from harness.results import default_out, finish
from harness.tables import print_table

DEFAULT_OUT = default_out("eval_scores")
BUDGETS = (128, 256)
PROMPT_TOKENS = 768
WINDOW = 32


def strategies(budget: int, prompt: bool) -> list[dict[str, Any]]:
    recent = budget // 4
    choices: list[dict[str, Any]] = [
        {"strategy": "sliding", "window_size": budget},
        {"strategy": "static", "static_k": 16, "recent_k": budget - 16},
        *({"strategy": name, "budget": budget, "recent": recent} for name in ("h2o", "tova", "knorm")),
    ]
    if prompt:
        choices += [{"strategy": "h2o", "budget": budget, "recent": recent, "compress": WINDOW},
                  {"strategy": "full", "compress": WINDOW, "keep": budget}]
    return choices


def figures(r: Any, budget: int) -> dict[str, Any]:
    return {"label": r.label, "budget": budget, "strategy": r.strategy, "params": dict(r.params),
            "entries_per_head": r.entries_per_head, "kl_mean": r.kl_mean, "kl_se": r.kl_se, "kl_p99": r.kl_p99,
            "top1_agreement": r.top1_agreement, "perplexity": r.perplexity, "perplexity_ratio": r.perplexity_ratio,
            "ln_ppl_ratio_se": r.ln_ppl_ratio_se}


def run_protocol(model: Any, tokens: list[int], prompt: bool) -> dict[str, Any]:
    from marrowvale.models import DEFAULT_TEXT_SOURCE, evaluate

    sized = [(budget, choice) for budget in BUDGETS for choice in strategies(budget, prompt)]
    result = evaluate(model, tokens, [choice for _, choice in sized], max_tokens=None, progress=True,
                      text_source=DEFAULT_TEXT_SOURCE, prompt_tokens=PROMPT_TOKENS if prompt else None)
    rows = [figures(r, budget) for (budget, _), r in zip(sized, result.results[1:])]
    return {"protocol": "prompt" if prompt else "streamed", "predictions": result.predictions,
            "prompt_tokens": result.prompt_tokens, "seconds": result.seconds, "tokens": result.tokens,
            "text_source": result.text_source, "token_hash": result.token_hash, "kernel_set": result.kernel_set,
            "full": figures(result.results[0], 0), "rows": rows, "winners": winners(rows)}


def winners(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Per budget, the runs that hold the budget at the end, by KL mean:
    the best, the runner-up and how far apart they are."""
    found = []
    for budget in BUDGETS:
        held = sorted((r for r in rows if r["budget"] == budget and r["entries_per_head"] <= budget),
                      key=lambda r: r["kl_mean"])
        best, second = held[0], held[1]
        found.append({"budget": budget, "best": best["label"], "runner_up": second["label"],
                      "kl": (best["kl_mean"], best["kl_se"]), "runner_up_kl": (second["kl_mean"], second["kl_se"]),
                      "kl_ratio": second["kl_mean"] / best["kl_mean"],
                      # Within the standard errors of the two (which take
                      # positions as independent): a tie, not a win.
                      "within_se": second["kl_mean"] - best["kl_mean"] <= best["kl_se"] + second["kl_se"],
                      "perplexity_gap": second["perplexity"] - best["perplexity"]})
    return found


def report(results: dict[str, Any]) -> None:
    for protocol in results["protocols"]:
        print_table(f"SmolLM2-135M, {protocol['tokens']} tokens of {protocol['text_source']}, {protocol['protocol']}"
                    f" ({protocol['predictions']} predictions; full cache perplexity "
                    f"{protocol['full']['perplexity']:.3f}; {protocol['seconds']:.0f} s)",
                    ["strategy", "held/head", "KL mean ± SE", "KL p99", "top-1", "perplexity", "PPL ratio"],
                    [[r["label"], f"{r['entries_per_head']:.0f}", f"{r['kl_mean']:.3f} ± {r['kl_se']:.3f}",
                      f"{r['kl_p99']:.2f}", f"{100 * r['top1_agreement']:.1f}%", f"{r['perplexity']:.2f}",
                      f"{r['perplexity_ratio']:.3f}"] for r in protocol["rows"]])
        for w in protocol["winners"]:
            print(f"  at {w['budget']} entries: lowest KL {w['best']} ({w['kl'][0]:.3f} ± {w['kl'][1]:.3f}); next "
                  f"{w['runner_up']} ({w['runner_up_kl'][0]:.3f} ± {w['runner_up_kl'][1]:.3f}), "
                  f"{w['kl_ratio']:.2f}× the KL and {w['perplexity_gap']:+.2f} perplexity"
                  + ("; within their standard errors" if w["within_se"] else ""))
        print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_model_options(parser, DEFAULT_OUT, threads=1)
    args = parser.parse_args(argv)
    started = time.perf_counter()
    model, tokens = model_and_tokens(args)
    results = {"machine": machine_info(os.environ.get("MARROWVALE_KERNEL")), "blas": blas_info(),
               "model": str(model.path), "budgets": BUDGETS, "prompt_tokens": PROMPT_TOKENS,
               "protocols": [run_protocol(model, tokens, prompt) for prompt in (False, True)]}
    finish(results, started, lambda _: [], report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
