"""Coverage of CausalForest's average-effect interval on clustered data, with and without ``groups``.

Design: C clusters of m rows; each cluster has a random effect in the outcome (sd 1), in the
treatment's logit (sd 1) and in the effect (sd 0.5), so rows of a cluster are not independent.
The target is the population average effect, 1. Each replicate fits the same data twice (ignoring
the clusters, then with ``groups``) and records whether the 95% interval covers 1.

    .venv/bin/python bench/causal/clusters.py [--reps 100] [--trees 400] [--clusters 100] [--size 20]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from quorvantis import CausalForest

Z = 1.959963984540054


def draw(rng: np.random.Generator, clusters: int, size: int) -> tuple[np.ndarray, ...]:
    n = clusters * size
    g = np.repeat(np.arange(clusters), size)
    u, v, a = rng.normal(size=clusters), rng.normal(size=clusters), rng.normal(scale=0.5, size=clusters)
    X = rng.normal(size=(n, 4))
    e = 1.0 / (1.0 + np.exp(-(0.5 * X[:, 0] + v[g])))
    T = (rng.random(n) < e).astype(float)
    tau = 1.0 + 0.5 * X[:, 2] + a[g]
    y = X[:, 1] + u[g] + T * tau + rng.normal(size=n)
    return X, T, y, g


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=100)
    ap.add_argument("--trees", type=int, default=400)
    ap.add_argument("--clusters", type=int, default=100)
    ap.add_argument("--size", type=int, default=20)
    args = ap.parse_args()
    truth = 1.0
    rows: dict[str, list[tuple[float, float]]] = {"ignoring clusters": [], "groups=g": []}
    start = time.perf_counter()
    for rep in range(args.reps):
        X, T, y, g = draw(np.random.default_rng(rep), args.clusters, args.size)
        for name, kw in (("ignoring clusters", {}), ("groups=g", {"groups": g})):
            forest = CausalForest(args.trees, random_state=rep).fit(X, T, y, **kw)
            rows[name].append(forest.average_treatment_effect())
    print(
        f"{args.reps} replicates, {args.clusters} clusters of {args.size} rows, {args.trees} trees, "
        f"{time.perf_counter() - start:.0f} s"
    )
    print("| fit | coverage of 95% interval | mean estimate | sd of estimates | mean std. error |")
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
