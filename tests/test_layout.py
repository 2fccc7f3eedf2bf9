"""scripts/check_layout.py: src/ keeps one folder per part with includes
that point down, and the check finds each way of breaking that."""

import importlib.util
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
found = importlib.util.spec_from_file_location("check_layout", ROOT / "scripts" / "check_layout.py")
check_layout = importlib.util.module_from_spec(found)
found.loader.exec_module(check_layout)


def test_the_tree_keeps_its_layout():
    assert check_layout.check(ROOT / "src") == []


def write(tree, files):
    for name, text in files.items():
        path = tree / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


# A sound miniature: the root includes the binding and the core, the core
# includes the strategy interface, the interface includes the core's entries.
SOUND = {
    "module.cpp": '#include "binding/py_ref.hpp"\n#include "cache/kv_cache.hpp"\n',
    "binding/py_ref.hpp": "#include <Python.h>\n",
    "cache/kv_cache.hpp": '#include "strategies/cache_strategy.hpp"\n#include "cache/kernels/kernels.hpp"\n',
    "cache/entries.hpp": "#include <cstddef>\n",
    "cache/kernels/kernels.hpp": "",
    "strategies/cache_strategy.hpp": '#include "cache/entries.hpp"\n',
    "layer_cache/build_settings.hpp.in": "",
    "layer_cache/module.cpp": '#include "layer_cache/build_settings.hpp"\n#include "binding/py_ref.hpp"\n',
}


def test_a_sound_tree_passes(tmp_path):
    write(tmp_path, SOUND)
    assert check_layout.check(tmp_path) == []


@pytest.mark.parametrize("change, expected", [
    ({"helpers.cpp": ""}, "helpers.cpp: src/ holds only"),
    ({"util/thing.cpp": ""}, "util/thing.cpp: in no part's folder"),
    ({"cache/attention.cpp": "#include <Python.h>\n"}, "cache/attention.cpp: includes Python.h"),
    ({"layer/layer.cpp": "#  include <Python.h>\n"}, "layer/layer.cpp: includes Python.h"),
    ({"strategies/merge.cpp": '#include "binding/py_ref.hpp"\n'},
     "strategies/merge.cpp: includes binding/py_ref.hpp, from binding"),
    ({"cache/kv_cache.cpp": '#include "strategies/merge.hpp"\n', "strategies/merge.hpp": ""},
     "cache/kv_cache.cpp: includes strategies/merge.hpp"),
    ({"layer/layer.cpp": '#include "layer_cache/module.cpp"\n'}, "layer/layer.cpp: includes layer_cache/module.cpp"),
    ({"binding/stats.cpp": '#include "layer/layer.hpp"\n', "layer/layer.hpp": ""},
     "binding/stats.cpp: includes layer/layer.hpp"),
    ({"cache/kernels/avx2.cpp": '#include "cache/kv_cache.hpp"\n'}, "cache/kernels/avx2.cpp: includes cache/kv_cache.hpp"),
    ({"cache/entries.hpp": '#include "cache/kv_cache.hpp"\n'}, "include cycle: cache/entries.hpp -> cache/kv_cache.hpp"),
    ({"cache/a.hpp": '#include "cache/missing.hpp"\n'}, 'cache/a.hpp: includes "cache/missing.hpp", which is not under src/'),
    ({"cache/long.cpp": "int x;\n" * 451}, "cache/long.cpp: 451 lines"),
])
def test_each_breach_is_found(tmp_path, change, expected):
    write(tmp_path, {**SOUND, **change})
    problems = check_layout.check(tmp_path)
    assert any(expected in problem for problem in problems), problems


def test_a_file_of_the_limit_passes(tmp_path):
    write(tmp_path, {**SOUND, "cache/long.cpp": "int x;\n" * 450})
    assert check_layout.check(tmp_path) == []
