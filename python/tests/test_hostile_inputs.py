"""CausalForest under extreme scales, no overlap, degenerate sampling, interrupts and odd inputs."""

import _thread
import re
import threading
import time
import warnings

import numpy as np
import pytest

import quorvantis.causal_forest as cf
from quorvantis import CausalForest


def design(n=600, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    T = (rng.random(n) < 1 / (1 + np.exp(-X[:, 0]))).astype(float)
    y = X[:, 1] + T * (1 + (X[:, 2] > 0)) + rng.normal(size=n)
    return X, T, y


def small(**kw):
    return CausalForest(n_estimators=kw.pop("n_estimators", 40), random_state=3, n_jobs=2, **kw)


@pytest.fixture(scope="module")
def plain():
    X, T, y = design()
    forest = small().fit(X, T, y)
    return X, T, y, forest


def results(forest, X):
    return {
        "effect": forest.effect(X),
        "std": forest.effect_std(X),
        "oob": forest.oob_effect(),
        "Y_hat": forest.Y_hat_,
        "ate": np.array(forest.average_treatment_effect()),
    }


@pytest.mark.parametrize(
    "factor", [2.0**-900, 2.0**-500, 0.5, 2.0, 2.0**500, 2.0**900, 1e200, 1e-200, 1e-300]
)
def test_outcome_scales_give_exactly_scaled_results(plain, factor):
    X, T, y, _ = plain
    # The oracle is the outcome brought near 1 by a power of two (y itself for
    # powers of two), fitted as ordinary data: rounding y * 1e200 alone moves
    # near-tied splits.
    k = int(np.round(np.log2(factor)))
    scaled, near_one = small().fit(X, T, y * factor), small().fit(X, T, np.ldexp(y * factor, -k))
    lower, upper = scaled.effect_interval(X)
    assert np.all(upper - lower > 0)
    for name, value in results(near_one, X).items():
        assert np.array_equal(results(scaled, X)[name], np.ldexp(value, k)), name


@pytest.mark.parametrize(
    "outcome",
    [
        lambda T, y: np.where(T == 1, 1e308, -1e308),
        lambda T, y: np.concatenate([[1e308], y[1:]]),
        lambda T, y: y * 1e305,
    ],
)
def test_outcomes_beyond_the_handled_range_are_refused_naming_y(plain, outcome):
    X, T, y, _ = plain
    with pytest.raises(ValueError, match=r"^y holds .* outcomes must stay below 2\*\*1000"):
        small().fit(X, T, outcome(T, y))


@pytest.mark.parametrize(
    "params",
    [
        {"sample_fraction": 1e-9},
        {"sample_fraction": 1e-300},
        {"sample_fraction": 0.01, "ci_group_size": 1},
        {"honesty_fraction": 0.999},
        {"honesty_fraction": 1 - 1e-16},
        {"honesty_fraction": 1e-3},
    ],
)
def test_degenerate_sampling_is_refused_with_a_usable_value_that_works(plain, params):
    X, T, y, _ = plain
    name = next(iter(params))
    with pytest.raises(ValueError, match=f"^{name}=") as info:
        small(**params).fit(X, T, y)
    # The quoted smallest (or range of) usable values must fit without a NaN effect.
    found = re.search(r"use \w+ (?:>= (\S+)|in \[(\S+), (\S+)\])$", str(info.value))
    quoted = [float(v) for v in found.groups() if v is not None]
    assert quoted
    for value in quoted:
        forest = small(**{**params, name: value}).fit(X, T, y)
        assert np.isfinite(forest.effect(X[:100])).all()


def copy_of_t(X, T, missing_controls):
    column = np.where((T == 0) & missing_controls, np.nan, T)
    return {"X": np.column_stack([X, column])}


@pytest.mark.parametrize(
    "given, message",
    [
        (lambda X, T: copy_of_t(X, T, False), "X predicts T perfectly"),
        (lambda X, T: copy_of_t(X, T, True), "X predicts T perfectly"),
        (lambda X, T: {"X": X, "T_hat": T}, "T_hat must hold some propensities strictly between 0 and 1"),
    ],
)
def test_no_overlap_is_refused(plain, given, message):
    X, T, y, _ = plain
    forest = small()
    with pytest.raises(ValueError, match=message):
        forest.fit(T=T, y=y, **given(X, T))
    assert not hasattr(forest, "T_hat_")


def test_known_propensities_give_the_documented_shares():
    # Propensities are given: 20% of rows at 0.02 or 0.98 and 10% certain (0 or 1),
    # set apart on column 0: 30% lie outside [0.05, 0.95].
    rng = np.random.default_rng(5)
    n = 2000
    X = rng.normal(size=(n, 2))
    e = np.full(n, 0.5)
    e[:200] = 0.02
    e[200:400] = 0.98
    X[400:600, 0] = 50.0
    e[400:600] = rng.random(200) < 0.5
    T = np.where((e == 0) | (e == 1), e, rng.random(n) < e).astype(float)
    y = X[:, 1] + T + rng.normal(size=n)
    with pytest.warns(
        UserWarning, match=r"^10\.0% of training rows have a propensity \(T_hat_\) of exactly 0 or 1"
    ):
        forest = small(n_estimators=100, min_samples_leaf=10).fit(X, T, y, T_hat=e)
    with pytest.warns(UserWarning, match=r"^30\.0% of training rows have estimated propensities outside"):
        forest.average_treatment_effect()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isfinite(forest.effect(X[600:700])).all()


def test_a_nan_out_of_bag_effect_comes_with_its_reason(plain):
    X, T, y, _ = plain
    forest = small(n_estimators=2).fit(X, T, y)
    with pytest.warns(
        UserWarning, match=r"^the out-of-bag effect is NaN for \d+ of 600 rows: every tree sampled"
    ):
        assert np.isnan(forest.oob_effect()).any()


@pytest.mark.parametrize("rows", [1, 7, 4096])
def test_prediction_in_row_blocks_is_the_same(plain, monkeypatch, rows):
    X, _, _, forest = plain
    whole = (forest.effect(X), *forest.effect_interval(X, alpha=0.1))
    monkeypatch.setattr(cf, "_block_rows", lambda forest: rows)
    blocked = (forest.effect(X), *forest.effect_interval(X, alpha=0.1))
    for a, b in zip(whole, blocked, strict=True):
        assert np.array_equal(a, b)


@pytest.mark.parametrize("call", ["fit", "effect_interval"])
def test_threads_run_and_an_interrupt_from_one_stops_the_call_promptly(call):
    X, T, y = design(n=20_000, seed=1)
    forest = CausalForest(n_estimators=4000, random_state=0, n_jobs=2)
    if call == "effect_interval":
        forest.set_params(n_estimators=400).fit(X, T, y)
        X = np.tile(X, (30, 1))
    ticks, sent = [], []

    def tick():  # with the interpreter lock held throughout it would count once or twice
        while not sent:
            ticks.append(1)
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    timer = threading.Timer(0.5, lambda: (sent.append(time.monotonic()), _thread.interrupt_main()))
    ticker.start()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(forest, call)(X, T, y) if call == "fit" else forest.effect_interval(X)
            time.sleep(10)  # a call too quick to interrupt: the test says nothing then
        assert time.monotonic() - sent[0] < 3.0
    finally:
        timer.cancel()
        sent.append(0.0)
        ticker.join()
    assert len(ticks) >= 5
    assert hasattr(forest, "_forest") == (call != "fit")


def huge(a):
    a = np.array(a, dtype=object)
    a.flat[3] = -(10**400)
    return a


def frame(X, column):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame({"a": X[:, 0], "b": column(X[:, 1]), "c": X[:, 2]})


@pytest.mark.parametrize(
    "call, spoil, message",
    [
        ("fit", lambda d: {**d, "X": huge(d["X"])}, "X must hold numbers within float64's range"),
        ("fit", lambda d: {**d, "T": huge(d["T"]).tolist()}, "T must hold numbers within float64's range"),
        ("fit", lambda d: {**d, "y": huge(d["y"])}, "y must hold numbers within float64's range"),
        ("fit", lambda d: {**d, "X": frame(d["X"], huge)}, "X must hold numbers within float64's range"),
        ("fit", lambda d: {**d, "X": frame(d["X"], lambda c: c + 1j)}, "X must hold real numbers"),
        ("fit", lambda d: {**d, "X": d["X"] + 1j}, "X must hold numbers"),
        ("effect", lambda d: {"X": huge(d["X"])}, "X must hold numbers within float64's range"),
    ],
)
def test_numbers_float64_cannot_hold_are_value_errors_naming_the_argument(plain, call, spoil, message):
    X, T, y, forest = plain
    method = forest.effect if call == "effect" else small().fit
    with pytest.raises(ValueError, match=f"^{message}"):
        method(**spoil({"X": X[:60], "T": T[:60], "y": y[:60]}))
