"""quorvantis.CausalForest: parameters, inputs, determinism, statistics, persistence, interrupts."""

import copy
import io
import json
import math
import os
import pickle
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import quorvantis as qv
from quorvantis import CausalForest, NotFittedError

try:
    import pandas as pd
except ImportError:  # pandas is optional at run time
    pd = None

needs_pandas = pytest.mark.skipif(pd is None, reason="pandas is not installed")


def quick(**params):
    return CausalForest(params.pop("n_estimators", 10), random_state=params.pop("random_state", 0), **params)


@pytest.fixture(scope="module")
def small():
    rng = np.random.default_rng(7)
    n = 200
    X = rng.normal(size=(n, 3))
    T = (np.arange(n) % 2).astype(float)
    y = X[:, 0] + T + rng.normal(size=n)
    return X, T, y


def run_child(code, timeout=120):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc


# -- parameters ---------------------------------------------------------------

# (parameter, bad value, what the message must say)
BAD_PARAMS = [
    ("n_estimators", 0, "n_estimators must be a positive multiple of ci_group_size (2)"),
    ("n_estimators", 7, "multiple of ci_group_size (2), at most 1000000, got 7"),
    ("n_estimators", True, "got True"),
    ("min_samples_leaf", 0, "min_samples_leaf must be an int in [1, 4294967295], got 0"),
    ("max_depth", 0, "max_depth must be None (no limit) or an int >= 1, got 0"),
    ("max_features", 0, "max_features must be None, an int >= 1"),
    ("max_features", 1.5, "float in (0, 1], got 1.5"),
    ("max_features", 4, "max_features must be at most the number of features (3), got 4"),
    ("max_features", float("nan"), "got nan"),
    ("sample_fraction", 0.6, "sample_fraction must be at most 0.5 when ci_group_size > 1, got 0.6"),
    ("sample_fraction", 0.0, "sample_fraction must be a number in (0, 1], got 0.0"),
    ("sample_fraction", float("nan"), "got nan"),
    ("honesty", 1, "honesty must be a bool (True or False), got 1"),
    ("honesty_fraction", 1.0, "honesty_fraction must be a number in (0, 1), got 1.0"),
    ("ci_group_size", 0, "ci_group_size must be an int in [1, 1000000], got 0"),
    ("alpha", 0.5, "alpha must be a number in [0, 0.5), got 0.5"),
    ("alpha", float("nan"), "alpha must be a number in [0, 0.5), got nan"),
    ("imbalance_penalty", -1.0, "imbalance_penalty must be a finite number >= 0, got -1.0"),
    ("imbalance_penalty", float("inf"), "got inf"),
    ("max_bins", 1, "max_bins must be an int in [2, 256], got 1"),
    ("random_state", -1, "random_state must be None, an int in [0, 2**64)"),
    ("random_state", 2**64, "got 18446744073709551616"),
    ("random_state", "seed", "got 'seed'"),
    ("n_jobs", 0, "n_jobs must be None, -1 (all CPUs), a positive int or another negative int, got 0"),
    ("verbose", -1, "verbose must be an int >= 0, got -1"),
]


@pytest.mark.parametrize("name,value,message", BAD_PARAMS, ids=[f"{p}={v!r}" for p, v, _ in BAD_PARAMS])
def test_bad_parameters_raise_at_fit_naming_them(small, name, value, message):
    forest = quick(**{name: value})
    with pytest.raises(ValueError) as info:
        forest.fit(*small)
    assert message in str(info.value)
    assert not forest.__sklearn_is_fitted__()


# Parameter spellings that must grow the very same forest (p = 3 features).
SAME_FOREST = [
    ({"max_features": 0.5}, {"max_features": 1}),  # int(0.5 * 3)
    ({"max_features": 0.01}, {"max_features": 1}),  # at least one
    ({"max_features": None}, {"max_features": 1.0}),  # min(ceil(sqrt(3) + 20), 3)
    ({"max_depth": 10**30}, {"max_depth": None}),
    ({"n_estimators": np.int64(12), "ci_group_size": np.int32(3)}, {"n_estimators": 12, "ci_group_size": 3}),
    ({"random_state": np.uint64(5), "honesty": np.True_}, {"random_state": 5}),
    ({"n_jobs": 1}, {"n_jobs": -1}),
    ({"n_jobs": 64}, {"n_jobs": -1000}),
]


