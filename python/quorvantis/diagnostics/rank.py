"""Rank-weighted average treatment effects (RATE) and the targeting operator characteristic (TOC)."""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._distributions import normal_two_sided_p
from ._inputs import rng_for, rounded, show, training
from .scores import scores_for

TARGETS = ("AUTOC", "QINI")
_GRID = 100
_PRIORITY_TREES = 100


@dataclass(frozen=True, eq=False)
class RankAverageEffect:
    """A RATE estimate with its half-sample bootstrap standard error, and the TOC curve.

    ``toc[j]`` is the mean doubly robust score over the top ``q[j]`` share of rows by
    priority minus the mean over all rows; ``toc_std_err`` its bootstrap standard error.
    """

    estimate: float
    std_err: float
    p_value: float
    target: str
    q: np.ndarray
    toc: np.ndarray
    toc_std_err: np.ndarray

    def __repr__(self) -> str:
        return (
            f"RankAverageEffect(target={self.target!r}, estimate={rounded(self.estimate)}, "
            f"std_err={rounded(self.std_err)}, p_value={rounded(self.p_value)}, toc at {len(self.q)} points)"
        )


def _tie_groups(priorities: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Row order by descending priority and each sorted position's tie group (0, 1, ...)."""
    order = np.argsort(-priorities, kind="stable")
    ordered = priorities[order]
    group = np.concatenate([[0], np.cumsum(ordered[1:] != ordered[:-1])])
    return order, group


def _toc_curve(scores: np.ndarray, group: np.ndarray, ties: bool) -> np.ndarray:
    """TOC(k / n) for k = 1..n of scores in priority order; tied rows share their mean."""
    if ties:
        _, start, counts = np.unique(group, return_index=True, return_counts=True)
        sums = np.add.reduceat(scores, start)
        scores = np.repeat(sums / counts, counts)
    k = np.arange(1, len(scores) + 1)
    toc: np.ndarray = np.cumsum(scores) / k - scores.mean()
    return toc


def _summaries(toc: np.ndarray) -> tuple[float, float]:
    """(AUTOC, QINI): the integrals of TOC(q) and q TOC(q) over the step grid q = k / n."""
    n = len(toc)
    q = np.arange(1, n + 1) / n
    return float(toc.mean()), float((q * toc).mean())


def _at_grid(toc: np.ndarray, q: np.ndarray) -> np.ndarray:
    # TOC(q) takes the top ceil(q n) rows, at least one.
    index = np.clip(np.ceil(q * len(toc) - 1e-9).astype(np.int64), 1, len(toc)) - 1
    return toc[index]


def _priorities(priorities: Any, n: int) -> np.ndarray:
    try:
        values = np.asarray(priorities, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(
            f"priorities must be numbers, one per training row; conversion failed: {exc}"
        ) from None
    if values.ndim == 2 and values.shape[1] == 1:
        values = values[:, 0]
    if values.ndim != 1 or len(values) != n:
        raise ValueError(
            f"priorities must be 1-D with one entry per training row: expected {n}, got shape {values.shape}"
        )
    bad = np.flatnonzero(~np.isfinite(values))
    if len(bad):
        raise ValueError(f"priorities must be finite, got {values[bad[0]]} at position {int(bad[0])}")
    return values


def held_out_priorities(
    forest: Any, rng: np.random.Generator, max_trees: int = _PRIORITY_TREES, max_rows: int | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Rows to evaluate on and their priorities from a small forest grown on the other rows.

    Out-of-bag effects are no valid priorities: a row's outcome and treatment reach its
    own out-of-bag effect through its neighbours' out-of-bag Y_hat_ and T_hat_, which the
    causal trees are centred on. Under a constant effect that made the AUTOC test reject
    about 21% of the time at 5% (bench/diagnostics.py). A forest grown, nuisances and all,
    on a random half of the rows (at most ``max_rows`` of them) never sees the other
    rows, whose priorities it gives.
    """
    X, T, y = training(forest, "rank_average_treatment_effect")
    n = len(y)
    order = rng.permutation(n)
    grow = n // 2 if max_rows is None else min(n // 2, max_rows)
    train, held = np.sort(order[:grow]), np.sort(order[grow:])
    params = forest._refit_params()  # the kept rows hold category codes
    group = int(params["ci_group_size"])
    # Priorities need only a ranking, not intervals; a hundred trees keep this a
    # small share of a fit's cost (the power they give is in bench/diagnostics.py).
    trees = max(group, min(int(params["n_estimators"]), max_trees) // group * group)
    params.update(n_estimators=trees, random_state=int(rng.integers(0, 1 << 63)), verbose=0)
    try:
        small = type(forest)(**params).fit(X[train], T[train], y[train])
    except ValueError as exc:
        raise ValueError(
            "rank_average_treatment_effect with priorities=None grows a forest on half of the "
            f"{n} training rows, which failed: {exc}; give priorities fitted on other data"
        ) from None
    return held, small.effect(X[held])


def rank_average_treatment_effect(
    forest: Any,
    priorities: Any = None,
    target: str = "AUTOC",
    n_bootstrap: int = 200,
    *,
    priority_trees: int = _PRIORITY_TREES,
    priority_rows: int | None = None,
) -> RankAverageEffect:
    """How well ``priorities`` rank the training rows by treatment benefit (RATE).

    Rows are sorted by priority, highest first (tied rows share their mean score). The TOC
    at q is the mean doubly robust score of the top q share minus the overall mean;
    AUTOC is its integral over q, QINI the integral of q TOC(q), both as exact sums over
    the sorted rows. A RATE significantly above 0 says the priorities find rows that
    benefit more than average.

    Parameters
    ----------
    forest : CausalForest
        A fitted forest; its doubly robust scores are the outcomes of the ranking.
    priorities : array-like of shape (n_samples,), optional
        One finite number per training row, higher meaning treat first; they must not
        be fitted on these rows' outcomes (the forest's out-of-bag effects are, through
        its centring, and with them the test rejects far too often). By default a
        forest with the same parameters but at most 100 trees is grown on a random half
        of the rows, and its effects rank the other half, on which alone the RATE is
        then computed: a valid test at a small share of a fit's cost.
    target : {"AUTOC", "QINI"}, default="AUTOC"
    n_bootstrap : int, default=200
        Half-samples for the standard errors; each costs one sort-free pass over n / 2 rows.
    priority_trees : int, default=100
        With ``priorities=None``: at most this many trees in the ranking forest.
    priority_rows : int, optional
        With ``priorities=None``: at most this many rows grow the ranking forest (a random
        half by default); the RATE is computed on all the others. Either bound makes it
        cheaper and keeps it valid, as the ranked rows stay unseen; the ranking, and with it
        the power, may be worse.

    Returns
    -------
    RankAverageEffect
        ``p_value`` is two-sided, from the normal distribution; ``q`` is every row's share
        k / n up to 100 evaluated rows, else a grid of 100 shares 0.01, ..., 1.

    Raises
    ------
    NotFittedError
        Before the forest is fitted.
    ValueError
        For ``priorities`` of another length or with NaN, another ``target``, or
        ``n_bootstrap`` below 2.
    """
    if not isinstance(target, str) or target.upper() not in TARGETS:
        raise ValueError(f"target must be one of {', '.join(map(repr, TARGETS))}, got {show(target)}")
    target = target.upper()
    if isinstance(n_bootstrap, bool) or not isinstance(n_bootstrap, (int, np.integer)) or n_bootstrap < 2:
        raise ValueError(f"n_bootstrap must be an int >= 2, got {show(n_bootstrap)}")
    for name, value in (("priority_trees", priority_trees), ("priority_rows", priority_rows)):
        if value is None and name == "priority_rows":
            continue
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 2:
            raise ValueError(f"{name} must be an int >= 2, got {show(value)}")
    scores = scores_for(forest, "rank_average_treatment_effect")
    rng = rng_for(forest, "rank_average_treatment_effect")
    if priorities is None:
        rows, values = held_out_priorities(forest, rng, int(priority_trees), priority_rows)
        scores = scores[rows]
    else:
        values = _priorities(priorities, len(scores))
    n = len(scores)
    order, group = _tie_groups(values)
    ties = bool(group[-1] < n - 1)
    sorted_scores = scores[order]
    pick = 0 if target == "AUTOC" else 1
    toc = _toc_curve(sorted_scores, group, ties)
    estimate = _summaries(toc)[pick]
    q = np.arange(1, n + 1) / n if n <= _GRID else np.arange(1, _GRID + 1) / _GRID
    toc_q = _at_grid(toc, q)

    # Half-sample bootstrap: n/2 rows drawn without replacement. The finite-population
    # correction makes a half-sample estimate's variance around the full estimate
    # sigma^2 (1/(n/2) - 1/n) = sigma^2 / n, the full sample's own variance; so the
    # plain standard deviation of the half-sample estimates is the standard error.
    # Rows keep the full sort's order, so no half-sample needs a sort of its own.
    half = n // 2
    if half < 2:
        raise ValueError(f"rank_average_treatment_effect needs at least 4 rows to rank, got {n}")
    draws = np.empty(n_bootstrap)
    curves = np.empty((n_bootstrap, len(q)))
    for b in range(n_bootstrap):
        mask = np.zeros(n, dtype=bool)
        mask[rng.choice(n, size=half, replace=False)] = True
        part = _toc_curve(sorted_scores[mask], group[mask], ties)
        draws[b] = _summaries(part)[pick]
        curves[b] = _at_grid(part, q)
    std_err = float(draws.std(ddof=1))
    toc_std_err = curves.std(axis=0, ddof=1)
    if std_err > 0.0:
        p_value = normal_two_sided_p(estimate / std_err)
    else:
        warnings.warn(
            "every half-sample gave the same RATE (the scores are all equal), so there is no "
            "standard error; the p-value is NaN",
            UserWarning,
            stacklevel=2,
        )
        p_value = math.nan
    return RankAverageEffect(
        estimate=estimate,
        std_err=std_err,
        p_value=p_value,
        target=target,
        q=q,
        toc=toc_q,
        toc_std_err=toc_std_err,
    )
