"""Diagnostics against plain oracles written from the formulas (no code shared with the package)."""

import math
import re

import numpy as np
import pytest

from quorvantis import CausalForest, NotFittedError
from quorvantis.diagnostics import _distributions as dist
from quorvantis.diagnostics import _least_squares as ls
from quorvantis.diagnostics import rank

scipy_stats = pytest.importorskip("scipy.stats")


def hc3_oracle(X, y):
    """OLS and HC3 standard errors straight from V = (X'X)^-1 X' diag(e^2/(1-h)^2) X (X'X)^-1."""
    n, k = X.shape
    inv = np.linalg.inv(X.T @ X)
    beta = inv @ X.T @ y
    meat = np.zeros((k, k))
    for i in range(n):
        h = X[i] @ inv @ X[i]
        e = y[i] - X[i] @ beta
        meat += np.outer(X[i], X[i]) * e * e / (1 - h) ** 2
    return beta, np.sqrt(np.diag(inv @ meat @ inv))


def toc_oracle(gamma, priority):
    """TOC(k/n) by sort-and-average with ties replaced by their group mean, in a loop."""
    n = len(gamma)
    order = sorted(range(n), key=lambda i: -priority[i])
    shared = []
    i = 0
    while i < n:
        j = i
        while j < n and priority[order[j]] == priority[order[i]]:
            j += 1
        mean = sum(gamma[order[t]] for t in range(i, j)) / (j - i)
        shared += [mean] * (j - i)
        i = j
    overall = sum(gamma) / n
    return [sum(shared[:k]) / k - overall for k in range(1, n + 1)]


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(7)
    n = 400
    X = rng.uniform(size=(n, 3))
    T = (rng.random(n) < 0.3 + 0.4 * X[:, 1]).astype(float)
    y = X[:, 0] + T * (1 + 2 * X[:, 0]) + rng.normal(size=n)
    return CausalForest(n_estimators=100, random_state=3).fit(X, T, y)


@pytest.mark.parametrize(
    "t, df",
    [
        (0.0, 1),
        (0.3, 1),
        (-2.5, 3),
        (1.7, 7.5),
        (4.0, 30),
        (-0.01, 200),
        (2.2, 1e4),
        (5.5, 1e6),
        (40.0, 5),
        (13.4, 4998),
        (40.6, 4998),
        (0.02, 1e5),
    ],
)
def test_t_tail_matches_scipy(t, df):
    assert dist.t_upper_tail(t, df) == pytest.approx(scipy_stats.t.sf(t, df), rel=1e-9, abs=1e-300)
    if t > 0:
        p = float(scipy_stats.t.sf(t, df))
        if 1e-12 < p <= 0.5:
            assert dist.t_quantile(p, df) == pytest.approx(t, rel=1e-8)


@pytest.mark.parametrize("n, k, seed", [(12, 1, 0), (30, 3, 1), (80, 5, 2)])
def test_hc3_matches_explicit_formula(n, k, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))]) if k > 1 else rng.normal(size=(n, 1))
    y = X @ rng.normal(size=k) + rng.normal(size=n) * (1 + np.abs(X[:, -1]))
    fit = ls.hc3(X, y)
    beta, se = hc3_oracle(X, y)
    np.testing.assert_allclose(fit.coef, beta, rtol=1e-9)
    np.testing.assert_allclose(fit.std_err, se, rtol=1e-9)


@pytest.mark.parametrize("n, levels, seed", [(7, 3, 0), (25, 25, 1), (40, 4, 2), (101, 1000, 3)])
def test_toc_matches_sort_and_average(n, levels, seed):
    rng = np.random.default_rng(seed)
    gamma = rng.normal(size=n)
    priority = rng.integers(0, levels, size=n).astype(float)
    order, group = rank._tie_groups(priority)
    toc = rank._toc_curve(gamma[order], group, True)
    expected = toc_oracle(list(gamma), list(priority))
    np.testing.assert_allclose(toc, expected, atol=1e-12)
    qs = np.arange(1, n + 1) / n
    autoc, qini = rank._summaries(toc)
    assert autoc == pytest.approx(np.mean(expected)) and qini == pytest.approx(np.mean(qs * expected))


def test_forest_diagnostics_match_oracles(fitted):
    X, T, y = fitted._training_data("test")
    e = np.clip(fitted.T_hat_, 1e-3, 1 - 1e-3)
    tau = fitted.oob_effect()
    gamma = tau + (T - e) / (e * (1 - e)) * (y - fitted.Y_hat_ - (T - e) * tau)
    np.testing.assert_allclose(fitted.doubly_robust_scores(), gamma, rtol=1e-12)
    assert gamma.mean() == pytest.approx(fitted.average_treatment_effect()[0], rel=1e-10)

    r = T - fitted.T_hat_
    design = np.column_stack([r * tau.mean(), r * (tau - tau.mean())])
    beta, se = hc3_oracle(design, y - fitted.Y_hat_)
    cal = fitted.test_calibration()
    for c, b, s in zip(
        (cal.mean_forest_prediction, cal.differential_forest_prediction), beta, se, strict=True
    ):
        assert (c.estimate, c.std_err) == pytest.approx((b, s), rel=1e-9)
        assert c.p_value == pytest.approx(scipy_stats.t.sf(b / s, len(y) - 2), rel=1e-8)

    blp = fitted.best_linear_projection(X[:, :2])
    beta, se = hc3_oracle(np.column_stack([np.ones(len(y)), X[:, :2]]), gamma)
    np.testing.assert_allclose(blp.estimate, beta, rtol=1e-9)
    np.testing.assert_allclose(blp.std_err, se, rtol=1e-9)
    assert blp.names == ["intercept", "x0", "x1"]
    half = scipy_stats.t.ppf(0.95, len(y) - 3) * se
    np.testing.assert_allclose(blp.conf_int(0.1), np.column_stack([beta - half, beta + half]), rtol=1e-7)

    rate = fitted.rank_average_treatment_effect(priorities=X[:, 0], target="QINI")
    expected = toc_oracle(list(gamma), list(X[:, 0]))
    qs = np.arange(1, len(y) + 1) / len(y)
    assert rate.estimate == pytest.approx(np.mean(qs * np.array(expected)), rel=1e-10)
    assert rate.toc[-1] == pytest.approx(0.0, abs=1e-12) and len(rate.q) == len(rate.toc) == 100
    assert 0 < rate.std_err < 10 * abs(rate.estimate) and 0 <= rate.p_value <= 1


