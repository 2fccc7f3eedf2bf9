"""Timing with a loop count chosen per measurement, the peers timed in turn.

Each measurement is timeit with a loop count chosen so that one run lasts
min_time; the things compared run one run each in turn, so that a change of
load on the machine falls on all of them alike. A figure keeps the minimum
(what ratios and targets use) and the median of the runs.
"""

from __future__ import annotations

import math
import statistics
import time
import timeit


class Timing:
    """timeit with a loop count chosen so that one run lasts min_time."""

    def __init__(self, min_time: float, repeat: int, clock=time.thread_time):
        self.min_time = min_time
        self.repeat = repeat
        self.clock = clock

    def time(self, stmt, namespace, setup="pass", *, per=1, number=None, max_number=None, repeat=None):
        return self.compare(
            {"": (stmt, namespace, setup)}, per=per, number=number, max_number=max_number, repeat=repeat
        )[""]

    def compare(self, entries, *, per=1, number=None, max_number=None, repeat=None):
        """Times several statements, one run of each in turn, so that a
        change of load on the machine falls on all of them.
        entries: label -> (stmt, namespace, setup)."""
        timers = {
            label: timeit.Timer(stmt, setup, timer=self.clock, globals=ns)
            for label, (stmt, ns, setup) in entries.items()
        }
        numbers = {label: number or self._calibrate(timer, max_number) for label, timer in timers.items()}
        runs = {label: [] for label in timers}
        for _ in range(repeat or self.repeat):
            for label, timer in timers.items():
                runs[label].append(timer.timeit(numbers[label]) / (numbers[label] * per))
        return {label: summary(r, numbers[label], per) for label, r in runs.items()}

    def _calibrate(self, timer, max_number):
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if max_number is not None and number >= max_number:
                return max_number
            if elapsed >= self.min_time / 4:
                break
            number *= 4 if elapsed < self.min_time / 40 else 2
            if max_number is not None:
                number = min(number, max_number)
        wanted = math.ceil(number * self.min_time / max(elapsed, 1e-9))
        return max(1, min(wanted, max_number or wanted))


def summary(runs, number, per):
    """One measurement's figure: seconds per call over its runs."""
    return {
        "min": min(runs),
        "median": statistics.median(runs),
        "number": number,
        "per": per,
        "repeat": len(runs),
    }
