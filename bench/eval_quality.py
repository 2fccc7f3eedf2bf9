"""Quality of every built-in strategy on SmolLM2-135M at 12.5% and 25% of the
text: the first 1,024 tokens of the default text (the language reference's
topics), as ``python -m marrowvale eval`` measures it. Reported, not tuned.

Sliding, static, h2o, tova and knorm caches take their size from the share
(``budget_strategies``: a window of that many entries; the first 16 and the
most recent for the rest; a budget of that many, a quarter of it recent). Merging strategies have no size to set: what they
hold follows from the threshold and the text, and not monotonically. So
merge and hybrid (16 static entries) run at every threshold of a fixed grid,
merging after every append, and the table shows, for each share, the
threshold whose compression ratio came nearest, with the ratio it reached.
All runs go through one evaluation.
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

DEFAULT_OUT = default_out("eval_quality")
SHARES = (0.125, 0.25)
THRESHOLDS = (0.6, 0.7, 0.8, 0.85)


def _figures(r: Any) -> dict[str, Any]:
    return {"label": r.label, "strategy": r.strategy, "params": dict(r.params),
            "compression_ratio": r.compression_ratio, "kv_bytes_held_per_token": r.kv_bytes_per_token,
            "kl_mean": r.kl_mean, "kl_se": r.kl_se, "kl_median": r.kl_median, "kl_p99": r.kl_p99,
            "kl_max": r.kl_max, "top1_agreement": r.top1_agreement, "top1_se": r.top1_se,
            "perplexity": r.perplexity, "perplexity_ratio": r.perplexity_ratio, "ln_ppl_ratio": r.ln_ppl_ratio,
            "ln_ppl_ratio_se": r.ln_ppl_ratio_se}


def choose(results: list[dict[str, Any]], tokens: int) -> list[dict[str, Any]]:
    """Per share: the sized strategies, and for each merging strategy the
    grid point nearest the share."""
    rows = []
    for share in SHARES:
        sized = [r for r in results if r.get("share") == share]
        rows += [dict(r, share=share) for r in sized]
        for name in ("merge", "hybrid"):
            grid = [r for r in results if r["strategy"] == name]
            nearest = min(grid, key=lambda r: abs(r["compression_ratio"] - share))
            rows.append(dict(nearest, share=share))
    return rows


def report(results: dict[str, Any]) -> None:
    print_table(f"SmolLM2-135M, {results['tokens']} tokens of {results['text_source']} "
                f"({results['seconds_evaluating']:.0f} s)",
                ["strategy", "share", "ratio", "KV B/token", "KL mean ± SE", "KL p99", "top-1 ± SE", "PPL",
                 "PPL ratio", "ln ratio ± SE"],
                [[r["label"], f"{100 * r['share']:g}%", f"{r['compression_ratio']:.3f}",
                  f"{r['kv_bytes_held_per_token']:,.0f}", f"{r['kl_mean']:.3f} ± {r['kl_se']:.3f}",
                  f"{r['kl_p99']:.2f}", f"{100 * r['top1_agreement']:.1f}% ± {100 * r['top1_se']:.1f}",
                  f"{r['perplexity']:.2f}", f"{r['perplexity_ratio']:.3f}",
                  f"{r['ln_ppl_ratio']:+.3f} ± {r['ln_ppl_ratio_se']:.3f}"] for r in results["chosen"]])
    print(f"\nfull cache: perplexity {results['full']['perplexity']:.3f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_model_options(parser, DEFAULT_OUT, threads=0)
    args = parser.parse_args(argv)
    started = time.perf_counter()
    model, tokens = model_and_tokens(args)
    from marrowvale import budget_strategies
    from marrowvale.models import DEFAULT_TEXT_SOURCE, evaluate

    sized = [(share, choice) for share in SHARES for choice in budget_strategies(share, len(tokens))]
    grid = [{"strategy": name, "threshold": t, "merge_every": 1, **({"static_k": 16} if name == "hybrid" else {})}
            for name in ("merge", "hybrid") for t in THRESHOLDS]
    result = evaluate(model, tokens, [choice for _, choice in sized] + grid, max_tokens=None, progress=True,
                      text_source=DEFAULT_TEXT_SOURCE)
    figures = [_figures(r) for r in result.results]
    for (share, _), record in zip(sized, figures[1:]):
        record["share"] = share
    results = {"machine": machine_info(os.environ.get("MARROWVALE_KERNEL")), "blas": blas_info(),
               "model": result.model, "tokens": result.tokens, "text_source": result.text_source,
               "token_hash": result.token_hash, "kernel_set": result.kernel_set,
               "seconds_evaluating": result.seconds, "full": figures[0], "all": figures[1:],
               "chosen": choose(figures[1:], result.tokens)}
    finish(results, started, lambda _: [], report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
