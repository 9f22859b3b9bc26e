"""Fit and predict times and peak memory of the causal forest, next to peers
fitted on the same data in the same run. Prints a table with ratios.

Each measurement runs in a fresh process so peak memory (ru_maxrss) is its own.
"""

import json
import subprocess
import sys
import time

SIZES = [10_000, 100_000, 1_000_000]
P = 16
PEER_LIMIT = {"econml": 100_000, "causalml": 100_000}

CHILD = r"""
import json, resource, sys, time
import numpy as np
name, n, p = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(0)
X = rng.random((n, p))
t = (rng.random(n) < 0.5).astype(float)
y = X[:, 1] + t * (1.0 + 2.0 * (X[:, 0] > 0.5)) + rng.normal(scale=0.5, size=n)

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

if name == "quorvantis":
    import _quorvantis as q
    q.create_model(X[:1000], t[:1000], y[:1000])  # start the worker pool
    base = peak()
    s = time.perf_counter(); m = q.create_model(X, t, y); fit = time.perf_counter() - s
    fit_peak = peak() - base
    s = time.perf_counter(); m.estimate_effects(X); pred = time.perf_counter() - s
elif name == "sklearn":
    from sklearn.ensemble import RandomForestRegressor
    Xt = np.column_stack([X, t])
    base = peak()
    m = RandomForestRegressor(n_estimators=10, max_depth=5, max_features="sqrt",
                              min_samples_leaf=5, n_jobs=-1)
    s = time.perf_counter(); m.fit(Xt, y); fit = time.perf_counter() - s
    fit_peak = peak() - base
    s = time.perf_counter(); m.predict(Xt); pred = time.perf_counter() - s
elif name == "econml":
    from econml.grf import CausalForest
    base = peak()
    m = CausalForest(n_estimators=10, max_depth=5, min_samples_leaf=5, n_jobs=-1,
                     subforest_size=2, inference=False)
    s = time.perf_counter(); m.fit(X, t, y); fit = time.perf_counter() - s
    fit_peak = peak() - base
    s = time.perf_counter(); m.predict(X); pred = time.perf_counter() - s
elif name == "causalml":
    from causalml.inference.tree import CausalRandomForestRegressor
    base = peak()
    m = CausalRandomForestRegressor(n_estimators=10, max_depth=5, min_samples_leaf=5, n_jobs=-1)
    s = time.perf_counter(); m.fit(X=X, treatment=t.astype(int), y=y); fit = time.perf_counter() - s
    fit_peak = peak() - base
    s = time.perf_counter(); m.predict(X); pred = time.perf_counter() - s
print(json.dumps({"fit": fit, "predict": pred, "peak_mib": max(fit_peak, 0) / 2**20}))
"""


def measure(name, n):
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, name, str(n), str(P)], capture_output=True, text=True, timeout=1800
    )
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["failed"])[-1]
        return {"error": last[:70]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def available(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def main():
    peers = [
        p
        for p, mod in [("sklearn", "sklearn"), ("econml", "econml"), ("causalml", "causalml")]
        if available(mod)
    ]
    print(f"causal forest, 10 trees, depth 5, p = {P}, C order; {time.strftime('%Y-%m-%d')}")
    print(f"peers available: {', '.join(peers) or 'none'}")
    header = (
        f"{'library':<12}{'n':>10}{'fit s':>10}{'predict s':>11}{'peak MiB':>10}"
        f"{'fit ratio':>11}{'predict ratio':>15}"
    )
    print(header)
    print("-" * len(header))
    for n in SIZES:
        ours = measure("quorvantis", n)
        rows = [("quorvantis", ours)]
        for peer in peers:
            if n <= PEER_LIMIT.get(peer, n):
                rows.append((peer, measure(peer, n)))
        for name, r in rows:
            if "error" in r:
                print(f"{name:<12}{n:>10}  error: {r['error']}")
                continue
            fit_ratio = r["fit"] / ours["fit"] if "fit" in ours else float("nan")
            pred_ratio = r["predict"] / ours["predict"] if "predict" in ours else float("nan")
            print(
                f"{name:<12}{n:>10}{r['fit']:>10.3f}{r['predict']:>11.3f}{r['peak_mib']:>10.1f}"
                f"{fit_ratio:>10.1f}x{pred_ratio:>14.1f}x"
            )
    print("ratios: peer time / quorvantis time (higher means quorvantis is faster)")


if __name__ == "__main__":
    main()
