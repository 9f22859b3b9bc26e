#include "quorvantis/report/html.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quorvantis/base/siphash.hpp"

namespace quorvantis {
namespace fixed {}
namespace report {}
using namespace fixed;
using namespace report;
namespace {

// Expected values from CPython 3.11 with PYTHONHASHSEED=0 (SipHash-1-3, zero key).
TEST(SipHash13, MatchesReferenceVectors) {
    std::string long_input;
    for (int i = 0; i < 300; ++i) long_input += static_cast<char>(i & 0xff);
    const struct {
        std::string message;
        std::uint64_t hash;
    } cases[] = {
        {"a", 4644417185603328019ULL},
        {"abcdefg", 7904145750247929094ULL},
        {"abcdefgh", 4574395652268504554ULL},
        {"abcdefghijkl", 9450612872170530241ULL},
        {"abcdefghijklmno", 2293029479765367930ULL},
        {"abcdefghijklmnop", 10733781318231302930ULL},
        {"The quick brown fox jumps over the lazy dog", 10229494255719302430ULL},
        {long_input, 5349969786580900532ULL},  // length wraps modulo 256
    };
    for (const auto& c : cases) {
        EXPECT_EQ(siphash13(c.message), c.hash) << "length " << c.message.size();
    }
}

TEST(ElementId, HashesSecondsThenNanosecondsLittleEndian) {
    const struct {
        ClockReading at;
        const char* id;
    } cases[] = {
        {{1700000000, 123456789}, "causal-plot-67659ba0b6f53100"},
        {{1700000000, 123456790}, "causal-plot-2de0af205f754ff7"},
        {{0, 0}, "causal-plot-21ce683a865794df"},
        {{-1, 999999999}, "causal-plot-ab2f65b07aaf37bb"},
    };
    for (const auto& c : cases) EXPECT_EQ(element_id(c.at), c.id);
}

TEST(UniqueClock, NeverRepeatsOrGoesBack) {
    UniqueClock clock;
    const struct {
        ClockReading now, expected;
    } steps[] = {
        {{5, 10}, {5, 10}},
        {{5, 10}, {5, 11}},  // same reading
        {{5, 3}, {5, 12}},   // clock stepped back
        {{5, 999999999}, {5, 999999999}},
        {{5, 0}, {6, 0}},  // carry into the seconds
        {{7, 0}, {7, 0}},
    };
    for (const auto& s : steps) EXPECT_EQ(clock.next(s.now), s.expected);
}

TEST(UniqueClock, IdsAreDistinctAcrossThreads) {
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kPerThread; ++i) ids[t].push_back(next_element_id());
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (const auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), std::size_t{kThreads * kPerThread});
}

TEST(FencedBlock, WrapsJsonWithoutTrailingLineFeed) {
    EXPECT_EQ(render_fenced_block("{\n  \"a\": 1\n}"), "```json:causal-plot\n{\n  \"a\": 1\n}\n```");
}

const std::vector<std::string> kFragmentLines = {
    "",
    "<div id=\"causal-plot-67659ba0b6f53100\" style=\"width: 100%; height: 500px; min-height: 400px; background: "
    "#1a1a2e; border-radius: 8px; padding: 10px;\"></div>",
    "<script>",
    "(function() {",
    "    const render = () => {",
    "        const chartDom = document.getElementById('causal-plot-67659ba0b6f53100');",
    "        if (!chartDom) return;",
    "        ",
    "        // Ensure ECharts is loaded",
    "        if (typeof echarts === 'undefined') {",
    "            if (!window._echartsLoading) {",
    "                window._echartsLoading = true;",
    "                const script = document.createElement('script');",
    "                script.src = 'https://cdn.jsdelivr.net/npm/echarts@5.4.3/dist/echarts.min.js';",
    "                script.onload = () => {",
    "                    window._echartsLoaded = true;",
    "                    document.dispatchEvent(new Event('echarts-ready'));",
    "                };",
    "                document.head.appendChild(script);",
    "            }",
    "            document.addEventListener('echarts-ready', render);",
    "            return;",
    "        }",
    "",
    "        const rawData = {",
    "  \"visual_type\": \"feature_importance\",",
    "  \"title\": \"Feature Importance Analysis\",",
    "  \"data\": {",
    "    \"labels\": [",
    "      \"a\\u003c/script>\"",
    "    ],",
    "    \"values\": [",
    "      0.5",
    "    ]",
    "  }",
    "};",
    "        const chart = echarts.init(chartDom, 'dark');",
    "        ",
    "        let option = {};",
    "        if (rawData.visual_type === 'causal_graph') {",
    "            option = {",
    "                title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },",
    "                tooltip: {},",
    "                series: [{",
    "                    type: 'graph', layout: 'force',",
    "                    symbolSize: 40, roam: true, label: { show: true, fontSize: 10 },",
    "                    edgeSymbol: ['none', 'arrow'],",
    "                    data: rawData.data.nodes.map(n => ({",
    "                        name: n.label,",
    "                        itemStyle: { color: n.role === 'treatment' ? '#ff7043' : (n.role === 'outcome' ? "
    "'#66bb6a' : '#4fc3f7') }",
    "                    })),",
    "                    links: rawData.data.links,",
    "                    force: { repulsion: 300, edgeLength: 100 }",
    "                }]",
    "            };",
    "        } else if (rawData.visual_type === 'effect_dist') {",
    "            option = {",
    "                title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },",
    "                xAxis: { type: 'category', data: rawData.data.bins, name: rawData.data.x_label },",
    "                yAxis: { type: 'value', name: rawData.data.y_label },",
    "                series: [{ data: rawData.data.counts, type: 'bar', itemStyle: { color: '#4fc3f7' } }]",
    "            };",
    "        } else if (rawData.visual_type === 'feature_importance') {",
    "            option = {",
    "                title: { text: rawData.title, left: 'center', textStyle: { color: '#4fc3f7' } },",
    "                yAxis: { type: 'category', data: rawData.data.labels },",
    "                xAxis: { type: 'value' },",
    "                series: [{ data: rawData.data.values, type: 'bar', itemStyle: { color: '#81c784' } }]",
    "            };",
    "        }",
    "        chart.setOption(option);",
    "        ",
    "        // Handle Resize",
    "        window.addEventListener('resize', () => chart.resize());",
    "    };",
    "    render();",
    "})();",
    "</script>",
};