@pytest.mark.parametrize("these,those", SAME_FOREST)
def test_equivalent_parameters_grow_the_same_forest(small, these, those):
    assert quick(**these).fit(*small)._forest.to_bytes() == quick(**those).fit(*small)._forest.to_bytes()


def test_estimator_protocol():
    forest = CausalForest(40, max_features=0.5, random_state=3)
    assert repr(forest) == "CausalForest(n_estimators=40, max_features=0.5, random_state=3)"
    assert repr(CausalForest()) == "CausalForest()"
    params = forest.get_params()
    assert CausalForest(**params).get_params() == params
    assert forest.set_params(n_jobs=1, verbose=0) is forest and forest.n_jobs == 1
    with pytest.raises(ValueError, match="invalid parameter 'depth' for CausalForest; valid parameters are"):
        forest.set_params(depth=3)
    assert forest.get_params() == dict(params, n_jobs=1, verbose=0)
    with pytest.raises(TypeError):
        CausalForest(10, 5)  # all but n_estimators are keyword-only
    unfitted = CausalForest()
    for method in (
        "effect",
        "predict",
        "effect_std",
        "effect_interval",
        "oob_effect",
        "average_treatment_effect",
    ):
        with pytest.raises(NotFittedError, match=f"not fitted yet; call fit\\(X, T, y\\) before {method}"):
            getattr(unfitted, method)(*([[[0.0]]] if method.startswith(("effect", "predict")) else []))
    assert issubclass(NotFittedError, ValueError) and issubclass(NotFittedError, AttributeError)
    assert qv.NotFittedError is NotFittedError and "CausalForest" in qv.__all__


# -- inputs -------------------------------------------------------------------

# Ways of handing over the same numbers; each must fit exactly like the float64 arrays.
SAME_DATA = {
    "lists": lambda X, T, y: (X.tolist(), T.astype(int).tolist(), y.tolist()),
    "int and bool": lambda X, T, y: (np.round(X * 9).astype(np.int32), T > 0, np.round(y).astype(int)),
    "float32": lambda X, T, y: (X.astype(np.float32), T.astype(np.float32), y.astype(np.float32)),
    "columns": lambda X, T, y: (X, T[:, None], y[:, None]),
    "layouts": lambda X, T, y: (np.asfortranarray(X), T.astype(">f8"), np.repeat(y, 2)[::2]),
    "pandas": lambda X, T, y: (pd.DataFrame(X, columns=list("abc")), pd.Series(T), pd.Series(y).to_frame()),
    "nullable": lambda X, T, y: (
        pd.DataFrame(X).astype("Float64"),
        pd.Series(T, dtype="Int64"),
        pd.Series(y),
    ),
}


@pytest.mark.parametrize("kind", SAME_DATA)
def test_converted_inputs_fit_like_float64_arrays(small, kind):
    if kind in ("pandas", "nullable") and pd is None:
        pytest.skip("pandas is not installed")
    given = SAME_DATA[kind](*small)
    plain = [np.asarray(np.asarray(v, dtype=np.float64)).reshape(len(small[0]), -1) for v in given]
    X, T, y = plain[0], plain[1][:, 0], plain[2][:, 0]
    fitted = quick().fit(*given)
    expected = quick().fit(X, T, y)
    assert fitted._forest.to_bytes() == expected._forest.to_bytes()
    assert fitted.n_features_in_ == 3
    assert list(getattr(fitted, "feature_names_in_", [])) == (list("abc") if kind == "pandas" else [])


def spoil(array, index, value):
    array = np.array(array, dtype=float)
    array[index] = value
    return array


