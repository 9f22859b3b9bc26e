"""HTML: the report's tables, a self-loading chart fragment, and whole pages.

JSON goes into scripts through the engine's escaper, the one the fixed
module's charts use; ids and the library's address come from there too.
"""

from __future__ import annotations

import html
import json

import _quorvantis_engine as _engine

from .tables import Section

OFFLINE = (
    "Chart \u201c{title}\u201d: drawn with ECharts 5.4.3, loaded from cdn.jsdelivr.net; "
    "without network access it is not shown (the tables hold the numbers)."
)
FAILED = (
    "Chart \u201c{title}\u201d: ECharts 5.4.3 could not be loaded from cdn.jsdelivr.net; "
    "the tables hold the numbers."
)

STYLE = """
.qv-report { font-family: system-ui, sans-serif; color: #222; max-width: 1100px; }
.qv-report h2 { font-size: 1.3em; margin: 0.4em 0; }
.qv-report h3 { font-size: 1.05em; margin: 1.1em 0 0.3em; }
.qv-report table { border-collapse: collapse; font-size: 0.9em; }
.qv-report th, .qv-report td { padding: 2px 10px; border-bottom: 1px solid #ddd; text-align: right; }
.qv-report th:first-child, .qv-report td:first-child { text-align: left; }
.qv-report p { margin: 0.3em 0; font-size: 0.9em; }
.qv-report .qv-nolib { padding: 10px; border: 1px dashed #b36; color: #b36; }
""".strip()

