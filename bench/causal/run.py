"""Causal forest benchmark: quorvantis.CausalForest next to EconML, causalml
and scikit-learn-based peers, measured in the same run.

Sections: goals (the speed goals as ratios with their targets: fit vs
econml.grf.CausalForest at n=4,000, p=8, 500 trees; effect vs CausalForestDML
on the speed section's data; a fit on a two-worker local dask cluster vs a
local fit at n=200,000), speed (n=100,000, p=20, 500 trees), accuracy
(Wager-Athey and Nie-Wager A-D, n=20,000, 5 seeds), nsw (NSW treated vs CPS),
and the opt-in scale (ours alone, n=1,000,000, p=25, defaults). Every
measurement is a fresh child process. Tables go to stdout, every record to a
JSON file.

  python bench/causal/run.py                      # goals, speed, accuracy, nsw
  python bench/causal/run.py --section goals      # the quick one
  python bench/causal/run.py --section scale      # the long one
  python bench/causal/run.py --quick              # small sizes, 2 seeds
  python bench/causal/run.py --tables FILE.json   # reprint saved tables
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from importlib import metadata

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from methods import METHODS  # noqa: E402

LABEL = {k: v.label for k, v in METHODS.items()}
IMPORT = {
    "ours": "from quorvantis import CausalForest",
    "ours-smooth": "from quorvantis import CausalForest",
    "dml": "from econml.dml import CausalForestDML",
    "dml-linear": "from econml.dml import CausalForestDML",
    "grf": "from econml.grf import CausalForest",
    "causalml": "from causalml.inference.tree import CausalRandomForestRegressor",
}
FULL = {
    "goals": {
        "n": 4_000,
        "p": 8,
        "n_test": 2_000,
        "trees": 500,
        "seeds": 3,
        "dask_n": 200_000,
        "dask_trees": 100,
        "pairs": 3,
        "effect": {"n": 100_000, "p": 20, "n_test": 100_000, "trees": 500},
    },
    "speed": {"n": 100_000, "p": 20, "n_test": 100_000, "trees": 500},
    "accuracy": {"n": 20_000, "n_test": 2_000, "p": 8, "seeds": 5, "trees": 500},
    "nsw": {"trees": 500},
    "scale": {"n": 1_000_000, "p": 25, "n_test": 100_000},
}
QUICK = {
    "goals": {
        "n": 4_000,
        "p": 8,
        "n_test": 2_000,
        "trees": 500,
        "seeds": 2,
        "dask_n": 20_000,
        "dask_trees": 100,
        "pairs": 2,
        "effect": {"n": 5_000, "p": 20, "n_test": 5_000, "trees": 100},
    },
    "speed": {"n": 5_000, "p": 20, "n_test": 5_000, "trees": 100},
    "accuracy": {"n": 2_000, "n_test": 500, "p": 8, "seeds": 2, "trees": 100},
    "nsw": {"trees": 100},
    "scale": {"n": 50_000, "p": 25, "n_test": 10_000},
}
DESIGNS = ["WA", "A", "B", "C", "D", "SL", "SN"]
NAMES = {"WA": "Wager-Athey", "SL": "confounded, smooth (SL)", "SN": "confounded, non-linear (SN)"}
MIB = 2.0**20


def key(task):
    return json.dumps(task, sort_keys=True)


def run_child(task, timeout):
    cmd = [sys.executable, os.path.join(HERE, "child.py"), json.dumps(task)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    wall = time.perf_counter() - start
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith("RESULT "):
            r = json.loads(line[7:])
            r["wall_s"] = wall
            return r
    lines = [s for s in proc.stderr.strip().splitlines() if s.strip()] or [f"exit {proc.returncode}"]
    return {"error": lines[-1][:200]}


def available(method):
    cmd = [sys.executable, "-c", "import warnings; warnings.simplefilter('ignore'); " + IMPORT[method]]
    return subprocess.run(cmd, capture_output=True).returncode == 0


def save(doc, path):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(doc, f, indent=1)
    os.replace(tmp, path)


def now():
    return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())


def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((s.split(":", 1)[1].strip() for s in f if s.startswith("model name")), "")
    except OSError:
        pass
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    versions = {}
    for pkg in ["quorvantis", "econml", "causalml", "scikit-learn", "numpy", "scipy", "lightgbm"]:
        try:
            versions[pkg] = metadata.version(pkg)
        except metadata.PackageNotFoundError:
            versions[pkg] = None
    return {
        "date": now(),
        "cores": os.cpu_count(),
        "cpu": cpu,
        "memory_gib": round(mem, 1),
        "python": platform.python_version(),
        "os": platform.platform(),
        "versions": versions,
    }


def tasks_for(section, sizes, methods, designs):
    s = sizes[section]
    if section == "goals":
        # Seeds outermost, so ours and grf alternate; effect times come from the
        # speed section's fits of ours and CausalForestDML.
        for seed in range(s["seeds"]):
            for m in (m for m in methods if m in ("ours", "grf")):
                yield {
                    "section": "goals",
                    "goal": "grf",
                    "method": m,
                    "design": "WA",
                    "n": s["n"],
                    "n_test": s["n_test"],
                    "p": s["p"],
                    "n_estimators": s["trees"],
                    "seed": seed,
                }
        # effect against CausalForestDML; the peer with linear first stages,
        # which its effect() never reads.
        if "ours" in methods and "dml" in methods:
            e = s["effect"]
            for m in ("ours", "dml-linear"):
                yield {
                    "section": "goals",
                    "goal": "effect",
                    "method": m,
                    "n": e["n"],
                    "p": e["p"],
                    "n_test": e["n_test"],
                    "n_estimators": e["trees"],
                    "repeat": 3,
                    "seed": 0,
                }
        if "ours" in methods:
            yield {
                "section": "goals",
                "goal": "dask",
                "method": "ours",
                "n": s["dask_n"],
                "p": 20,
                "n_estimators": s["dask_trees"],
                "pairs": s["pairs"],
                "seed": 0,
            }
    elif section == "speed":
        for m in methods:
            yield {
                "section": "speed",
                "method": m,
                "n": s["n"],
                "p": s["p"],
                "n_test": s["n_test"],
                "n_estimators": s["trees"],
                "seed": 0,
            }
    elif section == "accuracy":
        # Seeds outermost, so a cut-short run still covers every design.
        for seed in range(s["seeds"]):
            for d in designs:
                for m in methods:
                    variants = [s["trees"], None] if m == "ours" else [s["trees"]]
                    for trees in variants:
                        yield {
                            "section": "accuracy",
                            "method": m,
                            "design": d,
                            "n": s["n"],
                            "n_test": s["n_test"],
                            "p": s["p"],
                            "n_estimators": trees,
                            "seed": seed,
                        }
    elif section == "nsw":
        for m in methods:
            if m in ("ours", "dml"):
                variants = [s["trees"], None] if m == "ours" else [s["trees"]]
                for trees in variants:
                    yield {"section": "nsw", "method": m, "n_estimators": trees, "seed": 0}
    elif section == "scale":
        if "ours" in methods:
            yield {
                "section": "scale",
                "method": "ours",
                "n": s["n"],
                "p": s["p"],
                "n_test": s["n_test"],
                "n_estimators": None,
                "seed": 0,
            }


def trees_label(t):
    return "2000*" if t is None else str(t)


def fmt(x, spec, missing="-"):
    return missing if x is None or (isinstance(x, float) and np.isnan(x)) else format(x, spec)


def ratio(a, b):
    return a / b if a is not None and b else None


def times(a, b):
    r = ratio(a, b)
    return f"{r:>7.1f}x" if r is not None else f"{'-':>8}"


def load(res):
    if "load_before" not in res:
        return "-"
    return f"{(res['load_before'] + res['load_after']) / 2:.1f}"


def print_speed(records):
    rows = [r for r in records if r["task"]["section"] == "speed"]
    if not rows:
        return
    rows.sort(key=lambda r: list(METHODS).index(r["task"]["method"]))
    t = rows[0]["task"]
    print(
        f"\n## speed: Wager-Athey-like design, n = {t['n']:,}, p = {t['p']}, "
        f"{t['n_estimators']} trees, prediction on {t['n_test']:,} rows"
    )
    ours = next(
        (r["result"] for r in rows if r["task"]["method"] == "ours" and "error" not in r["result"]), {}
    )
    head = (
        f"{'method':<28}{'fit s':>9}{'predict s':>11}{'peak MiB':>10}{'+base MiB':>11}"
        f"{'fit x':>8}{'pred x':>8}{'mem x':>8}{'load':>6}  predicts"
    )
    print(head)
    print("-" * len(head))
    for r in rows:
        m, res = r["task"]["method"], r["result"]
        if "error" in res:
            print(f"{LABEL[m]:<28}  error: {res['error']}")
            continue
        print(
            f"{LABEL[m]:<28}{res['fit_s']:>9.1f}{res['predict_s']:>11.1f}{res['peak_mib']:>10.0f}"
            f"{res['above_mib']:>11.0f}{times(res['fit_s'], ours.get('fit_s'))}"
            f"{times(res['predict_s'], ours.get('predict_s'))}"
            f"{times(res['above_mib'], ours.get('above_mib'))}{load(res):>6}  {res['predict_what']}"
        )
    print(
        "ratios x: peer / quorvantis (higher means quorvantis is faster or smaller); +base MiB is the peak "
        "above the RSS before fit (imports and data), over fit and predict together"
    )
    print("load: 1-minute load average before and after, averaged (above 2 the 2 cores were shared)")
    print("targets for quorvantis vs CausalForestDML: fit >= 30x, predict >= 30x, memory >= 10x")


def summarise(rows):
    out = {}
    for r in rows:
        t, res = r["task"], r["result"]
        k = (t["method"], t["n_estimators"])
        out.setdefault(k, []).append(res)
    return out


def mean_sd(vals):
    vals = [v for v in vals if v is not None]
    if not vals:
        return None, None
    return float(np.mean(vals)), float(np.std(vals, ddof=1)) if len(vals) > 1 else 0.0


def print_accuracy(records):
    rows = [r for r in records if r["task"]["section"] == "accuracy"]
    if not rows:
        return
    t = rows[0]["task"]
    print(
        f"\n## accuracy: n = {t['n']:,} training rows, {t['n_test']:,} test rows, p = {t['p']}, "
        "mean over seeds"
    )
    for d in DESIGNS:
        drows = [r for r in rows if r["task"]["design"] == d]
        if not drows:
            continue
        groups = summarise(drows)
        dml = groups.get(("dml", t["n_estimators"]), [])
        dml_rmse = mean_sd([g.get("rmse") for g in dml if "error" not in g])[0]
        name = NAMES.get(d, f"Nie-Wager {d}")
        print(f"\n{name}")
        head = (
            f"{'method':<28}{'trees':>6}{'seeds':>6}{'RMSE':>16}{'/DML':>7}{'|ATE bias|':>12}"
            f"{'ATE cov':>8}{'coverage':>10}{'fit s':>8}"
        )
        print(head)
        print("-" * len(head))
        order = list(METHODS)
        for (m, trees), res in sorted(
            groups.items(), key=lambda kv: (order.index(kv[0][0]), kv[0][1] or 1e9)
        ):
            ok = [g for g in res if "error" not in g]
            if not ok:
                print(f"{LABEL[m]:<28}{trees_label(trees):>6}  error: {res[0]['error']}")
                continue
            rm, rs = mean_sd([g["rmse"] for g in ok])
            bias = mean_sd([g["ate_abs_bias"] for g in ok])[0]
            cov = mean_sd([g.get("coverage") for g in ok])[0]
            acov = mean_sd([float(g["ate_covered"]) if "ate_covered" in g else None for g in ok])[0]
            fit = mean_sd([g["fit_s"] for g in ok])[0]
            print(
                f"{LABEL[m]:<28}{trees_label(trees):>6}{len(ok):>6}{rm:>9.3f} ± {rs:.3f}"
                f"{fmt(ratio(rm, dml_rmse), '>7.2f'):>7}{bias:>12.3f}{fmt(acov, '>8.2f'):>8}"
                f"{fmt(cov, '>10.3f'):>10}{fit:>8.1f}"
            )
    print(
        "\nRMSE per test row vs the true tau; /DML: RMSE over CausalForestDML's; coverage: share of test "
        "rows whose 95% interval holds tau ('-': no intervals); |ATE bias|: mean over seeds of "
        "|estimate - mean true tau on the training rows|; ATE cov: share of seeds whose 95% ATE "
        "interval holds it. ATE: quorvantis average_treatment_effect() (AIPW), CausalForestDML ate_ "
        "(doubly robust), the others the mean of their effects on the training rows. 2000*: the "
        "quorvantis default."
    )
    print(
        "targets for quorvantis: WA RMSE <= best peer, coverage in [0.90, 0.99]; A-D RMSE <= 1.1x DML, "
        "|ATE bias| <= 0.05, coverage >= 0.90 (A-C), D >= best peer"
    )


def print_nsw(records):
    rows = [r for r in records if r["task"]["section"] == "nsw"]
    if not rows:
        return
    facts = next((r["result"] for r in rows if "error" not in r["result"]), None)
    print("\n## NSW treated vs CPS comparison group: ATT on re78")
    if facts:
        print(f"{facts['n_treated']} treated, {facts['n_comparison']:,} comparison rows")
        print(f"experimental benchmark (NSW treated - NSW control): {facts['benchmark']:>10,.0f}")
        print(f"naive observational difference (NSW treated - CPS): {facts['naive']:>10,.0f}")
    head = f"{'method':<28}{'trees':>6}{'ATT':>9}{'95% interval':>22}{'covers':>8}{'fit s':>8}"
    print(head)
    print("-" * len(head))
    for r in rows:
        m, res = r["task"]["method"], r["result"]
        tl = trees_label(r["task"]["n_estimators"])
        if "error" in res:
            print(f"{LABEL[m]:<28}{tl:>6}  error: {res['error']}")
            continue
        ci = f"[{res['lower']:,.0f}, {res['upper']:,.0f}]"
        print(
            f"{LABEL[m]:<28}{tl:>6}{res['att']:>9,.0f}{ci:>22}{'yes' if res['covers_benchmark'] else 'no':>8}"
            f"{res['fit_s']:>8.1f}"
        )
        if "mean_effect_treated" in res:
            print(f"{'  (its mean effect on treated rows)':<34}{res['mean_effect_treated']:>9,.0f}")
    print("quorvantis: average_treatment_effect(target='treated'); CausalForestDML: att_(T=1), att_stderr_")


def verdict(value, target, at_least):
    """The goal's status: its measure against the target, '-' when it was not measured."""
    if value is None:
        return "-"
    return "pass" if (value >= target if at_least else value <= target) else "FAIL"


