import os

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


@pytest.fixture
def small_data(rng):
    n, p = 200, 3
    X = rng.normal(size=(n, p))
    t = (rng.random(n) < 0.5).astype(float)
    y = X[:, 0] + 2.0 * t + rng.normal(scale=0.1, size=n)
    return X, t, y


# Under AddressSanitizer memory figures are the sanitizer's (quarantine, shadow).
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