# Draws one payload; each kind maps its data to an ECharts option.
_DRAW = r"""
const fmt = v => {
    if (v === null || v === undefined || !isFinite(v)) return '';
    if (Math.abs(v) >= 1000) return Math.round(v).toLocaleString('en-US');
    return String(Number(v.toPrecision(4)));
};
// Tooltips are HTML: names from the data go in as text.
const esc = s => String(s).replace(/[&<>"']/g, c => '&#' + c.charCodeAt(0) + ';');
const d = payload.data;
const axis = (name, extra) => Object.assign({
    type: 'value', name: name, nameLocation: 'middle', nameGap: 32, scale: true,
    axisLabel: { formatter: fmt }, nameTextStyle: { fontSize: 13 }, axisLine: { onZero: false }
}, extra || {});
const band = (points, name) => ({
    type: 'custom', name: name, silent: true, z: 1, color: 'rgba(84, 112, 198, 0.35)',
    data: points,
    renderItem: (params, api) => params.dataIndex !== 0 ? null : {
        type: 'polygon',
        shape: { points: points.map(p => api.coord(p)) },
        style: { fill: 'rgba(84, 112, 198, 0.22)' }
    },
    encode: { x: 0, y: 1 }
});
const outline = (xs, lower, upper) => {
    const pts = [];
    xs.forEach((x, i) => { if (lower[i] !== null) pts.push([x, lower[i]]); });
    for (let i = xs.length - 1; i >= 0; i--) if (upper[i] !== null) pts.push([xs[i], upper[i]]);
    return pts;
};
const pairs = (xs, ys) => xs.map((x, i) => [x, ys[i]]);
const reference = { lineStyle: { type: 'dashed', color: '#888', width: 1 }, color: '#888', silent: true };
const line = (name, data, extra) => Object.assign({
    type: 'line', name: name, data: data, showSymbol: false, lineStyle: { width: 2 }, z: 3
}, extra || {});
let option = {
    animation: false,
    title: { text: payload.title, left: 'center', textStyle: { fontSize: 15 } },
    tooltip: { trigger: 'axis', valueFormatter: fmt },
    legend: { bottom: 0 },
    grid: { left: 30, right: 40, top: 50, bottom: 70, containLabel: true }
};
const kind = payload.visual_type;
if (kind === 'effect_dist') {
    const edges = d.edges, top = Math.max(1, ...d.counts);
    Object.assign(option, {
        tooltip: { trigger: 'item' },
        xAxis: axis(d.x_label),
        yAxis: axis(d.y_label, { nameGap: 48, scale: false }),
        series: [{
            type: 'custom', name: 'rows',
            data: d.counts.map((c, i) => [edges[i], edges[i + 1], c]),
            encode: { x: [0, 1], y: 2, tooltip: [0, 1, 2] },
            renderItem: (params, api) => {
                const a = api.coord([api.value(0), api.value(2)]), b = api.coord([api.value(1), 0]);
                const width = Math.max(b[0] - a[0] - 1, 1);
                return { type: 'rect', shape: { x: a[0], y: a[1], width: width, height: b[1] - a[1] },
                         style: { fill: '#5470c6' } };
            }
        }, line(d.average_label, [[d.average, 0], [d.average, top]],
                { lineStyle: { type: 'dashed', color: '#d14', width: 2 }, color: '#d14' })]
    });
} else if (kind === 'effects') {
    Object.assign(option, {
        xAxis: axis(d.x_label, { min: 0, max: 100, scale: false }),
        yAxis: axis(d.y_label, { nameGap: 48 }),
        series: [band(outline(d.rank, d.lower, d.upper), d.band_label),
                 line('effect', pairs(d.rank, d.effect))]
    });
} else if (kind === 'importance') {
    Object.assign(option, {
        tooltip: { trigger: 'axis', valueFormatter: v => (100 * v).toFixed(1) + '%' },
        legend: { show: false },
        yAxis: { type: 'category', data: d.labels.slice().reverse(),
                 axisLabel: { width: 180, overflow: 'truncate' } },
        xAxis: axis(d.x_label, { scale: false, axisLabel: { formatter: v => Math.round(100 * v) + '%' } }),
        series: [{ type: 'bar', name: 'importance', data: d.values.slice().reverse(),
                   itemStyle: { color: '#5470c6' } }]
    });
} else if (kind === 'toc') {
    Object.assign(option, {
        xAxis: axis(d.x_label, { min: 0, max: 100, scale: false }),
        yAxis: axis(d.y_label, { nameGap: 48 }),
        series: [band(outline(d.q, d.lower, d.upper), d.band_label), line('TOC', pairs(d.q, d.toc)),
                 line('no gain', [[0, 0], [100, 0]], reference)]
    });
} else if (kind === 'blp') {
    const n = d.labels.length;
    Object.assign(option, {
        tooltip: { trigger: 'item', formatter: p => {
            const i = p.dataIndex;
            const bounds = ' [' + fmt(d.lower[i]) + ', ' + fmt(d.upper[i]) + ']';
            return esc(d.labels[i]) + ': ' + fmt(d.estimate[i]) + bounds + ' per s.d. (' + fmt(d.sd[i])
                + ')<br>' + fmt(d.per_unit[i]) + ' per unit';
        } },
        legend: { show: false },
        yAxis: { type: 'category', data: d.labels, axisLine: { onZero: false },
                 axisLabel: { width: 180, overflow: 'truncate' } },
        xAxis: axis(d.x_label),
        series: [{
            type: 'custom', name: 'coefficient',
            data: d.labels.map((_, i) => [d.lower[i], d.upper[i], d.estimate[i], i]),
            encode: { x: [0, 1, 2], y: 3 },
            renderItem: (params, api) => {
                const row = api.value(3);
                const a = api.coord([api.value(0), row]), b = api.coord([api.value(1), row]);
                const m = api.coord([api.value(2), row]);
                return { type: 'group', children: [
                    { type: 'line', shape: { x1: a[0], y1: a[1], x2: b[0], y2: b[1] },
                      style: { stroke: '#5470c6', lineWidth: 2 } },
                    { type: 'circle', shape: { cx: m[0], cy: m[1], r: 4 }, style: { fill: '#d14' } }
                ] };
            }
        }, line('zero', n ? [[0, 0], [0, n - 1]] : [], reference)]
    });
} else if (kind === 'policy_tree') {
    // Boxes of words, coloured by action, as wide as the layout leaves room for (longer
    // lines wrap); more than four leaves lie sideways on a taller chart.
    const byId = new Map(d.nodes.map(n => [n.id, n]));
    const parent = new Map();
    d.nodes.forEach(n => {
        if (n.kind === 'split') { parent.set(n.left, n.id); parent.set(n.right, n.id); }
    });
    const leaves = d.nodes.filter(n => n.kind === 'leaf');
    // ECharts spaces neighbouring leaves one unit apart under one parent, two otherwise, and
    // keeps half the outermost pair's spacing free at either end.
    let span = 0;
    const order = [];
    const walk = n => n.kind === 'leaf'
        ? order.push(n.id) : [n.left, n.right].forEach(i => walk(byId.get(i)));
    walk(byId.get(d.nodes[0].id));
    const gap = (a, b) => parent.get(a) === parent.get(b) ? 1 : 2;
    for (let i = 1; i < order.length; i++) span += gap(order[i], order[i - 1]);
    const units = span + (order.length > 1 ? gap(order[0], order[order.length - 1]) : 2);
    const sideways = leaves.length > 4;
    const width = chartDom.clientWidth || 1000;
    let boxWidth, margin;
    if (sideways) {  // leaves one above another; the levels fill the width, root at the left edge
        chartDom.style.height = Math.min(4000, Math.max(440, 104 * units + 140)) + 'px';
        const depth = Math.max(d.depth, 1);
        boxWidth = Math.max(90, Math.min(200, ((width - 20) / depth - 30) / (1 + 1 / depth)));
        margin = boxWidth / 2 + 18;
    } else {
        margin = 20;
        boxWidth = Math.max(90, Math.min(200, (width - 2 * margin) / units - 28));
    }
    const palette = ['#8c8c8c', '#2e8b57', '#5470c6', '#d48806', '#9a60b4', '#c23531'];
    const tint = ['#f2f2f2', '#e8f5ed', '#ebeffa', '#fbf3e4', '#f3edf6', '#f8e8e8'];
    const build = n => {
        const leaf = n.kind === 'leaf', a = leaf ? n.action_index % palette.length : -1;
        return {
            name: n.label.join('\n'),
            label: { borderColor: leaf ? palette[a] : '#aaa', borderWidth: leaf ? 2 : 1,
                     backgroundColor: leaf ? tint[a] : '#fff' },
            itemStyle: { color: leaf ? palette[a] : '#aaa', borderColor: leaf ? palette[a] : '#aaa' },
            children: leaf ? [] : [build(byId.get(n.left)), build(byId.get(n.right))]
        };
    };
    const box = { position: 'inside', fontSize: 12, lineHeight: 16, color: '#222', align: 'center',
                  verticalAlign: 'middle', borderRadius: 4, padding: [5, 8], width: boxWidth,
                  overflow: 'break' };
    Object.assign(option, {
        title: Object.assign(option.title,
                             { subtext: d.subtitle, subtextStyle: { fontSize: 12, color: '#555' } }),
        tooltip: { show: false },
        legend: { show: false },
        series: [{
            type: 'tree', data: [build(byId.get(d.nodes[0].id))], orient: sideways ? 'LR' : 'TB',
            top: sideways ? 90 : 100, bottom: sideways ? 50 : 60, left: margin, right: margin,
            symbol: 'circle', symbolSize: 6, expandAndCollapse: false,
            initialTreeDepth: -1, roam: false, label: box, leaves: { label: box },
            lineStyle: { color: '#bbb', width: 1.5, curveness: 0.4 }
        }]
    });
} else if (kind === 'dependence') {
    Object.assign(option, {
        xAxis: axis(d.x_label),
        yAxis: axis(d.y_label, { nameGap: 48 }),
        series: [{ type: 'scatter', name: 'rows', data: pairs(d.x, d.effect), symbolSize: 3,
                   itemStyle: { color: 'rgba(120, 120, 120, 0.35)' }, z: 2 },
                 band(outline(d.bin_x, d.bin_lower, d.bin_upper), d.band_label),
                 line('mean effect per bin', pairs(d.bin_x, d.bin_effect))]
    });
}
"""

