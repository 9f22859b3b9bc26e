"""The main job on example data: fit an estimator and read its effect."""

import numpy as np

import quorvantis as qv

rng = np.random.default_rng(7)
n, p = 2_000, 4
X = rng.normal(size=(n, p))
t = (rng.random(n) < 0.5).astype(float)
# The true effect is 1 + 2 * [x0 > 0], so about 2 on average.
y = X[:, 1] + t * (1.0 + 2.0 * (X[:, 0] > 0)) + rng.normal(scale=0.5, size=n)

names = [f"x{j}" for j in range(p)]
linear = qv.create_model(X, t, y, method="linear", feature_names=names)
result = linear.estimate_effects(X)
print(f"Linear estimator: average treatment effect {result.mean_effect:.4f}")
print(result.summary())
