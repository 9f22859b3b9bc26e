"""One adapter per library so every section drives them the same way:
fit(X, w, y), effect(X), interval(X) -> (lower, upper) or None, ate(), att()."""

import numpy as np


class Ours:
    label = "quorvantis CausalForest"

    def __init__(self, n_estimators, seed):
        from quorvantis import CausalForest

        kw = {"random_state": seed}
        if n_estimators is not None:
            kw["n_estimators"] = n_estimators
        self.m = CausalForest(**kw)

    def fit(self, X, w, y):
        self.m.fit(X, w, y)

    def effect(self, X):
        return np.asarray(self.m.effect(X), dtype=float).ravel()

    def interval(self, X):
        lo, hi = self.m.effect_interval(X, alpha=0.05)
        return np.ravel(lo), np.ravel(hi)

    def ate(self):
        est, se = self.m.average_treatment_effect(target="all")
        return float(est), float(se)

    def att(self):
        est, se = self.m.average_treatment_effect(target="treated")
        return float(est), float(se)


class OursSmooth(Ours):
    """The earlier first stage (the causal trees' settings, no recalibration),
    through a private engine switch, for before/after comparisons."""

    label = "quorvantis, earlier 1st stage"

    def __init__(self, n_estimators, seed):
        super().__init__(n_estimators, seed)
        options = self.m._options
        self.m._options = lambda: {**options(), "smooth_nuisance": True}


class DML:
    """CausalForestDML with its default nuisance models; ate_ and att_ are its
    doubly robust averages over the training rows."""

    label = "econml CausalForestDML"

    def __init__(self, n_estimators, seed):
        from econml.dml import CausalForestDML

        self.m = CausalForestDML(
            n_estimators=n_estimators or 100, discrete_treatment=True, random_state=seed, n_jobs=-1
        )

    def fit(self, X, w, y):
        self.m.fit(y, w.astype(int), X=X)

    def effect(self, X):
        return np.ravel(self.m.effect(X))

    def interval(self, X):
        lo, hi = self.m.effect_interval(X, alpha=0.05)
        return np.ravel(lo), np.ravel(hi)

    def ate(self):
        return float(np.ravel(self.m.ate_)[0]), float(np.ravel(self.m.ate_stderr_)[0])

    def att(self):
        return float(np.ravel(self.m.att_(T=1))[0]), float(np.ravel(self.m.att_stderr_(T=1))[0])

    def effect_on(self, X):
        return float(np.mean(self.effect(X)))


class DMLLinear(DML):
    """CausalForestDML with linear first stages. effect() reads only its
    forest, so this times the same call as DML without the hour its default
    first stages take to fit at 100,000 rows."""

    label = "econml CausalForestDML, linear first stages"

    def __init__(self, n_estimators, seed):
        from econml.dml import CausalForestDML
        from sklearn.linear_model import LinearRegression, LogisticRegression

        self.m = CausalForestDML(
            model_y=LinearRegression(),
            model_t=LogisticRegression(max_iter=1000),
            n_estimators=n_estimators or 100,
            discrete_treatment=True,
            random_state=seed,
            n_jobs=-1,
        )


class GRF:
    """econml.grf.CausalForest on raw (X, T, y): no nuisance, nothing centred.
    Its ATE here is the mean of its effects on the training rows."""

    label = "econml grf.CausalForest"

    def __init__(self, n_estimators, seed):
        from econml.grf import CausalForest

        self.m = CausalForest(n_estimators=n_estimators or 100, n_jobs=-1, random_state=seed)

    def fit(self, X, w, y):
        self.X = X
        self.m.fit(X, w, y)

    def effect(self, X):
        return np.ravel(self.m.predict(X))

    def interval(self, X):
        _, lo, hi = self.m.predict(X, interval=True, alpha=0.05)
        return np.ravel(lo), np.ravel(hi)

    def ate(self):
        return float(self.effect(self.X).mean()), None

    att = None


class CausalML:
    """CausalRandomForestRegressor: normal intervals from the infinitesimal-jackknife
    variances of its `calculate_error` (forestci); ATE is the mean of its effects on
    the training rows."""

    label = "causalml CausalRandomForest"

    def __init__(self, n_estimators, seed):
        from causalml.inference.tree import CausalRandomForestRegressor

        self.m = CausalRandomForestRegressor(n_estimators=n_estimators or 100, n_jobs=-1, random_state=seed)

    def fit(self, X, w, y):
        self.X = X
        self.m.fit(X=X, treatment=w.astype(int), y=y)

    def effect(self, X):
        return np.ravel(self.m.predict(X))

    def interval(self, X):
        tau = self.effect(X)
        sd = np.sqrt(np.maximum(np.ravel(self.m.calculate_error(X_train=self.X, X_test=X)), 0.0))
        return tau - 1.959964 * sd, tau + 1.959964 * sd

    def ate(self):
        return float(self.effect(self.X).mean()), None

    att = None


METHODS = {
    "ours": Ours,
    "ours-smooth": OursSmooth,
    "dml": DML,
    "dml-linear": DMLLinear,
    "grf": GRF,
    "causalml": CausalML,
}
MODULES = {
    "ours": "quorvantis",
    "ours-smooth": "quorvantis",
    "dml": "econml",
    "dml-linear": "econml",
    "grf": "econml",
    "causalml": "causalml",
}
