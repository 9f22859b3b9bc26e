"""Least squares with heteroskedasticity-robust (HC3) standard errors."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class LeastSquaresFit:
    coef: np.ndarray
    std_err: np.ndarray
    df: int


def collinear_column(design: np.ndarray) -> int | None:
    """The first column that lies (numerically) in the span of the columns before it, or None."""
    _, r = np.linalg.qr(design, mode="reduced")
    diag = np.abs(np.diag(r))
    norms = np.linalg.norm(design, axis=0)
    # A column keeps only rounding-level length once the earlier ones are projected out.
    tol = max(design.shape) * np.finfo(np.float64).eps * 1e3
    for j in range(design.shape[1]):
        if norms[j] == 0.0 or diag[j] <= tol * norms[j]:
            return j
    return None


def hc3(design: np.ndarray, response: np.ndarray) -> LeastSquaresFit:
    """Ordinary least squares of ``response`` on ``design`` (full column rank) with HC3 errors.

    V = (X'X)^-1 X' diag(e_i^2 / (1 - h_ii)^2) X (X'X)^-1, computed through a thin QR
    factorisation X = QR, so that h_ii = |Q_i|^2 and (X'X)^-1 = R^-1 R^-T.
    """
    n, k = design.shape
    q, r = np.linalg.qr(design, mode="reduced")
    coef = np.linalg.solve(r, q.T @ response)
    residual = response - design @ coef
    leverage = np.einsum("ij,ij->i", q, q)
    room = 1.0 - leverage
    # A row with leverage 1 is fitted exactly; its HC3 weight 0/0 has no value.
    exact = room <= 1e-10
    if exact.any():
        warnings.warn(
            f"{int(exact.sum())} row(s) have leverage 1 (the design fits them exactly); "
            "their HC3 weight is undefined and counted as 0",
            UserWarning,
            stacklevel=3,
        )
        room = np.where(exact, 1.0, room)
        residual = np.where(exact, 0.0, residual)
    scaled = q * (residual / room)[:, None]
    # X' Omega X = R' (Q' Omega Q) R, so V = R^-1 (Q' Omega Q) R^-T.
    meat = scaled.T @ scaled
    r_inv = np.linalg.solve(r, np.eye(k))
    covariance = r_inv @ meat @ r_inv.T
    return LeastSquaresFit(coef=coef, std_err=np.sqrt(np.maximum(np.diag(covariance), 0.0)), df=n - k)
