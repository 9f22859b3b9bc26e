// The fixed-layout text report of an InferenceResult.
#include <string>

#include "classes.hpp"
#include "quorvantis/format.hpp"
#include "results.hpp"

namespace quorvantis::py {

std::string summary_text(PyObject* result) {
    const ResultData& r = data_of<ResultData>(result);
    const Py_ssize_t observations = PyObject_Length(r.predictions.get());
    if (observations < 0) PyErr_Clear();  // a 1-D array always has a length

    const char* rule = "+----------------------------+----------------+\n";
    std::string out;
    out += rule;
    out += "| Metric                     | Value          |\n";
    out += rule;
    out += "| Average Treatment Effect   | " + pad_left(format_fixed4(r.mean_effect), 14) + " |\n";
    out += "| Number of Observations     | " +
           pad_left(std::to_string(observations < 0 ? 0 : observations), 14) + " |\n";
    out += rule;
    out += "\n[Feature Importance]\n";
    const auto& importance = r.feature_importance;
    for (std::size_t i = 0; i < importance.size(); ++i) {
        if (!r.feature_names) {
            out += "Feature " + pad_right(std::to_string(i), 12);
        } else {
            const auto& names = *r.feature_names;
            out += pad_right(i < names.size() ? names[i] : "Feature " + std::to_string(i), 20);
        }
        out += ": " + format_fixed4(importance[i]) + "\n";
    }
    out += "\n[Interpretation]\n";
    if (r.mean_effect > 0) {
        out += "The treatment has a POSITIVE average effect of " + format_fixed4(r.mean_effect) + ".\n";
    } else if (r.mean_effect < 0) {
        out += "The treatment has a NEGATIVE average effect of " + format_fixed4(r.mean_effect) + ".\n";
    } else {
        out += "The treatment has NO average effect on the outcome.\n";
    }
    return out;
}

}  // namespace quorvantis::py
