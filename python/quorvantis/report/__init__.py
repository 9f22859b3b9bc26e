"""Reports of a fitted CausalForest: text, HTML tables and charts."""

from __future__ import annotations

from typing import Any

from .data import gather
from .report import CausalForestReport


class ReportMixin:
    """Adds :meth:`summary` to the causal forest."""

    def summary(self, X: Any = None, alpha: float = 0.05) -> CausalForestReport:
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

        Returns
        -------
        CausalForestReport

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For ``alpha`` outside (0, 1), or ``X`` the forest cannot predict on.
        """
        return CausalForestReport(gather(self, X, alpha))


__all__ = ["CausalForestReport", "ReportMixin"]
