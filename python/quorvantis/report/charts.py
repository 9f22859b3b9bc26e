"""Chart payloads, one builder per kind: ``{"visual_type", "title", "data"}``.

Values are rounded to 4 significant digits so tooltips and labels stay
readable and large reports stay small; big row counts are thinned
deterministically.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .data import ReportData
from .numbers import count, level, num, share
from .tables import per_sd

KINDS = ("effect_dist", "effects", "importance", "toc", "blp", "dependence", "policy_tree")
MAX_POINTS = 2000
DEPENDENCE_BINS = 40


def _round(values: Any) -> list[float | None]:
    out = []
    for v in np.asarray(values, dtype=float).ravel():
        out.append(float(f"{v:.4g}") if math.isfinite(v) else None)
    return out


def _thin(n: int) -> np.ndarray:
    """Indices of at most MAX_POINTS evenly spaced positions, first and last kept."""
    if n <= MAX_POINTS:
        return np.arange(n)
    return np.unique(np.round(np.linspace(0, n - 1, MAX_POINTS)).astype(np.int64))


def _finite(d: ReportData) -> np.ndarray:
    # Rows without an interval (ci_group_size=1) still have an effect to show.
    return np.isfinite(d.tau)


def _effect_dist(d: ReportData, feature: Any) -> dict:
    tau = d.tau[np.isfinite(d.tau)]
    bins = int(min(40, max(5, math.ceil(math.sqrt(tau.size))))) if tau.size else 1
    counts, edges = np.histogram(tau, bins=bins) if tau.size else (np.zeros(1), np.array([0.0, 1.0]))
    average = d.averages[0].estimate
    return {
        "title": "Distribution of the per-row effects",
        "data": {
            "edges": _round(edges),
            "counts": [int(c) for c in counts],
            "average": _round([average])[0],
            "average_label": f"average effect {num(average)}",
            "x_label": "effect",
            "y_label": "rows",
        },
    }


def _effects(d: ReportData, feature: Any) -> dict:
    ok = np.flatnonzero(_finite(d))
    order = ok[np.argsort(d.tau[ok], kind="stable")]
    pick = order[_thin(order.size)]
    rank = _thin(order.size) / max(order.size - 1, 1) * 100.0
    return {
        "title": f"Effects per row, sorted, with {level(d.alpha)} intervals",
        "data": {
            "rank": _round(rank),
            "effect": _round(d.tau[pick]),
            "lower": _round(d.lower[pick]),
            "upper": _round(d.upper[pick]),
            "n_rows": int(order.size),
            "n_shown": int(pick.size),
            "x_label": "rows sorted by effect (percentile)",
            "band_label": f"{level(d.alpha)} interval",
            "y_label": "effect",
        },
    }


def _importance(d: ReportData, feature: Any) -> dict:
    order = np.argsort(-d.importances, kind="stable")[:30]
    return {
        "title": "Feature importance",
        "data": {
            "labels": [d.feature_names[j] for j in order],
            "values": _round(d.importances[order]),
            "x_label": "share of splits (depth-weighted)",
        },
    }


def _toc(d: ReportData, feature: Any) -> dict:
    if d.rate is None:
        raise ValueError("kind='toc' needs the RATE, which is not available for this report (see its notes)")
    q = np.asarray(d.rate.q, dtype=float)
    toc = np.asarray(d.rate.toc, dtype=float)
    se = np.asarray(d.rate.toc_std_err, dtype=float)
    pick = _thin(q.size)
    return {
        "title": f"TOC curve, {d.rate.target} {num(d.rate.estimate)} (s.e. {num(d.rate.std_err)})",
        "data": {
            "q": _round(q[pick] * 100.0),
            "toc": _round(toc[pick]),
            "lower": _round(toc[pick] - d.z * se[pick]),
            "upper": _round(toc[pick] + d.z * se[pick]),
            "x_label": "share of rows treated first, by priority (%)",
            "band_label": f"{level(d.alpha)} interval",
            "y_label": "gain over the average effect",
        },
    }


def _blp(d: ReportData, feature: Any) -> dict:
    if d.blp is None:
        raise ValueError(
            "kind='blp' needs the best linear projection, which is not available (see its notes)"
        )
    names = list(d.blp.names)
    # Coefficients per unit differ by the features' scales (years against dollars), so one
    # axis shows them per standard deviation of their feature; the tooltip keeps per unit.
    sd = per_sd(d)
    bounds = np.asarray(d.blp.conf_int(d.alpha), dtype=float)
    t = np.abs(np.asarray(d.blp.t_stat, dtype=float))
    terms = sorted(range(1, len(names)), key=lambda i: -t[i] if np.isfinite(t[i]) else math.inf)[:20]
    terms.reverse()  # the largest at the top of a category axis
    return {
        "title": (
            f"Best linear projection: change in effect per s.d. of each feature, {level(d.alpha)} intervals"
        ),
        "data": {
            "labels": [names[i] for i in terms],
            "estimate": _round(d.blp.estimate[terms] * sd[terms]),
            "lower": _round(bounds[terms, 0] * sd[terms]),
            "upper": _round(bounds[terms, 1] * sd[terms]),
            "per_unit": _round(d.blp.estimate[terms]),
            "sd": _round(sd[terms]),
            "x_label": "change in effect per standard deviation of the feature",
        },
    }


def _always(name: str) -> str:
    return {"control": "treat no one", "treated": "treat everyone"}.get(name, f"always {name}")


def value_line(value: Any) -> str:
    """The policy's value against each single action, in one line."""
    est, se = value.policy
    others = ", ".join(f"{_always(name)} {num(v[0])}" for name, v in reversed(value.actions.items()))
    return f"mean reward per row: policy {num(est)} (s.e. {num(se)}); {others}"


