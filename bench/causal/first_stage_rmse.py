"""Per-row effect RMSE with the default first stage against the earlier one
(the causal trees' settings, no recalibration), paired on the same seeds.

  python bench/causal/first_stage_rmse.py --seeds 12 --trees 200
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from designs import draw  # noqa: E402


def rmse(design, seed, trees, smooth, n, n_test, p):
    from quorvantis import CausalForest

    X, w, y, tau = draw(design, n + n_test, p, seed)
    forest = CausalForest(trees, random_state=seed)
    if smooth:  # a private engine switch, kept for this comparison
        options = forest._options
        forest._options = lambda: {**options(), "smooth_nuisance": True}
    forest.fit(X[:n], w[:n], y[:n])
    return float(np.sqrt(np.mean((forest.effect(X[n:]) - tau[n:]) ** 2)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--designs", default="WA,B,C,SL,SN")
    ap.add_argument("--seeds", type=int, default=12)
    ap.add_argument("--trees", type=int, default=200)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--n-test", type=int, default=500)
    ap.add_argument("--p", type=int, default=8)
    a = ap.parse_args()
    print(f"n = {a.n:,}, {a.n_test} test rows, p = {a.p}, {a.trees} trees, {a.seeds} seeds\n")
    print("| design | earlier | default | paired difference |")
    print("| --- | --- | --- | --- |")
    for design in a.designs.split(","):
        new, old = [], []
        for s in range(100, 100 + a.seeds):
            new.append(rmse(design, s, a.trees, False, a.n, a.n_test, a.p))
            old.append(rmse(design, s, a.trees, True, a.n, a.n_test, a.p))
        d = np.array(new) - np.array(old)
        print(
            f"| {design} | {np.mean(old):.3f} | {np.mean(new):.3f} | "
            f"{d.mean():+.4f} +/- {d.std(ddof=1) / np.sqrt(len(d)):.4f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
