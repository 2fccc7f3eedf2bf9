"""The peer of bench_eval.py: masked batched forward passes of a Llama-family
model in torch, run by another interpreter (one with torch; marrowvale is
not needed there).

Usage: PYTHON eval_torch_peer.py FOLDER THREADS. FOLDER holds what
bench_eval.py wrote: config.json (shape, tokens, masks) and one .npy file
per float32 weight. Prints one JSON line: the wall time of each forward
pass, the versions, and per mask the mean KL from the first mask's
next-token distributions and the perplexity, computed in float64, so that
bench_eval.py checks its own figures against an independent implementation.
"""

from __future__ import annotations

import json
import math
import platform
import sys
import time
from pathlib import Path

import numpy as np
import torch


def visible(kind: dict, n: int) -> torch.Tensor:
    """visible[t, s] for a cache of that kind: which positions s a query at t
    attends to."""
    t = torch.arange(n)[:, None]
    s = torch.arange(n)[None, :]
    causal = s <= t
    if kind["strategy"] == "full":
        return causal
    if kind["strategy"] == "sliding":
        return causal & (s > t - kind["window_size"])
    if kind["strategy"] == "static":
        return causal & ((s < kind["static_k"]) | (s > t - kind["recent_k"]))
    raise ValueError(f"no mask for {kind['strategy']}")


def forward(w: dict, c: dict, tokens: torch.Tensor, mask: torch.Tensor) -> torch.Tensor:
    """Logits (tokens, vocab) of one masked forward pass, float32."""
    n, d = len(tokens), c["head_dim"]
    heads, kv = c["heads"], c["kv_heads"]
    inv = 1.0 / c["theta"] ** (torch.arange(0, d, 2, dtype=torch.float64) / d)
    angles = torch.arange(n, dtype=torch.float64)[:, None] * inv[None, :]
    cos = torch.cat([angles.cos()] * 2, dim=1).float()[None]
    sin = torch.cat([angles.sin()] * 2, dim=1).float()[None]

    def rope(x: torch.Tensor) -> torch.Tensor:  # (heads, n, d), halves paired
        rotated = torch.cat([-x[..., d // 2:], x[..., :d // 2]], dim=-1)
        return x * cos + rotated * sin

    def rms(x: torch.Tensor, weight: torch.Tensor) -> torch.Tensor:
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + c["eps"]) * weight

    x = w["embed"][tokens]
    for i in range(c["layers"]):
        p = f"layer{i}."
        h = rms(x, w[p + "input_norm"])
        q = rope((h @ w[p + "q"].T).view(n, heads, d).transpose(0, 1))
        k = rope((h @ w[p + "k"].T).view(n, kv, d).transpose(0, 1))
        v = (h @ w[p + "v"].T).view(n, kv, d).transpose(0, 1)
        k = k.repeat_interleave(heads // kv, dim=0)
        v = v.repeat_interleave(heads // kv, dim=0)
        attended = torch.nn.functional.scaled_dot_product_attention(q[None], k[None], v[None], attn_mask=mask)[0]
        x = x + attended.transpose(0, 1).reshape(n, heads * d) @ w[p + "o"].T
        h = rms(x, w[p + "post_norm"])
        x = x + (torch.nn.functional.silu(h @ w[p + "gate"].T) * (h @ w[p + "up"].T)) @ w[p + "down"].T
    return rms(x, w["norm"]) @ w["lm_head"].T


def main() -> int:
    folder, threads = Path(sys.argv[1]), int(sys.argv[2])
    torch.set_num_threads(threads)
    c = json.loads((folder / "config.json").read_text())
    w = {path.stem: torch.from_numpy(np.load(path)) for path in folder.glob("*.npy")}
    tokens = torch.tensor(c["tokens"], dtype=torch.long)
    fed, following = tokens[:-1], tokens[1:]
    seconds, logits = [], []
    with torch.inference_mode():
        for kind in c["masks"]:
            mask = visible(kind, len(fed))
            start = time.perf_counter()
            out = forward(w, c, fed, mask)
            seconds.append(time.perf_counter() - start)
            logits.append(torch.log_softmax(out.double(), dim=-1))
    full = logits[0]
    figures = []
    for logp in logits:
        kl = (full.exp() * (full - logp)).sum(-1).clamp(min=0.0)
        nll = -logp[torch.arange(len(following)), following]
        figures.append({"kl_mean": float(kl.mean()), "perplexity": math.exp(float(nll.mean())),
                        "top1_agreement": float((logp.argmax(-1) == full.argmax(-1)).double().mean())})
    print(json.dumps({"seconds": seconds, "figures": figures, "threads": torch.get_num_threads(),
                      "torch": torch.__version__, "numpy": np.__version__, "python": platform.python_version()}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
