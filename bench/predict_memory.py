"""Working memory of CausalForest.effect and effect_interval as the rows grow.

Each case runs in a fresh process: a forest of 100 trees on 20K rows of 4
features predicts for n new rows; the kernel's high-water mark is reset just
before the call, and the table shows the peak above the resident size before
it, less the output's own bytes (8 per row and array).

    python bench/predict_memory.py [--rows 1000000 5000000]
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, sys, numpy as np
from quorvantis import CausalForest
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
method, n = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
X = rng.normal(size=(20_000, 4)); T = (rng.random(20_000) < 0.5) * 1.0
y = X[:, 0] + T * (1 + (X[:, 1] > 0)) + rng.normal(size=20_000)
forest = CausalForest(n_estimators=100, random_state=0).fit(X, T, y)
new = rng.normal(size=(n, 4))
getattr(forest, method)(new[:50_000])  # the pool and every lazy import exist
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
out = getattr(forest, method)(new)
peak = status("VmHWM") - before
arrays = out if isinstance(out, tuple) else (out,)
print(json.dumps({"peak": peak, "output": sum(a.nbytes for a in arrays)}))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 5_000_000])
    args = parser.parse_args()
    print(f"{'method':<16}{'rows':>10}{'output MiB':>12}{'working MiB':>13}")
    for method in ("effect", "effect_interval"):
        for n in args.rows:
            run = subprocess.run(
                [sys.executable, "-c", CHILD, method, str(n)], capture_output=True, text=True
            )
            if run.returncode != 0:
                print(run.stderr, file=sys.stderr)
                continue
            r = json.loads(run.stdout)
            mib = 1 << 20
            print(f"{method:<16}{n:>10}{r['output'] / mib:>12.1f}{(r['peak'] - r['output']) / mib:>13.1f}")


if __name__ == "__main__":
    main()
