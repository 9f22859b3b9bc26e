"""A CausalForest fit on a dask cluster: one worker process with two threads against two one-thread workers.

Tasks of a fit release the interpreter lock while they grow trees, so the two
threads of one worker grow at once; one worker with one thread is the serial
reference.

    python bench/dask_threads.py [--rows 20000] [--trees 400] [--repeats 3]
"""

import argparse
import time

import numpy as np
from dask.distributed import Client, LocalCluster

from quorvantis import CausalForest


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--trees", type=int, default=400)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.normal(size=(args.rows, 5))
    T = (rng.random(args.rows) < 0.5) * 1.0
    y = X[:, 0] + T * (1 + (X[:, 1] > 0)) + rng.normal(size=args.rows)
    setups = {
        "1 worker x 1 thread": {"n_workers": 1, "threads_per_worker": 1},
        "1 worker x 2 threads": {"n_workers": 1, "threads_per_worker": 2},
        "2 workers x 1 thread": {"n_workers": 2, "threads_per_worker": 1},
    }
    print(f"{'cluster':<26}{'best fit s':>12}{'all fits s':>24}")
    for label, setup in setups.items():
        with LocalCluster(dashboard_address=None, **setup) as cluster, Client(cluster) as client:
            forest = CausalForest(n_estimators=args.trees, random_state=0, n_jobs=1)
            forest.fit(X[:2000], T[:2000], y[:2000], dask_client=client)  # workers import and warm up
            times = []
            for _ in range(args.repeats):
                start = time.perf_counter()
                forest.fit(X, T, y, dask_client=client)
                times.append(time.perf_counter() - start)
        print(f"{label:<26}{min(times):>12.2f}{' '.join(f'{t:.2f}' for t in times):>24}")


if __name__ == "__main__":
    main()
