"""Best linear projection of the treatment effect on chosen covariates."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._distributions import t_quantile, t_two_sided_p
from ._inputs import rounded, show, training
from ._least_squares import collinear_column, hc3
from .scores import scores_for


@dataclass(frozen=True, eq=False)
class LinearProjection:
    """Coefficients of the doubly robust scores on [1, A], with HC3 errors and two-sided t tests."""

    names: list[str]
    estimate: np.ndarray
    std_err: np.ndarray
    t_stat: np.ndarray
    p_value: np.ndarray
    df: int

    def conf_int(self, alpha: float = 0.05) -> np.ndarray:
        """Two-sided t intervals, one row per coefficient: shape (k, 2), lower then upper.

        Parameters
        ----------
        alpha : float, default=0.05
            One minus the coverage, in (0, 1).
        """
        if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must be a number in (0, 1), got {show(alpha)}")
        half = t_quantile(alpha / 2.0, self.df) * self.std_err
        return np.column_stack([self.estimate - half, self.estimate + half])

    def summary_frame(self) -> Any:
        """The coefficients as a pandas DataFrame indexed by name (needs pandas)."""
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("LinearProjection.summary_frame needs pandas; pip install pandas") from None
        lower, upper = self.conf_int().T
        return pd.DataFrame(
            {
                "estimate": self.estimate,
                "std_err": self.std_err,
                "t_stat": self.t_stat,
                "p_value": self.p_value,
                "ci_lower": lower,
                "ci_upper": upper,
            },
            index=pd.Index(self.names, name="term"),
        )

    def __repr__(self) -> str:
        width = max(12, *(len(n) + 2 for n in self.names))
        lines = ["LinearProjection (HC3 errors, two-sided t tests)"]
        lines.append(f"  {'':{width}}{'estimate':>10}{'std_err':>10}{'t_stat':>10}{'p_value':>10}")
        for i, name in enumerate(self.names):
            values = (self.estimate[i], self.std_err[i], self.t_stat[i], self.p_value[i])
            lines.append(f"  {name:{width}}" + "".join(f"{rounded(float(v)):>10}" for v in values))
        return "\n".join(lines)


def _covariates(forest: Any, A: Any, n: int) -> tuple[np.ndarray, list[str]]:
    if A is None:
        X, _, _ = training(forest, "best_linear_projection")
        names = forest.__dict__.get("feature_names_in_")
        if names is None:
            names = [f"x{j}" for j in range(X.shape[1])]
        return X, [str(v) for v in names]
    pd = sys.modules.get("pandas")
    names = None
    if pd is not None and isinstance(A, pd.DataFrame):
        names = [str(c) for c in A.columns]
    elif pd is not None and isinstance(A, pd.Series):
        names = [str(A.name) if A.name is not None else "x0"]
    try:
        matrix = np.asarray(A, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(
            f"A must be an array-like of numbers; converting it to float64 failed: {exc}"
        ) from None
    if matrix.ndim == 1:
        matrix = matrix[:, None]
    if matrix.ndim != 2:
        raise ValueError(f"A must be 1-D or 2-D (rows by covariates), got an array of shape {matrix.shape}")
    if matrix.shape[0] != n:
        raise ValueError(f"A must have one row per training row: expected {n} rows, got {matrix.shape[0]}")
    if names is None:
        names = [f"x{j}" for j in range(matrix.shape[1])]
    return matrix, names


def best_linear_projection(forest: Any, A: Any = None) -> LinearProjection:
    """Best linear projection of the effect on covariates ``A``: least squares of the
    doubly robust scores on [1, A] with HC3 standard errors and two-sided t tests
    (n - k degrees of freedom, k columns with the intercept).

    Parameters
    ----------
    forest : CausalForest
        A fitted forest.
    A : array-like or pandas DataFrame of shape (n_samples, k - 1), optional
        Covariates of the training rows, in the order of the rows given to fit; the
        training features when omitted. Names are the DataFrame's columns, else the
        forest's ``feature_names_in_`` (for ``A=None``), else ``x0, x1, ...``.

    Returns
    -------
    LinearProjection

    Raises
    ------
    NotFittedError
        Before the forest is fitted.
    ValueError
        When ``A`` has another number of rows, holds NaN or infinite values (impute or
        drop those rows first: a projection on a subset would answer another question),
        or has a column that is constant or a linear combination of the others (the
        coefficients would not be identified; drop that column).
    """
    gamma = scores_for(forest, "best_linear_projection")
    n = len(gamma)
    matrix, names = _covariates(forest, A, n)
    bad = np.argwhere(~np.isfinite(matrix))
    if len(bad):
        row, col = (int(i) for i in bad[0])
        raise ValueError(
            f"A holds {matrix[row, col]} at row {row}, column {names[col]!r}; best_linear_projection needs "
            f"finite covariates: impute or drop those rows ({len(bad)} entries are missing or infinite)"
        )
    design = np.column_stack([np.ones(n), matrix])
    names = ["intercept", *names]
    if n <= design.shape[1]:
        raise ValueError(f"A must have fewer columns than rows minus one: got {matrix.shape[1]} for {n} rows")
    column = collinear_column(design)
    if column is not None:
        raise ValueError(
            f"A's column {names[column]!r} is constant or a linear combination of the intercept and the "
            "columns before it, so the projection is not identified; drop that column"
        )
    fit = hc3(design, gamma)
    with np.errstate(divide="ignore", invalid="ignore"):
        t_stat = fit.coef / fit.std_err
    return LinearProjection(
        names=names,
        estimate=fit.coef,
        std_err=fit.std_err,
        t_stat=t_stat,
        p_value=t_two_sided_p(t_stat, fit.df),
        df=fit.df,
    )