_FRAGMENT = """
<div class="qv-chart" style="margin: 28px 0;">
<div id="{id}" data-qv-chart="{kind}" style="width: 100%; height: 440px; display: none;"></div>
<p class="qv-nolib" style="padding: 10px; border: 1px dashed #b36; color: #b36;">{offline}</p>
</div>
<script>
(function() {{
    const chartDom = document.getElementById('{id}');
    if (!chartDom) return;
    const message = chartDom.nextElementSibling;
    const payload = {json};
    let drawn = false;
    const render = () => {{
        if (drawn || typeof echarts === 'undefined') return;
        drawn = true;
        message.style.display = 'none';
        chartDom.style.display = 'block';
{draw}
        const chart = echarts.init(chartDom);
        chart.setOption(option);
        window.addEventListener('resize', () => chart.resize());
    }};
    if (typeof echarts !== 'undefined') {{ render(); return; }}
    document.addEventListener('echarts-ready', render);
    document.addEventListener('echarts-failed', () => {{ if (!drawn) message.textContent = {failed}; }});
    if (!window._echartsLoading) {{
        window._echartsLoading = true;
        const script = document.createElement('script');
        script.src = '{url}';
        script.onload = () => {{
            window._echartsLoaded = true;
            document.dispatchEvent(new Event('echarts-ready'));
        }};
        script.onerror = () => {{
            window._echartsLoading = false;
            document.dispatchEvent(new Event('echarts-failed'));
        }};
        document.head.appendChild(script);
    }}
}})();
</script>
"""


