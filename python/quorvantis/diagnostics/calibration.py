"""The calibration test: do the forest's effects predict the outcome's response to treatment?"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._distributions import t_one_sided_p
from ._inputs import oob_effects, rounded, training
from ._least_squares import hc3


@dataclass(frozen=True)
class Coefficient:
    """One regression coefficient with its HC3 standard error, t statistic and p-value."""

    estimate: float
    std_err: float
    t_stat: float
    p_value: float

    def __repr__(self) -> str:
        return (
            f"Coefficient(estimate={rounded(self.estimate)}, std_err={rounded(self.std_err)}, "
            f"t_stat={rounded(self.t_stat)}, p_value={rounded(self.p_value)})"
        )


@dataclass(frozen=True)
class CalibrationResult:
    """Coefficients of Y - Y_hat on (T - T_hat) * mean(tau) and (T - T_hat) * (tau - mean(tau)).

    ``mean_forest_prediction`` near 1 says the average effect is right;
    ``differential_forest_prediction`` significantly above 0 (small one-sided p-value)
    is evidence of heterogeneity, and near 1 says the effects' spread is calibrated.
    """

    mean_forest_prediction: Coefficient
    differential_forest_prediction: Coefficient

    def __repr__(self) -> str:
        rows = [("mean_forest_prediction", self.mean_forest_prediction)]
        rows.append(("differential_forest_prediction", self.differential_forest_prediction))
        lines = ["CalibrationResult (one-sided p-values, H1: coefficient > 0)"]
        lines.append(f"  {'':32}{'estimate':>10}{'std_err':>10}{'t_stat':>10}{'p_value':>10}")
        for name, c in rows:
            values = "".join(f"{rounded(v):>10}" for v in (c.estimate, c.std_err, c.t_stat, c.p_value))
            lines.append(f"  {name:32}{values}")
        return "\n".join(lines)


def _nan_coefficient() -> Coefficient:
    return Coefficient(math.nan, math.nan, math.nan, math.nan)


def calibration_test(forest: Any) -> CalibrationResult:
    """Omnibus test of the forest's calibration on its out-of-bag estimates.

    Least squares without intercept of Y_i - m_i on (T_i - e_i) * tau_bar and
    (T_i - e_i) * (tau_i - tau_bar), with m = ``Y_hat_``, e = ``T_hat_``, tau the out-of-bag
    effects and tau_bar their mean; HC3 standard errors and one-sided p-values
    (H1: coefficient > 0) from the t distribution with n - 2 degrees of freedom.

    Parameters
    ----------
    forest : CausalForest
        A fitted forest.

    Returns
    -------
    CalibrationResult

    Raises
    ------
    NotFittedError
        Before the forest is fitted.

    Warns
    -----
    UserWarning
        When the effects are all equal (the differential coefficient is then NaN) or
        the treatment residuals are all zero (both are NaN).
    """
    _, T, y = training(forest, "test_calibration")
    tau = oob_effects(forest, "test_calibration")
    residual_t = T - np.asarray(forest.T_hat_, dtype=np.float64)
    residual_y = y - np.asarray(forest.Y_hat_, dtype=np.float64)
    tau_bar = float(tau.mean())
    columns = [residual_t * tau_bar, residual_t * (tau - tau_bar)]
    usable = [bool(np.any(c != 0.0)) for c in columns]
    if not usable[1] and usable[0]:
        warnings.warn(
            "every out-of-bag effect is the same, so the differential forest prediction has no "
            "regressor; it is NaN",
            UserWarning,
            stacklevel=2,
        )
    if not usable[0]:
        warnings.warn(
            "the mean out-of-bag effect or every treatment residual T - T_hat_ is 0, so the mean "
            "forest prediction has no regressor; it is NaN",
            UserWarning,
            stacklevel=2,
        )
    kept = [j for j in range(2) if usable[j]]
    coefficients = [_nan_coefficient(), _nan_coefficient()]
    if kept:
        fit = hc3(np.column_stack([columns[j] for j in kept]), residual_y)
        with np.errstate(divide="ignore", invalid="ignore"):
            t_stats = fit.coef / fit.std_err
        # The degrees of freedom follow the two-regressor test whichever is kept.
        p_values = t_one_sided_p(t_stats, len(y) - 2)
        for i, j in enumerate(kept):
            coefficients[j] = Coefficient(
                float(fit.coef[i]), float(fit.std_err[i]), float(t_stats[i]), float(p_values[i])
            )
    return CalibrationResult(coefficients[0], coefficients[1])
