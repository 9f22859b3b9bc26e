"""The public causal forest estimator, a thin checked layer over the private engine."""

from __future__ import annotations

import importlib
import inspect
import math
import sys
import warnings
from typing import Any

import numpy as np

import _quorvantis_engine as _engine

from . import _categories, _crossfit
from ._checks import (
    _check_int,
    _check_random_state,
    _check_real,
    _check_sampling,
    _cpu_count,
    _draw_seed,
    _engine_threads,
    _is_int,
    _is_real,
    _num,
    _short,
    _show,
)
from ._inputs import (
    _feature_names,
    _is_frame,
    _outcome_exponent,
    _to_clusters,
    _to_float,
    _to_matrix,
    _to_vector,
    _to_weights,
    check_feature_names,
)
from ._normal import normal_upper_quantile
from ._params import ParamsMixin
from ._progress import _Progress
from .diagnostics import DiagnosticsMixin
from .report import ReportMixin

__all__ = ["CausalForest", "NotFittedError"]


class NotFittedError(ValueError, AttributeError):
    """Raised when a :class:`CausalForest` is used before :meth:`CausalForest.fit`.

    A subclass of both ``ValueError`` and ``AttributeError``, so code written for
    either convention catches it.
    """


# Read from the fitted forest, so a pickle stores them once, inside its checksummed bytes.
_DERIVED = ("n_features_in_", "feature_importances_", "Y_hat_", "T_hat_")
_NUISANCE_MODELS = ("outcome_model", "treatment_model")
# Every attribute a fit sets; a new fit removes them all first.
_FITTED = ("_forest", "_training", "_design", "_y_exponent", "_categories", "feature_names_in_", *_DERIVED)
# Prediction goes in blocks of rows (binning included), so its working memory
# does not grow with the rows; a block still holds many of the engine's
# 4096-row work units for every thread. Every block walks every tree again,
# which for a forest larger than the caches means fetching it all from memory
# once per block: larger forests take blocks of up to a quarter of their own
# size, at about this many bytes a row beside its codes.
_PREDICT_BLOCK_ROWS = 4096 * max(8, 2 * _cpu_count())
_PREDICT_ROW_BYTES = 160


