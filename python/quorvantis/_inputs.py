"""Conversion of user data (NumPy, pandas, sequences) to checked float64 arrays."""

from __future__ import annotations

import sys
from typing import Any

import numpy as np

from ._checks import _num


def _pandas() -> Any:
    # Only look at pandas when the caller has imported it: it stays optional.
    return sys.modules.get("pandas")


def _feature_names(X: Any) -> np.ndarray | None:
    pd = _pandas()
    if pd is None or not isinstance(X, pd.DataFrame):
        return None
    columns = list(X.columns)
    if not columns or not all(isinstance(c, str) for c in columns):
        return None
    return np.asarray(columns, dtype=object)


def _frame_to_float(value: Any, name: str) -> np.ndarray:
    pd = _pandas()
    columns = value.items() if isinstance(value, pd.DataFrame) else [(value.name, value)]
    for column, series in columns:
        dtype = series.dtype
        # Object columns may hold plain numbers; conversion below tells otherwise.
        numeric = pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
        if not (numeric or dtype == np.dtype(object)) or isinstance(dtype, pd.CategoricalDtype):
            where = f"column {column!r}" if isinstance(value, pd.DataFrame) else "the Series"
            raise ValueError(f"{name} must hold numbers, but {where} has dtype {dtype}")
    try:
        array: np.ndarray = value.to_numpy(dtype=np.float64, na_value=np.nan)
        return array
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must hold numbers; converting it to float64 failed: {exc}") from None


def _to_float(value: Any, name: str) -> np.ndarray:
    """`value` as a float64 array in native byte order, copied only when it must be."""
    pd = _pandas()
    if pd is not None and isinstance(value, pd.DataFrame | pd.Series):
        return _frame_to_float(value, name)
    if value is None:
        raise ValueError(f"{name} must be an array-like of numbers, got None")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as exc:
        raise ValueError(
            f"{name} must be an array-like of numbers; it could not be read as an array: {exc}"
        ) from None
    if array.dtype.kind == "O":
        try:
            return array.astype(np.float64)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{name} must hold numbers: {exc}") from None
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold numbers (bool, int or float), got dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def _to_matrix(value: Any, name: str = "X") -> np.ndarray:
    X = _to_float(value, name)
    if X.ndim != 2:
        hint = "; use X.reshape(-1, 1) for a single feature" if X.ndim == 1 else ""
        raise ValueError(f"{name} must be 2-D (rows by features), got an array of shape {X.shape}{hint}")
    if X.shape[1] == 0:
        raise ValueError(f"{name} must have at least one feature column, got shape {X.shape}")
    if not np.isfinite(X).all():
        infinite = np.argwhere(np.isinf(X))
        if len(infinite):
            row, col = (int(i) for i in infinite[0])
            raise ValueError(
                f"{name} holds {_num(X[row, col])} at row {row}, column {col}; only NaN (missing) is allowed "
                "besides finite numbers"
            )
    return X


def _to_vector(value: Any, name: str, n: int) -> np.ndarray:
    v = _to_float(value, name)
    if v.ndim == 2 and v.shape[1] == 1:
        v = v[:, 0]
    if v.ndim != 1:
        raise ValueError(
            f"{name} must be 1-D (or one column), one entry per row, got an array of shape {v.shape}"
        )
    if len(v) != n:
        raise ValueError(f"{name} has {len(v)} entries, but X has {n} rows; give one entry per row of X")
    if not np.isfinite(v).all():
        i = int(np.flatnonzero(~np.isfinite(v))[0])
        raise ValueError(f"{name} holds {_num(v[i])} at position {i}; every entry must be finite")
    return v
