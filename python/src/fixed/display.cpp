#include "fixed/display.hpp"

#include <optional>
#include <string>

#include "common/arguments.hpp"
#include "common/call_guard.hpp"
#include "common/classes.hpp"
#include "common/console.hpp"
#include "common/exceptions.hpp"
#include "fixed/model.hpp"
#include "quorvantis/report/html.hpp"
#include "quorvantis/report/text_report.hpp"
#include "quorvantis/report/model_visuals.hpp"
#include "fixed/results.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;
namespace {

// Binds the single optional `plot_type` (or `plot`) text parameter.
bool plot_type_of(PyObject* args, PyObject* kwargs, const char* function, const char* name, const char* fallback,
                  std::string& out) {
    PyObject* a[1];
    if (!bind_arguments(args, kwargs, function, {name}, 0, a)) return false;
    out = fallback;
    return a[0] == nullptr || to_text(a[0], name, out);
}

// The model's visual: one in-sample prediction, retried once on failure.
std::optional<VisualOutput> model_visual_of(const ModelData& model, const std::string& plot_type) {
    ArrayArg features;
    if (!features.load_stored(model.features.get(), Stored::features)) return std::nullopt;
    CallGuard guard;
    guard.watch(features, "the model's training features");
    Result<InferenceResult> predicted = predict_with(model.method, features.matrix(), guard.interrupt());
    if (!predicted && !predicted.halted()) predicted = predict_with(model.method, features.matrix(), guard.interrupt());
    if (predicted.halted()) {
        guard.raise(predicted.halt());
        return std::nullopt;
    }
    if (!predicted) {
        raise_error(predicted.take_error());  // as estimate_effects reports it
        return std::nullopt;
    }
    return model_visual(plot_type, predicted.value(), model.feature_names);
}

std::optional<VisualOutput> result_visual_of(PyObject* self, const std::string& plot_type) {
    const ResultData& r = data_of<ResultData>(self);
    ArrayArg predictions;
    if (!predictions.load_stored(r.predictions.get(), Stored::predictions)) return std::nullopt;
    return result_visual(plot_type, predictions.vector(), r.feature_importance, r.feature_names);
}

PyObject* json_loads(const std::string& json) {
    PyRef module = PyRef::steal(PyImport_ImportModule("json"));
    if (!module) return nullptr;
    PyRef loads = PyRef::steal(PyObject_GetAttrString(module.get(), "loads"));
    PyRef text = utf8_to_str(json);
    if (!loads || !text) return nullptr;
    return PyObject_CallFunctionObjArgs(loads.get(), text.get(), nullptr);
}

PyObject* call(PyObject* callable, std::initializer_list<PyObject*> args) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SetItem(tuple.get(), i++, a);
    }
    return PyObject_Call(callable, tuple.get(), nullptr);
}

PyRef attr(const char* module_name, const char* name) {
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    return module ? PyRef::steal(PyObject_GetAttrString(module.get(), name)) : PyRef{};
}

