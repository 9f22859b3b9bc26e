"""Policy tree benchmark: quorvantis.PolicyTree next to EconML's PolicyTree.

(a) Regret: the best rule is known (treat exactly when x1 > 0.5 and x2 < 0.3; the
    effect is +1 there and -0.5 elsewhere), the rewards are noisy. Regret is the best
    rule's value minus the learned rule's, both on the true effects of 200,000 new rows;
    it should shrink as n grows.
(b) Speed: depth 2 on 100,000 rows x 10 features, and the total training reward
    each tree achieves (the exact tree can only match or beat a greedy one).

  python bench/policy.py            # both sections
  python bench/policy.py --quick    # small sizes, few seeds
"""

import argparse
import os
import time

import numpy as np

from quorvantis import PolicyTree

P = 5
NOISE = 2.0


def effect(X):
    return np.where((X[:, 0] > 0.5) & (X[:, 1] < 0.3), 1.0, -0.5)


def draw(n, p, seed):
    rng = np.random.default_rng(seed)
    X = rng.uniform(size=(n, p))
    rewards = np.column_stack([np.zeros(n), effect(X) + NOISE * rng.normal(size=n)])
    return X, rewards


def econml_tree():
    try:
        from econml.policy import PolicyTree as EconPolicyTree
    except ImportError:
        return None
    return lambda depth: EconPolicyTree(
        max_depth=depth, min_samples_split=2, min_samples_leaf=1, honest=False
    )


def regret(quick):
    X_test = np.random.default_rng(12345).uniform(size=(50_000 if quick else 200_000, P))
    tau = effect(X_test)
    best = np.mean(tau * (tau > 0))
    econ = econml_tree()
    sizes = (500, 2000) if quick else (500, 2000, 10_000)
    seeds = range(3 if quick else 10)
    print(f"\n## (a) Regret against the best rule (depth 2, p={P}, noise sd {NOISE}, {len(seeds)} seeds)\n")
    print("| n | ours: mean regret | ours: sd | EconML: mean regret | EconML: sd | EconML / ours |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in sizes:
        ours, theirs = [], []
        for seed in seeds:
            X, R = draw(n, P, seed)
            tree = PolicyTree(max_depth=2).fit(X, R)
            ours.append(best - np.mean(tau * tree.predict(X_test)))
            if econ is not None:
                theirs.append(best - np.mean(tau * econ(2).fit(X, R).predict(X_test)))
        o = np.mean(ours)
        if theirs:
            t = np.mean(theirs)
            row = (
                f"{t:.4f} | {np.std(theirs):.4f} | {t / o:.2f}"
                if o > 0
                else f"{t:.4f} | {np.std(theirs):.4f} | -"
            )
        else:
            row = "not installed | | "
        print(f"| {n:,} | {o:.4f} | {np.std(ours):.4f} | {row} |")
    print(
        f"\nThe best rule's value is {best:.4f} per row "
        "(mean effect of the rows it treats times their share)."
    )


def speed(quick):
    n, p = (20_000, 10) if quick else (100_000, 10)
    X, R = draw(n, p, 7)
    print(f"\n## (b) Depth 2 on {n:,} rows x {p} features, 2 actions ({os.cpu_count()} CPUs)\n")
    rows = []
    start, cpu = time.perf_counter(), time.process_time()
    ours = PolicyTree(max_depth=2).fit(X, R)
    rows.append(
        (
            "quorvantis PolicyTree (exact)",
            time.perf_counter() - start,
            time.process_time() - cpu,
            ours.reward_,
        )
    )
    econ = econml_tree()
    if econ is not None:
        start, cpu = time.perf_counter(), time.process_time()
        tree = econ(2).fit(X, R)
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
        rows.append(("EconML PolicyTree (greedy)", seconds, cpu, R[np.arange(n), tree.predict(X)].sum()))
    print("| method | seconds | time / ours | CPU seconds | training reward | reward - ours |")
    print("|---|---:|---:|---:|---:|---:|")
    for label, seconds, cpu, reward in rows:
        print(
            f"| {label} | {seconds:.2f} | {seconds / rows[0][1]:.2f} | {cpu:.2f} | {reward:,.1f} "
            f"| {reward - rows[0][3]:+,.1f} |"
        )
    print(f"\nLoad average while running: {os.getloadavg()[0]:.1f} (wall times grow with it).")
    if econ is None:
        print("\nEconML is not installed: its rows are left out.")
    print(f"\nOur rule:\n\n```\n{ours.rule()}\n```")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="small sizes and few seeds")
    parser.add_argument("--section", choices=("regret", "speed"), help="run one section only")
    args = parser.parse_args()
    if args.section in (None, "regret"):
        regret(args.quick)
    if args.section in (None, "speed"):
        speed(args.quick)


if __name__ == "__main__":
    main()
