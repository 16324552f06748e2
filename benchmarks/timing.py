"""Timing shared by the benchmarks (each runs as ``python benchmarks/bench_x.py``, which puts this
folder on the import path)."""

from __future__ import annotations

import statistics
import time
import typing as typ

T = typ.TypeVar("T")


def median_time(fn: typ.Callable[[], T], repeat: int) -> tuple[float, T]:
    """The median of `repeat` timed calls of fn, and the last result."""
    times: list[float] = []
    result: typ.Any = None
    for _ in range(repeat):
        result = None  # the previous result is freed before the next call
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result
