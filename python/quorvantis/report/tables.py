"""The report's sections as tables of rounded text, and their fixed-width layout.

Both the text report and the HTML tables are drawn from these sections, so the
two always show the same numbers.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .data import HIGH_PROPENSITY, LOW_PROPENSITY, ReportData
from .numbers import count, interval, level, num, p_value, share

TOP_TERMS = 5
TOP_FEATURES = 5
QUANTILES = (0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0)


@dataclass
class Section:
    title: str
    header: list[str] = field(default_factory=list)
    rows: list[list[str]] = field(default_factory=list)
    lines: list[str] = field(default_factory=list)  # sentences below the table


def _data(d: ReportData) -> Section:
    controls = d.n_rows - d.n_treated
    return Section(
        "Data",
        ["rows", "treated", "controls", "features"],
        [[count(d.n_rows), count(d.n_treated), count(controls), count(d.n_features)]],
        [f"Effects per row: {d.source}."],
    )


def _averages(d: ReportData) -> Section:
    rows = []
    for a in d.averages:
        low, high = a.estimate - d.z * a.std_err, a.estimate + d.z * a.std_err
        rows.append([a.target, num(a.estimate), num(a.std_err), interval(low, high)])
    lines = [
        f"Overlap: {share(d.overlap_share)} of training rows have estimated propensities outside "
        f"[{LOW_PROPENSITY}, {HIGH_PROPENSITY}]."
    ]
    return Section(
        "Average effects (AIPW)",
        ["target", "estimate", "std. error", f"{level(d.alpha)} interval"],
        rows,
        lines,
    )


def _p(p: float) -> str:
    text = p_value(p)
    return f"p {text}" if text.startswith("<") else f"p = {text}"


def verdict(d: ReportData) -> str:
    """One sentence on whether the effect varies, from the calibration test and the RATE."""
    p_cal = d.calibration.differential_forest_prediction.p_value if d.calibration is not None else math.nan
    p_rate = d.rate.p_value if d.rate is not None else math.nan
    if math.isnan(p_cal) and math.isnan(p_rate):
        return "Heterogeneity: no verdict, the calibration test and the RATE are not available."
    found = [
        name
        for name, p in (("the calibration test", p_cal), ("the RATE", p_rate))
        if not math.isnan(p) and p < d.alpha
    ]
    tests = f"(differential prediction {_p(p_cal)}, RATE {_p(p_rate)}, level {d.alpha:g})"
    if len(found) == 2:
        return f"Heterogeneity: both tests find that the effect varies with the features {tests}."
    if found:
        return f"Heterogeneity: some evidence that the effect varies, from {found[0]} only {tests}."
    return f"Heterogeneity: no evidence that the effect varies with the features {tests}."


def _heterogeneity(d: ReportData) -> Section:
    rows = []
    if d.calibration is not None:
        for label, c in (
            ("mean forest prediction", d.calibration.mean_forest_prediction),
            ("differential forest prediction", d.calibration.differential_forest_prediction),
        ):
            rows.append([label, num(c.estimate), num(c.std_err), p_value(c.p_value)])
    if d.rate is not None:
        rows.append(
            [f"RATE ({d.rate.target})", num(d.rate.estimate), num(d.rate.std_err), p_value(d.rate.p_value)]
        )
    lines = [
        "Calibration p-values are one-sided (coefficient > 0), the RATE's two-sided.",
        verdict(d),
    ]
    return Section("Heterogeneity", ["test", "estimate", "std. error", "p-value"], rows, lines)


def _projection(d: ReportData) -> Section | None:
    if d.blp is None:
        return None
    names = list(d.blp.names)
    bounds = np.asarray(d.blp.conf_int(d.alpha))
    t = np.abs(np.asarray(d.blp.t_stat, dtype=float))
    terms = [i for i in range(1, len(names))]
    terms.sort(key=lambda i: -t[i] if np.isfinite(t[i]) else math.inf)
    shown = [0, *terms[:TOP_TERMS]]
    sd = per_sd(d)
    rows = [
        [
            names[i],
            num(float(d.blp.estimate[i])),
            num(float(d.blp.estimate[i] * sd[i])) if i else "",
            num(float(d.blp.std_err[i])),
            p_value(float(d.blp.p_value[i])),
            interval(float(bounds[i, 0]), float(bounds[i, 1])),
        ]
        for i in shown
    ]
    title = f"Best linear projection (intercept and the {len(shown) - 1} largest |t| of {len(names) - 1})"
    header = ["term", "estimate", "per s.d.", "std. error", "p-value", f"{level(d.alpha)} interval"]
    lines = ["per s.d.: the change in effect for one standard deviation of the feature (estimate x s.d.)."]
    return Section(title, header, rows, lines)


def per_sd(d: ReportData) -> np.ndarray:
    """Each projection term's standard deviation over the training rows (1 for the intercept)."""
    k = len(d.blp.names)
    if d.feature_sd is None or len(d.feature_sd) != k - 1:
        return np.full(k, np.nan)
    return np.concatenate([[1.0], d.feature_sd])


