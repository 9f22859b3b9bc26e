"""Resident size through one default CausalForest fit, sampled every half second, to
see which stage sets the peak (the first stages hold a slice of 64 trees at a time; the
causal forest's own trees set the peak at its end).

    python bench/fit_memory.py 200000 25
"""

import sys
import threading
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0] + "/causal")
from designs import wager_athey  # noqa: E402

from quorvantis import CausalForest  # noqa: E402


def rss_gib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) / 2**20
    return float("nan")


n, p = int(sys.argv[1]), int(sys.argv[2])
X, w, y, _ = wager_athey(n, p, 0)
base, samples, done = rss_gib(), [], threading.Event()


def watch() -> None:
    start = time.perf_counter()
    while not done.is_set():
        samples.append((time.perf_counter() - start, rss_gib() - base))
        time.sleep(0.5)


watcher = threading.Thread(target=watch)
watcher.start()
forest = CausalForest(random_state=0).fit(X, w, y)
done.set()
watcher.join()
end = samples[-1][0]
for k in range(21):
    t, gib = max((s for s in samples if s[0] <= end * k / 20), key=lambda s: s[0], default=(0.0, 0.0))
    print(f"{5 * k:3d}% of the fit  t = {t:7.1f} s  resident +{gib:.3f} GiB")
peak = max(s[1] for s in samples)
print(f"peak +{peak:.3f} GiB; the forest's trees {forest._forest.tree_bytes / 2**30:.3f} GiB")