// Writes the page to a new temporary file (UTF-8, descriptor closed), asks
// the browser to open it and prints where it is.
PyObject* render_preview(const VisualOutput& visual) {
    const std::string page = render_html_page(visual);
    PyRef mkstemp = attr("tempfile", "mkstemp");
    if (!mkstemp) return nullptr;
    PyRef suffix = utf8_to_str(".html");
    PyRef pair = PyRef::steal(suffix ? call(mkstemp.get(), {suffix.get()}) : nullptr);
    if (!pair) return nullptr;
    PyRef fd = PyRef::steal(PySequence_GetItem(pair.get(), 0));
    PyRef path = PyRef::steal(PySequence_GetItem(pair.get(), 1));
    if (!fd || !path) return nullptr;
    PyRef close_fd = attr("os", "close");
    if (!close_fd || !PyRef::steal(call(close_fd.get(), {fd.get()}))) return nullptr;
    std::string path_text;
    if (!PyUnicode_Check(path.get())) {
        PyErr_SetString(PyExc_TypeError, "tempfile.mkstemp returned a path that is not a str");
        return nullptr;
    }
    if (!to_text(path.get(), "path", path_text)) return nullptr;

    PyRef open = attr("builtins", "open");
    if (!open) return nullptr;
    PyRef mode = utf8_to_str("w");
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "encoding", "utf-8"));
    PyRef open_args = PyRef::steal(mode ? PyTuple_Pack(2, path.get(), mode.get()) : nullptr);
    if (!kwargs || !open_args) return nullptr;
    PyRef file = PyRef::steal(PyObject_Call(open.get(), open_args.get(), kwargs.get()));
    if (!file) return nullptr;
    PyRef page_text = utf8_to_str(page);
    if (!page_text) return nullptr;
    PyRef written = PyRef::steal(PyObject_CallMethod(file.get(), "write", "O", page_text.get()));
    // close must not run with write's exception pending, and that exception,
    // not one from close, is what the caller sees.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (!written) PyErr_Fetch(&type, &value, &traceback);
    PyRef closed = PyRef::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    if (!written) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (!closed) return nullptr;

    PyRef browser_open = attr("webbrowser", "open");
    PyRef abspath = attr("os.path", "abspath");
    if (!browser_open || !abspath) return nullptr;
    PyRef absolute = PyRef::steal(call(abspath.get(), {path.get()}));
    if (!absolute) return nullptr;
    if (!PyUnicode_Check(absolute.get())) {
        PyErr_SetString(PyExc_TypeError, "os.path.abspath returned a path that is not a str");
        return nullptr;
    }
    // pathlib percent-escapes what a file URL cannot hold as it stands.
    PyRef as_path = attr("pathlib", "PurePosixPath");
    PyRef pure = PyRef::steal(as_path ? call(as_path.get(), {absolute.get()}) : nullptr);
    PyRef url = PyRef::steal(pure ? PyObject_CallMethod(pure.get(), "as_uri", nullptr) : nullptr);
    if (!url) return nullptr;
    if (!PyRef::steal(call(browser_open.get(), {url.get()}))) return nullptr;
    if (!write_stdout("\n[Preview] Opening visualization in browser: " + path_text + "\n")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* print_line(const std::string& text) {
    if (!write_stdout(text + "\n")) return nullptr;
    Py_RETURN_NONE;
}

// Binds `plot_type` (default `fallback`), builds the visual with `build` and
// hands it to `body`: the shape of every visual method of both classes.
template <class Build, class Body>
PyObject* visual_call(PyObject* args, PyObject* kwargs, const char* function, const char* fallback, Build build,
                      Body body) {
    return guarded([&]() -> PyObject* {
        std::string plot_type;
        if (!plot_type_of(args, kwargs, function, "plot_type", fallback, plot_type)) return nullptr;
        std::optional<VisualOutput> visual = build(plot_type);
        return visual ? body(*visual) : nullptr;
    });
}

template <class Body>
PyObject* model_call(PyObject* self, PyObject* args, PyObject* kwargs, const char* function, Body body) {
    auto build = [self](const std::string& p) { return model_visual_of(data_of<ModelData>(self), p); };
    return visual_call(args, kwargs, function, "graph", build, body);
}

template <class Body>
PyObject* result_call(PyObject* self, PyObject* args, PyObject* kwargs, const char* function, Body body) {
    auto build = [self](const std::string& p) { return result_visual_of(self, p); };
    return visual_call(args, kwargs, function, "importance", build, body);
}

PyObject* fenced(const VisualOutput& v) {
    return utf8_to_str(render_fenced_block(v.to_json())).release();
}
PyObject* printed(const VisualOutput& v) {
    return print_line(render_fenced_block(v.to_json()));
}
PyObject* fragment(const VisualOutput& v) {
    return utf8_to_str(render_html_fragment(v)).release();
}
PyObject* as_dict(const VisualOutput& v) {
    return json_loads(v.to_json());
}

PyObject* model_print(PyObject* self, const char* plot_type) {
    return guarded([&]() -> PyObject* {
        std::optional<VisualOutput> visual = model_visual_of(data_of<ModelData>(self), plot_type);
        return visual ? printed(*visual) : nullptr;
    });
}

}  // namespace

PyObject* model_to_visual_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
    return model_call(self, args, kwargs, "to_visual_tag", fenced);
}
PyObject* model_show(PyObject* self, PyObject* args, PyObject* kwargs) {
    return model_call(self, args, kwargs, "show", printed);
}
PyObject* model_preview(PyObject* self, PyObject* args, PyObject* kwargs) {
    return model_call(self, args, kwargs, "preview", render_preview);
}
PyObject* model_to_html(PyObject* self, PyObject* args, PyObject* kwargs) {
    return model_call(self, args, kwargs, "to_html", fragment);
}
PyObject* model_plot_importance(PyObject* self, PyObject*) {
    return model_print(self, "importance");
}
PyObject* model_plot_effects(PyObject* self, PyObject*) {
    return model_print(self, "effect_dist");
}

PyObject* result_to_visual_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
    return result_call(self, args, kwargs, "to_visual_tag", fenced);
}
PyObject* result_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return result_call(self, args, kwargs, "to_dict", as_dict);
}
PyObject* result_show(PyObject* self, PyObject* args, PyObject* kwargs) {
    return result_call(self, args, kwargs, "show", printed);
}
PyObject* result_preview(PyObject* self, PyObject* args, PyObject* kwargs) {
    return result_call(self, args, kwargs, "preview", render_preview);
}
PyObject* result_to_html(PyObject* self, PyObject* args, PyObject* kwargs) {
    return result_call(self, args, kwargs, "to_html", fragment);
}

PyObject* result_repr_html(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::optional<VisualOutput> visual = result_visual_of(self, "importance");
        if (!visual) return nullptr;
        const ResultData& r = data_of<ResultData>(self);
        Py_ssize_t observations = PyObject_Length(r.predictions.get());
        if (observations < 0) return nullptr;
        return utf8_to_str(summary_report_html(r.mean_effect, static_cast<std::size_t>(observations),
                                               r.feature_importance, r.feature_names) +
                           render_html_fragment(*visual))
            .release();
    });
}

PyObject* plot_model(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_arguments(args, kwargs, "plot_model", {"model", "plot"}, 1, a)) return nullptr;
        PyObject* type = model_type();
        if (type == nullptr) return nullptr;
        if (!PyObject_TypeCheck(a[0], reinterpret_cast<PyTypeObject*>(type))) {
            raise_argument_error("model", "expected Model, got " + type_name(a[0]));
            return nullptr;
        }
        std::string plot = "graph";
        if (a[1] != nullptr && !to_text(a[1], "plot", plot)) return nullptr;
        // Works on a copy: the estimator and names are duplicated, the arrays shared.
        const ModelData& original = data_of<ModelData>(a[0]);
        ModelData copy{original.method, original.feature_names, original.features, original.treatment,
                       original.outcome};
        std::optional<VisualOutput> visual = model_visual_of(copy, plot);
        return visual ? as_dict(*visual) : nullptr;
    });
}

}  // namespace quorvantis::py
