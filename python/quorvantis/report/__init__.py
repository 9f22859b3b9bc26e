"""Reports of a fitted CausalForest: text, HTML tables and charts."""

from __future__ import annotations

from typing import Any

from .data import gather
from .report import CausalForestReport


class ReportMixin:
    """Adds :meth:`summary` to the causal forest."""

    def summary(self, X: Any = None, alpha: float = 0.05, policy: Any = None) -> CausalForestReport:
        """A report of the fit: data, average effects, heterogeneity tests, and charts.

        Parameters
        ----------
        X : array-like or pandas DataFrame, optional
            Rows for the per-row effects, intervals and charts. With ``None`` (the
            default) they are the training rows' out-of-bag effects, with intervals
            ``oob effect -/+ z * effect_std`` of the training rows (the variance comes
            from all trees, as out-of-bag variances are not available). The averages,
            overlap, calibration test, RATE and best linear projection always use the
            training rows.
        alpha : float, default=0.05
            One minus the coverage of every interval, in (0, 1), and the level of the
            heterogeneity verdict.
        policy : PolicyTree, optional
            A fitted tree choosing between control and treated, normally
            ``PolicyTree().fit_forest(self)``. The report then gains a "Policy" section (the
            tree's ``rule()`` and its value on the training rows, rewards 0 and the doubly
            robust score, against treating everyone and no one) and the ``"policy_tree"`` chart.

        Returns
        -------
        CausalForestReport

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For ``alpha`` outside (0, 1), ``X`` the forest cannot predict on, or a
            ``policy`` that is not a fitted two-action PolicyTree on the forest's features.
        """
        return CausalForestReport(gather(self, X, alpha, policy))


__all__ = ["CausalForestReport", "ReportMixin"]
