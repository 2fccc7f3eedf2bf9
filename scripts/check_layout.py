"""Checks that src/ keeps its layout: one folder per part, includes that
point down, no include cycle, no long file.

    src/              the _marrowvale module and its class, nothing else
    src/cache/        the cache core       src/cache/kernels/  its kernels
    src/strategies/   the strategies       src/layer/          every head of a layer
    src/binding/      what both modules share of the binding
    src/layer_cache/  the marrowvale._layer_cache module

A part may include only the parts below it (ALLOWED). The core's one
arrow upwards is its own design: a KVCache owns a CacheStrategy, so cache/
includes the strategy interface, and nothing else of strategies/. Python.h
comes in through binding/ alone.

Usage: python scripts/check_layout.py [SRC_DIR]; exits 1 with a line per
problem.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT_FILES = {"module.cpp", "py_kvcache.hpp", "py_kvcache.cpp"}
MAX_LINES = 450
# Each part and the parts it may include (besides itself).
ALLOWED = {
    "cache/kernels": set(),
    "cache": {"cache/kernels"},
    "strategies": {"cache", "cache/kernels"},
    "layer": {"strategies", "cache", "cache/kernels"},
    "binding": {"strategies", "cache", "cache/kernels"},
    "layer_cache": {"binding", "layer", "strategies", "cache", "cache/kernels"},
    "": {"binding", "strategies", "cache", "cache/kernels"},
}
# The one include against the order.
INTERFACE = ("cache", "strategies/cache_strategy.hpp")
PYTHON_PARTS = {"binding", "layer_cache", ""}
SOURCES = (".cpp", ".hpp", ".inc", ".in")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def part_of(relative: str) -> str | None:
    folder = relative.rpartition("/")[0]
    if folder in ALLOWED:
        return folder
    return None


def resolve(name: str, src: Path) -> str | None:
    """The file under src/ an include names (generated headers by their
    template), or None for a system header."""
    for candidate in (name, name + ".in"):
        if (src / candidate).is_file():
            return candidate
    return None


def check(src: Path) -> list[str]:
    problems: list[str] = []
    files = sorted(str(p.relative_to(src)) for p in src.rglob("*") if p.is_file() and p.suffix in SOURCES)
    graph: dict[str, list[str]] = {}
    for relative in files:
        text = (src / relative).read_text(encoding="utf-8")
        lines = text.count("\n")
        if lines > MAX_LINES:
            problems.append(f"{relative}: {lines} lines (at most {MAX_LINES})")
        part = part_of(relative)
        if part is None:
            problems.append(f"{relative}: in no part's folder ({', '.join(sorted(p or 'src/' for p in ALLOWED))})")
            continue
        if part == "" and relative not in ROOT_FILES:
            problems.append(f"{relative}: src/ holds only {', '.join(sorted(ROOT_FILES))}")
        graph[relative] = []
        for bracket, name in INCLUDE.findall(text):
            if name == "Python.h" and part not in PYTHON_PARTS:
                problems.append(f"{relative}: includes Python.h, which only the binding and the modules may")
            if bracket == "<":
                continue
            target = resolve(name, src)
            if target is None:
                problems.append(f"{relative}: includes \"{name}\", which is not under src/")
                continue
            graph[relative].append(target)
            target_part = part_of(target)
            if target_part == part or target_part in ALLOWED[part] or (part, target) == INTERFACE:
                continue
            problems.append(f"{relative}: includes {target}, from {target_part or 'src/'}, "
                            f"which {part or 'src/'} may not include")
    problems.extend(cycles(graph))
    return problems


def cycles(graph: dict[str, list[str]]) -> list[str]:
    found: list[str] = []
    state: dict[str, int] = {}  # 1 on the path, 2 done
    path: list[str] = []

    def visit(node: str) -> None:
        state[node] = 1
        path.append(node)
        for target in graph.get(node, []):
            if state.get(target) == 1:
                loop = path[path.index(target):] + [target]
                found.append("include cycle: " + " -> ".join(loop))
            elif target not in state:
                visit(target)
        path.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return found


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    problems = check(src)
    for problem in problems:
        print(f"error: {problem}", file=sys.stderr)
    if not problems:
        print(f"== src/ keeps its layout ({sum(1 for _ in src.rglob('*.?pp'))} files)", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
