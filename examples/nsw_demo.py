"""The main job on real data: the NSW job-training experiment.

Outcome: earnings in 1978 (re78). Treatment: enrolment in the programme
(treat). Features: the other recorded characteristics, with their names.
Fits the causal forest and the linear estimator, prints both summaries and
the placebo verdict, and writes the feature-importance page.
"""

import os

import causaldata

import quorvantis as qv

data = causaldata.nsw_mixtape.load_pandas().data
names = ["age", "educ", "black", "hisp", "marr", "nodegree", "re74", "re75"]
X = data[names].to_numpy(dtype=float)
t = data["treat"].to_numpy(dtype=float)
y = data["re78"].to_numpy(dtype=float)
print(f"NSW experiment: {len(y)} people, {int(t.sum())} treated, {len(names)} features\n")

forest = qv.create_model(X, t, y, feature_names=names)
forest_result = forest.estimate_effects(X)
print("Causal forest")
print(forest_result.summary())
print("Placebo check:", forest.validate().message, "\n")

linear = qv.create_model(X, t, y, method="linear", feature_names=names)
print("Difference of means")
print(linear.estimate_effects(X).summary())

# Without a display there is no browser to open; the page is still written.
headless = not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
if headless:
    os.environ.setdefault("BROWSER", "true")
forest_result.preview("importance")
if headless:
    print("No display here: open that file in a browser to see the chart.")