const std::vector<std::string> kPageLines = {
    "",
    "<!DOCTYPE html>",
    "<html>",
    "<head>",
    "    <meta charset=\"UTF-8\">",
    "    <title>Quorvantis Preview: Feature Importance Analysis</title>",
    "    <script src=\"https://cdn.jsdelivr.net/npm/echarts@5.4.3/dist/echarts.min.js\"></script>",
    "    <style>",
    "        body { font-family: sans-serif; background: #1a1a2e; color: #fff; margin: 0; padding: 20px; }",
    "        #chart { width: 100%; height: 600px; }",
    "        h1 { color: #4fc3f7; text-align: center; }",
    "    </style>",
    "</head>",
    "<body>",
    "    <h1>Quorvantis: Feature Importance Analysis</h1>",
    "    <div id=\"chart\"></div>",
    "    <script>",
    "        const rawData = {",
    "  \"visual_type\": \"feature_importance\",",
    "  \"title\": \"Feature Importance Analysis\",",
    "  \"data\": {",
    "    \"labels\": [",
    "      \"a\\u003c/script>\"",
    "    ],",
    "    \"values\": [",
    "      0.5",
    "    ]",
    "  }",
    "};",
    "        const chart = echarts.init(document.getElementById('chart'), 'dark');",
    "        ",
    "        let option = {};",
    "        if (rawData.visual_type === 'causal_graph') {",
    "            option = {",
    "                title: { text: 'Causal structure', left: 'center' },",
    "                tooltip: {},",
    "                series: [{",
    "                    type: 'graph', layout: 'force',",
    "                    symbolSize: 50, roam: true, label: { show: true },",
    "                    edgeSymbol: ['none', 'arrow'],",
    "                    data: rawData.data.nodes.map(n => ({",
    "                        name: n.label,",
    "                        itemStyle: { color: n.role === 'treatment' ? '#ff7043' : (n.role === 'outcome' ? "
    "'#66bb6a' : '#4fc3f7') }",
    "                    })),",
    "                    links: rawData.data.links,",
    "                    force: { repulsion: 1000 }",
    "                }]",
    "            };",
    "        } else if (rawData.visual_type === 'effect_dist') {",
    "            option = {",
    "                xAxis: { type: 'category', data: rawData.data.bins, name: rawData.data.x_label },",
    "                yAxis: { type: 'value', name: rawData.data.y_label },",
    "                series: [{ data: rawData.data.counts, type: 'bar', itemStyle: { color: '#4fc3f7' } }]",
    "            };",
    "        } else if (rawData.visual_type === 'feature_importance') {",
    "            option = {",
    "                yAxis: { type: 'category', data: rawData.data.labels },",
    "                xAxis: { type: 'value' },",
    "                series: [{ data: rawData.data.values, type: 'bar', itemStyle: { color: '#81c784' } }]",
    "            };",
    "        }",
    "        chart.setOption(option);",
    "    </script>",
    "</body>",
    "</html>",
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    EXPECT_EQ(start, text.size()) << "text must end with a line feed";
    return lines;
}

void expect_lines(const std::string& text, const std::vector<std::string>& expected) {
    const auto lines = split_lines(text);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
}

// A label that would close the script element shows how "<" is neutralised.
VisualOutput script_closing_visual() {
    return VisualOutput::feature_importance({"a</script>"}, {0.5});
}

TEST(HtmlFragment, MatchesLayoutLineByLine) {
    expect_lines(render_html_fragment(script_closing_visual(), {1700000000, 123456789}), kFragmentLines);
}

TEST(HtmlPage, MatchesLayoutLineByLine) {
    expect_lines(render_html_page(script_closing_visual()), kPageLines);
}

TEST(HtmlFragment, ConsecutiveFragmentsGetDistinctIds) {
    const auto visual = script_closing_visual();
    EXPECT_NE(split_lines(render_html_fragment(visual))[1], split_lines(render_html_fragment(visual))[1]);
}

}  // namespace
}  // namespace quorvantis
