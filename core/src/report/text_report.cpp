#include "quorvantis/report/text_report.hpp"

#include "quorvantis/base/format.hpp"

namespace quorvantis::report {
namespace {

// The label of importance i, unpadded: a name, or "Feature i" past the names.
std::string feature_label(std::size_t i, const std::optional<std::vector<std::string>>& names) {
    if (names && i < names->size()) return (*names)[i];
    return "Feature " + std::to_string(i);
}

std::string interpretation(double mean_effect) {
    if (mean_effect > 0) {
        return "The treatment has a POSITIVE average effect of " + format_fixed4(mean_effect) + ".";
    }
    if (mean_effect < 0) {
        return "The treatment has a NEGATIVE average effect of " + format_fixed4(mean_effect) + ".";
    }
    return "The treatment has NO average effect on the outcome.";
}

std::string html_escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string summary_report(double mean_effect, std::size_t observations, std::span<const double> importances,
                           const std::optional<std::vector<std::string>>& names) {
    const char* rule = "+----------------------------+----------------+\n";
    std::string out;
    out += rule;
    out += "| Metric                     | Value          |\n";
    out += rule;
    out += "| Average Treatment Effect   | " + pad_left(format_fixed4(mean_effect), 14) + " |\n";
    out += "| Number of Observations     | " + pad_left(std::to_string(observations), 14) + " |\n";
    out += rule;
    out += "\n[Feature Importance]\n";
    for (std::size_t i = 0; i < importances.size(); ++i) {
        if (!names) {
            out += "Feature " + pad_right(std::to_string(i), 12);
        } else {
            out += pad_right(feature_label(i, names), 20);
        }
        out += ": " + format_fixed4(importances[i]) + "\n";
    }
    out += "\n[Interpretation]\n" + interpretation(mean_effect) + "\n";
    return out;
}

std::string summary_report_html(double mean_effect, std::size_t observations, std::span<const double> importances,
                                const std::optional<std::vector<std::string>>& names) {
    std::string out = "<table class=\"quorvantis-summary\">\n";
    out += "<thead><tr><th>Metric</th><th>Value</th></tr></thead>\n<tbody>\n";
    out += "<tr><td>Average Treatment Effect</td><td>" + format_fixed4(mean_effect) + "</td></tr>\n";
    out += "<tr><td>Number of Observations</td><td>" + std::to_string(observations) + "</td></tr>\n";
    out += "</tbody>\n</table>\n";
    out += "<table class=\"quorvantis-importance\">\n";
    out += "<thead><tr><th>Feature</th><th>Importance</th></tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < importances.size(); ++i) {
        out += "<tr><td>" + html_escaped(feature_label(i, names)) + "</td><td>" + format_fixed4(importances[i]) +
               "</td></tr>\n";
    }
    out += "</tbody>\n</table>\n";
    out += "<p>" + interpretation(mean_effect) + "</p>\n";
    return out;
}

}  // namespace quorvantis::report
