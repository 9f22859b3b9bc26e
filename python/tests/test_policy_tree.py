import itertools
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvantis import CausalForest, NotFittedError, PolicyTree
from quorvantis.policy.policy_tree import _number


def oracle(X, R, depth, leaf, step):
    """Best total reward over all trees of depth <= `depth`, by enumerating every split."""
    n, p = X.shape
    masks = []
    for j in range(p):
        values = np.unique(X[~np.isnan(X[:, j]), j])
        for c in range(0, len(values) - 1, step):
            t = (values[c] + values[c + 1]) / 2
            for missing_left in (False, True):
                masks.append(np.where(np.isnan(X[:, j]), missing_left, X[:, j] <= t))
    M = np.array(masks, dtype=float).reshape(-1, n)

    def best1(rows):
        value = (R * rows[:, None]).sum(0).max()
        left, right = M * rows, (1 - M) * rows
        ok = (left.sum(1) >= leaf) & (right.sum(1) >= leaf)
        if ok.any():
            value = max(value, ((left @ R).max(1) + (right @ R).max(1))[ok].max())
        return value

    everything = np.ones(n)
    if depth == 1:
        return best1(everything)
    best = best1(everything)
    for m in M:
        left, right = m * everything, (1 - m) * everything
        if left.sum() >= leaf and right.sum() >= leaf:
            best = max(best, best1(left) + best1(right))
    return best


def data(seed, K, n=40, p=3):
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 6, size=(n, p)).astype(float)  # many ties
    X[rng.random((n, p)) < 0.15] = np.nan
    R = rng.integers(-2, 3, size=(n, K)).astype(float)  # tied rewards too
    return X, R


@pytest.mark.parametrize(
    "seed, depth, leaf, step, K", list(itertools.product(range(3), (1, 2), (1, 4), (1, 2), (2, 3)))
)
def test_reward_equals_the_exhaustive_search(seed, depth, leaf, step, K):
    X, R = data(seed, K)
    tree = PolicyTree(max_depth=depth, min_samples_leaf=leaf, split_step=step).fit(X, R)
    earned = R[np.arange(len(X)), tree.predict(X)].sum()
    assert earned == pytest.approx(oracle(X, R, depth, leaf, step), abs=1e-9)
    assert tree.reward_ == pytest.approx(earned, abs=1e-9)
    leaves = tree._leaves(X)
    assert np.bincount(leaves)[np.unique(leaves)].min() >= leaf


def test_threads_and_depth():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(300, 4))
    X[rng.random(X.shape) < 0.1] = np.nan
    R = rng.normal(size=(300, 3))
    one = PolicyTree(n_jobs=1).fit(X, R)
    two = PolicyTree(n_jobs=2).fit(X, R)
    assert one.rule() == two.rule() and (one.predict(X) == two.predict(X)).all()
    # Deeper trees keep the exact depth-2 tree's root, so they earn at least as much.
    assert PolicyTree(max_depth=3).fit(X, R).reward_ >= one.reward_ - 1e-9


@pytest.mark.parametrize("seed", range(20))
def test_numbers_reproduce_the_split(seed):
    rng = np.random.default_rng(seed)
    lo = float(rng.choice([-1, 1]) * 10 ** rng.uniform(-6, 8))
    hi = lo + abs(lo) * 10 ** rng.uniform(-9, 0) + 1e-300
    text = _number((lo + hi) / 2, lo, hi)
    assert lo < float(text.replace(",", "")) < hi


def test_rule_value_and_chart():
    rng = np.random.default_rng(1)
    X = rng.uniform(0, 60, size=(400, 2))
    X[:5, 1] = np.nan
    gain = np.where((X[:, 0] > 30) & (X[:, 1] < 1200 / 100), 2.0, -1.0)
    R = np.column_stack([np.zeros(400), gain])
    tree = PolicyTree().fit(X, R)
    assert "x0 > 3" in tree.rule() and ": action 1" in tree.rule()
    v = tree.value()
    assert v.policy[0] == pytest.approx(R[np.arange(400), tree.predict(X)].mean())
    assert v.differences["action 0"][0] == pytest.approx(v.policy[0]) and "policy - always" in repr(v)
    assert repr(tree.value(X, R)) == repr(v)
    chart = tree.to_dict()
    leaves = [node for node in chart["data"]["nodes"] if node["kind"] == "leaf"]
    assert chart["visual_type"] == "policy_tree" and sum(node["share"] for node in leaves) == pytest.approx(1)


