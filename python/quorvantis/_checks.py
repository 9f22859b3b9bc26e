"""Checks of estimator parameters, and the short renderings their errors use."""

from __future__ import annotations

import math
import numbers
import os
import reprlib
from typing import Any

import numpy as np

import _quorvantis_engine as _engine

_short = reprlib.Repr()
_short.maxstring = 40
_short.maxother = 40


def _show(value: Any) -> str:
    """A short rendering of a given value for error messages."""
    if value is None or isinstance(value, bool | np.bool_ | numbers.Number):
        return str(value)
    if isinstance(value, str):
        return _short.repr(value)
    return f"{_short.repr(value)} ({type(value).__name__})"


def _num(value: float) -> str:
    """A float as short as it can be written without changing it."""
    short = f"{value:g}"
    return short if float(short) == value else repr(float(value))


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool | np.bool_)


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool | np.bool_)


def _check_int(name: str, value: Any, low: int, high: int | None = None) -> int:
    if _is_int(value) and value >= low and (high is None or value <= high):
        return int(value)
    bounds = f">= {low}" if high is None else f"in [{low}, {high}]"
    raise ValueError(f"{name} must be an int {bounds}, got {_show(value)}")


def _check_real(name: str, value: Any, low: float, high: float, low_open: bool, high_open: bool) -> float:
    if _is_real(value):
        v = float(value)
        above = v > low if low_open else v >= low
        below = v < high if high_open else v <= high
        if above and below:
            return v
    if high == math.inf:
        raise ValueError(
            f"{name} must be a finite number {'>' if low_open else '>='} {_num(low)}, got {_show(value)}"
        )
    interval = f"{'(' if low_open else '['}{_num(low)}, {_num(high)}{')' if high_open else ']'}"
    raise ValueError(f"{name} must be a number in {interval}, got {_show(value)}")


def _cpu_count() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _engine_threads(n_jobs: Any) -> int:
    """The engine's thread count for n_jobs: 0 means every worker."""
    if n_jobs is None:
        return 0
    if not _is_int(n_jobs) or n_jobs == 0:
        raise ValueError(
            f"n_jobs must be None, -1 (all CPUs), a positive int or another negative int, got {_show(n_jobs)}"
        )
    if n_jobs == -1:
        return 0
    if n_jobs > 0:
        return int(min(n_jobs, _engine.OPTION_LIMITS["n_jobs"][1]))
    return max(1, _cpu_count() + 1 + int(n_jobs))


def _check_random_state(random_state: Any) -> None:
    if random_state is None or isinstance(random_state, np.random.Generator | np.random.RandomState):
        return
    if _is_int(random_state) and 0 <= random_state < 1 << 64:
        return
    raise ValueError(
        "random_state must be None, an int in [0, 2**64), a numpy.random.Generator or a "
        f"numpy.random.RandomState, got {_show(random_state)}"
    )


def _draw_seed(random_state: Any) -> int:
    """The engine seed for a checked random_state; a generator advances by one draw."""
    if random_state is None:
        return int.from_bytes(os.urandom(8), "little")
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 1 << 64, dtype=np.uint64))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 1 << 64, dtype=np.uint64))
    return int(random_state)
