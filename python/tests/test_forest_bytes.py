"""Seeded CausalForests grow the recorded bytes and give the recorded numbers, on
one thread and on two. The designs reach every path of the tree builder and the
predictor: nodes scanned row by row and by histogram, missing values, categories,
weights and clusters, few bins.

When a change of the forest is intended, record the new digests with
``python test_forest_bytes.py > golden/causal_forest_sha256.txt``.
"""

import hashlib
import pathlib
import warnings

import numpy as np
import pytest

from quorvantis import CausalForest

GOLDEN = pathlib.Path(__file__).with_name("golden") / "causal_forest_sha256.txt"

# name: (rows, features, trees, extra fit arguments, extra parameters)
DESIGNS = {
    "small": (600, 5, 40, {}, {}),
    "dense": (12_000, 6, 12, {}, {}),
    "weighted": (6_000, 4, 10, {"sample_weight": True, "groups": True}, {}),
    "categorical": (6_000, 4, 10, {}, {"categorical_features": [3]}),
    "few_bins": (6_000, 4, 10, {}, {"max_bins": 7, "min_samples_leaf": 2}),
    "few_features": (6_000, 9, 10, {}, {"max_features": 2}),
}


def data(n: int, p: int):
    rng = np.random.default_rng(7)
    X = rng.normal(size=(n, p))
    X[rng.random((n, p)) < 0.03] = np.nan
    T = (rng.random(n) < 1 / (1 + np.exp(-np.nan_to_num(X[:, 0])))).astype(float)
    y = np.nan_to_num(X[:, 1]) + T * (1 + (np.nan_to_num(X[:, 2]) > 0)) + rng.normal(size=n)
    return rng, X, T, y


def digest(name: str, n_jobs: int) -> str:
    n, p, trees, fit_extra, params = DESIGNS[name]
    rng, X, T, y = data(n, p)
    if "categorical_features" in params:
        X[:, 3] = np.where(np.isnan(X[:, 3]), np.nan, rng.integers(0, 12, n))
    kwargs = {}
    if fit_extra.get("sample_weight"):
        kwargs["sample_weight"] = rng.uniform(0.2, 3.0, n)
    if fit_extra.get("groups"):
        kwargs["groups"] = rng.integers(0, 300, n)
    forest = CausalForest(n_estimators=trees, random_state=11, n_jobs=n_jobs, **params).fit(X, T, y, **kwargs)
    h = hashlib.sha256(forest._forest.to_bytes())
    if name != "small":  # the predictions too, on rows with and without missing values
        X_new = data(2_000, p)[1]
        if "categorical_features" in params:
            X_new[:, 3] = np.where(np.isnan(X_new[:, 3]), np.nan, rng.integers(0, 14, 2_000))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NaN out-of-bag effects are part of the record
            outputs = (forest.effect(X_new), *forest.effect_interval(X_new), forest.oob_effect())
        for a in outputs:
            h.update(np.ascontiguousarray(a, dtype=np.float64).tobytes())
    return h.hexdigest()


def recorded() -> dict[str, str]:
    return dict(line.split() for line in GOLDEN.read_text().splitlines() if line.strip())


@pytest.mark.parametrize("n_jobs", [1, 2])
@pytest.mark.parametrize("name", list(DESIGNS))
def test_seeded_forest_bytes_are_the_recorded_ones(name, n_jobs):
    assert digest(name, n_jobs) == recorded()[name]


if __name__ == "__main__":
    for name in DESIGNS:
        print(name, digest(name, 1))