def _block_rows(forest: _engine.Forest) -> int:
    return max(_PREDICT_BLOCK_ROWS, forest.tree_bytes // (4 * (forest.n_features + _PREDICT_ROW_BYTES)))


# The engine's bounds of each option: (low, high, low_open, high_open).
_LIMITS: dict[str, tuple[Any, Any, bool, bool]] = _engine.OPTION_LIMITS


def _count(name: str, value: Any) -> int:
    low, high, _, _ = _LIMITS[name]
    return _check_int(name, value, low, high)


def _real(name: str, value: Any) -> float:
    return _check_real(name, value, *_LIMITS[name])


def _derived(forest: _engine.Forest, exponent: int) -> dict[str, Any]:
    # The engine works on y scaled by 2**-exponent (exact); Y_hat_ is in y's units.
    return {
        "n_features_in_": forest.n_features,
        "feature_importances_": forest.importances(),
        "Y_hat_": np.ldexp(forest.y_hat(), exponent),
        "T_hat_": forest.t_hat(),
    }


def _same(value: Any, expected: Any) -> bool:
    if isinstance(expected, np.ndarray):
        return (
            isinstance(value, np.ndarray)
            and value.dtype == expected.dtype
            and value.shape == expected.shape
            and value.tobytes() == expected.tobytes()
        )
    return _is_int(value) and bool(value == expected)


def _share(fraction: float) -> str:
    percent = fraction * 100.0
    text = f"{percent:.1f}" if percent >= 0.1 else f"{percent:.2g}"
    return f"{percent:.4g}%" if text == "100.0" and fraction < 1.0 else f"{text}%"


def _warn_nan(missing: int, rows: int, what: str, why: str, stacklevel: int) -> None:
    """Warn when `missing` of `rows` results are NaN, saying why; `stacklevel` counts from our caller."""
    if missing:
        warnings.warn(
            f"{what} is NaN for {missing} of {rows} rows: {why}", UserWarning, stacklevel=stacklevel + 1
        )


class CausalForest(ParamsMixin, DiagnosticsMixin, ReportMixin):
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
    categorical_features : None, list of str or int, or array-like of bool, default=None
        Columns of ``X`` to split as categories rather than as ordered numbers: column
        names (of a DataFrame), indices, or a boolean mask of one entry per column. A
        DataFrame's ``category`` and string columns are categorical in any case. A split
        sends a set of categories left; see the README's section on categorical features
        for how categories are coded, what happens beyond ``max_bins - 1`` categories,
        and where unseen categories go.
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
    outcome_model : estimator or None, default=None
        A scikit-learn style regressor (``fit`` / ``predict``) for E[Y | X], cross-fitted
        over ``cv`` folds in place of the internal outcome forest; None keeps the forest.
    treatment_model : estimator or None, default=None
        A classifier (``predict_proba``, the column of class 1) or a regressor (``predict``,
        clipped to [0, 1]) for P(T = 1 | X), cross-fitted like ``outcome_model``.
    cv : int, default=5
        Folds (>= 2) for cross-fitting ``outcome_model`` and ``treatment_model``: shuffled,
        stratified by treatment, from a seed derived from ``random_state``.
    equalize_cluster_weights : bool, default=False
        With ``groups`` at fit, weigh every cluster alike (each row's weight divided by
        its cluster's total), so that the average effects are averages over clusters;
        otherwise large clusters count by their rows.

    Attributes
    ----------
    n_features_in_ : int
        Number of features seen at fit.
    feature_names_in_ : ndarray of str
        Column names of a pandas DataFrame ``X`` whose names are all strings; absent otherwise.
    categories_ : list of (ndarray or None), one per feature
        The categories seen at fit for each categorical column (None for the others).
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
        categorical_features: Any = None,
        random_state: Any = None,
        n_jobs: int | None = None,
        verbose: int = 0,
        outcome_model: Any = None,
        treatment_model: Any = None,
        cv: int = 5,
        equalize_cluster_weights: bool = False,
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
        self.categorical_features = categorical_features
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.outcome_model = outcome_model
        self.treatment_model = treatment_model
        self.cv = cv
        self.equalize_cluster_weights = equalize_cluster_weights

    # -- estimator protocol -------------------------------------------------

    # Estimators of the user's, whose parameters get_params lists as <name>__<parameter>.
    _NESTED = _NUISANCE_MODELS

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

    # -- pickling --------------------------------------------------------------

    def __getstate__(self) -> dict[str, Any]:
        # What the forest holds is stored once, in its checksummed bytes.
        return {name: value for name, value in self.__dict__.items() if name not in _DERIVED}

    def __setstate__(self, state: Any) -> None:
        self.__dict__.update(self._checked_state(state))

    @classmethod
    def _checked_state(cls, state: Any) -> dict[str, Any]:
        """The attributes of a pickled estimator, or ValueError when they do not describe one."""
        what = f"a pickled {cls.__name__}"
        if not isinstance(state, dict):
            raise ValueError(f"{what} must hold a dict of attributes, got {type(state).__name__}")
        params = cls._param_names()
        unknown = [k for k in state if k not in params and k not in _FITTED]
        if unknown:
            raise ValueError(
                f"{what} may hold the parameters {', '.join(params)} and the fitted attributes "
                f"{', '.join(_FITTED)}; got unknown {_short.repr(unknown)}"
            )
        # Parameters are checked at fit, as for the constructor; one that a newer
        # version added takes its default, so older pickles keep loading.
        defaults = inspect.signature(cls.__init__).parameters
        out = {k: state[k] if k in state else defaults[k].default for k in params}
        if "_forest" not in state:
            stray = [k for k in state if k in _FITTED]
            if stray:
                raise ValueError(f"{what} holds fitted attributes {stray} but no _forest")
            return out
        forest, training = state.get("_forest"), state.get("_training")
        if not isinstance(forest, _engine.Forest):
            raise ValueError(f"{what} must hold its fitted forest as _forest, got {_show(forest)}")
        exponent = state.get("_y_exponent", 0)
        if not _is_int(exponent) or abs(exponent) > 1100:
            raise ValueError(
                f"{what} must hold _y_exponent as an int in [-1100, 1100], got {_show(exponent)}"
            )
        derived = _derived(forest, int(exponent))
        n, p = len(derived["Y_hat_"]), derived["n_features_in_"]
        shapes = ((n, p), (n,), (n,))
        if "_training" in state and not (
            isinstance(training, tuple)
            and len(training) == 3
            and all(
                isinstance(a, np.ndarray) and a.dtype == np.float64 and a.shape == shape
                for a, shape in zip(training, shapes, strict=True)
            )
        ):
            raise ValueError(
                f"{what} must hold its training rows as _training, a tuple of float64 arrays X, T, y of "
                f"shapes {shapes} (the forest's rows and features), got {_show(training)}"
            )
        for name in _DERIVED:
            if name in state and not _same(state[name], derived[name]):
                raise ValueError(f"{what} holds {name} differing from the forest's own")
        design = state.get("_design")
        if "_design" in state and not (
            isinstance(design, tuple)
            and len(design) == 2
            and any(a is not None for a in design)
            and all(a is None or (isinstance(a, np.ndarray) and a.shape == (n,)) for a in design)
            and (design[0] is None or (design[0].dtype == np.float64 and (design[0] >= 0).all()))
            and (design[1] is None or (design[1].dtype.kind == "i" and (design[1] >= 0).all()))
        ):
            raise ValueError(
                f"{what} must hold _design as (weights or None, cluster codes or None), arrays of the "
                f"forest's {n} rows, got {_show(design)}"
            )
        if "_design" in state:
            out["_design"] = design
        out.update(_forest=forest, _y_exponent=int(exponent), **derived)
        if "_training" in state:
            out["_training"] = training
        if "_categories" in state:
            out["_categories"] = _categories.check_state(state["_categories"], p, what)
        if "feature_names_in_" in state:
            names = state["feature_names_in_"]
            if not (
                isinstance(names, np.ndarray)
                and names.shape == (p,)
                and all(isinstance(name, str) for name in names)
            ):
                raise ValueError(
                    f"{what} must hold feature_names_in_ as an array of {p} strings, got {_show(names)}"
                )
            out["feature_names_in_"] = names
        return out

    @property
    def categories_(self) -> list[np.ndarray | None]:
        """Per feature, the categories seen at fit of a categorical column, else None."""
        forest = self._fitted("categories_")
        table = self.__dict__.get("_categories") or {}
        return [table[j][0].copy() if j in table else None for j in range(forest.n_features)]

    def _refit_params(self) -> dict[str, Any]:
        """Parameters to fit again on the kept training rows, whose categorical
        columns hold codes: the categorical columns by index (refutations may
        append columns)."""
        params = self.get_params()
        table = self.__dict__.get("_categories")
        if table:
            params["categorical_features"] = sorted(table)
        return params

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
        group = _count("ci_group_size", self.ci_group_size)
        n_trees = self.n_estimators
        low, high, _, _ = _LIMITS["n_estimators"]
        if not (_is_int(n_trees) and low <= n_trees <= high and n_trees % group == 0):
            raise ValueError(
                f"n_estimators must be a positive multiple of ci_group_size ({group}), at most {high}, "
                f"got {_show(n_trees)}"
            )
        if self.max_depth is None:
            depth = 0
        elif _is_int(self.max_depth) and self.max_depth >= 1:
            # No tree is deeper than the engine's limit, which is its row limit.
            depth = int(min(self.max_depth, _LIMITS["max_depth"][1]))
        else:
            raise ValueError(f"max_depth must be None (no limit) or an int >= 1, got {_show(self.max_depth)}")
        mf = self.max_features
        if not (mf is None or (_is_int(mf) and mf >= 1) or (_is_real(mf) and 0.0 < float(mf) <= 1.0)):
            raise ValueError(
                "max_features must be None, an int >= 1 (at most the number of features) or a float "
                f"in (0, 1], got {_show(mf)}"
            )
        if not isinstance(self.honesty, bool | np.bool_):
            raise ValueError(f"honesty must be a bool (True or False), got {_show(self.honesty)}")
        options = {
            "n_estimators": int(n_trees),
            "min_samples_leaf": _count("min_samples_leaf", self.min_samples_leaf),
            "max_depth": depth,
            "sample_fraction": _real("sample_fraction", self.sample_fraction),
            "honesty": bool(self.honesty),
            "honesty_fraction": _real("honesty_fraction", self.honesty_fraction),
            "ci_group_size": group,
            "alpha": _real("alpha", self.alpha),
            "imbalance_penalty": _real("imbalance_penalty", self.imbalance_penalty),
            "max_bins": _count("max_bins", self.max_bins),
        }
        _check_random_state(self.random_state)
        options["n_jobs"] = _engine_threads(self.n_jobs)
        if not (_is_int(self.verbose) or isinstance(self.verbose, bool | np.bool_)) or self.verbose < 0:
            raise ValueError(f"verbose must be an int >= 0, got {_show(self.verbose)}")
        # The rules that join options (sample_fraction at most 0.5 with groups) are the engine's.
        _engine.check_options(options)
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
        self,
        X: Any,
        T: Any,
        y: Any,
        *,
        sample_weight: Any = None,
        groups: Any = None,
        Y_hat: Any = None,
        T_hat: Any = None,
        dask_client: Any = None,
    ) -> CausalForest:
        """Fit the forest on features, a binary treatment and an outcome.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_samples, n_features)
            Features; NaN marks a missing value (each split learns where those go),
            infinite values are refused. Int, bool and float32 are converted to float64.
            A DataFrame's ``category`` and string columns, and those named by
            ``categorical_features``, are split as sets of categories.
        T : array-like of shape (n_samples,) or (n_samples, 1)
            Treatment, 0 or 1 (bools are fine), with both values present.
        y : array-like of shape (n_samples,) or (n_samples, 1)
            Outcome, finite, below 2**1000 (about 1e301) in magnitude. Outcomes of any
            scale within that are handled alike: far from 1 they are scaled by a power
            of two inside, and every result scaled back.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative finite row weights, not all zero. They weigh the rows in the
            nuisance forests, in the splits and leaves of the causal trees, and in the
            average effects and their standard errors, which then estimate the effects
            of the weighted population. An integer weight acts like repeated rows
            (statistically, not bit for bit); a zero weight nearly drops the row.
        groups : array-like of shape (n_samples,), optional
            A cluster label per row (numbers, strings or other hashable values, no NaN),
            at least 2 clusters. Half-samples, subsamples and out-of-bag membership then
            take whole clusters, so the effects' variances reflect the clusters, and
            the average effects' standard errors are cluster-robust. See also
            ``equalize_cluster_weights``.
        Y_hat : array-like of shape (n_samples,), optional
            Given estimates of E[Y | X]; fitted by a regression forest (or cross-fitted
            ``outcome_model``) when omitted. Not together with ``outcome_model``.
        T_hat : array-like of shape (n_samples,), optional
            Given propensities P(T = 1 | X) in [0, 1]; fitted when omitted. Not together
            with ``treatment_model``.
        dask_client : dask.distributed.Client, optional
            Grow the trees as tasks on this client's cluster instead of in this process.
            The binned training data is scattered to every worker once; each task grows a
            range of tree groups and is recomputed if its worker is lost. The forest is
            identical to a local fit with the same ``random_state``. Binning and the
            final assembly run here, with ``n_jobs`` threads; the nuisance estimates are
            tasks too, and each task uses one thread of its worker. Every worker must have quorvantis
            installed (the same version). Needs the ``distributed`` package, which is
            imported only when this is given. Cross-fitting ``outcome_model`` and
            ``treatment_model`` runs here, not on the cluster.

        Returns
        -------
        CausalForest
            This estimator, fitted.

        Raises
        ------
        ValueError
            For an invalid parameter or input, naming it. Each arm (treated and
            control) needs at least ``2 * min_samples_leaf`` rows, the fewest with which
            any split is possible, and so does every tree's subsample (each honest half
            with ``honesty``): a ``sample_fraction`` or ``honesty_fraction`` that leaves
            fewer is refused with the usable values. Also when the treatment is certain
            for every row (``T_hat`` of only 0s and 1s, or features that predict ``T``
            perfectly: no overlap), and when ``dask_client`` is closed or its cluster has
            no workers.
        TypeError
            When ``dask_client`` is not a (synchronous) ``dask.distributed.Client``.
        ImportError
            When a dask worker cannot import quorvantis, naming the workers.
        KeyboardInterrupt
            On Ctrl-C; the estimator is then left unfitted, and with ``dask_client``
            the fit's tasks are cancelled. The fit runs without the interpreter lock,
            so other Python threads go on meanwhile.

        Warns
        -----
        UserWarning
            When some training rows have a propensity of exactly 0 or 1, with their share.
        """
        for name in _FITTED:
            self.__dict__.pop(name, None)
        options = self._options()
        cv = _crossfit.check_cv(self.cv)
        _crossfit.check_model("outcome_model", self.outcome_model, treatment=False)
        _crossfit.check_model("treatment_model", self.treatment_model, treatment=True)
        for given, name in ((Y_hat, "outcome_model"), (T_hat, "treatment_model")):
            if given is not None and getattr(self, name) is not None:
                raise ValueError(
                    f"give either {'Y_hat' if name == 'outcome_model' else 'T_hat'} to fit or {name}, "
                    f"not both; got both (set {name}=None to use the given estimates)"
                )
        if dask_client is not None:
            from . import _dask  # dask stays optional: imported only for a cluster fit

            _dask.check_client(dask_client)
        names = _feature_names(X)
        table: dict[int, tuple[np.ndarray, np.ndarray]] = {}
        columns: list[int] = []
        if self.categorical_features is not None or _is_frame(X):
            shape = np.shape(X)
            if len(shape) != 2:
                raise ValueError(f"X must be 2-D (rows by features), got an array of shape {shape}")
            columns = _categories.resolve(self.categorical_features, X, shape[1], names)
        if columns:
            # The engine's last bin is for missing values.
            limit = min(_categories.MAX_CODES, options["max_bins"] - 1)
            table = _categories.fit_columns(X, columns, limit)
            Xa = _categories.apply(X, _to_matrix(_categories.numeric_part(X, columns)), table)
        else:
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
        weights = None if sample_weight is None else _to_weights(sample_weight, n)
        clusters = None if groups is None else _to_clusters(groups, n)
        equalize = self.equalize_cluster_weights
        if not isinstance(equalize, bool | np.bool_):
            raise ValueError(
                f"equalize_cluster_weights must be a bool (True or False), got {_show(equalize)}"
            )
        if weights is not None or clusters is not None:
            # A standard error needs two independent units of positive weight.
            units = np.ones(n) if weights is None else weights
            if clusters is not None:
                units = np.bincount(clusters.astype(np.intp), weights=units)
            if np.count_nonzero(units > 0) < 2:
                raise ValueError(
                    "sample_weight must give positive weight to at least 2 "
                    f"{'clusters of groups' if clusters is not None else 'rows'}, got 1"
                )
        if equalize and clusters is not None:
            # Each cluster's weights sum to the mean cluster total: equal clusters, same overall scale.
            base = np.ones(n) if weights is None else weights
            totals = np.bincount(clusters.astype(np.intp), weights=base)
            share = np.divide(totals.sum() / len(totals), totals, out=np.zeros_like(totals), where=totals > 0)
            weights = base * share[clusters.astype(np.intp)]
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
        _check_sampling(n, options, yh is None or th is None)
        if th is not None and not ((th > 0.0) & (th < 1.0)).any():
            raise ValueError(
                "T_hat must hold some propensities strictly between 0 and 1, got only 0s and 1s: with every "
                "row's treatment certain there are no comparable "
                "treated and control rows and no effect can be "
                "estimated"
            )
        options["seed"] = _draw_seed(self.random_state)
        if self.outcome_model is not None or self.treatment_model is not None:
            if cv > n:
                raise ValueError(f"cv must be at most the number of rows ({n}), got {cv}")
            # Out-of-fold estimates take the place of given ones; with a dask
            # client this still runs here, before any tree is grown.
            fold = _crossfit.folds(Ta, cv, options["seed"])
            if self.outcome_model is not None:
                yh = _crossfit.cross_fit("outcome_model", self.outcome_model, X, Xa, ya, fold, False)
            if self.treatment_model is not None:
                th = _crossfit.cross_fit(
                    "treatment_model", self.treatment_model, X, Xa, Ta.astype(np.int64), fold, True
                )
        # Outcomes far from 1 in magnitude are scaled by a power of two (exact)
        # and every result is scaled back.
        exponent = _outcome_exponent([("y", ya), ("Y_hat", yh)])
        y_in = ya if exponent == 0 else np.ldexp(ya, -exponent)
        yh_in = yh if exponent == 0 or yh is None else np.ldexp(yh, -exponent)

        counts = None
        if table:
            counts = [int(table[j][1].max()) + 1 if j in table and len(table[j][1]) else 0 for j in range(p)]
        progress = _Progress(sys.stderr) if self.verbose else None
        trees = None
        try:
            if dask_client is None:
                forest = _engine.fit(Xa, Ta, y_in, yh_in, th, options, progress, weights, clusters, counts)
            else:
                forest = _dask.fit(
                    dask_client, Xa, Ta, y_in, yh_in, th, options, progress, weights, clusters, counts
                )
            trees = forest.n_trees
        finally:
            if progress is not None:
                progress.close(trees)
        t_hat = forest.t_hat()
        certain = float(np.mean((t_hat <= 0.0) | (t_hat >= 1.0)))
        if certain == 1.0:
            raise ValueError(
                "X predicts T perfectly: every training row's estimated propensity is 0 or 1, so no row has "
                "comparable rows in the other arm and no effect can be estimated; drop the features that "
                "determine the treatment (for instance a copy of T), or give T_hat"
            )
        if certain > 0.0:
            warnings.warn(
                f"{_share(certain)} of training rows have a propensity "
                "(T_hat_) of exactly 0 or 1: their treatment "
                "is certain given X, so they carry no information on the effect, and effects near them are "
                "extrapolated from other rows; drop features that determine "
                "the treatment, or keep rows where both arms occur",
                UserWarning,
                stacklevel=2,
            )
        fitted = {
            "_forest": forest,
            "_y_exponent": exponent,
            **_derived(forest, exponent),
            # Kept for the diagnostics and refits that need the rows again; a private
            # copy, so that later changes to the caller's arrays cannot reach it.
            "_training": tuple(
                a.copy() if a is src or not a.flags.owndata else a for a, src in ((Xa, X), (Ta, T), (ya, y))
            ),
        }
        if weights is not None or clusters is not None:
            # The averages computed here rather than in the engine need them too.
            fitted["_design"] = (weights, None if clusters is None else clusters.astype(np.intp))
        if names is not None:
            fitted["feature_names_in_"] = names
        if table:
            fitted["_categories"] = table
        self.__dict__.update(fitted)  # one step: an interrupt cannot leave half a fit
        return self

    def _training_data(self, method: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The training rows as float64 arrays: ``X`` (n, p), ``T`` and ``y`` (n,)."""
        self._fitted(method)
        training = self.__dict__.get("_training")
        if training is None:
            raise ValueError(
                f"{method} needs the training rows, which this {type(self).__name__} was pickled without "
                "(by an older version); fit it again"
            )
        return training

    # -- prediction ----------------------------------------------------------

    def _rows(self, X: Any, method: str) -> tuple[_engine.Forest, np.ndarray]:
        # Called from a public method through _predict: warnings point at the caller.
        forest = self._fitted(method)
        check_feature_names(X, self.__dict__.get("feature_names_in_"), type(self).__name__, stacklevel=4)
        table = self.__dict__.get("_categories")
        if table:
            shape = np.shape(X)
            if len(shape) != 2 or shape[1] != forest.n_features:
                raise ValueError(
                    f"X must be 2-D with the {forest.n_features} columns seen at fit, got shape {shape}"
                )
            Xa = _categories.apply(X, _to_float(_categories.numeric_part(X, list(table)), "X"), table)
        else:
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

        Warns
        -----
        UserWarning
            When some effects are NaN, saying why (no treatment variation left in the
            forest's leaves at those rows).
        """
        return self._predict(X, "effect")[0]

    def _predict(self, X: Any, method: str, z: float | None = None) -> tuple[np.ndarray, ...]:
        """In row blocks, scaled back to y's units: (effect,) for ``effect``, (std,) for
        ``effect_std``, (lower, upper) at ``z`` for ``effect_interval``."""
        forest, Xa = self._rows(X, method)
        variance = method in ("effect_std", "effect_interval")
        if variance and forest.ci_group_size < 2:
            raise ValueError(
                f"{method} needs a forest fitted with ci_group_size >= 2 (variances come from groups "
                "of trees), but this one was fitted with ci_group_size=1"
            )
        n, exponent, threads = len(Xa), self.__dict__.get("_y_exponent", 0), _engine_threads(self.n_jobs)
        out = tuple(np.empty(n) for _ in range(2 if z is not None else 1))
        no_effect = no_std = 0
        block = _block_rows(forest)
        for lo in range(0, max(n, 1), block):
            hi = min(n, lo + block)
            tau, v = forest.predict(Xa[lo:hi], variance, threads)
            tau = np.ldexp(tau, exponent)
            missing = np.isnan(tau)
            no_effect += int(np.count_nonzero(missing))
            if not variance:
                out[0][lo:hi] = tau
                continue
            if v is None or len(v) != len(tau):
                raise RuntimeError("the forest engine returned no variance for some rows")
            # The root before scaling back: a variance of a tiny y would underflow.
            std = np.ldexp(np.sqrt(np.maximum(v, 0.0)), exponent)
            no_std += int(np.count_nonzero(np.isnan(std) & ~missing))
            if z is None:
                out[0][lo:hi] = std
            else:
                std *= z
                np.subtract(tau, std, out=out[0][lo:hi])
                np.add(tau, std, out=out[1][lo:hi])
        _warn_nan(
            no_effect,
            n,
            "the effect",
            "the training rows in the forest's leaves there show no variation in the treatment left after "
            "the propensity (T - T_hat_ is constant, e.g. all "
            "treated or all control with propensity 0 or 1): "
            "the features determine the treatment there",
            3,
        )
        _warn_nan(
            no_std,
            n,
            "the effect's standard deviation",
            f"no group of {forest.ci_group_size} trees reached a non-empty leaf at all of them; "
            "grow more trees (n_estimators) or use a larger sample_fraction",
            3,
        )
        return out

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
        return self._predict(X, "predict")[0]

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
        return self._predict(X, "effect_std")[0]

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
        lower, upper = self._predict(X, "effect_interval", normal_upper_quantile(level / 2.0))
        return lower, upper

    def oob_effect(self) -> np.ndarray:
        """Out-of-bag effect estimates for the training rows.

        Each row's estimate comes from the trees that did not see it; a row that every
        tree saw (possible with few trees) is NaN, with a warning.

        Returns
        -------
        ndarray of shape (n_samples,)

        Raises
        ------
        NotFittedError
            Before :meth:`fit`.
        """
        tau = np.ldexp(self._fitted("oob_effect").oob_effect(), self.__dict__.get("_y_exponent", 0))
        _warn_nan(
            int(np.count_nonzero(np.isnan(tau))),
            len(tau),
            "the out-of-bag effect",
            "every tree sampled the row, or the leaves holding it show no variation in T - T_hat_ (the "
            "features determine the treatment there)",
            2,
        )
        return tau

    def average_treatment_effect(self, target: str = "all") -> tuple[float, float]:
        """Doubly robust (AIPW) average effect from the out-of-bag estimates of the fit.

        Parameters
        ----------
        target : {"all", "treated", "control", "overlap"}, default="all"
            Average over all training rows, the treated ones, the control ones, or all
            rows weighted by e(1 - e) with e the propensity estimate (the overlap-weighted
            average: ``sum(w * Gamma) / sum(w)`` over the AIPW scores ``Gamma``, with a
            delta-method standard error). The overlap weights vanish where e nears 0 or 1,
            so that estimate stays stable under poor overlap; it averages over a
            population tilted toward rows with comparable treated and control rows.

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
            When some training rows have estimated propensities outside [0.05, 0.95]
            (not for ``"overlap"``), or when every propensity is 0 or 1 (the overlap
            average is then NaN).
        """
        if target == "overlap":
            return self._overlap_effect()
        targets = _engine.TARGETS
        if not isinstance(target, str) or target not in targets:
            *first, last = (repr(t) for t in [*targets, "overlap"])
            raise ValueError(f"target must be {', '.join(first)} or {last}, got {_show(target)}")
        estimate, std_error, outside = self._fitted("average_treatment_effect").average_effect(
            targets[target]
        )
        if outside > 0:
            low, high = _engine.PROPENSITY_BOUNDS
            warnings.warn(
                f"{_share(outside)} of training rows have estimated propensities outside [{low}, {high}]; "
                "the average effect leans on few comparable rows there",
                UserWarning,
                stacklevel=2,
            )
        if np.isnan(estimate):
            warnings.warn(
                f"the average effect over the {target} rows is NaN: they carry no weight (sample_weight)",
                UserWarning,
                stacklevel=2,
            )
        exponent = self.__dict__.get("_y_exponent", 0)
        return float(np.ldexp(estimate, exponent)), float(np.ldexp(std_error, exponent))

    def _overlap_effect(self) -> tuple[float, float]:
        # w * Gamma = e (1 - e) tau + (T - e)(y - Y_hat - (T - e) tau): the weight cancels
        # the division by the propensity, so no clipping is needed.
        forest = self._fitted("average_treatment_effect")
        X, T, y = self._training_data("average_treatment_effect")
        exponent = self.__dict__.get("_y_exponent", 0)
        tau = np.ldexp(forest.oob_effect(), exponent)
        unanswered = np.isnan(tau)
        if unanswered.any():  # rows every tree saw: the whole forest's effect
            tau[unanswered] = np.ldexp(
                forest.predict(X[unanswered], False, _engine_threads(self.n_jobs))[0], exponent
            )
        e = self.__dict__["T_hat_"]
        r = T - e
        w = e * (1.0 - e)
        if not w.sum() > 0.0:
            warnings.warn(
                "every propensity estimate is 0 or 1, so no row has overlap weight; the overlap "
                "average is NaN",
                UserWarning,
                stacklevel=2,
            )
            return math.nan, math.nan
        weighted = w * tau + r * (y - self.__dict__["Y_hat_"] - r * tau)
        rows, clusters = self.__dict__.get("_design", (None, None))
        s = np.ones(len(w)) if rows is None else rows
        estimate = (s * weighted).sum() / (s * w).sum()
        # Linearised ratio sum(s w Gamma) / sum(s w), summed within clusters (each row
        # its own cluster without groups), with the small-sample factor m / (m - 1).
        influence = s * (weighted - estimate * w) / (s * w).sum()
        units = s
        if clusters is not None:
            influence = np.bincount(clusters, weights=influence)
            units = np.bincount(clusters, weights=s)
        m = int(np.count_nonzero(units > 0))
        return float(estimate), float(math.sqrt(m / max(m - 1, 1) * (influence**2).sum()))
