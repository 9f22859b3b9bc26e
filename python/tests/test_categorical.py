"""Categorical columns: accepted in every form, split as sets, kept through pickles."""

import pickle

import numpy as np
import pytest

from quorvantis import CausalForest

pd = pytest.importorskip("pandas")

LABELS = list("abcdefghijkl")
RAISED = ["c", "h", "k"]  # not neighbours in any order of the labels


def design(n=1200, seed=0):
    rng = np.random.default_rng(seed)
    group = rng.choice(LABELS, size=n)
    x1 = rng.normal(size=n)
    T = (rng.random(n) < 0.5).astype(float)
    tau = 1.0 + 2.0 * np.isin(group, RAISED)
    y = x1 + T * tau + 0.5 * rng.normal(size=n)
    return group, x1, T, y


def forest(**kwargs):
    return CausalForest(n_estimators=60, random_state=5, min_samples_leaf=5, **kwargs)


# The same column as pandas categories, strings, numbers marked by name, index or mask:
# the labels sort alike, so the codes and the forest are the same.
FORMS = {
    "category": (lambda g, x: pd.DataFrame({"g": pd.Categorical(g), "x": x}), None),
    "strings": (lambda g, x: pd.DataFrame({"g": g.astype(object), "x": x}), None),
    "numbers by name": (lambda g, x: pd.DataFrame({"g": np.searchsorted(LABELS, g) * 1.0, "x": x}), ["g"]),
    "array by index": (lambda g, x: np.column_stack([np.searchsorted(LABELS, g), x]), [0]),
    "array by mask": (lambda g, x: np.column_stack([np.searchsorted(LABELS, g), x]), [True, False]),
}


@pytest.fixture(scope="module")
def fitted():
    group, x1, T, y = design()
    make, marked = FORMS["category"]
    return forest(categorical_features=marked).fit(make(group, x1), T, y), (group, x1, T, y)


@pytest.mark.parametrize("form", list(FORMS)[1:])
def test_every_form_grows_the_same_forest(fitted, form):
    reference, (group, x1, T, y) = fitted
    make, marked = FORMS[form]
    other = forest(categorical_features=marked).fit(make(group, x1), T, y)
    assert other._forest.to_bytes() == reference._forest.to_bytes()
    assert np.array_equal(other.effect(make(group, x1)), reference.effect(FORMS["category"][0](group, x1)))
    assert other.feature_importances_.shape == (2,)


def test_sets_of_categories_find_the_raised_ones(fitted):
    model, (group, x1, _, _) = fitted
    by_group = pd.Series(model.oob_effect()).groupby(group).mean()
    # Every raised category above every other one: one set split, not a run of thresholds.
    assert by_group[RAISED].min() > by_group.drop(RAISED).max()
    assert model.feature_importances_[0] > model.feature_importances_[1]
    assert list(model.categories_[0]) == LABELS and model.categories_[1] is None


def test_unseen_and_missing_categories_go_with_missing_values(fitted):
    model, _ = fitted
    rows = pd.DataFrame(
        {"g": pd.Categorical(["zz", None, "a"], categories=["a", "zz"]), "x": [0.1, 0.1, 0.1]}
    )
    with_nan = model._forest.predict(np.array([[np.nan, 0.1]]), False, 1)[0]
    effects = model.effect(rows)
    assert effects[0] == effects[1] == with_nan[0]


def test_pickle_and_bytes_round_trip(fitted):
    model, (group, x1, _, _) = fitted
    X = FORMS["category"][0](group, x1)
    back = pickle.loads(pickle.dumps(model))
    assert np.array_equal(back.effect(X), model.effect(X))
    assert list(back.categories_[0]) == LABELS
    assert back._forest.to_bytes() == model._forest.to_bytes()
    assert back.get_params()["categorical_features"] is None
    # The kept training rows hold codes; a refit on them grows the same forest.
    X_train, T, y = model._training_data("test")
    refit = CausalForest(**model._refit_params()).fit(X_train, T, y)
    assert refit._forest.to_bytes() == model._forest.to_bytes()


def test_more_categories_than_bins_share_the_last_code():
    rng = np.random.default_rng(1)
    n = 600
    g = rng.choice(list("abcdefgh"), size=n, p=[0.3, 0.2, 0.2, 0.1, 0.1, 0.05, 0.03, 0.02])
    T = (rng.random(n) < 0.5).astype(float)
    y = T * (g == "a") + rng.normal(size=n)
    X = pd.DataFrame({"g": g, "x": rng.normal(size=n)})
    model = forest(max_bins=5).fit(X, T, y)  # 4 codes: a, b, c and the rest
    labels, codes = model._categories[0]
    assert list(labels) == list("abcdefgh") and list(codes) == [0, 1, 2, 3, 3, 3, 3, 3]
    assert np.isfinite(model.effect(X)).all()


@pytest.mark.parametrize(
    "marked, message",
    [
        (["nope"], "categorical_features names column 'nope', which X lacks"),
        ([5], "categorical_features holds index 5, but X has 2 columns"),
        ([True], "boolean mask needs 2 entries"),
        ([1.5], "categorical_features must be None, a list"),
    ],
)
def test_bad_categorical_features_are_named(marked, message):
    group, x1, T, y = design(200)
    with pytest.raises(ValueError, match=message):
        forest(categorical_features=marked).fit(pd.DataFrame({"g": group, "x": x1}), T, y)


def test_weights_groups_and_categories_together():
    group, x1, T, y = design(600)
    X = pd.DataFrame({"g": pd.Categorical(group), "x": x1})
    extras = {"sample_weight": 0.5 + np.arange(600) % 3, "groups": np.arange(600) // 6}
    model = forest().fit(X, T, y, **extras)
    assert np.isfinite(model.effect(X)).all() and np.isfinite(model.average_treatment_effect()).all()
    # Neither the weights nor the clusters are lost next to the categories.
    for dropped in extras:
        kept = {k: v for k, v in extras.items() if k != dropped}
        assert forest().fit(X, T, y, **kept)._forest.to_bytes() != model._forest.to_bytes()
    back = pickle.loads(pickle.dumps(model))
    assert back._forest.to_bytes() == model._forest.to_bytes()
    assert np.array_equal(back.effect(X), model.effect(X))
    assert back.average_treatment_effect() == model.average_treatment_effect()
