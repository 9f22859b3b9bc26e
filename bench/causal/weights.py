"""Coverage of CausalForest's weighted average-effect interval for a weighted population's truth.

Design: a population with effect tau(x) = 1 + x0 (average 1) is sampled with probability
sigmoid(1.5 x0), so the sample over-represents large effects. Weighting each row by the inverse
of its sampling probability (``sample_weight``) targets the population's average effect, 1; the
unweighted fit targets the sample's. Each replicate fits both and records whether the 95%
interval covers 1.

    .venv/bin/python bench/causal/weights.py [--reps 100] [--trees 400] [--n 2000]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from quorvantis import CausalForest

Z = 1.959963984540054


def draw(rng: np.random.Generator, n: int) -> tuple[np.ndarray, ...]:
    X = np.empty((0, 4))
    while len(X) < n:
        candidates = rng.normal(size=(4 * n, 4))
        keep = rng.random(4 * n) < 1.0 / (1.0 + np.exp(-1.5 * candidates[:, 0]))
        X = np.vstack([X, candidates[keep]])
    X = X[:n]
    weight = 1.0 + np.exp(-1.5 * X[:, 0])  # 1 / P(sampled | x)
    e = 1.0 / (1.0 + np.exp(-0.5 * X[:, 1]))
    T = (rng.random(n) < e).astype(float)
    y = X[:, 1] + X[:, 2] + T * (1.0 + X[:, 0]) + rng.normal(size=n)
    return X, T, y, weight


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=100)
    ap.add_argument("--trees", type=int, default=400)
    ap.add_argument("--n", type=int, default=2000)
    args = ap.parse_args()
    truth = 1.0
    rows: dict[str, list[tuple[float, float]]] = {"unweighted": [], "sample_weight=1/p": []}
    start = time.perf_counter()
    for rep in range(args.reps):
        X, T, y, weight = draw(np.random.default_rng(rep), args.n)
        for name, kw in (("unweighted", {}), ("sample_weight=1/p", {"sample_weight": weight})):
            forest = CausalForest(args.trees, random_state=rep).fit(X, T, y, **kw)
            rows[name].append(forest.average_treatment_effect())
    print(f"{args.reps} replicates, n = {args.n}, {args.trees} trees, {time.perf_counter() - start:.0f} s")
    print("| fit | coverage of 95% interval for 1 | mean estimate | sd of estimates | mean std. error |")
    print("| --- | --- | --- | --- | --- |")
    for name, results in rows.items():
        est, se = np.array(results).T
        cover = np.mean(np.abs(est - truth) <= Z * se)
        mc = np.sqrt(cover * (1 - cover) / len(est))
        print(
            f"| {name} | {cover:.2f} (± {mc:.2f}) | {est.mean():.3f} | "
            f"{est.std(ddof=1):.3f} | {se.mean():.3f} |"
        )


if __name__ == "__main__":
    main()
