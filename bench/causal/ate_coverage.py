"""Coverage of the AIPW average-effect intervals under strong confounding.

Over replicates of the confounded designs SL and SN (designs.py; true propensities
in about [0.01, 0.99]), each fit reports the average effect over all rows, the
treated and the overlap-weighted population with its standard error; the table
gives how often estimate -/+ 1.96 se covers the population value, the mean bias,
the mean standard error beside the spread of the estimates, and the share of rows
the overlap warning reports beside the share of true propensities outside
[0.05, 0.95]. First stages:

  default   the built-in outcome and propensity forests
  legacy    the earlier, smoother settings of those forests (for comparison)
  true e    the true propensity given as T_hat, the outcome forest as default
  logistic  LogisticRegression / LinearRegression cross-fitted (needs scikit-learn)

  python bench/causal/ate_coverage.py --replicates 100 --trees 500
  python bench/causal/ate_coverage.py --tables FILE.json   # reprint saved tables
"""

import argparse
import json
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from designs import confounded, confounded_truth  # noqa: E402

TARGETS = ("all", "treated", "overlap")
FIRST_STAGES = ("default", "legacy", "true e", "logistic")


def make_forest(stage, trees, seed):
    from quorvantis import CausalForest

    kw = {"n_estimators": trees, "random_state": seed}
    if stage == "logistic":
        from sklearn.linear_model import LinearRegression, LogisticRegression

        kw.update(outcome_model=LinearRegression(), treatment_model=LogisticRegression())
    forest = CausalForest(**kw)
    if stage == "legacy":
        # A private engine switch, kept for this comparison only.
        options = forest._options
        forest._options = lambda: {**options(), "smooth_nuisance": True}
    return forest


def one(design, stage, n, p, trees, seed):
    X, w, y, _, e = confounded(design, n, p, seed, return_e=True)
    forest = make_forest(stage, trees, seed)
    forest.fit(X, w, y, T_hat=e if stage == "true e" else None)
    out = {"design": design, "stage": stage, "seed": seed}
    for target in TARGETS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out[target] = forest.average_treatment_effect(target)
    t_hat = forest.T_hat_
    out["share"] = float(np.mean((t_hat < 0.05) | (t_hat > 0.95)))
    out["true_share"] = float(np.mean((e < 0.05) | (e > 0.95)))
    out["t_hat_range"] = [float(t_hat.min()), float(t_hat.max())]
    return out


def print_tables(doc):
    recs = doc["records"]
    a = doc["args"]
    print(
        f"\n## AIPW interval coverage: n = {a['n']:,}, p = {a['p']}, {a['trees']} trees, "
        f"nominal 95%, {max(len({r['seed'] for r in recs}), 0)} replicates\n"
    )
    print("| design | first stage | reps | target | coverage | bias | mean se | sd of estimates |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    shares = []
    for design in a["designs"]:
        truth = doc["truth"][design]
        for stage in a["stages"]:
            rows = [r for r in recs if r["design"] == design and r["stage"] == stage]
            if not rows:
                continue
            for target in TARGETS:
                est = np.array([r[target][0] for r in rows])
                se = np.array([r[target][1] for r in rows])
                cover = np.mean(np.abs(est - truth[target]) <= 1.959964 * se)
                print(
                    f"| {design} | {stage} | {len(rows)} | {target} | {cover:.2f} | "
                    f"{np.mean(est) - truth[target]:+.3f} | {np.mean(se):.3f} | {np.std(est, ddof=1):.3f} |"
                )
            lo = np.mean([r["t_hat_range"][0] for r in rows])
            hi = np.mean([r["t_hat_range"][1] for r in rows])
            shares.append(
                f"| {design} | {stage} | {np.mean([r['share'] for r in rows]):.3f} | "
                f"{np.mean([r['true_share'] for r in rows]):.3f} | [{lo:.3f}, {hi:.3f}] |"
            )
    print("\n| design | first stage | share outside [0.05, 0.95] (warned) | true share | mean T_hat range |")
    print("| --- | --- | --- | --- | --- |")
    print("\n".join(shares))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--replicates", type=int, default=100)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--p", type=int, default=6)
    ap.add_argument("--trees", type=int, default=500)
    ap.add_argument("--designs", default="SL,SN")
    ap.add_argument(
        "--stages", default=",".join(FIRST_STAGES), help="comma list of " + ", ".join(FIRST_STAGES)
    )
    ap.add_argument("--out", default=None, help="JSON file for the records (written as it goes)")
    ap.add_argument("--tables", help="reprint the tables of a saved JSON file")
    a = ap.parse_args()
    if a.tables:
        with open(a.tables) as f:
            print_tables(json.load(f))
        return
    stages = [s for s in a.stages.split(",") if s]
    if "logistic" in stages:
        try:
            import sklearn  # noqa: F401
        except ImportError:
            stages.remove("logistic")
    args = {"n": a.n, "p": a.p, "trees": a.trees, "designs": a.designs.split(","), "stages": stages}
    doc = {"args": args, "truth": {d: confounded_truth(d, a.p) for d in args["designs"]}, "records": []}
    out = a.out or os.path.join(HERE, f"ate-coverage-{time.strftime('%Y%m%d-%H%M%S')}.json")
    start = time.time()
    for seed in range(a.replicates):
        for design in args["designs"]:
            for stage in stages:
                doc["records"].append(one(design, stage, a.n, a.p, a.trees, seed))
        with open(out, "w") as f:
            json.dump(doc, f)
        print(
            f"replicate {seed + 1}/{a.replicates} done, {time.time() - start:.0f} s",
            file=sys.stderr,
            flush=True,
        )
    print(f"records: {out}")
    print_tables(doc)


if __name__ == "__main__":
    main()
