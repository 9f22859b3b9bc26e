"""Categorical columns of X: which they are, their categories, and their codes.

A categorical column reaches the engine as codes 0 .. k-1 (float64, NaN for
missing), and the engine splits it into sets of codes. Categories are those
seen at fit; when a column has more than the engine's bins allow, the most
frequent keep a code each and the rest share the last one ("other").
Categories unseen at fit become missing values at prediction.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._checks import _short, _show
from ._inputs import _pandas

# Value codes the engine has per feature (its missing code is the 256th).
MAX_CODES = 255


def _is_text_column(series: Any) -> bool:
    pd = _pandas()
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return True
    if pd.api.types.is_string_dtype(dtype) and dtype != np.dtype(object):
        return True
    if dtype == np.dtype(object):
        # Object columns of plain numbers stay numeric, as before.
        values = series.dropna()
        return not all(isinstance(v, int | float | np.number | bool) for v in values.iloc[:1000])
    return False


def resolve(marked: Any, X: Any, p: int, names: np.ndarray | None) -> list[int]:
    """The indices of the categorical columns: those ``marked`` names plus a DataFrame's
    category and string columns. ValueError naming ``categorical_features`` otherwise."""
    found: set[int] = set()
    pd = _pandas()
    if pd is not None and isinstance(X, pd.DataFrame):
        for j, (_, series) in enumerate(X.items()):
            if _is_text_column(series):
                found.add(j)
    if marked is None:
        return sorted(found)
    what = "categorical_features must be None, a list of column names or indices, or a boolean mask"
    try:
        items = list(np.asarray(marked, dtype=object).ravel()) if not isinstance(marked, str) else None
    except Exception:  # noqa: BLE001 - anything unreadable is refused below
        items = None
    if items is None:
        raise ValueError(f"{what}, got {_show(marked)}")
    if items and all(isinstance(v, bool | np.bool_) for v in items):
        if len(items) != p:
            raise ValueError(
                f"categorical_features as a boolean mask needs {p} entries (one per column), got {len(items)}"
            )
        return sorted(found | {j for j, v in enumerate(items) if v})
    for v in items:
        if isinstance(v, str):
            if names is None:
                raise ValueError(
                    f"categorical_features names column {v!r}, but X has no column names; "
                    "give indices or a mask"
                )
            hits = np.flatnonzero(names == v)
            if not len(hits):
                raise ValueError(
                    f"categorical_features names column {v!r}, which X lacks; its columns are "
                    f"{_short.repr(list(names))}"
                )
            found.add(int(hits[0]))
        elif isinstance(v, int | np.integer) and not isinstance(v, bool | np.bool_):
            j = int(v)
            if not -p <= j < p:
                raise ValueError(f"categorical_features holds index {j}, but X has {p} columns")
            found.add(j % p)
        else:
            raise ValueError(f"{what}, got entry {_show(v)}")
    return sorted(found)


def _column(X: Any, j: int) -> np.ndarray:
    """Column j as a 1-D array (object for text, float64 otherwise), missing as NaN/None."""
    pd = _pandas()
    if pd is not None and isinstance(X, pd.DataFrame):
        series = X.iloc[:, j]
        if isinstance(series.dtype, pd.CategoricalDtype):
            series = series.astype(object)
        return series.to_numpy(dtype=object, na_value=np.nan)
    return np.asarray(X)[:, j]


def _missing(values: np.ndarray) -> np.ndarray:
    if values.dtype.kind == "f":
        return np.isnan(values)
    pd = _pandas()
    if pd is not None:
        return np.asarray(pd.isna(values), dtype=bool)
    return np.array([v is None or (isinstance(v, float) and v != v) for v in values], dtype=bool)


def _sorted_labels(labels: list[Any]) -> list[Any]:
    try:
        return sorted(labels)
    except TypeError:  # mixed types: their order of first appearance
        return labels


def learn(values: np.ndarray, limit: int) -> tuple[np.ndarray, np.ndarray]:
    """(labels, codes): every category seen, and its code. Above ``limit`` categories the
    ``limit - 1`` most frequent keep their own codes and the others share code ``limit - 1``."""
    present = values[~_missing(values)]
    if present.dtype.kind in "biuf":
        labels_arr, counts = np.unique(present.astype(np.float64), return_counts=True)
        labels: list[Any] = list(labels_arr)
    elif _pandas() is not None:
        pd = _pandas()
        try:
            index, uniques = pd.factorize(present, sort=True)
        except TypeError:  # mixed types: their order of first appearance
            index, uniques = pd.factorize(present, sort=False)
        labels = list(uniques)
        counts = np.bincount(index, minlength=len(labels))
    else:
        tally: dict[Any, int] = {}
        for v in present:
            tally[v] = tally.get(v, 0) + 1
        labels = _sorted_labels(list(tally))
        counts = np.array([tally[v] for v in labels], dtype=np.int64)
    codes = np.arange(len(labels), dtype=np.int64)
    if len(labels) > limit:
        # Stable: among equally frequent categories the earlier label keeps its code.
        keep = np.sort(np.argsort(-counts, kind="stable")[: limit - 1])
        codes = np.full(len(labels), limit - 1, dtype=np.int64)
        codes[keep] = np.arange(limit - 1)
    out = np.empty(len(labels), dtype=object)
    out[:] = labels
    return out, codes


def _numeric_labels(labels: np.ndarray) -> bool:
    return all(isinstance(v, int | float | np.number) and not isinstance(v, bool) for v in labels)


def encode(values: np.ndarray, labels: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """Codes (float64) of a column's values; missing and unseen categories give NaN.

    A numeric column for categories that are not numbers is read as codes already
    (the form the estimator keeps its training rows in)."""
    out = np.full(len(values), np.nan)
    missing = _missing(values)
    if values.dtype.kind in "biuf" and not _numeric_labels(labels):
        given = values.astype(np.float64)
        top = codes.max() if len(codes) else -1
        valid = ~missing & (given >= 0) & (given <= top) & (given == np.floor(given))
        out[valid] = given[valid]
        return out
    if _numeric_labels(labels):
        v: np.ndarray | None
        try:
            v = values.astype(np.float64)
        except (TypeError, ValueError):
            v = None
        if v is not None:
            keys = labels.astype(np.float64)
            at = np.clip(np.searchsorted(keys, v), 0, max(len(keys) - 1, 0))
            hit = ~missing & (len(keys) > 0) & (keys[at] == v) if len(keys) else np.zeros(len(v), bool)
            out[hit] = codes[at[hit]]
            return out
    pd = _pandas()
    if pd is not None:
        found: np.ndarray | None
        try:
            found = pd.Index(labels, dtype=object).get_indexer(values)
        except TypeError:
            found = None
        if found is not None:
            hit = ~missing & (found >= 0)
            out[hit] = codes[found[hit]]
            return out
    lookup = {label: int(c) for label, c in zip(labels, codes, strict=True)}
    for i, v in enumerate(values):
        if not missing[i]:
            try:
                c = lookup.get(v)
            except TypeError:  # unhashable: not a category
                c = None
            if c is not None:
                out[i] = c
    return out


def numeric_part(X: Any, categorical: list[int]) -> Any:
    """X with its categorical columns replaced by NaN, for the numeric conversion and checks."""
    pd = _pandas()
    if pd is not None and isinstance(X, pd.DataFrame):
        out = X.copy(deep=False)
        for j in categorical:
            out.isetitem(j, np.full(len(X), np.nan))
        return out
    array = np.asarray(X)
    if array.ndim != 2:
        return X
    if array.dtype.kind == "O":
        array = array.copy()
        for j in categorical:
            array[:, j] = np.nan
    return array


def fit_columns(X: Any, categorical: list[int], limit: int) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    return {j: learn(_column(X, j), limit) for j in categorical}


def apply(X: Any, Xa: np.ndarray, categories: dict[int, tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
    """Xa (float64) with each categorical column set to the codes of X's column."""
    if not categories:
        return Xa
    Xa = np.array(Xa, dtype=np.float64, copy=True)
    for j, (labels, codes) in categories.items():
        Xa[:, j] = encode(_column(X, j), labels, codes)
    return Xa


def check_state(value: Any, p: int, what: str) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """A pickled category table, or ValueError."""
    ok = isinstance(value, dict) and all(
        isinstance(j, int)
        and 0 <= j < p
        and isinstance(t, tuple)
        and len(t) == 2
        and isinstance(t[0], np.ndarray)
        and isinstance(t[1], np.ndarray)
        and t[0].shape == t[1].shape
        for j, t in value.items()
    )
    if not ok:
        raise ValueError(
            f"{what} must hold _categories as a dict of column index to (labels, codes) arrays, "
            f"got {_show(value)}"
        )
    return value
