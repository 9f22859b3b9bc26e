"""Refutations: refits on altered data that a sound effect estimate should survive."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._distributions import normal_two_sided_p
from ._inputs import rng_for, rounded, show, training

METHODS = ("placebo_treatment", "random_common_cause", "data_subset")
DEFAULT_REPEATS = {"placebo_treatment": 1, "random_common_cause": 1, "data_subset": 3}
_SUBSET_SHARE = 0.8
_LEVEL = 0.05


@dataclass(frozen=True, eq=False)
class Refutation:
    """The outcome of one refutation: refitted average effects, a p-value and a verdict.

    ``passed`` is True when ``p_value`` >= 0.05, that is when the refits give no
    evidence at the 5% level against the original estimate (see :func:`refute`).
    """

    method: str
    estimate: float
    refuted_estimates: np.ndarray
    p_value: float
    passed: bool
    message: str

    def __repr__(self) -> str:
        verdict = "passed" if self.passed else "FAILED"
        return (
            f"Refutation({self.method!r}, {verdict}, estimate={rounded(self.estimate)}, "
            f"refuted_estimates={[float(rounded(v)) for v in self.refuted_estimates]}, "
            f"p_value={rounded(self.p_value)})\n  {self.message}"
        )


def _refit(forest: Any, seed: int, X: np.ndarray, T: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    params = forest._refit_params()  # the kept rows hold category codes
    params.update(random_state=seed, verbose=0)
    estimate, std_err = type(forest)(**params).fit(X, T, y).average_treatment_effect()
    return float(estimate), float(std_err)


def refute(forest: Any, method: str, n_repeats: int | None = None) -> Refutation:
    """Refit the forest, with its own parameters, on altered data and check the average effect.

    Each repeat costs about one fit of the forest. Seeds derive from the forest's
    ``random_state``, so an int seed repeats the refutation exactly.

    - ``"placebo_treatment"``: T is permuted, so the true average effect is 0. With
      z_r = ATE_r / se_r for each refit, the p-value is two-sided for Stouffer's
      sum(z_r) / sqrt(R) (independent permutations give nearly independent z_r); it
      passes when 0 is covered, p >= 0.05. Default 1 repeat.
    - ``"random_common_cause"``: an independent N(0, 1) column is appended to X. An
      unrelated covariate should not move the estimate: the p-value is two-sided for
      the mean shift divided by the original standard error, so it fails only when the
      shift is as large as sampling noise would make it. Default 1 repeat.
    - ``"data_subset"``: refits on random 80% subsets of the rows. The mean shift of
      the subsets' estimates from the full one, over their mean standard error, gives a
      two-sided p-value: the shift holds sampling noise and the refits' own randomness
      (new nuisance estimates and trees), which a subset's standard error bounds, so the
      test errs on passing. Default 3.

    Parameters
    ----------
    forest : CausalForest
        A fitted forest.
    method : {"placebo_treatment", "random_common_cause", "data_subset"}
    n_repeats : int, optional
        Refits; the default depends on ``method`` (above).

    Returns
    -------
    Refutation

    Raises
    ------
    NotFittedError
        Before the forest is fitted.
    ValueError
        For another ``method`` or an ``n_repeats`` below 1.
    """
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {show(method)}")
    if n_repeats is None:
        n_repeats = DEFAULT_REPEATS[method]
    if isinstance(n_repeats, bool) or not isinstance(n_repeats, (int, np.integer)) or n_repeats < 1:
        raise ValueError(f"n_repeats must be an int >= 1, got {show(n_repeats)}")
    X, T, y = training(forest, "refute")
    estimate, std_err = forest.average_treatment_effect()
    rng = rng_for(forest, "refute:" + method)
    n = len(y)
    refits = []
    for _ in range(int(n_repeats)):
        seed = int(rng.integers(0, 1 << 63))
        if method == "placebo_treatment":
            refits.append(_refit(forest, seed, X, rng.permutation(T), y))
        elif method == "random_common_cause":
            refits.append(_refit(forest, seed, np.column_stack([X, rng.standard_normal(n)]), T, y))
        else:
            rows = np.sort(rng.choice(n, size=int(round(_SUBSET_SHARE * n)), replace=False))
            refits.append(_refit(forest, seed, X[rows], T[rows], y[rows]))
    effects = np.array([a for a, _ in refits])
    errors = np.array([s for _, s in refits])
    r = len(effects)
    if method == "placebo_treatment":
        z = float(np.sum(effects / errors) / math.sqrt(r))
        p = normal_two_sided_p(z)
        what = (
            f"With the treatment permuted ({r} refit{'s' * (r > 1)}), the average effect was "
            f"{rounded(float(effects.mean()))} (original {rounded(estimate)}); "
        )
        meaning = (
            "it covers 0, as it should"
            if p >= _LEVEL
            else "it does not cover 0: the fit finds effects where there are none"
        )
    elif method == "random_common_cause":
        shift = float(effects.mean() - estimate)
        p = normal_two_sided_p(shift / std_err)
        what = (
            f"With a random N(0, 1) column added ({r} refit{'s' * (r > 1)}), the average effect moved from "
            f"{rounded(estimate)} to {rounded(float(effects.mean()))}, "
            f"{rounded(abs(shift) / std_err, 2)} standard errors; "
        )
        meaning = (
            "an unrelated covariate leaves it stable"
            if p >= _LEVEL
            else "an unrelated covariate moves it: the estimate is fragile"
        )
    else:
        # A shift holds the subsets' sampling noise (variance se^2 (n/m - 1) for an
        # efficient estimator) and the refits' own: new nuisance estimates and new
        # trees. The subsets' own standard errors bound both (measured: scaled by
        # se sqrt(n/m - 1) alone, 15% of 200 constant-effect runs failed at 5%).
        z = float((effects.mean() - estimate) / errors.mean())
        p = normal_two_sided_p(z)
        what = (
            f"On {r} random {round(_SUBSET_SHARE * 100)}% subsets the average effect ranged from "
            f"{rounded(float(effects.min()))} to {rounded(float(effects.max()))} "
            f"(original {rounded(estimate)}); "
        )
        meaning = (
            "that is within sampling error"
            if p >= _LEVEL
            else "that is more than sampling error explains: the estimate depends on which rows are used"
        )
    return Refutation(
        method=method,
        estimate=float(estimate),
        refuted_estimates=effects,
        p_value=float(p),
        passed=bool(p >= _LEVEL),
        message=f"{what}{meaning} (p = {rounded(p, 2)}).",
    )
