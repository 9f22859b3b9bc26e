"""Size, power and coverage of the forest diagnostics, by simulation.

Each replicate draws n rows with x = (x0, ..., x(p-1)) ~ U[0, 1]^p, a propensity 0.25 + 0.5 x2 and
outcome 2 x2 + T tau(x) + N(0, 1), fits the forest and runs the diagnostics:

  constant  tau = 1: calibration (differential) and RATE (AUTOC, default
            priorities, and as summary() runs it with a smaller ranking forest)
            should reject at 5% no more than 5% of the time; the
            placebo refutation (one refit) should pass about 95% of the time,
            the random common cause nearly always, the data subsets about 95%.
  wager     tau = (1 + s(x0)) (1 + s(x1)), s(x) = 1 / (1 + exp(-20 (x - 1/3))):
            both tests should reject nearly always.
  linear    tau = 1 + 2 x0 - x1: the best linear projection on x has 95%
            intervals that should cover the true coefficients (1, 2, -1, 0, ...).

  python bench/diagnostics.py --quick            # 20 replicates, 200 trees
  python bench/diagnostics.py --replicates 200   # the full run (takes long)
"""

from __future__ import annotations

import argparse
import platform
import sys
import time
import warnings

import numpy as np

from quorvantis import CausalForest
from quorvantis.diagnostics import rank_average_treatment_effect
from quorvantis.report._contract import REPORT_RATE

DESIGNS = ("constant", "wager", "linear")


def draw(design: str, n: int, p: int, rng: np.random.Generator):
    X = rng.uniform(size=(n, p))
    e = 0.25 + 0.5 * X[:, 2]
    T = (rng.random(n) < e).astype(float)
    if design == "constant":
        tau = np.ones(n)
    elif design == "wager":
        s = lambda v: 1.0 / (1.0 + np.exp(-20.0 * (v - 1.0 / 3.0)))
        tau = (1.0 + s(X[:, 0])) * (1.0 + s(X[:, 1]))
    else:
        tau = 1.0 + 2.0 * X[:, 0] - X[:, 1]
    y = 2.0 * X[:, 2] + T * tau + rng.normal(size=n)
    return X, T, y


def replicate(design: str, seed: int, n: int, p: int, trees: int) -> dict:
    rng = np.random.default_rng([seed, DESIGNS.index(design)])
    X, T, y = draw(design, n, p, rng)
    forest = CausalForest(n_estimators=trees, random_state=seed).fit(X, T, y)
    out = {}
    cal = forest.test_calibration()
    out["calibration"] = cal.differential_forest_prediction.p_value < 0.05
    out["rate"] = forest.rank_average_treatment_effect().p_value < 0.05
    # The report's cheaper ranking forest (fewer trees, capped rows).
    out["rate_report"] = rank_average_treatment_effect(forest, **REPORT_RATE).p_value < 0.05
    # Out-of-bag effects as priorities: not the default, kept for the record.
    out["rate_oob"] = forest.rank_average_treatment_effect(forest.oob_effect()).p_value < 0.05
    if design == "constant":
        out["placebo"] = forest.refute("placebo_treatment").passed
        out["common_cause"] = forest.refute("random_common_cause").passed
        out["subset"] = forest.refute("data_subset").passed
        out["mean_forest"] = cal.mean_forest_prediction.estimate
    if design == "linear":
        truth = np.zeros(p + 1)
        truth[:3] = (1.0, 2.0, -1.0)
        ci = forest.best_linear_projection().conf_int(0.05)
        covered = (ci[:, 0] <= truth) & (truth <= ci[:, 1])
        out["blp_all"] = bool(covered.all())
        for j, name in enumerate(["intercept", *(f"x{k}" for k in range(p))]):
            out[f"blp_{name}"] = bool(covered[j])
    return out


def share(values) -> str:
    v = np.asarray(values, dtype=float)
    # Binomial standard error of the share, so that a reader sees the noise.
    se = np.sqrt(max(v.mean() * (1 - v.mean()), 1e-12) / len(v))
    return f"{100 * v.mean():.1f}% (+/- {100 * se:.1f})"


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--replicates", type=int, default=None, help="200, or 20 with --quick")
    parser.add_argument("--quick", action="store_true", help="20 replicates of 200 trees")
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--p", type=int, default=5)
    parser.add_argument("--trees", type=int, default=500)
    parser.add_argument("--designs", default="constant,wager,linear")
    args = parser.parse_args()
    if args.quick:
        args.trees = 200
    if args.replicates is None:
        args.replicates = 20 if args.quick else 200
    warnings.simplefilter("ignore")  # propensities near the edges are expected at times
    print(f"# diagnostics: n={args.n}, p={args.p}, {args.trees} trees, {args.replicates} replicates")
    print(f"# {' '.join(sys.argv)}; {platform.machine()}, Python {platform.python_version()}\n")
    results: dict[str, list[dict]] = {}
    for design in args.designs.split(","):
        start = time.time()
        results[design] = [replicate(design, s, args.n, args.p, args.trees) for s in range(args.replicates)]
        print(f"# {design}: {time.time() - start:.0f} s", file=sys.stderr, flush=True)

    print(
        "| design | calibration rejects (differential, 5%) | RATE AUTOC rejects (5%) "
        "| RATE as summary() runs it | RATE, out-of-bag priorities | target |"
    )
    print("|---|---|---|---|---|---|")
    targets = {"constant": "<= 7% (size)", "wager": ">= 90% (power)", "linear": "power (for reference)"}
    for design, rows in results.items():
        cal = share([r["calibration"] for r in rows])
        rate = share([r["rate"] for r in rows])
        report = share([r["rate_report"] for r in rows])
        oob = share([r["rate_oob"] for r in rows])
        print(f"| {design} | {cal} | {rate} | {report} | {oob} | {targets[design]} |")
    if "constant" in results:
        rows = results["constant"]
        print("\n| constant effect | value | target |\n|---|---|---|")
        print(f"| placebo refutation passes | {share([r['placebo'] for r in rows])} | >= 93% |")
        print(f"| random common cause passes | {share([r['common_cause'] for r in rows])} | about 100% |")
        print(f"| data subset (3 x 80%) passes | {share([r['subset'] for r in rows])} | about 95% |")
        mean_forest = np.mean([r["mean_forest"] for r in rows])
        print(f"| mean forest prediction (average) | {mean_forest:.3f} | about 1 |")
    if "linear" in results:
        rows = results["linear"]
        print("\n| BLP 95% interval covers | share | target |\n|---|---|---|")
        for name in ["intercept", *(f"x{k}" for k in range(args.p))]:
            print(f"| {name} | {share([r[f'blp_{name}'] for r in rows])} | >= 90% |")
        # Six intervals at once cover together less often than each alone.
        print(f"| all at once | {share([r['blp_all'] for r in rows])} | (no target) |")


if __name__ == "__main__":
    main()
