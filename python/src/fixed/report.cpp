#include "common/classes.hpp"
#include "quorvantis/report/text_report.hpp"
#include "fixed/results.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;

std::string summary_text(PyObject* result) {
    const ResultData& r = data_of<ResultData>(result);
    Py_ssize_t observations = PyObject_Length(r.predictions.get());
    if (observations < 0) {  // cannot happen for the 1-D array a result owns
        PyErr_Clear();
        observations = 0;
    }
    return summary_report(r.mean_effect, static_cast<std::size_t>(observations), r.feature_importance, r.feature_names);
}

}  // namespace quorvantis::py
