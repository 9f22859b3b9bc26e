#include "fixed/pickling.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/exceptions.hpp"
#include "fixed/model.hpp"
#include "common/pyref.hpp"
#include "quorvantis/fixed/fixed_codec.hpp"
#include "fixed/results.hpp"

namespace quorvantis::fixed {}
namespace quorvantis::report {}

namespace quorvantis::py {
using namespace quorvantis::fixed;
using namespace quorvantis::report;
namespace {

constexpr long kStateVersion = 1;

PyObject* reduce_to(const char* kind, PyObject* state /* stolen */) {
    PyRef owned = PyRef::steal(state);
    PyObject* restore = restore_function();
    if (!owned || restore == nullptr) return nullptr;
    return Py_BuildValue("(O(sO))", restore, kind, owned.get());
}

PyObject* names_tuple(const std::optional<std::vector<std::string>>& names) {
    if (!names) return Py_NewRef(Py_None);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names->size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < names->size(); ++i) {
        PyRef text = utf8_to_str((*names)[i]);
        if (!text) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text.release());
    }
    return tuple.release();
}

// ---- reading a state tuple ----

bool state_type_error(const char* kind, const char* field, const std::string& expected, PyObject* got) {
    const std::string message = std::string("_restore: ") + kind + " state item '" + field + "': expected " + expected +
                                ", got " + type_name(got);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// The state's items after checking its length and version.
bool unpack_state(const char* kind, PyObject* state, Py_ssize_t size, PyObject** items) {
    if (!PyTuple_Check(state)) return state_type_error(kind, "state", "tuple", state);
    if (PyTuple_Size(state) != size) {
        const std::string message = std::string("_restore: ") + kind + " state has " +
                                    std::to_string(PyTuple_Size(state)) + " items, expected " + std::to_string(size);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) items[i] = PyTuple_GetItem(state, i);
    if (!PyLong_CheckExact(items[0])) return state_type_error(kind, "version", "int", items[0]);
    int overflow = 0;
    const long version = PyLong_AsLongAndOverflow(items[0], &overflow);
    if (version != kStateVersion || overflow != 0) {
        const std::string message = std::string("_restore: unsupported ") + kind + " state version";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    }
    return true;
}

bool state_names(const char* kind, PyObject* obj, std::optional<std::vector<std::string>>& out) {
    if (obj != Py_None && !PyTuple_Check(obj)) return state_type_error(kind, "feature_names", "tuple or None", obj);
    return to_names(obj, "feature_names", out);
}

bool state_float(const char* kind, const char* field, PyObject* obj, double& out) {
    if (!PyFloat_Check(obj)) return state_type_error(kind, field, "float", obj);
    out = PyFloat_AsDouble(obj);
    return true;
}

PyObject* restore_model(PyObject* state) {
    PyObject* s[6];
    if (!unpack_state("Model", state, 6, s)) return nullptr;
    if (!PyBytes_Check(s[1])) {
        state_type_error("Model", "estimator", "bytes", s[1]);
        return nullptr;
    }
    auto data = std::make_unique<ModelData>();
    if (!state_names("Model", s[2], data->feature_names)) return nullptr;
    // The arrays only need to be arrays here: prediction and validation check
    // shapes against the estimator whenever they use them.
    ArrayArg features, treatment, outcome;
    if (!features.load(s[3], 2, "features") || !treatment.load(s[4], 1, "treatment") ||
        !outcome.load(s[5], 1, "outcome")) {
        return nullptr;
    }
    const auto* raw = reinterpret_cast<const unsigned char*>(PyBytes_AsString(s[1]));
    Decoded decoded = deserialize({raw, static_cast<std::size_t>(PyBytes_Size(s[1]))});
    if (!decoded.estimator) {
        PyErr_SetString(PyExc_ValueError, ("invalid serialised model: " + decoded.error).c_str());
        return nullptr;
    }
    data->method = std::move(*decoded.estimator);
    data->features = PyRef::borrow(s[3]);
    data->treatment = PyRef::borrow(s[4]);
    data->outcome = PyRef::borrow(s[5]);
    return new_instance(model_type(), std::move(data));
}

PyObject* restore_result(PyObject* state) {
    constexpr const char* kind = "InferenceResult";
    PyObject* s[6];
    if (!unpack_state(kind, state, 6, s)) return nullptr;
    ResultData data;
    if (!state_float(kind, "mean_effect", s[1], data.mean_effect)) return nullptr;
    ArrayArg predictions;
    if (!predictions.load(s[2], 1, "predictions")) return nullptr;
    if (!PyBytes_Check(s[3])) {
        state_type_error(kind, "confidence_intervals", "bytes", s[3]);
        return nullptr;
    }
    const std::size_t n = predictions.length();
    const auto size = static_cast<std::size_t>(PyBytes_Size(s[3]));
    if (size / 16 != n || size % 16 != 0) {
        const std::string message = "_restore: InferenceResult state has " + std::to_string(size) +
                                    " interval bytes for " + std::to_string(n) + " predictions";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return nullptr;
    }
    const auto* raw = reinterpret_cast<const unsigned char*>(PyBytes_AsString(s[3]));
    auto load = [raw](std::size_t at) {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{raw[at + i]} << (8 * i);
        return std::bit_cast<double>(v);
    };
    data.confidence_intervals.resize(n);
    for (std::size_t i = 0; i < n; ++i) data.confidence_intervals[i] = {load(16 * i), load(16 * i + 8)};
    if (!PyTuple_Check(s[4])) {
        state_type_error(kind, "feature_importance", "tuple", s[4]);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(s[4]); ++i) {
        double v = 0.0;
        if (!state_float(kind, "feature_importance", PyTuple_GetItem(s[4], i), v)) return nullptr;
        data.feature_importance.push_back(v);
    }
    if (!state_names(kind, s[5], data.feature_names)) return nullptr;
    data.predictions = PyRef::borrow(s[2]);
    return new_inference_result(std::move(data));
}

PyObject* restore_validation(PyObject* state) {
    PyObject* s[3];
    if (!unpack_state("ValidationResult", state, 3, s)) return nullptr;
    ValidationData data;
    if (!PyBool_Check(s[1])) {
        state_type_error("ValidationResult", "is_robust", "bool", s[1]);
        return nullptr;
    }
    data.is_robust = s[1] == Py_True;
    if (!PyUnicode_Check(s[2])) {
        state_type_error("ValidationResult", "message", "str", s[2]);
        return nullptr;
    }
    if (!to_text(s[2], "message", data.message)) return nullptr;
    return new_validation_result(std::move(data));
}

PyObject* restore(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind_arguments(args, kwargs, "_restore", {"kind", "state"}, 2, a)) return nullptr;
        std::string kind;
        if (!to_text(a[0], "kind", kind)) return nullptr;
        if (kind == "Model") return restore_model(a[1]);
        if (kind == "InferenceResult") return restore_result(a[1]);
        if (kind == "ValidationResult") return restore_validation(a[1]);
        PyErr_SetString(PyExc_ValueError, ("_restore: unknown class " + kind).c_str());
        return nullptr;
    });
}