def test_refutations_refit_with_own_settings(fitted):
    for method in ("placebo_treatment", "random_common_cause", "data_subset"):
        result = fitted.refute(method, n_repeats=2)
        assert len(result.refuted_estimates) == 2 and result.passed == (result.p_value >= 0.05)
        assert result.estimate == fitted.average_treatment_effect()[0] and result.message.endswith(").")
    # An int seed makes the refutation repeatable.
    again = fitted.refute("data_subset", n_repeats=2)
    np.testing.assert_array_equal(again.refuted_estimates, result.refuted_estimates)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda f, X: f.test_calibration(), NotFittedError, "test_calibration"),
        (lambda f, X: f.best_linear_projection(), NotFittedError, "best_linear_projection"),
        (lambda f, X: f.rank_average_treatment_effect(), NotFittedError, "rank_average"),
        (lambda f, X: f.refute("data_subset"), NotFittedError, "refute"),
        (lambda f, X: f.doubly_robust_scores(), NotFittedError, "doubly_robust_scores"),
        (
            lambda f, X: f.best_linear_projection(X[:-1]),
            ValueError,
            "A must have one row per training row: expected 400 rows, got 399",
        ),
        (
            lambda f, X: f.best_linear_projection(np.where(X == X[5, 1], np.nan, X)),
            ValueError,
            "A holds nan at row 5, column 'x1'",
        ),
        (
            lambda f, X: f.best_linear_projection(np.column_stack([X, X[:, 0] - X[:, 1]])),
            ValueError,
            "A's column 'x3'",
        ),
        (
            lambda f, X: f.rank_average_treatment_effect(X[:-1, 0]),
            ValueError,
            "priorities must be 1-D with one entry per training row: expected 400",
        ),
        (
            lambda f, X: f.rank_average_treatment_effect(np.where(X[:, 0] == X[3, 0], np.nan, X[:, 0])),
            ValueError,
            "priorities must be finite, got nan at position 3",
        ),
        (
            lambda f, X: f.rank_average_treatment_effect(target="AUC"),
            ValueError,
            "target must be one of 'AUTOC', 'QINI', got 'AUC'",
        ),
        (lambda f, X: f.refute("bootstrap"), ValueError, "method must be one of 'placebo_treatment'"),
        (
            lambda f, X: rank.rank_average_treatment_effect(f, priority_rows=1),
            ValueError,
            "priority_rows must be an int >= 2, got 1",
        ),
    ],
)
def test_errors_name_the_argument(fitted, call, error, words):
    X = fitted._training_data("test")[0]
    forest = fitted if error is ValueError else CausalForest()
    with pytest.raises(error, match=re.escape(words)):
        call(forest, X)


def test_results_print_rounded(fitted):
    text = repr(fitted.test_calibration()) + repr(fitted.rank_average_treatment_effect())
    digits = [d.replace(".", "").lstrip("0") for d in re.findall(r"\d[\d.]*", text)]
    assert "differential_forest_prediction" in text and max(map(len, digits)) <= 3
    frame = fitted.best_linear_projection().summary_frame()
    assert list(frame.index) == ["intercept", "x0", "x1", "x2"] and not math.isnan(
        frame.loc["x0", "ci_lower"]
    )


@pytest.mark.parametrize("trees, rows", [(100, None), (10, 100)])  # the default, the report's kind
def test_default_priorities_never_see_the_rows_they_rank(fitted, trees, rows):
    X, T, y = fitted._training_data("test")
    held, first = rank.held_out_priorities(fitted, np.random.default_rng(1), trees, rows)
    changed = y.copy()
    changed[held] += np.random.default_rng(2).normal(scale=5.0, size=len(held))
    other = CausalForest(**fitted.get_params()).fit(X, T, changed)
    again_held, again = rank.held_out_priorities(other, np.random.default_rng(1), trees, rows)
    np.testing.assert_array_equal(held, again_held)
    np.testing.assert_array_equal(first, again)
    assert len(held) == len(y) - min(len(y) // 2, rows or len(y))


def test_scores_average_to_the_engine_estimate_when_some_rows_lack_out_of_bag_effects():
    rng = np.random.default_rng(4)
    X = rng.uniform(size=(150, 2))
    T = (rng.random(150) < 0.5).astype(float)
    y = X[:, 0] + T + rng.normal(size=150)
    forest = CausalForest(n_estimators=2, random_state=0).fit(X, T, y)
    assert np.isnan(forest.oob_effect()).any()
    ate = forest.average_treatment_effect()[0]
    assert forest.doubly_robust_scores().mean() == pytest.approx(ate, rel=1e-10)
