"""The baseline for append and attend: baseline_reader.c, compiled at run
time with the C compiler Python was built with, and loaded."""

import importlib.util
import shlex
import shutil
import subprocess
import sysconfig
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().with_name("baseline_reader.c")
MODULE = "_bench_baseline"


def build_baseline_reader():
    """Returns (Reader instance, None) or (None, why it could not be built)."""
    workdir = Path(tempfile.mkdtemp(prefix="marrowvale-bench-"))
    try:
        target = workdir / (MODULE + (sysconfig.get_config_var("EXT_SUFFIX") or ".so"))
        try:
            done = subprocess.run(compile_command(target), capture_output=True, text=True)
        except OSError as error:
            return None, f"no C compiler ({error})"
        if done.returncode != 0:
            return None, f"compiling the baseline failed: {done.stderr.strip()[:500]}"
        return load_extension(target).Reader(), None
    finally:
        # The loaded library stays mapped after its file is gone.
        shutil.rmtree(workdir, ignore_errors=True)


def compile_command(target):
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    return [
        *compiler,
        "-O2",
        "-fPIC",
        "-shared",
        "-ffp-contract=off",
        "-Wall",
        "-Wextra",
        f"-I{sysconfig.get_paths()['include']}",
        str(SOURCE),
        "-o",
        str(target),
    ]


def load_extension(path):
    """Imports the extension module at `path` by its file name, without
    putting its folder on sys.path."""
    found = importlib.util.spec_from_file_location(MODULE, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
