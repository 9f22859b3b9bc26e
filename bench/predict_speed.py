"""Prediction time of a large CausalForest: effect and effect_interval on new rows.

A forest of 2,000 trees on 1M rows takes long to fit, so `fit` grows a smaller one on
the same design (Wager-Athey, X uniform, T Bernoulli(0.5)) and pickles it with 100K
new rows; `time` loads it and times each call in the process, by process CPU seconds
as well as wall seconds (on a shared machine the CPU seconds drift less). Time
scales about linearly with the trees: quote a 400-tree forest's times x 5 for 2,000.
To compare two builds, run `time` alternately under each and compare medians. The
older build must be whole: unzip its wheel (`pip wheel --no-deps -w DIR .` at that
commit) into a directory and put that on PYTHONPATH. A copy of the `quorvantis`
folder alone is not enough: the extension modules sit beside it and load the core
library from the installed package's folder.

    python bench/predict_speed.py fit /tmp/forest.pkl [--n 1000000] [--p 25] [--trees 400]
    python bench/predict_speed.py time /tmp/forest.pkl [--call effect effect_interval] [--repeat 3]
"""

import argparse
import hashlib
import pickle
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "causal"))
from designs import wager_athey  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=["fit", "time"])
    parser.add_argument("path")
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--p", type=int, default=25)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--call", nargs="+", default=["effect", "effect_interval"])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    if args.action == "fit":
        from quorvantis import CausalForest

        X, w, y, _ = wager_athey(args.n, args.p, 0)
        start = time.perf_counter()
        forest = CausalForest(n_estimators=args.trees, random_state=0).fit(X, w, y)
        print(f"fit {time.perf_counter() - start:.1f} s")
        with open(args.path, "wb") as f:
            pickle.dump((forest, wager_athey(args.rows, args.p, 1)[0]), f, protocol=5)
        return
    with open(args.path, "rb") as f:
        forest, X = pickle.load(f)
    print(f"{forest.n_estimators} trees, {len(X):,} rows")
    print("| call | wall s | CPU s | digest |\n|---|---:|---:|---|")
    for call in args.call:
        for _ in range(args.repeat):
            wall, cpu = time.perf_counter(), time.process_time()
            out = getattr(forest, call)(X)
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            arrays = out if isinstance(out, tuple) else (out,)
            digest = hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest()[:16]
            print(f"| {call} | {wall:.3f} | {cpu:.3f} | {digest} |")


if __name__ == "__main__":
    main()
