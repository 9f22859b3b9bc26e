"""Nuisance estimates: user models cross-fitted, the overlap-weighted average, the overlap warning."""

import copy
import pickle
import warnings

import numpy as np
import pytest

from quorvantis import CausalForest

linear_model = pytest.importorskip("sklearn.linear_model")
LinearRegression, LogisticRegression = linear_model.LinearRegression, linear_model.LogisticRegression


def confounded(n, seed):
    """Logistic propensity in x1 + x2 over about [0.01, 0.99]; the outcome rises with both."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, (n, 4))
    e = 1.0 / (1.0 + np.exp(-2.3 * (X[:, 0] + X[:, 1])))
    T = (rng.random(n) < e).astype(float)
    y = 2.0 * (X[:, 0] + X[:, 1]) + T * (1.0 + X[:, 0]) + rng.normal(size=n)
    return X, T, y, e


@pytest.fixture(scope="module")
def data():
    return confounded(600, 3)


def forest(**params):
    return CausalForest(params.pop("n_estimators", 20), random_state=params.pop("random_state", 0), **params)


class FitOnly:
    def fit(self, X, y):
        return self


BAD = [
    (
        {"outcome_model": "forest"},
        {},
        "outcome_model must be None (the internal forest) or an estimator instance",
    ),
    ({"outcome_model": LinearRegression}, {}, "with fit and predict methods, got"),
    ({"treatment_model": FitOnly()}, {}, "treatment_model must be None (the internal forest)"),
    ({"cv": 1}, {}, "cv must be an int >= 2 (folds for the nuisance models), got 1"),
    ({"cv": 2.0}, {}, "cv must be an int >= 2 (folds for the nuisance models), got 2.0"),
    ({"cv": True}, {}, "got True"),
    (
        {"outcome_model": LinearRegression(), "cv": 601},
        {},
        "cv must be at most the number of rows (600), got 601",
    ),
    (
        {"outcome_model": LinearRegression()},
        {"Y_hat": np.zeros(600)},
        "give either Y_hat to fit or outcome_model",
    ),
    ({"treatment_model": LogisticRegression()}, {"T_hat": np.full(600, 0.5)}, "give either T_hat to fit or"),
]


@pytest.mark.parametrize("params,given,message", BAD, ids=[str(i) for i in range(len(BAD))])
def test_bad_nuisance_parameters_name_themselves(data, params, given, message):
    with pytest.raises(ValueError) as info:
        forest(**params).fit(*data[:3], **given)
    assert message in str(info.value)


def test_user_models_are_cross_fitted_out_of_fold(data):
    X, T, y, e = data
    params = {"outcome_model": LinearRegression(), "treatment_model": LogisticRegression(), "cv": 4}
    first = forest(**params).fit(X, T, y)
    bumped = y.copy()
    bumped[0] += 1000.0
    second = forest(**params).fit(X, T, bumped)
    # Row 0's estimate comes from the folds without it; the other folds see the change.
    assert second.Y_hat_[0] == first.Y_hat_[0]
    assert np.mean(second.Y_hat_ != first.Y_hat_) > 0.5
    assert np.corrcoef(first.T_hat_, e)[0, 1] > 0.95  # the column of class 1
    assert not hasattr(params["outcome_model"], "coef_")  # the user's instance stays unfitted
    # Other folds for another seed; none for the internal forests.
    assert not np.array_equal(forest(random_state=1, **params).fit(X, T, y).Y_hat_, first.Y_hat_)


def test_nuisance_models_are_parameters(data):
    base = pytest.importorskip("sklearn.base")
    est = forest(treatment_model=LogisticRegression(C=2.0), cv=3)
    assert est.get_params()["treatment_model__C"] == 2.0
    assert "treatment_model__C" not in est.get_params(deep=False)
    est.set_params(treatment_model__C=0.5, cv=4)
    assert est.treatment_model.C == 0.5 and est.cv == 4
    assert (
        repr(est)
        == "CausalForest(n_estimators=20, random_state=0, treatment_model=LogisticRegression(C=0.5), cv=4)"
    )
    fitted = est.fit(*data[:3])
    for twin in (base.clone(fitted), pickle.loads(pickle.dumps(fitted)), copy.deepcopy(fitted)):
        assert twin.treatment_model is not est.treatment_model and twin.treatment_model.C == 0.5
    assert np.array_equal(pickle.loads(pickle.dumps(fitted)).T_hat_, fitted.T_hat_)


def overlap_oracle(T, y, y_hat, e, tau):
    """The AIPW scores averaged with weights e(1 - e); the standard error of a ratio of means."""
    gamma = tau + (T - e) / (e * (1 - e)) * (y - y_hat - (T - e) * tau)
    h = e * (1 - e)
    theta = np.average(gamma, weights=h)
    num, den = h * gamma, h
    cov = np.cov(num, den)
    var = (cov[0, 0] - 2 * theta * cov[0, 1] + theta**2 * cov[1, 1]) / den.mean() ** 2 / len(T)
    return theta, np.sqrt(var)


def test_overlap_average_matches_the_formula(data):
    X, T, y, e = data
    fitted = forest(n_estimators=40).fit(X, T, y, T_hat=np.clip(e, 0.02, 0.98))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no overlap warning for this target
        estimate, se = fitted.average_treatment_effect("overlap")
    expected = overlap_oracle(T, y, fitted.Y_hat_, fitted.T_hat_, fitted.oob_effect())
    assert np.allclose((estimate, se), expected, rtol=1e-9)
    # With one propensity for every row the weights are equal: the plain AIPW average.
    flat = forest(n_estimators=40).fit(X, T, y, T_hat=np.full(len(T), 0.3))
    assert np.allclose(
        flat.average_treatment_effect("overlap"), flat.average_treatment_effect("all"), rtol=1e-9
    )


def test_overlap_warning_reports_the_share_of_extreme_propensities():
    X, T, y, e = confounded(4000, 11)
    true_share = np.mean((e < 0.05) | (e > 0.95))
    fitted = CausalForest(200, random_state=2).fit(X, T, y)
    with pytest.warns(UserWarning, match="of training rows have estimated propensities outside") as caught:
        fitted.average_treatment_effect("treated")
    share = float(str(caught[0].message).split("%")[0]) / 100
    # The forest still rounds the extremes off at this n (the earlier settings: 0.2x).
    assert 0.3 * true_share < share < 1.3 * true_share


def test_internal_first_stage_is_recalibrated(data):
    X, T, y, _ = data
    fitted = forest(n_estimators=40).fit(X, T, y)
    # Score equations of the two refits, each with an intercept: the means match.
    assert np.isclose(fitted.T_hat_.mean(), T.mean(), atol=1e-8)
    assert np.isclose(fitted.Y_hat_.mean(), y.mean(), atol=1e-8)
    assert 0.0 < fitted.T_hat_.min() and fitted.T_hat_.max() < 1.0