PyMethodDef restore_def = {"_restore", as_cfunction(restore), METH_VARARGS | METH_KEYWORDS,
                           "_restore(kind, state)\n--\n\nRebuilds a pickled Model, InferenceResult or "
                           "ValidationResult."};

}  // namespace

PyObject* restore_function() {
    static PyObject* function = nullptr;
    if (function == nullptr) {
        PyRef module = PyRef::steal(PyUnicode_FromString("_quorvantis"));
        // __module__ names the module so that pickle finds _quorvantis._restore.
        if (module) function = PyCFunction_NewEx(&restore_def, nullptr, module.get());
    }
    return function;
}

PyObject* model_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ModelData& model = data_of<ModelData>(self);
        if (!require_stored(model.features.get(), Stored::features) ||
            !require_stored(model.treatment.get(), Stored::treatment) ||
            !require_stored(model.outcome.get(), Stored::outcome)) {
            return nullptr;
        }
        const std::vector<unsigned char> bytes = serialize(model.method);
        PyRef names = PyRef::steal(names_tuple(model.feature_names));
        if (!names) return nullptr;
        PyRef estimator = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                                 static_cast<Py_ssize_t>(bytes.size())));
        if (!estimator) return nullptr;
        PyObject* state = Py_BuildValue("(lOOOOO)", kStateVersion, estimator.get(), names.get(), model.features.get(),
                                        model.treatment.get(), model.outcome.get());
        return reduce_to("Model", state);
    });
}

PyObject* result_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ResultData& r = data_of<ResultData>(self);
        if (!require_stored(r.predictions.get(), Stored::predictions)) return nullptr;
        std::string intervals;
        intervals.reserve(r.confidence_intervals.size() * 16);
        auto store = [&intervals](double d) {
            const auto v = std::bit_cast<std::uint64_t>(d);
            for (int i = 0; i < 8; ++i) intervals.push_back(static_cast<char>(v >> (8 * i)));
        };
        for (const auto& [lo, hi] : r.confidence_intervals) {
            store(lo);
            store(hi);
        }
        PyRef importance = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(r.feature_importance.size())));
        if (!importance) return nullptr;
        for (std::size_t i = 0; i < r.feature_importance.size(); ++i) {
            PyObject* v = PyFloat_FromDouble(r.feature_importance[i]);
            if (v == nullptr) return nullptr;
            PyTuple_SetItem(importance.get(), static_cast<Py_ssize_t>(i), v);
        }
        PyRef names = PyRef::steal(names_tuple(r.feature_names));
        if (!names) return nullptr;
        PyRef packed =
            PyRef::steal(PyBytes_FromStringAndSize(intervals.data(), static_cast<Py_ssize_t>(intervals.size())));
        if (!packed) return nullptr;
        PyObject* state = Py_BuildValue("(ldOOOO)", kStateVersion, r.mean_effect, r.predictions.get(), packed.get(),
                                        importance.get(), names.get());
        return reduce_to("InferenceResult", state);
    });
}

PyObject* validation_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ValidationData& v = data_of<ValidationData>(self);
        PyRef message = utf8_to_str(v.message);
        if (!message) return nullptr;
        PyObject* state = Py_BuildValue("(lOO)", kStateVersion, v.is_robust ? Py_True : Py_False, message.get());
        return reduce_to("ValidationResult", state);
    });
}

}  // namespace quorvantis::py
