#include "quorvantis/report/html.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <span>

#include "quorvantis/base/siphash.hpp"

namespace quorvantis::report {
namespace {

enum class Slot { none, id, json, cdn, title };

// One output line: indentation, text, an optional inserted value and the
// text after it.
struct Line {
    int indent;
    std::string_view head;
    Slot slot = Slot::none;
    std::string_view tail = {};
};

constexpr Line kFragment[] = {
    {0, ""},
    {0, "<div id=\"", Slot::id,
     "\" style=\"width: 100%; height: 500px; min-height: 400px; background: #1a1a2e; border-radius: 8px; padding: "
     "10px;\"></div>"},
    {0, "<script>"},
    {0, "(function() {"},
    {4, "const render = () => {"},
    {8, "const chartDom = document.getElementById('", Slot::id, "');"},
    {8, "if (!chartDom) return;"},
    {8, ""},
    {8, "// Ensure ECharts is loaded"},
    {8, "if (typeof echarts === 'undefined') {"},
    {12, "if (!window._echartsLoading) {"},
    {16, "window._echartsLoading = true;"},
    {16, "const script = document.createElement('script');"},
    {16, "script.src = 'https://", Slot::cdn, "/npm/echarts@5.4.3/dist/echarts.min.js';"},
    {16, "script.onload = () => {"},
    {20, "window._echartsLoaded = true;"},
    {20, "document.dispatchEvent(new Event('echarts-ready'));"},
    {16, "};"},
    {16, "document.head.appendChild(script);"},
    {12, "}"},
    {12, "document.addEventListener('echarts-ready', render);"},
    {12, "return;"},
    {8, "}"},
    {0, ""},
    {8, "const rawData = ", Slot::json, ";"},
    {8, "const chart = echarts.init(chartDom, 'dark');"},
    {8, ""},
    {8, "let option = {};"},
    {8, "if (rawData.visual_type === 'causal_graph') {"},
    {12, "option = {"},
    {16, "title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },"},
    {16, "tooltip: {},"},
    {16, "series: [{"},
    {20, "type: 'graph', layout: 'force',"},
    {20, "symbolSize: 40, roam: true, label: { show: true, fontSize: 10 },"},
    {20, "edgeSymbol: ['none', 'arrow'],"},
    {20, "data: rawData.data.nodes.map(n => ({"},
    {24, "name: n.label,"},
    {24, "itemStyle: { color: n.role === 'treatment' ? '#ff7043' : (n.role === 'outcome' ? '#66bb6a' : '#4fc3f7') }"},
    {20, "})),"},
    {20, "links: rawData.data.links,"},
    {20, "force: { repulsion: 300, edgeLength: 100 }"},
    {16, "}]"},
    {12, "};"},
    {8, "} else if (rawData.visual_type === 'effect_dist') {"},
    {12, "option = {"},
    {16, "title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },"},
    {16, "xAxis: { type: 'category', data: rawData.data.bins, name: rawData.data.x_label },"},
    {16, "yAxis: { type: 'value', name: rawData.data.y_label },"},
    {16, "series: [{ data: rawData.data.counts, type: 'bar', itemStyle: { color: '#4fc3f7' } }]"},
    {12, "};"},
    {8, "} else if (rawData.visual_type === 'feature_importance') {"},
    {12, "option = {"},
    {16, "title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },"},
    {16, "yAxis: { type: 'category', data: rawData.data.labels },"},
    {16, "xAxis: { type: 'value' },"},
    {16, "series: [{ data: rawData.data.values, type: 'bar', itemStyle: { color: '#81c784' } }]"},
    {12, "};"},
    {8, "}"},
    {8, "chart.setOption(option);"},
    {8, ""},
    {8, "// Handle Resize"},
    {8, "window.addEventListener('resize', () => chart.resize());"},
    {4, "};"},
    {4, "render();"},
    {0, "})();"},
    {0, "</script>"},
};

constexpr Line kPage[] = {
    {0, ""},
    {0, "<!DOCTYPE html>"},
    {0, "<html>"},
    {0, "<head>"},
    {4, "<meta charset=\"UTF-8\">"},
    {4, "<title>Quorvantis Preview: ", Slot::title, "</title>"},
    {4, "<script src=\"https://", Slot::cdn, "/npm/echarts@5.4.3/dist/echarts.min.js\"></script>"},
    {4, "<style>"},
    {8, "body { font-family: sans-serif; background: #1a1a2e; color: #fff; margin: 0; padding: 20px; }"},
    {8, "#chart { width: 100%; height: 600px; }"},
    {8, "h1 { color: #4fc3f7; text-align: center; }"},
    {4, "</style>"},
    {0, "</head>"},
    {0, "<body>"},
    {4, "<h1>Quorvantis: ", Slot::title, "</h1>"},
    {4, "<div id=\"chart\"></div>"},
    {4, "<script>"},
    {8, "const rawData = ", Slot::json, ";"},
    {8, "const chart = echarts.init(document.getElementById('chart'), 'dark');"},
    {8, ""},
    {8, "let option = {};"},
    {8, "if (rawData.visual_type === 'causal_graph') {"},
    {12, "option = {"},
    {16, "title: { text: 'Causal structure', left: 'center' },"},
    {16, "tooltip: {},"},
    {16, "series: [{"},
    {20, "type: 'graph', layout: 'force',"},
    {20, "symbolSize: 50, roam: true, label: { show: true },"},
    {20, "edgeSymbol: ['none', 'arrow'],"},
    {20, "data: rawData.data.nodes.map(n => ({"},
    {24, "name: n.label,"},
    {24, "itemStyle: { color: n.role === 'treatment' ? '#ff7043' : (n.role === 'outcome' ? '#66bb6a' : '#4fc3f7') }"},
    {20, "})),"},
    {20, "links: rawData.data.links,"},
    {20, "force: { repulsion: 1000 }"},
    {16, "}]"},
    {12, "};"},
    {8, "} else if (rawData.visual_type === 'effect_dist') {"},
    {12, "option = {"},
    {16, "xAxis: { type: 'category', data: rawData.data.bins, name: rawData.data.x_label },"},
    {16, "yAxis: { type: 'value', name: rawData.data.y_label },"},
    {16, "series: [{ data: rawData.data.counts, type: 'bar', itemStyle: { color: '#4fc3f7' } }]"},
    {12, "};"},
    {8, "} else if (rawData.visual_type === 'feature_importance') {"},
    {12, "option = {"},
    {16, "yAxis: { type: 'category', data: rawData.data.labels },"},
    {16, "xAxis: { type: 'value' },"},
    {16, "series: [{ data: rawData.data.values, type: 'bar', itemStyle: { color: '#81c784' } }]"},
    {12, "};"},
    {8, "}"},
    {8, "chart.setOption(option);"},
    {4, "</script>"},
    {0, "</body>"},
    {0, "</html>"},
};
struct Values {
    std::string_view id, json, title;
};

std::string render(std::span<const Line> lines, const Values& values) {
    std::string out;
    out.reserve(4096 + values.json.size());
    for (const Line& line : lines) {
        out.append(static_cast<std::size_t>(line.indent), ' ');
        out += line.head;
        switch (line.slot) {
            case Slot::none:
                break;
            case Slot::id:
                out += values.id;
                break;
            case Slot::json:
                out += values.json;
                break;
            case Slot::cdn:
                out += kEchartsCdnHost;
                break;
            case Slot::title:
                out += values.title;
                break;
        }
        out += line.tail;
        out += '\n';
    }
    return out;
}

UniqueClock& process_clock() {
    static UniqueClock clock;
    return clock;
}

}  // namespace

ClockReading wall_clock_now() {
    using namespace std::chrono;
    const auto since_epoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    const auto whole = floor<seconds>(since_epoch);
    return {static_cast<std::int64_t>(whole.count()), static_cast<std::uint32_t>((since_epoch - whole).count())};
}

ClockReading UniqueClock::next(ClockReading now) {
    const std::lock_guard lock(mutex_);
    if (now <= last_) {
        now = last_;
        if (++now.nanoseconds == 1'000'000'000) {
            now.nanoseconds = 0;
            ++now.seconds;
        }
    }
    last_ = now;
    return now;
}

// "<" occurs in JSON only inside strings, where \u003c reads back the same.
std::string script_safe_json(std::string_view json) {
    std::string out;
    out.reserve(json.size());
    for (const char c : json) {
        if (c == '<') {
            out += "\\u003c";
        } else {
            out += c;
        }
    }
    return out;
}

std::string element_id(ClockReading at) {
    std::array<unsigned char, 12> message{};
    const auto seconds = static_cast<std::uint64_t>(at.seconds);
    for (int i = 0; i < 8; ++i) message[i] = static_cast<unsigned char>(seconds >> (8 * i));
    for (int i = 0; i < 4; ++i) {
        message[8 + i] = static_cast<unsigned char>(at.nanoseconds >> (8 * i));
    }
    char hex[16];
    const auto end = std::to_chars(hex, hex + sizeof hex, siphash13(message), 16).ptr;
    return "causal-plot-" + std::string(hex, end);
}

std::string next_element_id() {
    return element_id(process_clock().next(wall_clock_now()));
}

std::string render_fenced_block(std::string_view json) {
    std::string out = "```json:causal-plot\n";
    out += json;
    out += "\n```";
    return out;
}

std::string render_html_fragment(const VisualOutput& visual, ClockReading at) {
    const std::string json = script_safe_json(visual.to_json());
    const std::string id = element_id(at);
    return render(kFragment, {id, json, {}});
}

std::string render_html_fragment(const VisualOutput& visual) {
    return render_html_fragment(visual, process_clock().next(wall_clock_now()));
}

std::string render_html_page(std::string_view title, std::string_view json) {
    const std::string safe = script_safe_json(json);
    return render(kPage, {{}, safe, title});
}

std::string render_html_page(const VisualOutput& visual) {
    return render_html_page(visual.title, visual.to_json());
}

}  // namespace quorvantis::report
