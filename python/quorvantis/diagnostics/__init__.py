"""Diagnostics of a fitted causal forest: calibration, projections, rankings and refutations.

Every function takes a fitted :class:`~quorvantis.CausalForest` and works on its
out-of-bag estimates; :class:`DiagnosticsMixin` gives them to the forest as methods.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .calibration import CalibrationResult, Coefficient, calibration_test
from .projection import LinearProjection, best_linear_projection
from .rank import RankAverageEffect, rank_average_treatment_effect
from .refutation import Refutation, refute
from .scores import doubly_robust_scores

__all__ = [
    "CalibrationResult",
    "Coefficient",
    "DiagnosticsMixin",
    "LinearProjection",
    "RankAverageEffect",
    "Refutation",
    "best_linear_projection",
    "calibration_test",
    "doubly_robust_scores",
    "rank_average_treatment_effect",
    "refute",
]


class DiagnosticsMixin:
    """Diagnostics as methods of a fitted forest; each calls the function of the same purpose."""

    def test_calibration(self) -> CalibrationResult:
        """Calibration test of the out-of-bag effects.

        Least squares without intercept of ``y - Y_hat_`` on ``(T - T_hat_) * mean(tau)``
        and ``(T - T_hat_) * (tau - mean(tau))``, HC3 errors, one-sided t p-values.

        Returns
        -------
        CalibrationResult
            ``mean_forest_prediction`` near 1: the average effect is right;
            ``differential_forest_prediction`` significantly above 0: heterogeneity.

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        """
        return calibration_test(self)

    def best_linear_projection(self, A: Any = None) -> LinearProjection:
        """Best linear projection of the effect on ``A`` (the training features by default).

        Parameters
        ----------
        A : array-like or pandas DataFrame of shape (n_samples, k), optional
            Covariates of the training rows, finite and not collinear.

        Returns
        -------
        LinearProjection
            Coefficients, HC3 errors, two-sided t tests, ``conf_int`` and ``summary_frame``.

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For ``A`` with another row count, NaN or infinite values, or collinear columns.
        """
        return best_linear_projection(self, A)

    def rank_average_treatment_effect(
        self, priorities: Any = None, target: str = "AUTOC"
    ) -> RankAverageEffect:
        """RATE of a prioritisation of the training rows, with the TOC curve.

        Parameters
        ----------
        priorities : array-like of shape (n_samples,), optional
            Higher means treat first, not fitted on these rows' outcomes. By default a
            forest of at most 100 trees grown on a random half of the rows ranks the
            other half, where the RATE is computed (out-of-bag effects would bias it).
        target : {"AUTOC", "QINI"}, default="AUTOC"

        Returns
        -------
        RankAverageEffect
            Estimate, half-sample bootstrap standard error, two-sided p-value, TOC curve.

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For ``priorities`` of another length or with NaN, or another ``target``.
        """
        return rank_average_treatment_effect(self, priorities, target)

    def refute(self, method: str, n_repeats: int | None = None) -> Refutation:
        """Refit on altered data and check the average effect; each repeat costs about one fit.

        Parameters
        ----------
        method : {"placebo_treatment", "random_common_cause", "data_subset"}
            Permute T (the effect should vanish), add a random N(0, 1) column (it should
            not move), or refit on 80% subsets (it should agree within sampling error).
        n_repeats : int, optional
            Refits: by default 1, 1 and 3 for the methods above.

        Returns
        -------
        Refutation
            The refitted averages, a p-value, ``passed`` (p >= 0.05) and a one-sentence message.

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For another ``method`` or ``n_repeats`` below 1.
        """
        return refute(self, method, n_repeats)

    def doubly_robust_scores(self) -> np.ndarray:
        """Doubly robust (AIPW) score of each training row; their mean is the average effect.

        Returns
        -------
        ndarray of shape (n_samples,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        """
        return doubly_robust_scores(self)