def goal_row(goal, measure, shown, target, at_least):
    sign = ">=" if at_least else "<="
    print(f"{goal:<44}{shown:>10}  {sign} {target:<8g}{verdict(measure, target, at_least):>6}")


def goal_head():
    head = f"{'goal':<44}{'measure':>10}  {'target':<11}{'status':>6}"
    print(head)
    print("-" * len(head))


def print_scale(records):
    rows = [r for r in records if r["task"]["section"] == "scale"]
    for r in rows:
        t, res = r["task"], r["result"]
        print(f"\n## scale: quorvantis alone, n = {t['n']:,}, p = {t['p']}, defaults")
        if "error" in res:
            print(f"error: {res['error']}")
            continue
        print(f"input arrays {res['input_mib']:.0f} MiB; load {load(res)}")
        goal_head()
        goal_row("fit, s", res["fit_s"], f"{res['fit_s']:.1f}", 300, False)
        above = res["fit_above_mib"] / 1024
        goal_row("fit peak above the RSS before fit, GiB", above, f"{above:.2f}", 2.5, False)
        goal_row(
            f"effect_interval on {t['n_test']:,} rows, s",
            res["interval_s"],
            f"{res['interval_s']:.2f}",
            4,
            False,
        )


def median_of(values):
    values = [v for v in values if v is not None]
    return float(np.median(values)) if values else None


