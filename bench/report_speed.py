"""How long CausalForest.summary() takes against one effect_interval on the same rows.

summary() reuses one variance pass for every table and chart, so it should cost at
most about twice effect_interval. Prints a markdown table.

    .venv/bin/python bench/report_speed.py [--rows 100000] [--trees 2000] [--features 10]
"""

import argparse
import time

import numpy as np

from quorvantis import CausalForest


def timed(compute):
    start = time.perf_counter()
    value = compute()
    return value, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--trees", type=int, default=2000)
    parser.add_argument("--features", type=int, default=10)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.uniform(size=(args.rows, args.features))
    T = (rng.random(args.rows) < 0.5).astype(float)
    tau = 1 + 1 / (1 + np.exp(-20 * (X[:, 0] - 1 / 3)))
    y = X[:, 1] + T * tau + rng.normal(size=args.rows)
    forest, fit_s = timed(lambda: CausalForest(args.trees, random_state=0).fit(X, T, y))
    _, interval_s = timed(lambda: forest.effect_interval(X))
    _, summary_s = timed(lambda: forest.summary())
    _, summary_x_s = timed(lambda: forest.summary(X))
    print(f"n = {args.rows:,}, p = {args.features}, {args.trees} trees; fit {fit_s:.1f} s\n")
    print("| call | seconds | ratio to effect_interval |\n|---|---:|---:|")
    for label, s in [
        ("effect_interval(X)", interval_s),
        ("summary() (out-of-bag rows)", summary_s),
        ("summary(X)", summary_x_s),
    ]:
        print(f"| {label} | {s:.2f} | {s / interval_s:.2f}x |")


if __name__ == "__main__":
    main()
