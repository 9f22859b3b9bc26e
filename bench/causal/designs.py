"""Data for the causal forest benchmark. Every design is drawn from one seed, so a
child process rebuilds exactly the rows its siblings saw."""

import numpy as np


def _zeta(u):
    return 1.0 + 1.0 / (1.0 + np.exp(-20.0 * (u - 1.0 / 3.0)))


def wager_athey(n, p, seed):
    """X ~ U[0,1]^p, e(x) = 0.5, tau(x) = zeta(x1) zeta(x2), Y0 = 0, Y = W tau(x) + N(0,1)."""
    rng = np.random.default_rng(seed)
    X = rng.random((n, p))
    w = (rng.random(n) < 0.5).astype(np.float64)
    tau = _zeta(X[:, 0]) * _zeta(X[:, 1])
    y = w * tau + rng.standard_normal(n)
    return X, w, y, tau


def nie_wager(mode, n, p, seed):
    """Setups A-D (mode 1-4) as causalml draws them; it uses NumPy's global state."""
    from causalml.dataset import synthetic_data

    np.random.seed(seed)
    y, X, w, tau, _, _ = synthetic_data(mode=mode, n=n, p=p)
    return np.ascontiguousarray(X, dtype=np.float64), w.astype(np.float64), y.astype(np.float64), tau


DESIGNS = {"WA": None, "A": 1, "B": 2, "C": 3, "D": 4}


def draw(design, n, p, seed):
    if design == "WA":
        return wager_athey(n, p, seed)
    return nie_wager(DESIGNS[design], n, p, seed)


COVARIATES = ["age", "educ", "black", "hisp", "marr", "nodegree", "re74", "re75"]


def nsw_cps():
    """NSW treated rows against the CPS comparison group, plus the experimental
    benchmark (NSW treated minus NSW control)."""
    import causaldata

    nsw = causaldata.nsw_mixtape.load_pandas().data
    cps = causaldata.cps_mixtape.load_pandas().data
    treated = nsw[nsw["treat"] == 1]
    benchmark = treated["re78"].mean() - nsw.loc[nsw["treat"] == 0, "re78"].mean()
    obs = np.concatenate([treated[COVARIATES].to_numpy(float), cps[COVARIATES].to_numpy(float)])
    w = np.concatenate([np.ones(len(treated)), np.zeros(len(cps))])
    y = np.concatenate([treated["re78"].to_numpy(float), cps["re78"].to_numpy(float)])
    naive = y[w == 1].mean() - y[w == 0].mean()
    return (
        obs,
        w,
        y,
        {
            "benchmark": float(benchmark),
            "naive": float(naive),
            "n_treated": len(treated),
            "n_comparison": len(cps),
        },
    )
