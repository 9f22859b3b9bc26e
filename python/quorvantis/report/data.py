"""Everything a report shows, computed once from a fitted forest.

The expensive step is the forest's variance pass for the per-row intervals; it
runs once, and every table and chart reads from the arrays gathered here.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import Any

import numpy as np

from . import _contract

LOW_PROPENSITY, HIGH_PROPENSITY = 0.05, 0.95
TARGETS = ("all", "treated", "control")


@dataclass
class Average:
    target: str
    estimate: float
    std_err: float


@dataclass
class PolicyData:
    rule: str
    value: Any  # PolicyValue on the forest's training rows with a doubly robust score
    tree: dict  # the tree's to_dict()


@dataclass
class ReportData:
    alpha: float
    z: float
    n_rows: int
    n_treated: int
    n_features: int
    feature_names: list[str]
    source: str  # which rows the per-row effects are for, and how their intervals were made
    averages: list[Average]
    overlap_share: float
    calibration: Any
    rate: Any
    blp: Any
    importances: np.ndarray
    X: np.ndarray  # the rows the effects are for
    tau: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    notes: list[str] = field(default_factory=list)  # warnings and reasons, each once
    feature_sd: np.ndarray | None = None  # of the training features, for the projection per s.d.
    policy: PolicyData | None = None


def check_alpha(alpha: Any) -> float:
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float, np.floating, np.integer)):
        raise ValueError(f"alpha must be a number in (0, 1), got {alpha!r}")
    if not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must be in (0, 1), got {alpha!r}")
    return float(alpha)


def _names(forest: Any) -> list[str]:
    names = getattr(forest, "feature_names_in_", None)
    if names is not None:
        return [str(n) for n in names]
    return [f"x{j}" for j in range(forest.n_features_in_)]


def _effect_and_std(forest: Any, X: Any) -> tuple[np.ndarray, np.ndarray]:
    # One variance pass gives both; two public calls would predict twice.
    if getattr(forest, "ci_group_size", 2) < 2:  # no variances: effects only, intervals NaN
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message="X has no feature names")
            tau = forest.effect(X)
        return tau, np.full(len(tau), np.nan)
    both = getattr(forest, "_effect_and_std", None)
    with warnings.catch_warnings():
        # The training rows come as an array even for a forest fitted on a DataFrame.
        warnings.filterwarnings("ignore", message="X has no feature names")
        if both is not None:
            return both(X, "summary")
        return forest.effect(X), forest.effect_std(X)


def _as_matrix(X: Any) -> np.ndarray:
    if hasattr(X, "to_numpy"):
        X = X.to_numpy(dtype=float, na_value=np.nan)
    return np.asarray(X, dtype=float)


class _Notes:
    """Collects warnings raised inside a block as report notes instead of printing them."""

    def __init__(self, notes: list[str]) -> None:
        self.notes = notes

    def add(self, text: str) -> None:
        if text not in self.notes:
            self.notes.append(text)

    def run(self, what: str, compute: Any) -> Any:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                value = compute()
            except (ValueError, ArithmeticError, ImportError, np.linalg.LinAlgError) as error:
                self.add(f"{what} is not available: {str(error).rstrip('.')}.")
                value = None
        for w in caught:
            self.add(f"{what}: {str(w.message).rstrip('.')}.")
        return value


def _policy(forest: Any, tree: Any, X_train: np.ndarray) -> PolicyData:
    # Imported here: the policy module imports the estimator, which imports the report.
    from ..policy import PolicyTree

    if not isinstance(tree, PolicyTree):
        raise ValueError(f"policy must be a fitted quorvantis.PolicyTree or None, got {type(tree).__name__}")
    if not tree.__sklearn_is_fitted__():
        raise ValueError(
            "policy must be a fitted PolicyTree (call fit_forest(forest) first), got an unfitted one"
        )
    p = X_train.shape[1]
    if tree.n_features_in_ != p:
        raise ValueError(
            f"policy must split on the forest's {p} features, "
            f"got a PolicyTree fitted on {tree.n_features_in_}"
        )
    ours, theirs = forest.__dict__.get("feature_names_in_"), tree.__dict__.get("feature_names_in_")
    if ours is not None and theirs is not None and list(ours) != list(theirs):
        raise ValueError(
            f"policy must split on the forest's features {list(ours)[:10]}, "
            f"got one fitted on {list(theirs)[:10]}"
        )
    if len(tree.action_names_) != 2:
        raise ValueError(
            f"policy must choose between 2 actions (control, then treated), got {len(tree.action_names_)}"
        )
    scores = np.asarray(_contract.doubly_robust_scores(forest), dtype=float)
    keep = np.isfinite(scores)
    rewards = np.column_stack([np.zeros(int(keep.sum())), scores[keep]])
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="X has no feature names")
        value = tree.value(X_train[keep], rewards)
    return PolicyData(tree.rule(), value, tree.to_dict())


def gather(forest: Any, X: Any, alpha: float, policy: Any = None) -> ReportData:
    alpha = check_alpha(alpha)
    z = NormalDist().inv_cdf(1.0 - alpha / 2.0)
    X_train, T, _ = forest._training_data("summary")
    notes: list[str] = []
    collect = _Notes(notes)
    # An unusable tree is the caller's error: checked before the slow steps.
    policy_data = None if policy is None else _policy(forest, policy, X_train)

    oob = forest.oob_effect()
    missing_oob = int(np.isnan(oob).sum())
    averages = []
    for target in TARGETS:
        result = collect.run(
            "average_treatment_effect", lambda t=target: forest.average_treatment_effect(target=t)
        )
        estimate, se = result if result is not None else (math.nan, math.nan)
        averages.append(Average(target, float(estimate), float(se)))
    if any(math.isnan(a.estimate) for a in averages):
        why = (
            f"{missing_oob:,} training rows have no out-of-bag effect (every tree saw them); fit more trees"
            if missing_oob
            else "the forest returned no finite average (see the notes above)"
        )
        collect.add(f"Some average effects are n/a: {why}.")

    e = np.asarray(forest.T_hat_, dtype=float)
    overlap = float(np.mean((e < LOW_PROPENSITY) | (e > HIGH_PROPENSITY)))

    calibration = collect.run("calibration test", lambda: _contract.calibration_test(forest))
    rate = collect.run("RATE", lambda: _contract.rank_average_treatment_effect(forest, target="AUTOC"))
    blp = collect.run("best linear projection", lambda: _contract.best_linear_projection(forest))

    if X is None:
        tau, std = oob, _effect_and_std(forest, X_train)[1]
        rows = X_train
        source = (
            "training rows, out-of-bag effects; intervals use the standard deviations "
            "of effect_std on the training rows"
        )
    else:
        tau, std = _effect_and_std(forest, X)
        rows = _as_matrix(X)
        source = "the rows of X given to summary"
    if getattr(forest, "ci_group_size", 2) < 2:
        collect.add(
            "Per-row intervals are n/a: the forest was fitted with ci_group_size=1, and variances "
            "need groups of trees (ci_group_size >= 2)."
        )
    if missing_oob and X is None:
        collect.add(
            f"{missing_oob:,} training rows have no out-of-bag effect (every tree saw them) and are left "
            "out of the effect spread and charts."
        )
    return ReportData(
        alpha=alpha,
        z=z,
        n_rows=len(T),
        n_treated=int(np.sum(T > 0.5)),
        n_features=int(forest.n_features_in_),
        feature_names=_names(forest),
        source=source,
        averages=averages,
        overlap_share=overlap,
        calibration=calibration,
        rate=rate,
        blp=blp,
        importances=np.asarray(forest.feature_importances_, dtype=float),
        X=rows,
        tau=np.asarray(tau, dtype=float),
        lower=tau - z * std,
        upper=tau + z * std,
        notes=notes,
        # The projection is refused with missing values, so its columns have plain deviations.
        feature_sd=np.std(X_train, axis=0) if blp is not None else None,
        policy=policy_data,
    )