# (what is wrong, changed fit arguments given (X, T, y), what the message must say)
BAD_INPUTS = [
    ("short T", lambda X, T, y: {"T": T[:-1]}, "T has 199 entries, but X has 200 rows"),
    ("long y", lambda X, T, y: {"y": np.r_[y, 0.0]}, "y has 201 entries, but X has 200 rows"),
    ("T of 0.5", lambda X, T, y: {"T": spoil(T, 7, 0.5)}, "T must be binary (0 or 1), got 0.5 at position 7"),
    ("T of -1", lambda X, T, y: {"T": spoil(T, 3, -1)}, "got -1 at position 3"),
    ("NaN in T", lambda X, T, y: {"T": spoil(T, 4, np.nan)}, "T holds nan at position 4"),
    ("inf in y", lambda X, T, y: {"y": spoil(y, 9, -np.inf)}, "y holds -inf at position 9"),
    ("inf in X", lambda X, T, y: {"X": spoil(X, (2, 1), np.inf)}, "X holds inf at row 2, column 1"),
    ("1-D X", lambda X, T, y: {"X": X[:, 0]}, "use X.reshape(-1, 1) for a single feature"),
    ("no rows", lambda X, T, y: {"X": X[:0], "T": T[:0], "y": y[:0]}, "X must have at least one row"),
    ("no columns", lambda X, T, y: {"X": X[:, :0]}, "X must have at least one feature column"),
    ("text X", lambda X, T, y: {"X": X.astype(str)}, "X must hold numbers (bool, int or float), got"),
    ("ragged X", lambda X, T, y: {"X": [[1.0, 2.0], [3.0]]}, "X must be an array-like of numbers"),
    ("two-column T", lambda X, T, y: {"T": np.c_[T, T]}, "T must be 1-D (or one column)"),
    ("constant T", lambda X, T, y: {"T": T * 0}, "T must contain both treated (1) and control (0) rows"),
    ("few treated", lambda X, T, y: {"T": np.arange(200) < 9}, "T has 9 treated and 191 control rows"),
    ("short Y_hat", lambda X, T, y: {"Y_hat": y[:5]}, "Y_hat has 5 entries, but X has 200 rows"),
    ("NaN in Y_hat", lambda X, T, y: {"Y_hat": spoil(y, 1, np.nan)}, "Y_hat holds nan at position 1"),
    ("T_hat > 1", lambda X, T, y: {"T_hat": T + 0.5}, "T_hat must hold propensities in [0, 1], got 1.5"),
]


@pytest.mark.parametrize("case,change,message", BAD_INPUTS, ids=[c for c, _, _ in BAD_INPUTS])
def test_bad_inputs_name_the_argument(small, case, change, message):
    forest = quick().fit(*small)
    with pytest.raises(ValueError) as info:
        forest.fit(**{"X": small[0], "T": small[1], "y": small[2], **change(*small)})
    assert message in str(info.value)
    assert not hasattr(forest, "feature_importances_")  # a failed fit drops the earlier one


def test_given_nuisance_estimates_are_used(small):
    X, T, y = small
    forest = quick().fit(X, T, y, Y_hat=X[:, 0] + 0.5, T_hat=np.full(200, 0.5))
    assert np.array_equal(forest.Y_hat_, X[:, 0] + 0.5) and np.array_equal(forest.T_hat_, np.full(200, 0.5))


@needs_pandas
def test_feature_names_are_checked_when_predicting(small):
    X, T, y = small
    frame = pd.DataFrame(X, columns=["a", "b", "c"])
    forest = quick().fit(frame, T, y)
    assert forest.feature_names_in_.tolist() == ["a", "b", "c"]
    assert np.array_equal(forest.effect(frame), forest.predict(frame))
    with pytest.raises(ValueError, match="feature names differ from those seen at fit"):
        forest.effect(frame[["b", "a", "c"]])
    with pytest.warns(
        UserWarning, match="X has no feature names, but this CausalForest was fitted with"
    ) as caught:
        forest.effect(X), forest.predict(X), forest.effect_std(X), forest.effect_interval(X)
    assert len(caught) == 4 and all(w.filename == __file__ for w in caught)  # they point at the caller
    unnamed = quick().fit(pd.DataFrame(X), T, y)  # integer column names give no names
    assert not hasattr(unnamed, "feature_names_in_")
    with pytest.raises(ValueError, match="X has 2 features, but this CausalForest was fitted on 3"):
        unnamed.effect(X[:, :2])


def test_missing_values_in_X_route_at_every_split():
    rng = np.random.default_rng(3)
    n = 3000
    X = rng.normal(size=(n, 2))
    missing = rng.random(n) < 0.3
    X[missing, 0] = np.nan
    T = rng.integers(0, 2, n)
    y = X[:, 1] + T * np.where(missing, 2.0, 0.0) + rng.normal(size=n)
    forest = CausalForest(100, random_state=1).fit(X, T, y)
    tau = forest.effect(X)
    assert tau[missing].mean() > 1.5 and abs(tau[~missing].mean()) < 0.5
    assert np.isfinite(forest.effect(np.full((2, 2), np.nan))).all()
    assert forest.effect(X[:0]).shape == (0,)
    with pytest.raises(ValueError, match="X holds -inf at row 0, column 1"):
        forest.effect([[0.0, -np.inf]])