def _importance(d: ReportData) -> Section:
    order = np.argsort(-d.importances, kind="stable")[:TOP_FEATURES]
    rows = [[d.feature_names[j], share(float(d.importances[j]))] for j in order]
    return Section(f"Feature importance (top {len(rows)} of {d.n_features})", ["feature", "importance"], rows)


def _spread(d: ReportData) -> Section:
    ok = np.isfinite(d.tau)
    tau = d.tau[ok]
    labels = ["min", "5%", "25%", "median", "75%", "95%", "max"]
    values = np.quantile(tau, QUANTILES) if tau.size else np.full(len(QUANTILES), np.nan)
    rows = [[num(float(v)) for v in values]]
    shown = int(ok.sum())
    if shown and np.isfinite(d.lower[ok]).all():
        above, below = float(np.mean(d.lower[ok] > 0)), float(np.mean(d.upper[ok] < 0))
        lines = [
            f"Of {count(shown)} rows, {share(above)} have a {level(d.alpha)} interval above 0 and "
            f"{share(below)} below 0 (pointwise intervals, not a joint band)."
        ]
    else:
        lines = [f"Of {count(shown)} rows; intervals above or below 0: n/a (see the notes)."]
    return Section("Effects per row", labels, rows, lines)


def _always(name: str) -> str:
    return {"control": "treat no one", "treated": "treat everyone"}.get(name, f"always {name}")


def _policy(d: ReportData) -> list[Section]:
    if d.policy is None:
        return []
    depth = max(node["depth"] for node in d.policy.tree["data"]["nodes"])
    v = d.policy.value
    estimates = [("policy", v.policy)]
    estimates += [(_always(name), est) for name, est in reversed(v.actions.items())]
    # Against treating no one, the difference is the policy's value itself (that reward is 0).
    estimates += [(f"policy - {_always(name)}", est) for name, est in list(v.differences.items())[1:]]
    rows = [
        [label, num(est), num(se), interval(est - d.z * se, est + d.z * se)] for label, (est, se) in estimates
    ]
    lines = [
        "Rewards are 0 for control and the doubly robust score for treated: values are mean gains "
        "per row over treating no one, and optimistic on the rows the tree was chosen on "
        "(PolicyTree.value on held-out rows is honest)."
    ]
    return [
        Section(f"Policy: the depth-{depth} tree's rule", lines=d.policy.rule.split("\n")),
        Section(
            f"Policy value on {count(v.n)} training rows",
            ["value of", "mean reward", "std. error", f"{level(d.alpha)} interval"],
            rows,
            lines,
        ),
    ]


def sections(d: ReportData) -> list[Section]:
    found = [_data(d), _averages(d), _heterogeneity(d), _projection(d), _importance(d), _spread(d)]
    found += _policy(d)
    out = [s for s in found if s is not None]
    if d.notes:
        out.append(Section("Notes", lines=list(d.notes)))
    return out


def _table(section: Section) -> list[str]:
    cells = [section.header, *section.rows] if section.header else section.rows
    if not cells:
        return []
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]))]
    out = []
    for row in cells:
        first = row[0].ljust(widths[0])
        rest = [cell.rjust(w) for cell, w in zip(row[1:], widths[1:], strict=True)]
        out.append("  " + "  ".join([first, *rest]).rstrip())
    return out


def render_text(d: ReportData) -> str:
    title = "CausalForest report"
    out = [title, "=" * len(title)]
    for section in sections(d):
        out += ["", section.title, *_table(section), *(f"  {line}" for line in section.lines)]
    return "\n".join(out)
