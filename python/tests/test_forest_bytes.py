"""A seeded CausalForest grows the recorded bytes, on one thread and on two.

When a change of the forest is intended, record the new digest with
``python test_forest_bytes.py > golden/causal_forest_sha256.txt``.
"""

import hashlib
import pathlib

import numpy as np
import pytest

from quorvantis import CausalForest

GOLDEN = pathlib.Path(__file__).with_name("golden") / "causal_forest_sha256.txt"


def digest(n_jobs: int) -> str:
    rng = np.random.default_rng(7)
    n = 600
    X = rng.normal(size=(n, 5))
    X[rng.random((n, 5)) < 0.03] = np.nan
    T = (rng.random(n) < 1 / (1 + np.exp(-np.nan_to_num(X[:, 0])))).astype(float)
    y = np.nan_to_num(X[:, 1]) + T * (1 + (np.nan_to_num(X[:, 2]) > 0)) + rng.normal(size=n)
    forest = CausalForest(n_estimators=40, random_state=11, n_jobs=n_jobs).fit(X, T, y)
    return hashlib.sha256(forest._forest.to_bytes()).hexdigest()


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_seeded_forest_bytes_are_the_recorded_ones(n_jobs):
    assert digest(n_jobs) == GOLDEN.read_text().strip()


if __name__ == "__main__":
    print(digest(1))