def tree_payload(tree: dict, subtitle: str = "") -> dict:
    """The chart of a PolicyTree.to_dict(): each node's words (the condition leading to it,
    rows and share; a leaf's action and mean rewards), numbers rounded for reading."""
    data = tree["data"]
    actions = list(data.get("actions") or [])
    reached = {data["nodes"][0]["id"]: "all rows"}
    nodes = []
    for node in data["nodes"]:  # parents come before their children
        lines = [reached[node["id"]], f"{count(node['rows'])} rows ({share(node['share'])})"]
        entry = {"id": node["id"], "kind": node["kind"], "depth": node["depth"]}
        entry.update(rows=node["rows"], share=_round([node["share"]])[0])
        if node["kind"] == "split":
            reached[node["left"]], reached[node["right"]] = node["left_text"], node["right_text"]
            entry.update(left=node["left"], right=node["right"], feature=node["feature"])
        else:
            means = node.get("mean_rewards")
            lines.insert(1, f"\u2192 {node['action']}")
            if node.get("mean_reward") is not None:
                lines.append(f"mean reward {num(node['mean_reward'])}")
                if means is not None and len(means) == len(actions) <= 3:  # the others', to compare
                    chosen = node["action_index"]
                    others = [f"{a} {num(means[i])}" for i, a in enumerate(actions) if i != chosen]
                    lines.append(f"({', '.join(others)})")
            entry.update(action=node["action"], action_index=node["action_index"])
            entry.update(mean_reward=_round([node["mean_reward"]])[0] if node["rows"] else None)
        entry["label"] = lines
        nodes.append(entry)
    depth = max(node["depth"] for node in nodes)
    return {
        "title": tree["title"],
        "data": {"nodes": nodes, "actions": actions, "depth": depth, "subtitle": subtitle},
    }


def _policy_tree(d: ReportData, feature: Any) -> dict:
    if d.policy is None:
        raise ValueError(
            "kind='policy_tree' needs a policy tree: pass policy= (a fitted PolicyTree, e.g. "
            "PolicyTree().fit_forest(forest)) to summary()"
        )
    line = f"{value_line(d.policy.value)} (on the training rows: optimistic)"
    return tree_payload(d.policy.tree, line)


def feature_index(d: ReportData, feature: Any) -> int:
    if feature is None:
        return int(np.argmax(d.importances))
    if isinstance(feature, str):
        if feature in d.feature_names:
            return d.feature_names.index(feature)
        shown = ", ".join(repr(n) for n in d.feature_names[:10]) + (", ..." if d.n_features > 10 else "")
        raise ValueError(f"feature must be one of the feature names ({shown}), got {feature!r}")
    if isinstance(feature, (int, np.integer)) and not isinstance(feature, bool):
        if 0 <= feature < d.n_features:
            return int(feature)
        raise ValueError(f"feature must be an index in [0, {d.n_features}), got {feature}")
    raise ValueError(f"feature must be a feature name (str) or index (int), got {type(feature).__name__}")


def _dependence(d: ReportData, feature: Any) -> dict:
    j = feature_index(d, feature)
    x = d.X[:, j]
    ok = np.flatnonzero(_finite(d) & np.isfinite(x))
    order = ok[np.argsort(x[ok], kind="stable")]
    pick = order[_thin(order.size)]
    # Bins of equal row counts (whole runs of equal x kept together) carry the band.
    groups = np.array_split(order, min(DEPENDENCE_BINS, max(order.size, 1)))
    centre, mean, low, high = [], [], [], []
    for g in groups:
        if g.size:
            centre.append(np.median(x[g]))
            mean.append(d.tau[g].mean())
            low.append(d.lower[g].mean())
            high.append(d.upper[g].mean())
    name = d.feature_names[j]
    return {
        "title": f"Effect against {name}",
        "data": {
            "feature": name,
            "x": _round(x[pick]),
            "effect": _round(d.tau[pick]),
            "bin_x": _round(centre),
            "bin_effect": _round(mean),
            "bin_lower": _round(low),
            "bin_upper": _round(high),
            "n_rows": int(order.size),
            "n_shown": int(pick.size),
            "n_missing": int(np.sum(~np.isfinite(x))),
            "x_label": name,
            "y_label": "effect",
            "band_label": f"mean {level(d.alpha)} interval per bin",
        },
    }


_BUILDERS = {
    "effect_dist": _effect_dist,
    "effects": _effects,
    "importance": _importance,
    "toc": _toc,
    "blp": _blp,
    "dependence": _dependence,
    "policy_tree": _policy_tree,
}


def check_kind(kind: Any) -> str:
    if not isinstance(kind, str) or kind not in _BUILDERS:
        raise ValueError(f"kind must be one of {', '.join(repr(k) for k in KINDS)}, got {kind!r}")
    return kind


def payload(d: ReportData, kind: Any, feature: Any = None) -> dict:
    kind = check_kind(kind)
    if feature is not None and kind != "dependence":
        raise ValueError(
            f"feature is only used with kind='dependence', got feature={feature!r} with kind={kind!r}"
        )
    built = _BUILDERS[kind](d, feature)
    return {"visual_type": kind, "title": built["title"], "data": built["data"]}
