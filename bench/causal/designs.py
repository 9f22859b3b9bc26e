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


def _expit(z):
    return 1.0 / (1.0 + np.exp(-z))


def _confounded_parts(design, X):
    """Propensity, control outcome and effect of the strongly confounded designs."""
    x1, x2, x3 = X[:, 0], X[:, 1], X[:, 2]
    if design == "SL":  # smooth: logistic propensity, linear outcome
        e = _expit(2.3 * (x1 + x2))
        mu0 = 2.0 * (x1 + x2) + x3
        tau = 1.0 + x1
    else:  # "SN", non-linear: a step and a bump in both
        e = _expit(3.0 * x1 + 1.5 * np.sin(np.pi * x2) + 0.8 * x3)
        mu0 = 3.0 * np.tanh(2.0 * x1) + 2.0 * x2**2 + x3
        tau = 1.0 + (x1 > 0) + 0.5 * x2
    return e, mu0, tau


def confounded(design, n, p, seed, return_e=False):
    """X ~ U[-1, 1]^p; the propensity is a logistic in x1, x2 (, x3) spanning about
    [0.01, 0.99] and the outcome rises with the same features, so the naive
    difference is far off. Y = mu0(x) + W tau(x) + N(0, 1)."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, (n, p))
    e, mu0, tau = _confounded_parts(design, X)
    w = (rng.random(n) < e).astype(np.float64)
    y = mu0 + w * tau + rng.standard_normal(n)
    return (X, w, y, tau, e) if return_e else (X, w, y, tau)


def confounded_truth(design, p, draws=2_000_000, seed=12345):
    """Population averages of tau over all rows, the treated, and with overlap
    weights e (1 - e), by Monte Carlo on a large draw."""
    X = np.random.default_rng(seed).uniform(-1.0, 1.0, (draws, 3))
    e, _, tau = _confounded_parts(design, X)
    h = e * (1.0 - e)
    return {
        "all": float(tau.mean()),
        "treated": float((e * tau).sum() / e.sum()),
        "overlap": float((h * tau).sum() / h.sum()),
    }


DESIGNS = {"WA": None, "A": 1, "B": 2, "C": 3, "D": 4, "SL": None, "SN": None}


def draw(design, n, p, seed):
    if design == "WA":
        return wager_athey(n, p, seed)
    if design in ("SL", "SN"):
        return confounded(design, n, p, seed)
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
