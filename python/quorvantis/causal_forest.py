"""The public causal forest estimator, a thin checked layer over the private engine."""

from __future__ import annotations

import importlib
import inspect
import math
import numbers
import os
import reprlib
import sys
import time
import warnings
from typing import Any

import numpy as np

import _quorvantis_engine as _engine

from .diagnostics import DiagnosticsMixin

__all__ = ["CausalForest", "NotFittedError"]


class NotFittedError(ValueError, AttributeError):
    """Raised when a :class:`CausalForest` is used before :meth:`CausalForest.fit`.

    A subclass of both ``ValueError`` and ``AttributeError``, so code written for
    either convention catches it.
    """


_TARGETS = {"all": 0, "treated": 1, "control": 2}
# Every attribute a fit sets; a new fit removes them all first.
_FITTED = (
    "_forest",
    "_training",
    "n_features_in_",
    "feature_names_in_",
    "feature_importances_",
    "Y_hat_",
    "T_hat_",
)
_MAX_TREES = 1_000_000
_LOW_PROPENSITY, _HIGH_PROPENSITY = 0.05, 0.95

_short = reprlib.Repr()
_short.maxstring = 40
_short.maxother = 40


def _show(value: Any) -> str:
    """A short rendering of a given value for error messages."""
    if value is None or isinstance(value, bool | np.bool_ | numbers.Number):
        return str(value)
    if isinstance(value, str):
        return _short.repr(value)
    return f"{_short.repr(value)} ({type(value).__name__})"


def _num(value: float) -> str:
    """A float as short as it can be written without changing it."""
    short = f"{value:g}"
    return short if float(short) == value else repr(float(value))


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool | np.bool_)


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool | np.bool_)


def _check_int(name: str, value: Any, low: int, high: int | None = None) -> int:
    if _is_int(value) and value >= low and (high is None or value <= high):
        return int(value)
    bounds = f">= {low}" if high is None else f"in [{low}, {high}]"
    raise ValueError(f"{name} must be an int {bounds}, got {_show(value)}")


def _check_real(name: str, value: Any, low: float, high: float, low_open: bool, high_open: bool) -> float:
    if _is_real(value):
        v = float(value)
        above = v > low if low_open else v >= low
        below = v < high if high_open else v <= high
        if above and below:
            return v
    if high == math.inf:
        raise ValueError(
            f"{name} must be a finite number {'>' if low_open else '>='} {_num(low)}, got {_show(value)}"
        )
    interval = f"{'(' if low_open else '['}{_num(low)}, {_num(high)}{')' if high_open else ']'}"
    raise ValueError(f"{name} must be a number in {interval}, got {_show(value)}")


def _cpu_count() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _engine_threads(n_jobs: Any) -> int:
    """The engine's thread count for n_jobs: 0 means every worker."""
    if n_jobs is None:
        return 0
    if not _is_int(n_jobs) or n_jobs == 0:
        raise ValueError(
            f"n_jobs must be None, -1 (all CPUs), a positive int or another negative int, got {_show(n_jobs)}"
        )
    if n_jobs == -1:
        return 0
    if n_jobs > 0:
        return int(min(n_jobs, 1 << 30))
    return max(1, _cpu_count() + 1 + int(n_jobs))


def _check_random_state(random_state: Any) -> None:
    if random_state is None or isinstance(random_state, np.random.Generator | np.random.RandomState):
        return
    if _is_int(random_state) and 0 <= random_state < 1 << 64:
        return
    raise ValueError(
        "random_state must be None, an int in [0, 2**64), a numpy.random.Generator or a "
        f"numpy.random.RandomState, got {_show(random_state)}"
    )


def _draw_seed(random_state: Any) -> int:
    """The engine seed for a checked random_state; a generator advances by one draw."""
    if random_state is None:
        return int.from_bytes(os.urandom(8), "little")
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 1 << 64, dtype=np.uint64))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 1 << 64, dtype=np.uint64))
    return int(random_state)


def _normal_upper_quantile(q: float) -> float:
    """z with P(Z > z) = q for a standard normal Z and q in (0, 0.5], by bisection on erfc."""
    lo, hi = 0.0, 40.0  # P(Z > 40) is 0 in doubles, so the root lies inside
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        if 0.5 * math.erfc(mid / math.sqrt(2.0)) > q:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


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


