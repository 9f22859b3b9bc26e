"""PolicyTree: the shallow decision tree whose actions collect the most reward."""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np

import _quorvantis_engine as _engine

from .._checks import _check_int, _check_random_state, _engine_threads, _num, _show
from .._inputs import _feature_names, _pandas, _to_float, _to_matrix, check_feature_names
from .._params import ParamsMixin
from ..causal_forest import CausalForest, NotFittedError
from ..diagnostics import doubly_robust_scores
from ..report import charts as _charts
from ..report import html as _html

__all__ = ["PolicyTree", "PolicyValue"]

_MAX_DEPTH = 20
_FITTED = ("_nodes", "_bounds", "_train", "n_features_in_", "feature_names_in_", "action_names_", "reward_")


def _rewards(value: Any, n: int) -> np.ndarray:
    R = _to_float(value, "rewards")
    if R.ndim != 2 or R.shape[1] < 2:
        raise ValueError(
            f"rewards must be 2-D with one column per action (at least 2), got an array of shape {R.shape}"
        )
    if R.shape[0] != n:
        raise ValueError(f"rewards has {R.shape[0]} rows, but X has {n} rows; give one row per row of X")
    if not np.isfinite(R).all():
        row, col = (int(i) for i in np.argwhere(~np.isfinite(R))[0])
        raise ValueError(
            f"rewards holds {_num(R[row, col])} at row {row}, column {col}; every entry must be finite"
        )
    return R


def _number(value: float, lo: float, hi: float) -> str:
    """`value` with the fewest significant digits that still lie strictly between lo and hi."""
    for digits in range(1, 18):
        short = float(f"{value:.{digits}g}")
        if lo < short < hi:
            break
    else:
        short = value
    short += 0.0  # no "-0"
    if short != 0 and (abs(short) >= 1e15 or abs(short) < 1e-4):
        return f"{short:.{digits}g}"
    text = np.format_float_positional(short, trim="-")
    whole, _, frac = text.partition(".")
    sign = "-" if whole.startswith("-") else ""
    whole = f"{int(whole.lstrip('-')):,}"
    return sign + whole + ("." + frac if frac else "")


class PolicyValue:
    """Estimated values (mean rewards) of a policy and of each single action, with paired differences.

    Attributes
    ----------
    n : int
        Rows averaged over.
    policy : (float, float)
        Mean reward of the actions the policy chooses, and its standard error.
    actions : dict of str to (float, float)
        For each action, the mean reward of giving it to every row, and its standard error.
    differences : dict of str to (float, float)
        Policy minus each action: the mean of the row-wise differences and its standard error
        (paired, so the rows' common noise cancels).
    """

    def __init__(self, chosen: np.ndarray, rewards: np.ndarray, names: list[str]) -> None:
        n = len(chosen)
        self.n = n
        if n < 2:
            warnings.warn(
                f"value() has {n} row(s): the standard errors need at least 2 and are NaN",
                UserWarning,
                stacklevel=3,
            )

        def mean_se(v: np.ndarray) -> tuple[float, float]:
            se = float(np.std(v, ddof=1) / math.sqrt(n)) if n >= 2 else math.nan
            return float(np.mean(v)), se

        self.policy = mean_se(chosen)
        self.actions = {name: mean_se(rewards[:, a]) for a, name in enumerate(names)}
        self.differences = {name: mean_se(chosen - rewards[:, a]) for a, name in enumerate(names)}

    def __repr__(self) -> str:
        rows = [("policy", self.policy)]
        rows += [(f"always {name}", v) for name, v in self.actions.items()]
        rows += [(f"policy - always {name}", v) for name, v in self.differences.items()]
        width = max(len(label) for label, _ in rows)
        lines = [
            f"PolicyValue over {self.n:,} rows (mean reward)",
            f"{'':{width}}  {'estimate':>10}  {'std. error':>10}",
        ]
        lines += [f"{label:{width}}  {est:>10.4g}  {se:>10.4g}" for label, (est, se) in rows]
        return "\n".join(lines)