# -- determinism --------------------------------------------------------------

DIGEST_CHILD = """
    import hashlib, numpy as np, quorvantis as qv
    rng = np.random.default_rng(11)
    X = rng.normal(size=(3000, 6)); T = rng.integers(0, 2, 3000); y = X[:, 0] * T + rng.normal(size=3000)
    forest = qv.CausalForest(100, random_state=2024, n_jobs={n_jobs}).fit(X, T, y)
    print(hashlib.sha256(forest._forest.to_bytes()).hexdigest(), forest.effect(X[:3]).tobytes().hex())
"""


def test_fixed_seed_gives_the_same_forest_on_one_or_two_threads():
    one, two = (run_child(DIGEST_CHILD.format(n_jobs=k)).stdout for k in (1, 2))
    assert one == two and len(one.split()) == 2


def test_seeds(small):
    X = small[0]
    first, again, other = (quick(random_state=s).fit(*small).effect(X) for s in (5, 5, 6))
    assert np.array_equal(first, again) and not np.array_equal(first, other)
    from_generators = [quick(random_state=np.random.default_rng(9)).fit(*small).effect(X) for _ in range(2)]
    assert np.array_equal(*from_generators)
    shared = quick(random_state=np.random.default_rng(9))
    assert not np.array_equal(shared.fit(*small).effect(X), shared.fit(*small).effect(X))  # one draw per fit


# -- statistics ---------------------------------------------------------------


@pytest.fixture(scope="module")
def heterogeneous():
    rng = np.random.default_rng(2)
    n = 4000
    X = rng.normal(size=(n, 5))
    T = rng.integers(0, 2, n)
    tau = 1.0 + (X[:, 0] > 0.5)
    y = X[:, 1] + T * tau + rng.normal(size=n)
    return X, T, tau, CausalForest(200, random_state=4).fit(X, T, y)


def test_effects_are_accurate_and_intervals_cover(heterogeneous):
    X, T, tau, forest = heterogeneous
    assert np.sqrt(np.mean((forest.effect(X) - tau) ** 2)) < 0.3
    assert np.sqrt(np.nanmean((forest.oob_effect() - tau) ** 2)) < 0.35
    lower, upper = forest.effect_interval(X)
    assert 0.85 <= np.mean((lower <= tau) & (tau <= upper)) <= 1.0
    assert np.argmax(forest.feature_importances_) == 0 and math.isclose(
        forest.feature_importances_.sum(), 1.0
    )
    assert np.abs(forest.T_hat_ - 0.5).max() < 0.2
    for target, rows in [("all", T >= 0), ("treated", T == 1), ("control", T == 0)]:
        estimate, se = forest.average_treatment_effect(target)
        assert 0 < se < 0.1 and abs(estimate - tau[rows].mean()) < 3 * se, target


# Two-sided normal quantiles z_{1 - alpha/2}.
QUANTILES = [
    (0.5, 0.6744897501960817),
    (0.1, 1.6448536269514722),
    (0.05, 1.959963984540054),
    (0.01, 2.5758293035489),
]


@pytest.mark.parametrize("alpha,z", QUANTILES)
def test_intervals_are_normal_quantiles_of_the_std(heterogeneous, alpha, z):
    X, _, _, forest = heterogeneous
    lower, upper = forest.effect_interval(X[:50], alpha=alpha)
    std = forest.effect_std(X[:50])
    assert np.allclose((lower + upper) / 2, forest.effect(X[:50]), rtol=0, atol=1e-12)
    assert np.allclose(upper - lower, 2 * z * std, rtol=1e-12) and (std > 0).all()


@pytest.mark.parametrize("alpha", [0, 1, -0.1, float("nan"), "0.05", None])
def test_interval_alpha_is_checked(heterogeneous, alpha):
    with pytest.raises(ValueError, match="alpha must be a number in \\(0, 1\\), got"):
        heterogeneous[3].effect_interval(heterogeneous[0][:2], alpha=alpha)


