#include "quorvantis/report.hpp"

#include "quorvantis/format.hpp"

namespace quorvantis {

std::string summary_report(double mean_effect, std::size_t observations,
                           std::span<const double> importances,
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
            out += pad_right(i < names->size() ? (*names)[i] : "Feature " + std::to_string(i), 20);
        }
        out += ": " + format_fixed4(importances[i]) + "\n";
    }
    out += "\n[Interpretation]\n";
    if (mean_effect > 0) {
        out += "The treatment has a POSITIVE average effect of " + format_fixed4(mean_effect) + ".\n";
    } else if (mean_effect < 0) {
        out += "The treatment has a NEGATIVE average effect of " + format_fixed4(mean_effect) + ".\n";
    } else {
        out += "The treatment has NO average effect on the outcome.\n";
    }
    return out;
}

}  // namespace quorvantis
