"""sample_weight and groups: the weighted, cluster-robust average effect against its formula, and
weights against the rows they stand for. Coverage is measured in bench/causal/{weights,clusters}.py."""

import numpy as np
import pytest

from quorvantis import CausalForest


def design(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    T = (rng.random(n) < 0.5).astype(float)
    # The effect differs where the weights will differ, so ignoring them shows.
    y = X[:, 1] + T * (1 + 2 * (X[:, 0] > 0)) + rng.normal(size=n)
    return X, T, y


def ate(X, T, y, **kw):
    return CausalForest(300, random_state=4).fit(X, T, y, **kw).average_treatment_effect()[0]


def test_integer_and_zero_weights_act_like_repeated_and_dropped_rows():
    X, T, y = design()
    heavy = X[:, 0] > 0
    w = np.where(heavy, 2.0, 1.0)
    # The weighted population's effect: (1 * 1 + 2 * 3) / 3. Repeated rows are no oracle:
    # a row's copy sits in the bag of the trees that leave the row out, so its
    # out-of-bag outcome estimate leans on its own outcome.
    weighted = ate(X, T, y, sample_weight=w)
    assert abs(weighted - 7 / 3) < 0.2
    assert abs(weighted - ate(X, T, y)) > 0.2  # the weights matter here
    keep = ~heavy | (np.arange(len(y)) % 3 > 0)
    dropped = ate(X[keep], T[keep], y[keep])
    assert abs(ate(X, T, y, sample_weight=keep.astype(float)) - dropped) < 0.08


@pytest.mark.parametrize("scale", [1.0, 4.0, 0.125])
def test_equal_weights_grow_the_unweighted_trees(scale):
    # A power of two scales every weighted sum exactly: any count used in place
    # of a weight sum (or the reverse) changes the trees.
    X, T, y = design(800)
    plain = CausalForest(100, random_state=2).fit(X, T, y)
    same = CausalForest(100, random_state=2).fit(X, T, y, sample_weight=np.full(len(y), scale))
    assert np.array_equal(plain.effect(X), same.effect(X))
    assert np.array_equal(plain.Y_hat_, same.Y_hat_) and np.array_equal(plain.T_hat_, same.T_hat_)
    assert plain.average_treatment_effect()[0] == pytest.approx(same.average_treatment_effect()[0], rel=1e-12)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("clustered", [False, True])
@pytest.mark.parametrize("target", ["all", "treated"])
def test_average_effect_matches_the_weighted_cluster_robust_formula(weighted, clustered, target):
    X, T, y = design(1200, seed=1)
    rng = np.random.default_rng(5)
    m, e = X[:, 1] + 0.3, np.clip(0.5 + 0.1 * X[:, 2], 0.1, 0.9)
    v = rng.uniform(0.0, 3.0, len(y)) if weighted else np.ones(len(y))
    g = rng.integers(0, 60, len(y)) if clustered else np.arange(len(y))
    kw = {"sample_weight": v} if weighted else {}
    if clustered:
        kw["groups"] = [f"c{k}" for k in g]
    forest = CausalForest(200, random_state=1).fit(X, T, y, Y_hat=m, T_hat=e, **kw)
    estimate, se = forest.average_treatment_effect(target)
    tau = forest.oob_effect()
    assert not np.isnan(tau).any()
    if target == "all":
        score = tau + (T - e) / (e * (1 - e)) * (y - m - (T - e) * tau)
        theta = np.sum(v * score) / np.sum(v)
        influence = v * (score - theta) / np.sum(v)
    else:
        r = y - (m - e * tau)
        theta = np.sum(v * (T * r - (1 - T) * e / (1 - e) * r)) / np.sum(v * T)
        influence = v * (T * (r - theta) - (1 - T) * e / (1 - e) * r) / np.sum(v * T)
    per_cluster = np.bincount(g, weights=influence)
    c = len(np.unique(g))
    assert estimate == pytest.approx(theta, rel=1e-9)
    assert se == pytest.approx(np.sqrt(c / (c - 1) * np.sum(per_cluster**2)), rel=1e-9)


def test_clusters_widen_the_interval_when_clusters_share_effects():
    rng = np.random.default_rng(3)
    g = np.repeat(np.arange(50), 30)
    X = rng.normal(size=(len(g), 3))
    T = (rng.random(len(g)) < 0.5).astype(float)
    y = X[:, 1] + rng.normal(size=50)[g] + T * (1 + rng.normal(size=50)[g]) + rng.normal(size=len(g))
    naive = CausalForest(200, random_state=0).fit(X, T, y)
    robust = CausalForest(200, random_state=0).fit(X, T, y, groups=g)
    assert robust.average_treatment_effect()[1] > 1.5 * naive.average_treatment_effect()[1]


@pytest.mark.parametrize(
    "kw, message",
    [
        ({"sample_weight": [1.0] * 99}, "sample_weight has 99 entries"),
        ({"sample_weight": [-1.0] + [1.0] * 99}, "sample_weight must be non-negative, got -1 at position 0"),
        ({"sample_weight": [np.nan] + [1.0] * 99}, "sample_weight holds nan at position 0"),
        ({"sample_weight": [0.0] * 100}, "sample_weight must hold some positive weight"),
        ({"groups": [1] * 99}, r"groups must hold one cluster label per row of X \(100 rows\)"),
        ({"groups": [np.nan] + [1.0] * 99}, "groups must not hold missing labels, got NaN at position 0"),
        ({"groups": [None] + ["a"] * 99}, "groups must not hold missing labels, got None at position 0"),
        ({"groups": ["a"] * 100}, "groups must hold at least 2 distinct clusters"),
        ({"sample_weight": [1.0] + [0.0] * 99}, "positive weight to at least 2 rows, got 1"),
        ({"sample_weight": [1.0] * 50 + [0.0] * 50, "groups": np.arange(100) // 50}, "at least 2 clusters"),
    ],
)
def test_bad_weights_and_groups_are_named(kw, message):
    X, T, y = design(100)
    with pytest.raises(ValueError, match=message):
        CausalForest(10, ci_group_size=1, min_samples_leaf=1).fit(X, T, y, **kw)


def test_equalize_cluster_weights_is_a_checked_parameter():
    X, T, y = design(100)
    forest = CausalForest(10, ci_group_size=1, min_samples_leaf=1, equalize_cluster_weights="yes")
    assert forest.get_params()["equalize_cluster_weights"] == "yes"
    with pytest.raises(ValueError, match="equalize_cluster_weights must be a bool"):
        forest.fit(X, T, y, groups=np.arange(100) % 5)


def test_pickles_keep_the_cluster_option():
    import pickle

    X, T, y = design(300)
    forest = CausalForest(20, ci_group_size=1, equalize_cluster_weights=True, random_state=0)
    forest.fit(X, T, y, groups=np.arange(300) % 7, sample_weight=np.arange(300) % 4)
    twin = pickle.loads(pickle.dumps(forest))
    assert twin.get_params() == forest.get_params()
    assert twin.average_treatment_effect() == forest.average_treatment_effect()
    unfitted = pickle.loads(pickle.dumps(CausalForest(equalize_cluster_weights=True)))
    assert unfitted.equalize_cluster_weights is True


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("clustered", [False, True])
def test_overlap_average_uses_the_weights_and_clusters(weighted, clustered):
    X, T, y = design(800, seed=2)
    rng = np.random.default_rng(6)
    m, e = X[:, 1], np.clip(0.5 + 0.2 * X[:, 2], 0.05, 0.95)
    s = rng.uniform(0.0, 3.0, len(y)) if weighted else np.ones(len(y))
    g = rng.integers(0, 40, len(y)) if clustered else np.arange(len(y))
    kw = {"sample_weight": s} if weighted else {}
    if clustered:
        kw["groups"] = g
    forest = CausalForest(100, random_state=1).fit(X, T, y, Y_hat=m, T_hat=e, **kw)
    estimate, se = forest.average_treatment_effect("overlap")
    tau, w = forest.oob_effect(), e * (1 - e)
    a = w * tau + (T - e) * (y - m - (T - e) * tau)
    theta = np.sum(s * a) / np.sum(s * w)
    per_cluster = np.bincount(g, weights=s * (a - theta * w) / np.sum(s * w))
    c = len(np.unique(g))
    assert estimate == pytest.approx(theta, rel=1e-9)
    assert se == pytest.approx(np.sqrt(c / (c - 1) * np.sum(per_cluster**2)), rel=1e-9)
