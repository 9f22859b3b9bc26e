"""Cross-fitting of user-given nuisance models (scikit-learn style: fit / predict)."""

from __future__ import annotations

import copy
import sys
from typing import Any

import numpy as np

from ._checks import _is_int, _show

# Mixed into the fit's seed so that the folds do not repeat the trees' streams.
_FOLD_STREAM = 0x666F6C6473


def check_model(name: str, model: Any, *, treatment: bool) -> None:
    """A nuisance model must be None or have fit and predict (or predict_proba)."""
    if model is None:
        return
    predicts = callable(getattr(model, "predict", None)) or (
        treatment and callable(getattr(model, "predict_proba", None))
    )
    if isinstance(model, type) or not (callable(getattr(model, "fit", None)) and predicts):
        methods = "fit and predict_proba or predict" if treatment else "fit and predict"
        raise ValueError(
            f"{name} must be None (the internal forest) or an estimator instance with {methods} "
            f"methods, got {_show(model)}"
        )


def check_cv(cv: Any) -> int:
    if _is_int(cv) and cv >= 2:
        return int(cv)
    raise ValueError(f"cv must be an int >= 2 (folds for the nuisance models), got {_show(cv)}")


def _clone(model: Any) -> Any:
    # scikit-learn's clone when the model comes from there (it is then already
    # imported); anything else is copied, so the user's instance stays unfitted.
    if "sklearn" in sys.modules and hasattr(model, "get_params"):
        from sklearn.base import clone

        return clone(model)
    return copy.deepcopy(model)


def folds(T: np.ndarray, cv: int, seed: int) -> np.ndarray:
    """Fold of each row: shuffled, and stratified by treatment so that every
    training part holds both arms."""
    rng = np.random.default_rng([seed, _FOLD_STREAM])
    fold = np.empty(len(T), dtype=np.int64)
    start = 0
    for arm in (0.0, 1.0):
        rows = rng.permutation(np.flatnonzero(T == arm))
        # Each arm continues the round-robin where the other left off: equal folds.
        fold[rows] = (start + np.arange(len(rows))) % cv
        start += len(rows)
    return fold


def _rows(X: Any, Xa: np.ndarray, idx: np.ndarray) -> Any:
    # A DataFrame stays one, so pipelines that select columns by name work.
    return X.iloc[idx] if hasattr(X, "iloc") else Xa[idx]


def _predict(name: str, model: Any, Xp: Any, treatment: bool) -> np.ndarray:
    if treatment and callable(getattr(model, "predict_proba", None)):
        proba = np.asarray(model.predict_proba(Xp), dtype=np.float64)
        classes = list(getattr(model, "classes_", [0, 1]))
        if proba.ndim != 2 or 1 not in classes or proba.shape[1] != len(classes):
            raise ValueError(
                f"{name}.predict_proba must give one column per class, with a class 1; got shape "
                f"{proba.shape} for classes {_show(classes)}"
            )
        out = proba[:, classes.index(1)]
    else:
        out = np.asarray(model.predict(Xp), dtype=np.float64).reshape(-1)
        if treatment:
            out = np.clip(out, 0.0, 1.0)  # a regressor's estimate of P(T = 1) can leave [0, 1]
    return out


def cross_fit(
    name: str, model: Any, X: Any, Xa: np.ndarray, target: np.ndarray, fold: np.ndarray, treatment: bool
) -> np.ndarray:
    """Out-of-fold predictions: each row from a clone fitted on the other folds."""
    out = np.empty(len(target))
    for k in range(int(fold.max()) + 1):
        test = np.flatnonzero(fold == k)
        train = np.flatnonzero(fold != k)
        m = _clone(model)
        m.fit(_rows(X, Xa, train), target[train])
        pred = _predict(name, m, _rows(X, Xa, test), treatment)
        if pred.shape != test.shape or not np.isfinite(pred).all():
            raise ValueError(
                f"{name} must predict one finite number per row; got {pred.shape[0]} values "
                f"({int(np.count_nonzero(~np.isfinite(pred)))} not finite) for {len(test)} rows"
            )
        out[test] = pred
    return out
