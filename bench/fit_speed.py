"""One CausalForest fit on the Wager-Athey design, timed inside the process.

    python bench/fit_speed.py ours 200000 25 2000   # quorvantis, its defaults
    python bench/fit_speed.py grf 4000 8 500        # econml.grf.CausalForest

Prints the fit's seconds, wall and CPU (all the process's threads; on a busy
machine the steadier of the two). Compare builds by running two of these in
turn several times (peak memory from /usr/bin/time -v); the fit's cost grows
linearly in rows and in trees.
"""

import sys
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0] + "/causal")
from designs import wager_athey  # noqa: E402

which, n, p, trees = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
jobs = int(sys.argv[5]) if len(sys.argv) > 5 else None
X, w, y, _ = wager_athey(n, p, 0)
if which == "ours":
    from quorvantis import CausalForest

    model = CausalForest(n_estimators=trees, random_state=0, n_jobs=jobs)
else:
    from econml.grf import CausalForest

    model = CausalForest(n_estimators=trees, random_state=0, n_jobs=jobs or -1)
start, cpu = time.perf_counter(), time.process_time()
model.fit(X, w, y)
print(f"{which} fit {time.perf_counter() - start:.3f} s wall {time.process_time() - cpu:.3f} s cpu")
