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


def _subsample_rows(n: int, fraction: float, group: int) -> tuple[int, int, float]:
    """A tree's subsample size as the engine's sampler draws it, with its pool and fraction of the pool."""
    pool, share = (n // 2, 2.0 * fraction) if group > 1 else (n, fraction)
    return min(pool, math.ceil(pool * share)), pool, share


def _round_up(value: float) -> str:
    digits = 10 ** (math.floor(math.log10(value)) - 2)
    return _num(math.ceil(value / digits) * digits)


def _check_sampling(n: int, options: dict[str, Any], nuisance: bool) -> None:
    """Refuse a sample_fraction or honesty_fraction leaving a tree too few rows to split or fill leaves."""
    need = 2 * options["min_samples_leaf"]  # the fewest rows any split can leave both children
    fraction, honest, hf = options["sample_fraction"], options["honesty"], options["honesty_fraction"]
    for group in (options["ci_group_size"], 1) if nuisance else (options["ci_group_size"],):
        k, pool, share = _subsample_rows(n, fraction, group)
        fewest = 2 * need if honest else need
        if k < fewest:
            if pool < fewest:
                raise ValueError(
                    f"X has {n} rows, too few for trees of at least {fewest} rows (2 * min_samples_leaf"
                    f"{', in each honest half' if honest else ''}): give more rows or lower min_samples_leaf"
                )
            smallest = (fewest - 1) / pool / (share / fraction)
            raise ValueError(
                f"sample_fraction={_num(fraction)} gives each tree "
                f"{k} of the {n} rows, but a tree needs at least "
                f"{fewest} (2 * min_samples_leaf{', in each honest half' if honest else ''}): "
                "use sample_fraction "
                f">= {_round_up(smallest * (1 + 1e-9))}"
            )
        split = min(k, math.ceil(k * hf)) if honest else k
        if honest and (split < need or k - split < need):
            low, high = _round_up(need / k * (1 + 1e-9)), (k - need) / k
            digits = 10 ** (math.floor(math.log10(1 - high)) - 2) if high < 1 else 1e-3
            raise ValueError(
                f"honesty_fraction={_num(hf)} splits each tree's {k} rows into {split} to choose splits and "
                f"{k - split} to fill the leaves, but each part "
                f"needs at least {need} (2 * min_samples_leaf): "
                f"use honesty_fraction in [{low}, {_num(math.floor(high * (1 - 1e-9) / digits) * digits)}]"
            )
