"""Doubly robust (AIPW) scores of the training rows."""

from __future__ import annotations

from typing import Any

import numpy as np

from ._inputs import clipped_propensities, oob_effects, training


def doubly_robust_scores(forest: Any) -> np.ndarray:
    """Doubly robust score of each training row of a fitted forest.

    Gamma_i = tau_i + (T_i - e_i) / (e_i (1 - e_i)) * (Y_i - m_i - (T_i - e_i) tau_i), with
    tau_i the out-of-bag effect, m_i = ``Y_hat_`` and e_i = ``T_hat_`` kept in
    [0.001, 0.999] as ``average_treatment_effect`` keeps it; their mean is that method's
    estimate for ``target="all"``.

    Parameters
    ----------
    forest : CausalForest
        A fitted forest.

    Returns
    -------
    ndarray of shape (n_samples,)

    Raises
    ------
    NotFittedError
        Before the forest is fitted.
    """
    return scores_for(forest, "doubly_robust_scores")


def scores_for(forest: Any, method: str) -> np.ndarray:
    """The doubly robust scores; NotFittedError naming ``method`` before fit."""
    _, T, y = training(forest, method)
    tau = oob_effects(forest, method)
    e = clipped_propensities(forest)
    m = np.asarray(forest.Y_hat_, dtype=np.float64)
    r = T - e
    scores: np.ndarray = tau + r / (e * (1.0 - e)) * (y - m - r * tau)
    return scores