def print_goals(records):
    grf = [r for r in records if r["task"]["section"] == "goals" and r["task"]["goal"] == "grf"]
    dask = [r for r in records if r["task"]["section"] == "goals" and r["task"]["goal"] == "dask"]
    if not grf and not dask:
        return
    print("\n## goals: quorvantis against its speed targets, measured in this run")
    goal_head()
    if grf:
        t = grf[0]["task"]
        ok = {
            m: {r["task"]["seed"]: r["result"] for r in grf if r["task"]["method"] == m}
            for m in ("ours", "grf")
        }
        ok = {m: {seed: res for seed, res in by.items() if "error" not in res} for m, by in ok.items()}
        seeds = sorted(set(ok["ours"]) & set(ok["grf"]))
        fit_x = median_of([ok["grf"][s]["fit_s"] / ok["ours"][s]["fit_s"] for s in seeds])
        goal_row("fit: econml grf.CausalForest / ours", fit_x, fmt(fit_x, ".1f"), 25, True)
        for m, name in (("ours", "quorvantis"), ("grf", "grf.CausalForest")):
            rmse = median_of([res["rmse"] for res in ok[m].values()])
            fit = median_of([res["fit_s"] for res in ok[m].values()])
            print(f"  {name}: RMSE of the effect {fmt(rmse, '.3f')}, fit {fmt(fit, '.2f')} s (medians)")
        print(
            f"  Wager-Athey, n = {t['n']:,}, p = {t['p']}, {t['n_estimators']} trees, RMSE on "
            f"{t['n_test']:,} test rows; median over {len(seeds)} seeds, each a fresh process, "
            "ours and grf alternating"
        )
    effect = {
        r["task"]["method"]: r
        for r in records
        if r["task"]["section"] == "goals" and r["task"]["goal"] == "effect" and "error" not in r["result"]
    }
    if "ours" in effect and "dml-linear" in effect:
        t = effect["ours"]["task"]
        ours, dml = effect["ours"]["result"]["effect_s"], effect["dml-linear"]["result"]["effect_s"]
        goal_row("effect: econml CausalForestDML / ours", dml / ours, f"{dml / ours:.1f}", 30, True)
        print(
            f"  on {t['n_test']:,} rows from forests of {t['n_estimators']} trees on n = {t['n']:,}, "
            f"p = {t['p']} (median of {t['repeat']} calls): quorvantis {ours:.2f} s, CausalForestDML "
            f"{dml:.2f} s; the peer's first stages linear (its effect() reads only its forest); "
            f"load {load(effect['ours']['result'])} and {load(effect['dml-linear']['result'])}"
        )
    for r in dask:
        t, res = r["task"], r["result"]
        label = "fit: dask, 2 workers x 1 thread / local"
        if "error" in res:
            print(f"{label}: error: {res['error']}")
            continue
        goal_row(label, res["ratio"], f"{res['ratio']:.3f}", 1.10, False)
        print(
            f"  local: n_jobs=2; n = {t['n']:,}, p = {t['p']}, {t['n_estimators']} trees; median of "
            f"{t['pairs']} alternating pairs in one process: local {res['local_s']:.1f} s, "
            f"dask {res['dask_s']:.1f} s; "
            f"forests identical: {'yes' if res['identical'] else 'NO'}; load {load(res)}; "
            f"CPU seconds (this process and the workers), dask / local: {fmt(res.get('cpu_ratio'), '.3f')}"
        )
    print("1M-row fit, its memory and effect_interval on 100,000 rows: `--section scale`")


