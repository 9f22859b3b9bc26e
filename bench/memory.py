"""Resident memory around repeated fixed-forest fits of 1M x 16.

Runs in a fresh process: the input's size, RSS after the first fit, after the
tenth, and the highest peak any fit reached above the RSS before it (the
kernel's high-water mark, reset before each fit).
"""

import json
import subprocess
import sys

CHILD = r"""
import json, numpy as np, _quorvantis as q
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
n, p = 1_000_000, 16
rng = np.random.default_rng(0)
X = rng.random((n, p)); t = (rng.random(n) < .5) * 1.0
y = X[:, 1] + t * (1 + 2 * (X[:, 0] > .5)) + rng.normal(scale=.5, size=n)
q.create_model(X[:1000], t[:1000], y[:1000])   # the worker pool exists
start = status("VmRSS")
rss, peaks = [], []
for k in range(10):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    model = q.create_model(X, t, y)
    peaks.append(status("VmHWM") - before)
    del model
    rss.append(status("VmRSS"))
print(json.dumps({"input": X.nbytes + t.nbytes + y.nbytes, "start": start, "rss": rss, "peaks": peaks}))
"""


def main():
    out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, check=True)
    r = json.loads(out.stdout)
    mib = 2.0**20
    print("fixed forest, 10 fits of 1,000,000 x 16 in one process")
    print(f"input arrays                      {r['input'] / mib:8.1f} MiB")
    print(f"RSS after fit 1 minus before      {(r['rss'][0] - r['start']) / mib:+8.1f} MiB")
    print(f"RSS after fit 10 minus after fit 1 {(r['rss'][-1] - r['rss'][0]) / mib:+7.1f} MiB")
    print(f"highest peak above RSS before fit {max(r['peaks']) / mib:+8.1f} MiB")


if __name__ == "__main__":
    main()