def test_intervals_need_groups(small):
    forest = quick(ci_group_size=1, sample_fraction=1.0, honesty=False, random_state=np.random.RandomState(1))
    assert np.isfinite(forest.fit(*small).effect(small[0])).all()
    with pytest.raises(ValueError, match="effect_std needs a forest fitted with ci_group_size >= 2"):
        forest.effect_std(small[0])
    with pytest.raises(
        ValueError, match="target must be 'all', 'treated', 'control' or 'overlap', got 'ate'"
    ):
        forest.average_treatment_effect("ate")


def test_confounding_is_removed_and_poor_overlap_warned():
    rng = np.random.default_rng(8)
    n = 4000
    X = rng.normal(size=(n, 3))
    T = (rng.random(n) < 1 / (1 + np.exp(-2 * X[:, 1]))).astype(float)
    y = 2 * X[:, 1] + T + rng.normal(size=n)
    naive = y[T == 1].mean() - y[T == 0].mean()
    forest = CausalForest(200, random_state=5).fit(X, T, y)
    share = np.mean((forest.T_hat_ < 0.05) | (forest.T_hat_ > 0.95))
    assert share > 0
    with pytest.warns(UserWarning) as caught:
        estimate, se = forest.average_treatment_effect()
    assert str(caught[0].message).startswith(
        f"{share * 100:.1f}% of training rows have estimated propensities"
    )
    assert abs(naive - 1) > 1.0 and abs(estimate - 1) < 3 * se


# -- persistence --------------------------------------------------------------


@pytest.mark.parametrize(
    "round_trip",
    [lambda f: pickle.loads(pickle.dumps(f)), copy.copy, copy.deepcopy],
    ids=["pickle", "copy", "deepcopy"],
)
def test_round_trips(small, round_trip):
    fitted = quick(max_depth=4).fit(*small)
    twin = round_trip(fitted)
    assert twin.get_params() == fitted.get_params()
    assert np.array_equal(twin.effect(small[0]), fitted.effect(small[0]))
    assert twin.average_treatment_effect() == fitted.average_treatment_effect()
    assert np.array_equal(twin.oob_effect(), fitted.oob_effect(), equal_nan=True)
    unfitted = round_trip(quick(max_depth=4))
    assert repr(unfitted) == "CausalForest(n_estimators=10, max_depth=4, random_state=0)"
    assert not hasattr(unfitted, "n_features_in_")


def test_state_is_stored_once_and_loads_exactly(small):
    fitted = quick().fit(*small)
    state = fitted.__getstate__()
    assert set(state) == {*fitted.get_params(), "_forest", "_training", "_y_exponent"}
    twin = pickle.loads(pickle.dumps(fitted))
    assert vars(twin).keys() == vars(fitted).keys()
    for name, value in vars(fitted).items():
        if isinstance(value, np.ndarray):
            assert (
                value.dtype == twin.__dict__[name].dtype and value.tobytes() == twin.__dict__[name].tobytes()
            )
    assert all(np.array_equal(a, b) for a, b in zip(twin._training, fitted._training, strict=True))
    # An older state: copies of the forest's values (loaded when they agree), no
    # training rows (diagnostics then ask for a refit), no newer parameter (its default).
    legacy = {k: v for k, v in state.items() if k not in ("_training", "alpha")}
    old = CausalForest.__new__(CausalForest)
    old.__setstate__(dict(legacy, Y_hat_=fitted.Y_hat_.copy(), n_features_in_=3))
    assert old.alpha == CausalForest().alpha and np.array_equal(old.effect(small[0]), fitted.effect(small[0]))
    with pytest.raises(ValueError, match="pickled without"):
        old.test_calibration()


def _flip_bit(a):
    a = a.copy()
    a.view(np.uint64)[5] ^= np.uint64(1)
    return a


