"""Conversion of user data (NumPy, pandas, sequences) to checked float64 arrays."""

from __future__ import annotations

import math
import sys
import warnings
from typing import Any

import numpy as np

from ._checks import _num, _short


def _pandas() -> Any:
    # Only look at pandas when the caller has imported it: it stays optional.
    return sys.modules.get("pandas")


def _is_frame(X: Any) -> bool:
    pd = _pandas()
    return pd is not None and isinstance(X, pd.DataFrame)


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
        # Complex columns would lose their imaginary part silently, as arrays do not.
        complex_ = pd.api.types.is_complex_dtype(dtype)
        if complex_ or not (numeric or dtype == np.dtype(object)) or isinstance(dtype, pd.CategoricalDtype):
            where = f"column {column!r}" if isinstance(value, pd.DataFrame) else "the Series"
            raise ValueError(
                f"{name} must hold real numbers (bool, int or float), but {where} has dtype {dtype}"
            )
    try:
        array: np.ndarray = value.to_numpy(dtype=np.float64, na_value=np.nan)
        return array
    except OverflowError as exc:
        raise ValueError(f"{name} must hold numbers within float64's range (about 1.8e308): {exc}") from None
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
    except OverflowError as exc:
        raise ValueError(f"{name} must hold numbers within float64's range (about 1.8e308): {exc}") from None
    except (TypeError, ValueError) as exc:
        raise ValueError(
            f"{name} must be an array-like of numbers; it could not be read as an array: {exc}"
        ) from None
    if array.dtype.kind == "O":
        try:
            return array.astype(np.float64)
        except OverflowError as exc:
            raise ValueError(
                f"{name} must hold numbers within float64's range (about 1.8e308): {exc}"
            ) from None
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{name} must hold numbers: {exc}") from None
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold numbers (bool, int or float), got dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


_CHECK_ROWS = 1 << 16


def _to_matrix(value: Any, name: str = "X") -> np.ndarray:
    X = _to_float(value, name)
    if X.ndim != 2:
        hint = "; use X.reshape(-1, 1) for a single feature" if X.ndim == 1 else ""
        raise ValueError(f"{name} must be 2-D (rows by features), got an array of shape {X.shape}{hint}")
    if X.shape[1] == 0:
        raise ValueError(f"{name} must have at least one feature column, got shape {X.shape}")
    # In row blocks: the check's temporaries stay small for any number of rows.
    for lo in range(0, X.shape[0], _CHECK_ROWS):
        block = X[lo : lo + _CHECK_ROWS]
        if np.isfinite(block).all():
            continue
        infinite = np.argwhere(np.isinf(block))
        if len(infinite):
            row, col = (int(i) for i in infinite[0])
            raise ValueError(
                f"{name} holds {_num(block[row, col])} at row "
                f"{lo + row}, column {col}; only NaN (missing) is "
                "allowed besides finite numbers"
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


# Outcomes whose largest magnitude lies in [2**-_PLAIN_EXPONENT, 2**_PLAIN_EXPONENT)
# go to the engine as given (its sums of squares and products stay normal
# float64 there); others are scaled by a power of two, which is exact.
_PLAIN_EXPONENT = 256
# Effects are differences of outcomes and their variances sums of squares:
# beyond this the scaled-back results could overflow.
_MAX_EXPONENT = 1000


def _outcome_exponent(vectors: list[tuple[str, np.ndarray | None]]) -> int:
    """The power of two ``e`` to divide the outcome vectors by: 0 for ordinary ranges."""
    top, where = 0.0, ("y", 0)
    for name, v in vectors:
        if v is None or not len(v):
            continue
        i = int(np.argmax(np.abs(v)))
        if abs(v[i]) > top:
            top, where = abs(float(v[i])), (name, i)
    if top == 0.0:
        return 0
    exponent = math.frexp(top)[1]  # top in [2**(exponent - 1), 2**exponent)
    if exponent > _MAX_EXPONENT:
        name, i = where
        raise ValueError(
            f"{name} holds {_num(top)} in magnitude at position "
            f"{i}; outcomes must stay below 2**{_MAX_EXPONENT} "
            f"(about {2.0**_MAX_EXPONENT:.3g}), as effects and their variances would overflow float64: "
            f"divide y by a power of ten and multiply the effects back"
        )
    return exponent if abs(exponent) > _PLAIN_EXPONENT else 0


def _to_weights(value: Any, n: int) -> np.ndarray:
    """``sample_weight`` as float64: finite, non-negative, not all zero."""
    w = _to_vector(value, "sample_weight", n)
    negative = np.flatnonzero(w < 0.0)
    if len(negative):
        i = int(negative[0])
        raise ValueError(f"sample_weight must be non-negative, got {_num(w[i])} at position {i}")
    if not (w > 0.0).any():
        raise ValueError("sample_weight must hold some positive weight, got only zeros")
    return w


def _missing_label(v: Any) -> bool:
    return v is None or (isinstance(v, float | np.floating) and v != v) or repr(v) in ("<NA>", "NaT")


def _to_clusters(value: Any, n: int) -> np.ndarray:
    """Cluster numbers 0..C-1 (float64, as the engine reads them) from one label per row."""
    labels = np.asarray(value.to_numpy() if hasattr(value, "to_numpy") else value)
    if labels.ndim == 2 and labels.shape[1] == 1:
        labels = labels[:, 0]
    if labels.ndim != 1 or len(labels) != n:
        raise ValueError(
            f"groups must hold one cluster label per row of X ({n} rows), "
            f"got an array of shape {labels.shape}"
        )
    if labels.dtype.kind in "fc":
        missing = np.flatnonzero(np.isnan(labels))
    elif labels.dtype.kind == "O":
        missing = np.flatnonzero([_missing_label(v) for v in labels])
    else:
        missing = np.empty(0, dtype=np.intp)
    if len(missing):
        i = int(missing[0])
        shown = "NaN" if isinstance(labels[i], float | np.floating) else repr(labels[i])
        raise ValueError(f"groups must not hold missing labels, got {shown} at position {i}")
    if labels.dtype.kind == "O":
        numbers: dict[Any, int] = {}
        try:
            codes = np.fromiter((numbers.setdefault(v, len(numbers)) for v in labels), np.int64, n)
        except TypeError as exc:
            raise ValueError(f"groups must hold hashable labels: {exc}") from None
    else:
        codes = np.unique(labels, return_inverse=True)[1].reshape(-1)
    if codes.max(initial=0) < 1:
        raise ValueError("groups must hold at least 2 distinct clusters, got 1")
    return codes.astype(np.float64)


def check_feature_names(X: Any, fitted_names: np.ndarray | None, owner: str, stacklevel: int) -> None:
    """Refuse columns other than those seen at fit; warn when only one side has names.

    ``stacklevel`` counts from the caller of this function, so that the warning
    points at the user's call.
    """
    names = _feature_names(X)
    if names is not None and fitted_names is not None:
        if len(names) != len(fitted_names) or not (names == fitted_names).all():
            raise ValueError(
                f"X's feature names differ from those seen at fit: got {_short.repr(list(names))}, "
                f"expected {_short.repr(list(fitted_names))} (same names, same order)"
            )
    elif (names is None) != (fitted_names is None):
        said = ("has no", "with") if names is None else ("has", "without")
        warnings.warn(
            f"X {said[0]} feature names, but this {owner} was fitted {said[1]} feature names",
            UserWarning,
            stacklevel=stacklevel + 1,
        )
