"""The main job on example data: fit both estimators, read their effects,
check the forest with a placebo test and print a chart block."""

import numpy as np

import quorvantis as qv

rng = np.random.default_rng(7)
n, p = 20_000, 4
X = rng.normal(size=(n, p))
t = (rng.random(n) < 0.5).astype(float)
# The true effect is 1 + 2 * [x0 > 0]: about 2 on average, larger where x0 > 0.
y = X[:, 1] + t * (1.0 + 2.0 * (X[:, 0] > 0)) + rng.normal(scale=0.5, size=n)
names = ["x0", "x1", "x2", "x3"]

linear = qv.create_model(X, t, y, method="linear", feature_names=names)
print(f"Linear estimator: average treatment effect {linear.estimate_effects(X).mean_effect:.4f}")

forest = qv.create_model(X, t, y, feature_names=names)
result = forest.estimate_effects(X)
print(f"Causal forest: average treatment effect {result.mean_effect:.4f}")
print(
    f"  rows with x0 > 0: {result.predictions[X[:, 0] > 0].mean():.4f}, "
    f"rows with x0 <= 0: {result.predictions[X[:, 0] <= 0].mean():.4f}"
)
print(result.summary())
print(forest.validate().message)
result.show("importance")