# (what is forged, how the state changes, what the error says)
FORGED = [
    ("not a dict", lambda s, f: list(s), "must hold a dict"),
    ("unknown key", lambda s, f: dict(s, colour="red"), "unknown ['colour']"),
    ("forest a string", lambda s, f: dict(s, _forest="forest"), "fitted forest as _forest, got 'forest'"),
    ("no forest", lambda s, f: {k: v for k, v in s.items() if k != "_forest"}, "but no _forest"),
    ("exponent", lambda s, f: dict(s, _y_exponent=1.5), "_y_exponent as an int"),
    ("n_features_in_", lambda s, f: dict(s, n_features_in_=4), "n_features_in_ differing"),
    ("flipped Y_hat_", lambda s, f: dict(s, Y_hat_=_flip_bit(f.Y_hat_)), "Y_hat_ differing"),
    ("short T_hat_", lambda s, f: dict(s, T_hat_=f.T_hat_[:-1]), "T_hat_ differing"),
    (
        "X short a column",
        lambda s, f: dict(s, _training=(f._training[0][:, :2], *f._training[1:])),
        "_training",
    ),
    ("y short a row", lambda s, f: dict(s, _training=(*f._training[:2], f._training[2][:-1])), "_training"),
    ("training a list", lambda s, f: dict(s, _training=list(f._training)), "_training"),
    ("names", lambda s, f: dict(s, feature_names_in_=np.array(["a", "b"], dtype=object)), "3 strings"),
]


@pytest.mark.parametrize("forge,message", [c[1:] for c in FORGED], ids=[c[0] for c in FORGED])
def test_forged_states_are_refused_on_load(small, forge, message):
    fitted = quick().fit(*small)
    with pytest.raises(ValueError, match="a pickled CausalForest") as info:
        pickle.loads(pickle.dumps(fitted)).__setstate__(forge(fitted.__getstate__(), fitted))
    assert message in str(info.value)


# Fits at the options' limits, each of which must load again.
AT_LIMITS = [
    {"n_estimators": 1025, "ci_group_size": 1025, "max_depth": 2},
    {"ci_group_size": 1, "sample_fraction": 1.0, "honesty": False, "max_bins": 2, "max_depth": 10**30},
    {"max_bins": 256, "alpha": 0.0, "imbalance_penalty": 1e300, "min_samples_leaf": 25},
]


@pytest.mark.parametrize("params", AT_LIMITS)
@pytest.mark.parametrize("round_trip", [lambda f: pickle.loads(pickle.dumps(f)), copy.deepcopy])
def test_fits_at_the_limits_load_again(small, params, round_trip):
    fitted = quick(**params).fit(*small)
    assert round_trip(fitted)._forest.to_bytes() == fitted._forest.to_bytes()


# (options given to the engine, what its ValueError says)
ENGINE_OPTIONS = [
    ({"n_estimator": 10}, "unknown option 'n_estimator'; valid options are n_estimators, min_samples_leaf"),
    ({1: 10}, "unknown option 1"),
    ({"honesty": 1}, "option honesty must be a bool, got int"),
    ({"max_bins": 2.0}, "option max_bins must be an int, got float"),
    ({"n_estimators": 1_000_001}, "n_estimators must be in [1, 1000000], got 1000001"),
    ({"seed": -1}, "seed must be in [0, 18446744073709551615], got a negative int"),
    ({"seed": 2**64}, "seed must be at most 18446744073709551615"),
    ({"alpha": 0.5}, "alpha must be in [0.0, 0.5), got 0.5"),
    (
        {"n_estimators": 10, "sample_fraction": 0.6},
        "sample_fraction must be at most 0.5 when ci_group_size > 1",
    ),
]


@pytest.mark.parametrize("options,message", ENGINE_OPTIONS)
def test_engine_parses_options_strictly(options, message):
    engine = pytest.importorskip("_quorvantis_engine")
    for call in (engine.check_options, lambda o: engine.fit_plan(o, False, False)):
        with pytest.raises(ValueError) as info:
            call(options)
        assert message in str(info.value)