def payload_json(payload: dict) -> str:
    return json.dumps(payload, ensure_ascii=False, allow_nan=False)


def fragment(payload: dict) -> str:
    """A chart that loads ECharts itself, with a unique id and a visible line while it cannot."""
    draw = "\n".join("        " + line if line else "" for line in _DRAW.strip("\n").split("\n"))
    return _FRAGMENT.format(
        id=_engine.element_id(),
        kind=html.escape(payload["visual_type"]),
        json=_engine.script_json(payload_json(payload)),
        draw=draw,
        offline=html.escape(OFFLINE.format(title=payload["title"])),
        failed=_engine.script_json(json.dumps(FAILED.format(title=payload["title"]), ensure_ascii=False)),
        url=_engine.echarts_url(),
    )


def tables(sections: list[Section]) -> str:
    out = []
    for s in sections:
        out.append(f"<h3>{html.escape(s.title)}</h3>")
        if s.header or s.rows:
            out.append("<table>")
            if s.header:
                out.append("<tr>" + "".join(f"<th>{html.escape(c)}</th>" for c in s.header) + "</tr>")
            for row in s.rows:
                out.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>")
            out.append("</table>")
        out += [f"<p>{html.escape(line)}</p>" for line in s.lines]
    return "\n".join(out)


def body(sections: list[Section], payloads: list[dict]) -> str:
    """The report as one block: its tables, then its charts."""
    charts = "".join(fragment(p) for p in payloads)
    return (
        f'<div class="qv-report">\n<style>\n{STYLE}\n</style>\n<h2>CausalForest report</h2>\n'
        f"{tables(sections)}\n{charts}</div>\n"
    )


def page(title: str, sections: list[Section], payloads: list[dict]) -> str:
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="UTF-8">\n'
        f"<title>{html.escape(title)}</title>\n</head>\n<body>\n{body(sections, payloads)}</body>\n</html>\n"
    )
