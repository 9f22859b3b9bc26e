"""Stand-in diagnostics for developing the report; the real package replaces this.

Normal p-values and HC0 errors: close enough to draw and lay out a report.
"""

from dataclasses import dataclass
from math import erfc, sqrt

import numpy as np


def _p_two(t):
    return np.array([erfc(abs(v) / sqrt(2.0)) for v in np.atleast_1d(t)])


@dataclass(frozen=True)
class Coefficient:
    estimate: float
    std_err: float
    t_stat: float
    p_value: float


@dataclass(frozen=True)
class CalibrationResult:
    mean_forest_prediction: Coefficient
    differential_forest_prediction: Coefficient


class LinearProjection:
    def __init__(self, names, estimate, std_err):
        self.names, self.estimate, self.std_err = names, estimate, std_err
        self.t_stat = estimate / std_err
        self.p_value = _p_two(self.t_stat)

    def conf_int(self, alpha=0.05):
        z = 1.959963984540054 if alpha == 0.05 else 1.6448536269514722
        return np.column_stack([self.estimate - z * self.std_err, self.estimate + z * self.std_err])


@dataclass
class RankAverageEffect:
    estimate: float
    std_err: float
    p_value: float
    target: str
    q: np.ndarray
    toc: np.ndarray
    toc_std_err: np.ndarray


def doubly_robust_scores(forest):
    _, T, y = forest._training_data("doubly_robust_scores")
    e = np.clip(forest.T_hat_, 1e-3, 1 - 1e-3)
    tau = forest.oob_effect()
    return tau + (T - e) / (e * (1 - e)) * (y - forest.Y_hat_ - (T - e) * tau)


def _ols(Z, r):
    ZtZ = np.linalg.inv(Z.T @ Z)
    beta = ZtZ @ Z.T @ r
    e = r - Z @ beta
    V = ZtZ @ (Z.T * e**2) @ Z @ ZtZ
    return beta, np.sqrt(np.diag(V))


def calibration_test(forest):
    _, T, y = forest._training_data("calibration_test")
    tau = forest.oob_effect()
    c = T - forest.T_hat_
    Z = np.column_stack([c * tau.mean(), c * (tau - tau.mean())])
    beta, se = _ols(Z, y - forest.Y_hat_)
    t = beta / se
    p = [0.5 * erfc(v / sqrt(2.0)) for v in t]
    return CalibrationResult(
        *(
            Coefficient(float(b), float(s), float(v), float(q))
            for b, s, v, q in zip(beta, se, t, p, strict=True)
        )
    )


def best_linear_projection(forest, A=None):
    X, _, _ = forest._training_data("best_linear_projection")
    A = X if A is None else np.asarray(A, float)
    names = getattr(forest, "feature_names_in_", None)
    names = list(names) if names is not None else [f"x{j}" for j in range(A.shape[1])]
    A = np.nan_to_num(A)
    beta, se = _ols(np.column_stack([np.ones(len(A)), A]), doubly_robust_scores(forest))
    return LinearProjection(["intercept", *names], beta, se)


def rank_average_treatment_effect(forest, priorities=None, target="AUTOC"):
    g = doubly_robust_scores(forest)
    pr = forest.oob_effect() if priorities is None else np.asarray(priorities, float)
    order = np.argsort(-pr, kind="stable")
    n = len(g)
    toc_all = np.cumsum(g[order]) / np.arange(1, n + 1) - g.mean()
    grid = np.linspace(0.01, 1.0, 100)
    idx = np.maximum((grid * n).astype(int) - 1, 0)
    toc = toc_all[idx]
    estimate = float(toc_all.mean())
    rng = np.random.default_rng(0)
    boots, tocs = [], []
    for _ in range(50):
        s = rng.choice(n, n // 2, replace=False)
        gs, ps = g[s], pr[s]
        o = np.argsort(-ps, kind="stable")
        ta = np.cumsum(gs[o]) / np.arange(1, len(s) + 1) - gs.mean()
        boots.append(ta.mean())
        tocs.append(ta[np.maximum((grid * len(s)).astype(int) - 1, 0)])
    se = float(np.std(boots))
    return RankAverageEffect(
        estimate, se, float(_p_two(estimate / se)[0]), target, grid, toc, np.std(tocs, axis=0)
    )