def test_nuisance_sums_handed_on_give_the_estimates_of_one_pass():
    engine = pytest.importorskip("_quorvantis_engine")
    rng = np.random.default_rng(4)
    X = rng.normal(size=(600, 4))
    T = (rng.random(600) < 0.5).astype(float)
    options = {"n_estimators": 40, "seed": 7}
    data = engine.prepare(X, T, X[:, 0] + T + rng.normal(size=600), options)
    for stage in (0, 1):  # 50 groups of one tree each
        batches = [
            engine.grow(data, stage, None, None, a, b, options) for a, b in [(0, 20), (20, 35), (35, 50)]
        ]
        sums = engine.nuisance_sums(data, stage, batches[:1], options)
        sums = engine.nuisance_sums(data, stage, batches[1:2], options, pickle.loads(pickle.dumps(sums)))
        whole = engine.nuisance(data, stage, batches, options)
        assert np.array_equal(engine.nuisance(data, stage, batches[2:], options, sums), whole)
    first = engine.nuisance_sums(data, 1, batches[:1], options)
    for call, message in [
        (lambda: engine.nuisance(data, 1, batches[2:], options, first), "no tree batch holds group 20"),
        (lambda: engine.nuisance(data, 0, batches[1:], options, first), "of another stage"),
        (lambda: engine.nuisance_sums_from_bytes(first.to_bytes()[:-9] + b"\0" * 9), "checksum mismatch"),
    ]:
        with pytest.raises(ValueError, match=message):
            call()


def test_sklearn_clone(small):
    base = pytest.importorskip("sklearn.base")
    validation = pytest.importorskip("sklearn.utils.validation")
    fitted = quick(random_state=np.random.default_rng(1)).fit(*small)
    validation.check_is_fitted(fitted)
    clone = base.clone(fitted)
    assert type(clone) is CausalForest and not hasattr(clone, "feature_importances_")
    assert clone.get_params().keys() == fitted.get_params().keys() and clone.n_estimators == 10
    with pytest.raises(validation.NotFittedError):
        validation.check_is_fitted(clone)


def test_engine_stub_matches_the_extension():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(Path(__file__).resolve().parents[1]))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quorvantis_engine"], capture_output=True, text=True, env=env
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# -- interrupts and progress ----------------------------------------------------

INTERRUPT_CHILD = """
    import json, signal, time, numpy as np, quorvantis as qv
    rng = np.random.default_rng(0)
    X = rng.normal(size=(20000, 8)); T = rng.integers(0, 2, 20000); y = X[:, 0] + rng.normal(size=20000)
    forest = qv.CausalForest(10, random_state=0).fit(X[:500], T[:500], y[:500])
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    forest.set_params(n_estimators=100000, verbose=1)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        forest.fit(X, T, y)
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    print(json.dumps({"outcome": outcome, "late": time.monotonic() - start - 0.3,
                      "fitted": [n for n in vars(forest) if n.endswith("_")]}))
"""


def test_ctrl_c_stops_the_fit_promptly_and_leaves_it_unfitted():
    report = json.loads(run_child(INTERRUPT_CHILD).stdout)
    assert report["outcome"] == "interrupted" and report["fitted"] == []
    assert report["late"] < 0.5


class Terminal(io.StringIO):
    def isatty(self):
        return True


class Closed(io.StringIO):
    def write(self, text):
        raise ValueError("I/O operation on closed file")


@pytest.mark.parametrize("stream", [None, Terminal, Closed])
def test_verbose_progress_goes_to_stderr_throttled(capsys, monkeypatch, stream):
    if stream is not None:
        monkeypatch.setattr(sys, "stderr", stream())
    rng = np.random.default_rng(1)
    X, T = rng.normal(size=(2000, 4)), np.arange(2000) % 2
    start = time.monotonic()
    quick(n_estimators=2000 if stream is not Closed else 10, verbose=1).fit(X, T, X[:, 0] + T)
    elapsed = time.monotonic() - start
    quick(verbose=0).fit(X, T, X[:, 0])
    out, err = capsys.readouterr()
    assert out == ""
    if stream is None:  # plain lines for logs, at most a line a second besides the six stages
        lines = err.splitlines()
        assert "\r" not in err and all(line.startswith("CausalForest: ") for line in lines)
        assert 1 <= len(lines) <= 7 + elapsed
        assert lines[-1].startswith("CausalForest: done, 2000 causal trees in ")
        assert sum("done" in line for line in lines) == 1
    elif stream is Terminal:  # one line rewritten a few times a second, ended once
        text = sys.stderr.getvalue()
        # a shorter line is padded to cover the longer one before it
        assert text.startswith("\rCausalForest: ") and text.count("\n") == 1 and text.endswith("\n")
        assert text.rstrip(" \n").endswith("s")
        assert text.count("\r") <= 7 + elapsed / 0.2
        assert text.rsplit("\r", 1)[1].startswith("CausalForest: done, 2000 causal trees in ")