class _Progress:
    """Fit progress on a text stream: one rewritten line on a terminal, plain lines elsewhere."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        try:
            self.tty = bool(stream.isatty())
        except (AttributeError, OSError, ValueError):
            self.tty = False
        # Rewriting one line can be frequent; logs get a line a second at most.
        self.interval = 0.2 if self.tty else 1.0
        self.start = time.monotonic()
        self.last = -math.inf
        self.stage: str | None = None
        self.width = 0
        self.dirty = False

    def _write(self, text: str) -> None:
        if self.stream is None:
            return
        try:
            if self.tty:
                self.stream.write("\r" + text.ljust(self.width))
                self.width = len(text)
                self.dirty = True
            else:
                self.stream.write(text + "\n")
            self.stream.flush()
        except (OSError, ValueError, AttributeError):
            self.stream = None  # a closed or broken stream must not stop the fit

    def __call__(self, stage: str, done: int, total: int, unit: str = "trees", last: bool = False) -> None:
        now = time.monotonic()
        if stage == self.stage and now - self.last < self.interval and not last:
            return
        self.stage, self.last = stage, now
        count = f" {done}/{total} {unit}" if total else ""
        self._write(f"CausalForest: {stage}{count}, {now - self.start:.1f} s")

    def close(self, trees: int | None) -> None:
        if trees is not None:
            self._write(f"CausalForest: done, {trees} causal trees in {time.monotonic() - self.start:.1f} s")
        if self.tty and self.dirty and self.stream is not None:
            try:
                self.stream.write("\n")
                self.stream.flush()
            except (OSError, ValueError, AttributeError):
                pass


class CausalForest(DiagnosticsMixin):
    """Honest causal forest estimating heterogeneous treatment effects tau(x) = E[Y(1) - Y(0) | X = x].

    The outcome and the treatment are first centred on out-of-bag regression forest
    estimates of E[Y | X] and P(T = 1 | X) (unless ``Y_hat`` / ``T_hat`` are given), and
    the causal trees split on the centred data. Trees are grown in groups that share a
    half-sample, which yields variance estimates and confidence intervals for the effects.

    Parameters
    ----------
    n_estimators : int, default=2000
        Number of causal trees; a positive multiple of ``ci_group_size``.
    min_samples_leaf : int, default=5
        Every child of a split holds at least this many treated and this many control rows.
    max_depth : int or None, default=None
        Largest tree depth; None for no limit.
    max_features : int, float or None, default=None
        Features drawn as split candidates at each node: None for
        ``min(ceil(sqrt(p) + 20), p)``, an int in ``[1, p]``, or a float in ``(0, 1]`` for
        ``max(1, int(max_features * p))``.
    sample_fraction : float, default=0.5
        Share of the rows each tree is grown on, in ``(0, 1]``; at most 0.5 when
        ``ci_group_size > 1``.
    honesty : bool, default=True
        Split on one part of a tree's rows and estimate the leaf effects on the other.
    honesty_fraction : float, default=0.5
        Share of a tree's rows used to choose splits when ``honesty`` is on, in ``(0, 1)``.
    ci_group_size : int, default=2
        Trees per group sharing a half-sample; at least 2 for variances and intervals.
    alpha : float, default=0.05
        Smallest share of the parent's treatment variation each child keeps, in ``[0, 0.5)``.
    imbalance_penalty : float, default=0.0
        Penalty (finite, >= 0) on splits with little treatment variation in a child.
    max_bins : int, default=256
        Bins per feature for split search, in ``[2, 256]``.
    random_state : None, int, numpy.random.Generator or numpy.random.RandomState, default=None
        Source of the fit's seed. None draws fresh entropy at every fit; with an int the fit
        is a pure function of the data, the parameters and the seed, identical for any
        ``n_jobs``; a Generator or RandomState gives one seed per fit.
    n_jobs : int or None, default=None
        Threads: None or -1 for all CPUs, a positive count, or ``cpu_count + 1 + n_jobs``
        for other negative values (at least 1). 0 is an error.
    verbose : int, default=0
        With 1 or more, report progress on standard error: one updating line on a
        terminal, plain lines otherwise.

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen at fit.
    feature_names_in_ : ndarray of str
        Column names of a pandas DataFrame ``X`` whose names are all strings; absent otherwise.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Depth-weighted split frequencies; they sum to 1 unless no tree split.
    Y_hat_ : ndarray of shape (n_samples,)
        The outcome estimates E[Y | X] the forest was centred on (out-of-bag, or as given).
    T_hat_ : ndarray of shape (n_samples,)
        The propensity estimates P(T = 1 | X) used (out-of-bag, or as given).

    Examples
    --------
    >>> import numpy as np
    >>> from quorvantis import CausalForest
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(2000, 3))
    >>> T = rng.integers(0, 2, size=2000)
    >>> y = X[:, 1] + T * (1 + (X[:, 0] > 0)) + rng.normal(size=2000)
    >>> forest = CausalForest(n_estimators=200, random_state=0).fit(X, T, y)
    >>> tau = forest.effect(X[:5])
    >>> lower, upper = forest.effect_interval(X[:5], alpha=0.1)
    >>> ate, se = forest.average_treatment_effect()
    """

    def __init__(
        self,
        n_estimators: int = 2000,
        *,
        min_samples_leaf: int = 5,
        max_depth: int | None = None,
        max_features: int | float | None = None,
        sample_fraction: float = 0.5,
        honesty: bool = True,
        honesty_fraction: float = 0.5,
        ci_group_size: int = 2,
        alpha: float = 0.05,
        imbalance_penalty: float = 0.0,
        max_bins: int = 256,
        random_state: Any = None,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None:
        self.n_estimators = n_estimators
        self.min_samples_leaf = min_samples_leaf
        self.max_depth = max_depth
        self.max_features = max_features
        self.sample_fraction = sample_fraction
        self.honesty = honesty
        self.honesty_fraction = honesty_fraction
        self.ci_group_size = ci_group_size
        self.alpha = alpha
        self.imbalance_penalty = imbalance_penalty
        self.max_bins = max_bins
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose

    # -- estimator protocol -------------------------------------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [
            p.name
            for p in signature.parameters.values()
            if p.name != "self" and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)
        ]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """Parameters of this estimator, as given to the constructor.

        Parameters
        ----------
        deep : bool, default=True
            Accepted for compatibility; no parameter is itself an estimator.

        Returns
        -------
        dict
            Parameter names mapped to their values.
        """
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> CausalForest:
        """Set parameters; they are checked at the next :meth:`fit`.

        Parameters
        ----------
        **params
            Constructor parameters and their new values.

        Returns
        -------
        CausalForest
            This estimator.

        Raises
        ------
        ValueError
            For a name that is not a constructor parameter.
        """
        valid = self._param_names()
        for name in params:
            if name not in valid:
                raise ValueError(
                    f"invalid parameter {name!r} for {type(self).__name__}; "
                    f"valid parameters are {', '.join(valid)}"
                )
        for name, value in params.items():
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default for p in inspect.signature(type(self).__init__).parameters.values()}
        shown = []
        for name, value in self.get_params().items():
            default = defaults.get(name, inspect.Parameter.empty)
            try:
                same = value is default or (type(value) is type(default) and bool(value == default))
            except (TypeError, ValueError):
                same = False
            if not same:
                shown.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(shown)})"

    def __sklearn_is_fitted__(self) -> bool:
        return "_forest" in self.__dict__

    def __sklearn_tags__(self) -> Any:
        # Only scikit-learn's utilities ask for tags, so it is there to import.
        utils = importlib.import_module("sklearn.utils")
        return utils.Tags(
            estimator_type=None,
            target_tags=utils.TargetTags(required=True),
            input_tags=utils.InputTags(allow_nan=True),
        )

    def _fitted(self, method: str) -> _engine.Forest:
        forest: _engine.Forest | None = self.__dict__.get("_forest")
        if forest is None:
            raise NotFittedError(
                f"this {type(self).__name__} is not fitted yet; call fit(X, T, y) before {method}()"
            )
        return forest

    # -- fitting -------------------------------------------------------------

    def _options(self) -> dict[str, Any]:
        """Engine options from the parameters, each checked; max_features is resolved at fit."""
        group = _check_int("ci_group_size", self.ci_group_size, 1, _MAX_TREES)
        n_trees = self.n_estimators
        if not (_is_int(n_trees) and 1 <= n_trees <= _MAX_TREES and n_trees % group == 0):
            raise ValueError(
                f"n_estimators must be a positive multiple of ci_group_size ({group}), at most {_MAX_TREES}, "
                f"got {_show(n_trees)}"
            )
        leaf = _check_int("min_samples_leaf", self.min_samples_leaf, 1)
        if self.max_depth is None:
            depth = 0
        elif _is_int(self.max_depth) and self.max_depth >= 1:
            depth = int(min(self.max_depth, 1 << 32))  # no tree is deeper than the engine's row limit
        else:
            raise ValueError(f"max_depth must be None (no limit) or an int >= 1, got {_show(self.max_depth)}")
        mf = self.max_features
        if not (mf is None or (_is_int(mf) and mf >= 1) or (_is_real(mf) and 0.0 < float(mf) <= 1.0)):
            raise ValueError(
                "max_features must be None, an int >= 1 (at most the number of features) or a float "
                f"in (0, 1], got {_show(mf)}"
            )
        fraction = _check_real("sample_fraction", self.sample_fraction, 0.0, 1.0, True, False)
        if group > 1 and fraction > 0.5:
            raise ValueError(
                f"sample_fraction must be at most 0.5 when ci_group_size > 1, got {_num(fraction)}"
            )
        if not isinstance(self.honesty, bool | np.bool_):
            raise ValueError(f"honesty must be a bool (True or False), got {_show(self.honesty)}")
        options = {
            "n_estimators": int(n_trees),
            "min_samples_leaf": leaf,
            "max_depth": depth,
            "sample_fraction": fraction,
            "honesty": bool(self.honesty),
            "honesty_fraction": _check_real("honesty_fraction", self.honesty_fraction, 0.0, 1.0, True, True),
            "ci_group_size": group,
            "alpha": _check_real("alpha", self.alpha, 0.0, 0.5, False, True),
            "imbalance_penalty": _check_real(
                "imbalance_penalty", self.imbalance_penalty, 0.0, math.inf, False, True
            ),
            "max_bins": _check_int("max_bins", self.max_bins, 2, 256),
        }
        _check_random_state(self.random_state)
        options["n_jobs"] = _engine_threads(self.n_jobs)
        if not (_is_int(self.verbose) or isinstance(self.verbose, bool | np.bool_)) or self.verbose < 0:
            raise ValueError(f"verbose must be an int >= 0, got {_show(self.verbose)}")
        return options

    def _max_features(self, p: int) -> int:
        mf = self.max_features
        if mf is None:
            return 0
        if _is_int(mf):
            if mf > p:
                raise ValueError(f"max_features must be at most the number of features ({p}), got {mf}")
            return int(mf)
        return max(1, int(float(mf) * p))

    def fit(
        self, X: Any, T: Any, y: Any, *, Y_hat: Any = None, T_hat: Any = None, dask_client: Any = None
    ) -> CausalForest:
        """Fit the forest on features, a binary treatment and an outcome.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_samples, n_features)
            Features; NaN marks a missing value (each split learns where those go),
            infinite values are refused. Int, bool and float32 are converted to float64.
        T : array-like of shape (n_samples,) or (n_samples, 1)
            Treatment, 0 or 1 (bools are fine), with both values present.
        y : array-like of shape (n_samples,) or (n_samples, 1)
            Outcome, finite.
        Y_hat : array-like of shape (n_samples,), optional
            Given estimates of E[Y | X]; fitted by a regression forest when omitted.
        T_hat : array-like of shape (n_samples,), optional
            Given propensities P(T = 1 | X) in [0, 1]; fitted when omitted.
        dask_client : dask.distributed.Client, optional
            Grow the trees as tasks on this client's cluster instead of in this process.
            The binned training data is scattered to every worker once; each task grows a
            range of tree groups and is recomputed if its worker is lost. The forest is
            identical to a local fit with the same ``random_state``. Binning, the
            nuisance estimates and the final assembly run here, with ``n_jobs`` threads;
            each task uses one thread of its worker. Every worker must have quorvantis
            installed (the same version). Needs the ``distributed`` package, which is
            imported only when this is given.

        Returns
        -------
        CausalForest
            This estimator, fitted.

        Raises
        ------
        ValueError
            For an invalid parameter or input, naming it. Each arm (treated and
            control) needs at least ``2 * min_samples_leaf`` rows, the fewest with which
            any split is possible. Also when ``dask_client`` is closed or its cluster has
            no workers.
        TypeError
            When ``dask_client`` is not a (synchronous) ``dask.distributed.Client``.
        ImportError
            When a dask worker cannot import quorvantis, naming the workers.
        KeyboardInterrupt
            On Ctrl-C; the estimator is then left unfitted, and with ``dask_client``
            the fit's tasks are cancelled.
        """
        for name in _FITTED:
            self.__dict__.pop(name, None)
        options = self._options()
        if dask_client is not None:
            from . import _dask  # dask stays optional: imported only for a cluster fit

            _dask.check_client(dask_client)
        names = _feature_names(X)
        Xa = _to_matrix(X)
        n, p = Xa.shape
        if n == 0:
            raise ValueError(f"X must have at least one row, got shape {Xa.shape}")
        options["max_features"] = self._max_features(p)
        Ta = _to_vector(T, "T", n)
        bad = np.flatnonzero((Ta != 0.0) & (Ta != 1.0))
        if len(bad):
            i = int(bad[0])
            raise ValueError(f"T must be binary (0 or 1), got {_num(Ta[i])} at position {i}")
        treated = int(np.count_nonzero(Ta))
        if treated in (0, n):
            raise ValueError(
                "T must contain both treated (1) and control (0) rows, "
                f"got only {int(treated == n)}s in {n} rows"
            )
        ya = _to_vector(y, "y", n)
        yh = None if Y_hat is None else _to_vector(Y_hat, "Y_hat", n)
        th = None if T_hat is None else _to_vector(T_hat, "T_hat", n)
        if th is not None:
            outside = np.flatnonzero((th < 0.0) | (th > 1.0))
            if len(outside):
                i = int(outside[0])
                raise ValueError(f"T_hat must hold propensities in [0, 1], got {_num(th[i])} at position {i}")
        need = 2 * options["min_samples_leaf"]
        if min(treated, n - treated) < need:
            raise ValueError(
                f"T has {treated} treated and {n - treated} control rows; with min_samples_leaf="
                f"{options['min_samples_leaf']} each arm needs at least {need} rows for any split to be "
                "possible: give more rows or lower min_samples_leaf"
            )
        options["seed"] = _draw_seed(self.random_state)

        progress = _Progress(sys.stderr) if self.verbose else None
        trees = None
        try:
            if dask_client is None:
                forest = _engine.fit(Xa, Ta, ya, yh, th, options, progress)
            else:
                forest = _dask.fit(dask_client, Xa, Ta, ya, yh, th, options, progress)
            trees = forest.n_trees
        finally:
            if progress is not None:
                progress.close(trees)
        fitted = {
            "_forest": forest,
            "n_features_in_": p,
            "feature_importances_": forest.importances(),
            "Y_hat_": forest.y_hat(),
            "T_hat_": forest.w_hat(),
            # Kept for the diagnostics and refits that need the rows again; a private
            # copy, so that later changes to the caller's arrays cannot reach it.
            "_training": tuple(
                a.copy() if a is src or not a.flags.owndata else a for a, src in ((Xa, X), (Ta, T), (ya, y))
            ),
        }
        if names is not None:
            fitted["feature_names_in_"] = names
        self.__dict__.update(fitted)  # one step: an interrupt cannot leave half a fit
        return self

    def _training_data(self, method: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The training rows as float64 arrays: ``X`` (n, p), ``T`` and ``y`` (n,)."""
        self._fitted(method)
        return self.__dict__["_training"]

    # -- prediction ----------------------------------------------------------

    def _rows(self, X: Any, method: str) -> tuple[_engine.Forest, np.ndarray]:
        # Called from a public method through one helper: warnings point at the caller.
        forest = self._fitted(method)
        fitted_names = self.__dict__.get("feature_names_in_")
        names = _feature_names(X)
        if names is not None and fitted_names is not None:
            if len(names) != len(fitted_names) or not (names == fitted_names).all():
                raise ValueError(
                    f"X's feature names differ from those seen at fit: got {_short.repr(list(names))}, "
                    f"expected {_short.repr(list(fitted_names))} (same names, same order)"
                )
        elif fitted_names is not None:
            warnings.warn(
                f"X has no feature names, but this {type(self).__name__} was fitted with feature names",
                UserWarning,
                stacklevel=4,
            )
        elif names is not None:
            warnings.warn(
                f"X has feature names, but this {type(self).__name__} was fitted without feature names",
                UserWarning,
                stacklevel=4,
            )
        Xa = _to_float(X, "X")
        if Xa.ndim != 2:
            raise ValueError(f"X must be 2-D (rows by features), got an array of shape {Xa.shape}")
        if Xa.shape[1] != forest.n_features:
            raise ValueError(
                f"X has {Xa.shape[1]} features, but this {type(self).__name__} was fitted "
                f"on {forest.n_features}; give the same columns as at fit"
            )
        if Xa.shape[0]:
            Xa = _to_matrix(Xa)
        return forest, Xa

    def effect(self, X: Any) -> np.ndarray:
        """Estimated treatment effects tau(x) for the rows of ``X``.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_rows, n_features_in_)
            Rows to estimate at; NaN is a missing value. A DataFrame must have the
            columns seen at fit, in the same order.

        Returns
        -------
        ndarray of shape (n_rows,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For a wrong number of features, other feature names, or infinite values.
        """
        return self._effect(X, "effect")

    def _effect(self, X: Any, method: str) -> np.ndarray:
        forest, Xa = self._rows(X, method)
        return forest.predict(Xa, False, _engine_threads(self.n_jobs))[0]

    def predict(self, X: Any) -> np.ndarray:
        """Same as :meth:`effect`: the estimated effects for the rows of ``X``.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_rows, n_features_in_)

        Returns
        -------
        ndarray of shape (n_rows,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            As for :meth:`effect`.
        """
        return self._effect(X, "predict")

    def _effect_and_std(self, X: Any, method: str) -> tuple[np.ndarray, np.ndarray]:
        forest, Xa = self._rows(X, method)
        if forest.ci_group_size < 2:
            raise ValueError(
                f"{method} needs a forest fitted with ci_group_size >= 2 (variances come from groups "
                "of trees), but this one was fitted with ci_group_size=1"
            )
        tau, variance = forest.predict(Xa, True, _engine_threads(self.n_jobs))
        if variance is None or len(variance) != len(tau):
            raise RuntimeError("the forest engine returned no variance for some rows")
        return tau, np.sqrt(np.maximum(variance, 0.0))

    def effect_std(self, X: Any) -> np.ndarray:
        """Estimated standard deviations of the effect estimates for the rows of ``X``.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_rows, n_features_in_)

        Returns
        -------
        ndarray of shape (n_rows,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For invalid ``X``, or when the forest was fitted with ``ci_group_size=1``.
        """
        return self._effect_and_std(X, "effect_std")[1]

    def effect_interval(self, X: Any, alpha: float = 0.05) -> tuple[np.ndarray, np.ndarray]:
        """Two-sided normal confidence intervals for the effects at the rows of ``X``.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_rows, n_features_in_)
        alpha : float, default=0.05
            One minus the coverage, in (0, 1).

        Returns
        -------
        lower, upper : ndarray of shape (n_rows,)
            ``effect(X) -/+ z * effect_std(X)`` with ``z`` the ``1 - alpha / 2`` normal quantile.

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For ``alpha`` outside (0, 1), invalid ``X``, or a forest fitted with
            ``ci_group_size=1``.
        """
        level = _check_real("alpha", alpha, 0.0, 1.0, True, True)
        tau, std = self._effect_and_std(X, "effect_interval")
        z = _normal_upper_quantile(level / 2.0)
        return tau - z * std, tau + z * std

    def oob_effect(self) -> np.ndarray:
        """Out-of-bag effect estimates for the training rows.

        Each row's estimate comes from the trees that did not see it; a row that every
        tree saw (possible with few trees) is NaN.

        Returns
        -------
        ndarray of shape (n_samples,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        """
        return self._fitted("oob_effect").oob_effect()

    def average_treatment_effect(self, target: str = "all") -> tuple[float, float]:
        """Doubly robust (AIPW) average effect from the out-of-bag estimates of the fit.

        Parameters
        ----------
        target : {"all", "treated", "control"}, default="all"
            Average over all training rows, the treated ones, or the control ones.

        Returns
        -------
        estimate, standard_error : float

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        ValueError
            For another ``target``.

        Warns
        -----
        UserWarning
            When some training rows have estimated propensities outside [0.05, 0.95].
        """
        if not isinstance(target, str) or target not in _TARGETS:
            raise ValueError(f"target must be 'all', 'treated' or 'control', got {_show(target)}")
        estimate, std_error, outside = self._fitted("average_treatment_effect").average_effect(
            _TARGETS[target]
        )
        if outside > 0:
            percent = outside * 100.0
            share = f"{percent:.1f}%" if percent >= 0.1 else f"{percent:.2g}%"
            warnings.warn(
                f"{share} of training rows have estimated propensities outside [{_LOW_PROPENSITY}, "
                f"{_HIGH_PROPENSITY}]; the average effect leans on few comparable rows there",
                UserWarning,
                stacklevel=2,
            )
        return float(estimate), float(std_error)
