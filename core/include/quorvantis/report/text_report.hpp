// The fixed-layout text report of an effect estimate.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvantis::report {

std::string summary_report(double mean_effect, std::size_t observations, std::span<const double> importances,
                           const std::optional<std::vector<std::string>>& names);

// The same report as an HTML table, for notebooks; names are HTML-escaped.
std::string summary_report_html(double mean_effect, std::size_t observations, std::span<const double> importances,
                                const std::optional<std::vector<std::string>>& names);

}  // namespace quorvantis::report