def print_tables(doc):
    mc = doc["machine"]
    vs = ", ".join(f"{k} {v}" for k, v in mc["versions"].items() if v)
    print(
        f"# causal forest benchmark, {mc['date']}; {mc['cores']} cores, {mc['memory_gib']} GiB, {mc['cpu']}"
    )
    print(f"# Python {mc['python']}; {vs}")
    recs = doc["records"]
    reused = sorted({r["reused"] for r in recs if r.get("reused")})
    if reused:
        n = sum(1 for r in recs if r.get("reused"))
        print(
            f"# NOTE: {n} of {len(recs)} records were measured in an earlier run ({', '.join(reused)}), "
            "not beside the others"
        )
    print_goals(recs)
    print_speed(recs)
    print_scale(recs)
    print_accuracy(recs)
    print_nsw(recs)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument(
        "--section",
        action="append",
        choices=["goals", "speed", "scale", "accuracy", "nsw", "all"],
        help="repeatable; default goals, speed, accuracy and nsw; 'all' adds scale",
    )
    ap.add_argument("--quick", action="store_true", help="small sizes and 2 seeds")
    ap.add_argument("--methods", default="ours,dml,grf,causalml", help="comma list of " + ",".join(METHODS))
    ap.add_argument("--designs", default=",".join(DESIGNS), help="accuracy designs, comma list")
    ap.add_argument("--seeds", type=int, help="accuracy seeds (overrides the size preset)")
    ap.add_argument("--n", type=int, help="training rows for speed, accuracy and scale")
    ap.add_argument("--trees", type=int, help="trees for the peers and the matched quorvantis rows")
    ap.add_argument("--timeout", type=float, default=7200, help="seconds per child process")
    ap.add_argument("--out", help="JSON path (default build/bench-causal/results-<time>.json)")
    ap.add_argument("--resume", help="JSON of an earlier run: its finished records are kept, not rerun")
    ap.add_argument("--tables", help="print the tables of a saved JSON and exit")
    a = ap.parse_args()

    if a.tables:
        with open(a.tables) as f:
            print_tables(json.load(f))
        return

    sections = a.section or ["goals", "speed", "accuracy", "nsw"]
    if "all" in sections:
        sections = ["goals", "speed", "scale", "accuracy", "nsw"]
    sizes = json.loads(json.dumps(QUICK if a.quick else FULL))
    # The goals keep their sizes: their targets are set at those.
    for section, s in sizes.items():
        for k, v in (("n", a.n), ("trees", a.trees), ("seeds", a.seeds)):
            if v is not None and k in s and section != "goals":
                s[k] = v
    wanted = [m.strip() for m in a.methods.split(",") if m.strip()]
    methods = []
    for m in wanted:
        if available(m):
            methods.append(m)
        else:
            print(f"skipping {LABEL[m]}: `{IMPORT[m]}` fails in this venv", flush=True)
    designs = [d.strip() for d in a.designs.split(",") if d.strip()]

    done = {}
    if a.resume:
        with open(a.resume) as f:
            for r in json.load(f)["records"]:
                if "error" not in r["result"]:
                    done[key(r["task"])] = r
    out = (
        a.out
        or a.resume
        or os.path.join(
            ROOT, "build", "bench-causal", time.strftime("results-%Y%m%d-%H%M%S.json", time.gmtime())
        )
    )
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    # The goals reuse the speed section's fits: each task runs once.
    todo = list(
        {key(t): t for section in sections for t in tasks_for(section, sizes, methods, designs)}.values()
    )
    # Every finished record of the resumed file stays in it; only the rest run.
    wanted_keys = {key(t) for t in todo}
    kept = [dict(r, reused=r.get("reused") or a.resume) for k, r in done.items() if k not in wanted_keys]
    kept += [
        dict(done[key(t)], reused=done[key(t)].get("reused") or a.resume) for t in todo if key(t) in done
    ]
    todo = [t for t in todo if key(t) not in done]
    doc = {"machine": machine(), "quick": a.quick, "sizes": sizes, "records": kept}
    save(doc, out)
    print(f"results: {out}", flush=True)
    for task in todo:
        section = task["section"]
        desc = " ".join(f"{x}={task[x]}" for x in task if x != "section")
        print(f"[{time.strftime('%H:%M:%S')}] {section}: {desc}", flush=True)
        res = run_child(task, a.timeout)
        doc["records"].append({"task": task, "result": res, "measured": now()})
        if "error" in res:
            print(f"    error: {res['error']}", flush=True)
        else:
            brief = {k2: round(v, 4) for k2, v in res.items() if isinstance(v, float)}
            print(f"    {brief}", flush=True)
        save(doc, out)
    save(doc, out)
    print_tables(doc)
    print(f"\nresults: {out}")


if __name__ == "__main__":
    main()