def test_pandas_pickle_clone_and_forest():
    pd = pytest.importorskip("pandas")
    sklearn_base = pytest.importorskip("sklearn.base")
    rng = np.random.default_rng(2)
    X = pd.DataFrame(rng.normal(size=(600, 2)), columns=["age", "income"])
    T = rng.integers(0, 2, 600)
    y = T * np.where(X["age"] > 0, 1.0, -1.0) + rng.normal(size=600)
    forest = CausalForest(n_estimators=100, random_state=0).fit(X, T, y)
    tree = PolicyTree(max_depth=1, min_samples_leaf=20).fit_forest(forest)
    assert tree.rule().startswith("if age <= ") and tree.action_names_ == ["control", "treated"]
    copy = pickle.loads(pickle.dumps(tree))
    assert copy.rule() == tree.rule() and (copy.predict(X) == tree.predict(X)).all()
    fresh = sklearn_base.clone(tree)
    assert fresh.get_params() == tree.get_params() and not hasattr(fresh, "reward_")
    named = PolicyTree().fit(X, pd.DataFrame({"wait": np.zeros(600), "act": y}))
    assert named.action_names_ == ["wait", "act"]


X0, R0 = data(0, 2)


@pytest.mark.parametrize(
    "params, args, message",
    [
        ({"max_depth": 0}, (X0, R0), "max_depth must be an int in [1, 20], got 0"),
        ({"min_samples_leaf": 1.5}, (X0, R0), "min_samples_leaf must be an int >= 1, got 1.5"),
        ({"split_step": 0}, (X0, R0), "split_step must be an int >= 1, got 0"),
        ({"random_state": "x"}, (X0, R0), "random_state must be None"),
        ({"n_jobs": 0}, (X0, R0), "n_jobs must be None"),
        ({}, (X0[:, 0], R0), "X must be 2-D"),
        (
            {},
            (X0, R0[:, :1]),
            "rewards must be 2-D with one column per action (at least 2), got an array of shape",
        ),
        ({}, (X0, R0[:5]), "rewards has 5 rows, but X has 40 rows"),
        ({}, (X0, np.where(R0 > 1, np.inf, R0)), "rewards holds inf at row"),
        ({}, (np.where(np.isnan(X0), np.inf, X0), R0), "X holds inf at row"),
    ],
)
def test_errors(params, args, message):
    with pytest.raises(ValueError) as info:
        PolicyTree(**params).fit(*args)
    assert message in str(info.value)


def test_errors_of_a_fitted_or_unfitted_tree():
    with pytest.raises(NotFittedError, match="before predict"):
        PolicyTree().predict(X0)
    tree = PolicyTree().fit(X0, R0)
    for call, message in [
        (lambda: tree.predict(X0[:, :2]), "X must be 2-D with the 3 features seen at fit"),
        (lambda: tree.value(X0), "rewards must be given with X"),
        (lambda: tree.value(X0, np.zeros((40, 3))), "rewards must have 2 columns"),
        (lambda: tree.fit_forest("forest"), "forest must be a fitted quorvantis.CausalForest, got 'forest'"),
        (lambda: tree.set_params(depth=2), "invalid parameter 'depth'"),
    ]:
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            call()


def test_ctrl_c_stops_the_fit_and_leaves_it_unfitted():
    code = """
        import signal, numpy as np
        from quorvantis import PolicyTree
        rng = np.random.default_rng(0)
        X, R = rng.uniform(size=(60000, 6)), rng.normal(size=(60000, 2))
        tree = PolicyTree(min_samples_leaf=5)
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            tree.fit(X, R)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", hasattr(tree, "reward_"))
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )
    assert proc.stdout.split() == ["interrupted", "False"], proc.stderr[-2000:]
