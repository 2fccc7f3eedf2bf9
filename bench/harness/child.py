"""Measurements in a process of their own: one whose environment fixes the
BLAS threads before NumPy loads, or whose heap no other measurement grew."""

from __future__ import annotations

import json
import subprocess
import sys


class ChildFailed(SystemExit):
    """A child process that did not finish. Left uncaught it ends the run
    with its message, as a measurement that failed should; a caller that can
    report without the figures catches it."""


def run_json_child(script, args, what, env=None):
    """Runs `python script *args` with this Python and returns the JSON the
    child printed last on its standard output. On failure the child's
    standard error is passed on and ChildFailed raised, naming `what`."""
    done = subprocess.run([sys.executable, str(script), *args], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise ChildFailed(f"the {what} failed with code {done.returncode}")
    return json.loads(done.stdout.strip().splitlines()[-1])
