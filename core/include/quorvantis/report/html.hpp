// Text renderings of a visual: the fenced block, the HTML fragment for
// notebooks and the complete HTML page.
#pragma once

#include <compare>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "quorvantis/report/visual.hpp"

namespace quorvantis::report {

inline constexpr std::string_view kEchartsCdnHost = "cdn.jsdelivr.net";
inline constexpr std::string_view kEchartsPath = "/npm/echarts@5.4.3/dist/echarts.min.js";

// Wall-clock time: whole seconds since the Unix epoch, nanoseconds within.
struct ClockReading {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    friend auto operator<=>(const ClockReading&, const ClockReading&) = default;
};

ClockReading wall_clock_now();

// Hands out strictly increasing readings: a reading not later than the
// previous one handed out is replaced by that one plus a nanosecond.
class UniqueClock {
public:
    ClockReading next(ClockReading now);

private:
    std::mutex mutex_;
    ClockReading last_{INT64_MIN, 0};
};

// "causal-plot-" and the SipHash-1-3 (zero key) of the reading's seconds as
// 8 little-endian bytes and nanoseconds as 4, in lower-case hex.
std::string element_id(ClockReading at);

// Element id from the wall clock, unique within the process.
std::string next_element_id();

// The JSON with every "<" written as \u003c, so that no text in it can end
// a <script> element; it reads back as the same JSON.
std::string script_safe_json(std::string_view json);

// "```json:causal-plot", the JSON, "```" on three lines.
std::string render_fenced_block(std::string_view json);

// Chart container and self-loading script. The JSON is embedded with every
// "<" written as \u003c so no text in it can end the script element.
std::string render_html_fragment(const VisualOutput& visual);
std::string render_html_fragment(const VisualOutput& visual, ClockReading at);

// A complete document with the chart; the JSON is embedded as above.
std::string render_html_page(std::string_view title, std::string_view json);
std::string render_html_page(const VisualOutput& visual);

}  // namespace quorvantis::report