class PolicyTree(ParamsMixin):
    """A decision tree of given depth that assigns one of K actions to every row, fitted to
    maximise the total reward of the actions it assigns.

    Thresholds are candidates midway between consecutive distinct training values of a
    feature; every split also learns the side missing values (NaN) go to (right when the
    feature had none at fit). Depth 1 and 2 are exact: no tree of that depth on the candidate
    thresholds earns more on the training rows. Deeper trees take the root of the exact
    depth-2 tree at each level above the last two, whose depth-2 subtrees are exact; they
    never earn less than the exact depth-2 tree, and each level costs at most one depth-2
    search over all rows. Ties go to the simpler tree, then the lower
    feature index, the lower threshold, missing values right, and the lower action index.

    Parameters
    ----------
    max_depth : int, default=2
        Depth of the tree, in [1, 20]. Depth 2 costs O(p² n log n K²) for n rows, p features.
    min_samples_leaf : int, default=1
        Every leaf holds at least this many training rows.
    split_step : int, default=1
        Use every split_step-th candidate threshold of each feature (the 1st, the
        (1 + split_step)-th, ...): faster on features with many distinct values.
    random_state : None, int, numpy.random.Generator or numpy.random.RandomState, default=None
        Accepted for use in pipelines and checked; the search is deterministic (ties are
        broken by the order above), so it changes nothing.
    n_jobs : int or None, default=None
        Threads, as for :class:`~quorvantis.CausalForest`; the tree is the same for any count.

    Attributes
    ----------
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Column names of a DataFrame ``X`` whose names are all strings; absent otherwise.
    action_names_ : list of str
        "control" and "treated" after :meth:`fit_forest`; the rewards DataFrame's column
        names, or "action 0", "action 1", ... after :meth:`fit`.
    reward_ : float
        Total reward of the chosen actions over the training rows.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvantis import PolicyTree
    >>> rng = np.random.default_rng(0)
    >>> X = rng.uniform(size=(500, 2))
    >>> gain = np.where((X[:, 0] > 0.5) & (X[:, 1] < 0.3), 1.0, -1.0)
    >>> rewards = np.column_stack([np.zeros(500), gain + rng.normal(size=500)])
    >>> tree = PolicyTree(max_depth=2).fit(X, rewards)
    >>> actions = tree.predict(X)
    """

    def __init__(
        self,
        max_depth: int = 2,
        min_samples_leaf: int = 1,
        split_step: int = 1,
        random_state: Any = None,
        n_jobs: int | None = None,
    ) -> None:
        self.max_depth = max_depth
        self.min_samples_leaf = min_samples_leaf
        self.split_step = split_step
        self.random_state = random_state
        self.n_jobs = n_jobs

    def __sklearn_is_fitted__(self) -> bool:
        return "_nodes" in self.__dict__

    def _fitted(self, method: str) -> dict[str, np.ndarray]:
        nodes: dict[str, np.ndarray] | None = self.__dict__.get("_nodes")
        if nodes is None:
            raise NotFittedError(
                f"this {type(self).__name__} is not fitted yet; call fit(X, rewards) or fit_forest(forest) "
                f"before {method}()"
            )
        return nodes

    # -- fitting -------------------------------------------------------------

    def fit(self, X: Any, rewards: Any) -> PolicyTree:
        """Learn the tree from features and a reward per row and action.

        Parameters
        ----------
        X : array-like or pandas DataFrame of shape (n_samples, n_features)
            Features; NaN is a missing value, infinite values are refused.
        rewards : array-like or pandas DataFrame of shape (n_samples, n_actions)
            The reward of each action for each row (e.g. doubly robust scores), finite,
            at least 2 actions. A DataFrame's column names name the actions.

        Returns
        -------
        PolicyTree
            This estimator, fitted.

        Raises
        ------
        ValueError
            For an invalid parameter or input, naming it.
        KeyboardInterrupt
            On Ctrl-C; the estimator is then left unfitted.
        """
        pd = _pandas()
        names = None
        if pd is not None and isinstance(rewards, pd.DataFrame):
            names = [str(c) for c in rewards.columns]
        Xa = _to_matrix(X)
        if Xa.shape[0] == 0:
            raise ValueError(f"X must have at least one row, got shape {Xa.shape}")
        R = _rewards(rewards, Xa.shape[0])
        if names is None:
            names = [f"action {a}" for a in range(R.shape[1])]
        return self._fit(X, Xa, R, names)

    def fit_forest(self, forest: CausalForest, X: Any = None) -> PolicyTree:
        """Learn whom to treat from a fitted causal forest's doubly robust scores.

        The rewards are 0 for "control" and the score Gamma_i for "treated", so values
        are relative to treating no one. Rows whose score is undefined (an out-of-bag
        effect every tree saw, or a propensity of 0 or 1) are left out, with a warning.

        Parameters
        ----------
        forest : CausalForest
            Fitted.
        X : array-like or pandas DataFrame of shape (n_samples, n_features), optional
            Features of the forest's training rows, in the same order, to split on;
            None uses the features the forest was fitted on.

        Returns
        -------
        PolicyTree
            This estimator, fitted.
        """
        if not isinstance(forest, CausalForest):
            raise ValueError(f"forest must be a fitted quorvantis.CausalForest, got {_show(forest)}")
        X_train = forest._training_data("fit_forest")[0]
        if X is None:
            X = X_train
            names = forest.__dict__.get("feature_names_in_")
        else:
            names = None
        Xa = _to_matrix(X)
        if Xa.shape[0] != X_train.shape[0]:
            raise ValueError(
                f"X must hold the forest's {X_train.shape[0]} training rows, in order, got {Xa.shape[0]} rows"
            )
        gamma = doubly_robust_scores(forest)
        keep = np.isfinite(gamma)
        if not keep.all():
            warnings.warn(
                f"{int((~keep).sum())} of {len(gamma)} training rows have no doubly robust score (an "
                "out-of-bag effect no tree could give, or a propensity of 0 or 1) and are left out",
                UserWarning,
                stacklevel=2,
            )
            if not keep.any():
                raise ValueError(
                    "forest has no training row with a doubly robust score; refit it with more trees"
                )
        R = np.column_stack([np.zeros(int(keep.sum())), gamma[keep]])
        self._fit(X, Xa[keep], R, ["control", "treated"], names)
        return self

    def _fit(
        self, X: Any, Xa: np.ndarray, R: np.ndarray, actions: list[str], names: Any = None
    ) -> PolicyTree:
        for name in _FITTED:
            self.__dict__.pop(name, None)
        depth = _check_int("max_depth", self.max_depth, 1, _MAX_DEPTH)
        leaf = _check_int("min_samples_leaf", self.min_samples_leaf, 1)
        step = _check_int("split_step", self.split_step, 1)
        _check_random_state(self.random_state)
        threads = _engine_threads(self.n_jobs)
        if names is None:
            names = _feature_names(X)
        Xa = np.ascontiguousarray(Xa)
        R = np.ascontiguousarray(R)
        feature, threshold, missing, left, right, action, total = _engine.policy_tree(
            Xa, R, depth, min(leaf, 1 << 62), min(step, 1 << 62), threads
        )
        nodes = {
            "feature": feature.astype(np.int64),
            "threshold": threshold,
            "missing_left": missing.astype(bool),
            "left": left.astype(np.int64),
            "right": right.astype(np.int64),
            "action": action.astype(np.int64),
        }
        # The training values on either side of each threshold: the rule rounds within them.
        bounds = np.zeros((len(feature), 2))
        missing_seen = np.zeros(len(feature), dtype=bool)
        for i in np.flatnonzero(nodes["feature"] >= 0):
            column = Xa[:, nodes["feature"][i]]
            below = column[column <= threshold[i]]
            above = column[column > threshold[i]]
            bounds[i] = (below.max(), above.min())
            missing_seen[i] = bool(np.isnan(column).any())
        fitted: dict[str, Any] = {
            "_nodes": nodes,
            "_bounds": (bounds, missing_seen),
            # Private copies for value() and to_dict(): the caller's later changes cannot reach them.
            "_train": (Xa.copy(), R.copy()),
            "n_features_in_": Xa.shape[1],
            "action_names_": list(actions),
            "reward_": float(total),
        }
        if names is not None:
            fitted["feature_names_in_"] = np.asarray(names, dtype=object)
        self.__dict__.update(fitted)
        return self

    # -- using the tree ------------------------------------------------------

    def _rows(self, X: Any, method: str) -> np.ndarray:
        self._fitted(method)
        check_feature_names(X, self.__dict__.get("feature_names_in_"), type(self).__name__, stacklevel=3)
        Xa = _to_float(X, "X")
        if Xa.ndim != 2 or Xa.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X must be 2-D with the {self.n_features_in_} features seen at fit, "
                f"got an array of shape {Xa.shape}"
            )
        return _to_matrix(Xa) if Xa.shape[0] else Xa

    def _leaves(self, Xa: np.ndarray) -> np.ndarray:
        nodes = self.__dict__["_nodes"]
        at = np.zeros(len(Xa), dtype=np.int64)
        rows = np.arange(len(Xa))
        while True:
            feature = nodes["feature"][at]
            inner = feature >= 0
            if not inner.any():
                return at
            r, node = rows[inner], at[inner]
            x = Xa[r, feature[inner]]
            left = np.where(np.isnan(x), nodes["missing_left"][node], x <= nodes["threshold"][node])
            at[r] = np.where(left, nodes["left"][node], nodes["right"][node])

    def predict(self, X: Any) -> np.ndarray:
        """The action index (into ``action_names_``) the tree assigns to each row of ``X``.

        Returns
        -------
        ndarray of int64, shape (n_rows,)
        """
        Xa = self._rows(X, "predict")
        return self.__dict__["_nodes"]["action"][self._leaves(Xa)]

    def value(self, X: Any = None, rewards: Any = None) -> PolicyValue:
        """The policy's estimated value (mean reward of its actions) next to each single action's.

        Parameters
        ----------
        X, rewards : optional
            Rows and their rewards (n_rows by n_actions) to evaluate on, both or neither;
            neither uses the training rows, whose value is optimistic (the tree was chosen
            on them): give held-out rows for an honest estimate.

        Returns
        -------
        PolicyValue
            Estimates with standard errors, and the policy's paired differences from
            giving every row the same action.
        """
        self._fitted("value")
        if (X is None) != (rewards is None):
            missing = "rewards" if rewards is None else "X"
            raise ValueError(
                f"{missing} must be given with {'X' if missing == 'rewards' else 'rewards'}, got None"
            )
        if X is None:
            Xa, R = self.__dict__["_train"]
        else:
            Xa = self._rows(X, "value")
            R = _rewards(rewards, Xa.shape[0])
            if R.shape[1] != len(self.action_names_):
                raise ValueError(
                    f"rewards must have {len(self.action_names_)} columns (one per action), got {R.shape[1]}"
                )
        chosen = R[np.arange(len(Xa)), self.__dict__["_nodes"]["action"][self._leaves(Xa)]]
        return PolicyValue(chosen, R, self.action_names_)

    # -- description ---------------------------------------------------------

    def _feature(self, j: int) -> str:
        names = self.__dict__.get("feature_names_in_")
        return str(names[j]) if names is not None else f"x{j}"

    def _condition(self, i: int, go_left: bool) -> str:
        nodes = self.__dict__["_nodes"]
        bounds, missing_seen = self.__dict__["_bounds"]
        text = _number(float(nodes["threshold"][i]), *bounds[i])
        cond = f"{self._feature(int(nodes['feature'][i]))} {'<=' if go_left else '>'} {text}"
        if missing_seen[i] and bool(nodes["missing_left"][i]) == go_left:
            cond += " (or missing)"
        return cond

    def rule(self) -> str:
        """The tree in words, one line per leaf: "if age <= 31.5 and re74 <= 1,200: treated".

        Thresholds are rounded to the fewest significant digits that keep every training row
        on its side. "(or missing)" marks where missing values go, for features that had
        some at fit; elsewhere they go right.
        """
        nodes = self._fitted("rule")
        missing_seen = self.__dict__["_bounds"][1]
        lines: list[str] = []

        def words(path: list[tuple[int, bool]]) -> str:
            # Of two bounds on one feature in one direction only the tighter one says anything,
            # unless missing values follow one of them.
            kept: dict[tuple[int, bool], int] = {}
            for i, left in path:
                key = (int(nodes["feature"][i]), left) if not missing_seen[i] else (-1 - i, left)
                old = kept.get(key)
                tighter = old is None or (nodes["threshold"][i] < nodes["threshold"][old]) == left
                kept[key] = i if tighter else old
            return " and ".join(self._condition(i, left) for (_, left), i in kept.items())

        def walk(i: int, path: list[tuple[int, bool]]) -> None:
            if nodes["feature"][i] < 0:
                action = self.action_names_[int(nodes["action"][i])]
                lines.append(f"if {words(path)}: {action}" if path else f"always: {action}")
                return
            walk(int(nodes["left"][i]), [*path, (i, True)])
            walk(int(nodes["right"][i]), [*path, (i, False)])

        walk(0, [])
        return "\n".join(lines)

    def to_dict(self) -> dict[str, Any]:
        """A chart payload of the tree: {"visual_type": "policy_tree", "title", "data": {"nodes"}}.

        Nodes are listed root first, children after their parent; each has an "id", its
        "depth", "rows" and "share" of the training rows. A split has "feature", "threshold",
        "threshold_text", "missing" ("left" or "right"), "left" and "right" (child ids), and
        "left_text" and "right_text" (the conditions, worded as in :meth:`rule`); a leaf has
        "action", "action_index", "mean_reward" (its rows' mean reward of that action) and
        "mean_rewards" (of every action, in the order of "actions", listed in "data").
        """
        nodes = self._fitted("to_dict")
        Xa, R = self.__dict__["_train"]
        leaves = self._leaves(Xa)
        n = len(Xa)
        out: list[dict[str, Any]] = []

        def rows_under(i: int) -> np.ndarray:
            if nodes["feature"][i] < 0:
                return leaves == i
            return rows_under(int(nodes["left"][i])) | rows_under(int(nodes["right"][i]))

        def walk(i: int, depth: int) -> None:
            mask = rows_under(i)
            count = int(mask.sum())
            node: dict[str, Any] = {"id": i, "depth": depth, "rows": count, "share": count / n}
            if nodes["feature"][i] >= 0:
                node.update(
                    kind="split",
                    feature=self._feature(int(nodes["feature"][i])),
                    threshold=float(nodes["threshold"][i]),
                    threshold_text=_number(float(nodes["threshold"][i]), *self.__dict__["_bounds"][0][i]),
                    missing="left" if nodes["missing_left"][i] else "right",
                    left=int(nodes["left"][i]),
                    right=int(nodes["right"][i]),
                    left_text=self._condition(i, True),
                    right_text=self._condition(i, False),
                )
                out.append(node)
                walk(int(nodes["left"][i]), depth + 1)
                walk(int(nodes["right"][i]), depth + 1)
            else:
                a = int(nodes["action"][i])
                node.update(
                    kind="leaf",
                    action=self.action_names_[a],
                    action_index=a,
                    mean_reward=float(R[mask, a].mean()) if count else None,
                    mean_rewards=[float(v) for v in R[mask].mean(axis=0)] if count else None,
                )
                out.append(node)

        walk(0, 0)
        depth = max(node["depth"] for node in out)
        return {
            "visual_type": "policy_tree",
            "title": f"Policy tree (depth {depth}, {len(self.action_names_)} actions)",
            "data": {"nodes": out, "actions": list(self.action_names_)},
        }

    def _chart(self) -> dict[str, Any]:
        self._fitted("to_html")
        line = f"{_charts.value_line(self.value())} (on the training rows: optimistic)"
        built = _charts.tree_payload(self.to_dict(), line)
        return {"visual_type": "policy_tree", "title": built["title"], "data": built["data"]}

    def to_visual_tag(self) -> str:
        """The tree's chart as a fenced ``json:causal-plot`` block: the :meth:`to_dict` nodes
        with each one's words, as :meth:`CausalForestReport.to_visual_tag` gives them."""
        return _engine.fenced_block(_html.payload_json(self._chart()))

    def show(self) -> None:
        """Prints :meth:`to_visual_tag` on standard output."""
        print(self.to_visual_tag(), flush=True)

    def to_html(self) -> str:
        """An HTML fragment that loads ECharts 5.4.3 from the CDN and draws the tree."""
        return _html.fragment(self._chart())
