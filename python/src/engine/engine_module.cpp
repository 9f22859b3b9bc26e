// The extension module `_quorvantis_engine`: the general forest engine for
// the public quorvantis.CausalForest. A private, positional interface; the
// Python class checks and converts every argument before it comes here.
#include <Python.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/arguments.hpp"
#include "common/call_guard.hpp"
#include "common/classes.hpp"
#include "common/exceptions.hpp"
#include "common/pyref.hpp"
#include "quorvantis/engine/estimators/causal_forest.hpp"
#include "quorvantis/engine/estimators/staged_fit.hpp"
#include "quorvantis/base/parallel.hpp"
#include "quorvantis/report/html.hpp"
#include "engine/policy_binding.hpp"

namespace quorvantis::py {
namespace {

using engine::CausalForestModel;
using engine::FitStage;
using engine::TrainingData;
using engine::TreeBatch;

struct ForestData {
    CausalForestModel model;
};

struct TrainingHolder {
    TrainingData data;
};

struct SumsHolder {
    engine::NuisanceSums sums;
};

PyObject* forest_type();
PyObject* training_type();
PyObject* sums_type();

PyObject* new_forest(CausalForestModel model) {
    auto data = std::make_unique<ForestData>();
    data->model = std::move(model);
    return new_instance(forest_type(), std::move(data));
}

// Long work runs without the interpreter lock, so that other Python threads
// (and other tasks of a dask worker) go on meanwhile. What the work reads is
// pinned: arrays by their buffer exports (NumPy refuses to resize or free
// them), models and training data by the call's own references. Each poll
// takes the lock back for signal handlers, progress callbacks and the checks
// of watched arrays; the pool has paused the job's tasks by then.
class Unlocked {
public:
    explicit Unlocked(Interrupt inner) : inner_(std::move(inner)) {}
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // The interrupt to hand the work: the inner one, run with the lock held.
    Interrupt interrupt() {
        return [this]() -> bool {
            PyEval_RestoreThread(state_);
            state_ = nullptr;
            const bool stop = inner_ && inner_();
            state_ = PyEval_SaveThread();
            return stop;
        };
    }

    // work() with the lock released; it is held again when this returns or throws.
    template <class F>
    auto run(F&& work) {
        struct Relock {
            PyThreadState*& state;
            ~Relock() {
                if (state != nullptr) PyEval_RestoreThread(state);
                state = nullptr;
            }
        };
        state_ = PyEval_SaveThread();
        Relock relock{state_};
        return work();
    }

private:
    Interrupt inner_;
    PyThreadState* state_ = nullptr;
};

// parallel::run_job without the interpreter lock.
std::optional<Halt> run_unlocked(const std::function<void()>& body, parallel::JobOptions job) {
    Unlocked unlocked(std::move(job.interrupt));
    job.interrupt = unlocked.interrupt();
    return unlocked.run([&] { return parallel::run_job(body, job); });
}

PyObject* raise_value(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

// A core failure of the engine: a halt as the guard says, anything else a
// RuntimeError (the Python class has checked the inputs).
template <class T>
PyObject* raise_failure(Result<T>& result, const CallGuard& guard) {
    if (result.halted()) return guard.raise(result.halt());
    PyErr_SetString(PyExc_RuntimeError, result.error().text().c_str());
    return nullptr;
}

std::string valid_options() {
    std::string names;
    for (const engine::OptionSpec& s : engine::option_specs())
        names += (names.empty() ? "" : ", ") + std::string(s.name);
    return names;
}

// One option's value from Python: an int for a count, a real number for a
// real, a bool for a flag; false with ValueError set otherwise.
bool option_value(const engine::OptionSpec& spec, PyObject* v, engine::OptionValue& out) {
    const std::string name(spec.name);
    switch (spec.type) {
        case engine::OptionType::Flag:
            if (!PyBool_Check(v)) return raise_value("option " + name + " must be a bool, got " + type_name(v)), false;
            out.count = v == Py_True ? 1 : 0;
            return true;
        case engine::OptionType::Count: {
            if (!PyLong_Check(v) || PyBool_Check(v))
                return raise_value("option " + name + " must be an int, got " + type_name(v)), false;
            int overflow = 0;
            const long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (small == -1 && overflow == 0 && PyErr_Occurred()) return false;
            if (overflow < 0 || (overflow == 0 && small < 0))
                return raise_value(name + " must be in [" + std::to_string(spec.min) + ", " + std::to_string(spec.max) +
                                   "], got a negative int"),
                       false;
            if (overflow == 0) {
                out.count = static_cast<std::uint64_t>(small);
                return true;
            }
            out.count = PyLong_AsUnsignedLongLong(v);
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return raise_value(name + " must be at most " + std::to_string(spec.max) + ", got a larger int"), false;
            }
            return true;
        }
        case engine::OptionType::Real:
            if (!PyFloat_Check(v) && !(PyLong_Check(v) && !PyBool_Check(v)))
                return raise_value("option " + name + " must be a float, got " + type_name(v)), false;
            out.real = PyFloat_AsDouble(v);
            return !(out.real == -1.0 && PyErr_Occurred());
    }
    return false;
}

// The options record from a dict of them: a key that names no option is an
// error (a misspelt one would otherwise leave its default in place), as is
// a value out of its bounds or options that disagree; missing keys keep the
// defaults.
bool read_options(PyObject* dict, engine::ForestOptions& o) {
    if (!PyDict_Check(dict)) {
        raise_argument_error("options", "expected a dict, got " + type_name(dict));
        return false;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        Py_ssize_t size = 0;
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        const engine::OptionSpec* spec =
            name != nullptr ? engine::find_option({name, static_cast<std::size_t>(size)}) : nullptr;
        if (spec == nullptr) {
            PyErr_Clear();
            PyRef shown = PyRef::steal(PyObject_Repr(key));
            const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
            if (text == nullptr) PyErr_Clear();
            raise_value("unknown option " + std::string(text != nullptr ? text : "?") + "; valid options are " +
                        valid_options());
            return false;
        }
        engine::OptionValue v;
        if (!option_value(*spec, value, v)) return false;
        spec->set(o, v);
    }
    if (const std::string why = o.check(); !why.empty()) return raise_value(why), false;
    return true;
}

// Per feature its number of categories (0: ordered), from None or a sequence
// of p ints in [0, max_bins - 1]; false with ValueError set otherwise.
bool read_categories(PyObject* seq, std::size_t p, std::size_t max_bins, std::vector<std::uint16_t>& out) {
    out.clear();
    if (seq == nullptr || seq == Py_None) return true;
    if (!PySequence_Check(seq)) {
        raise_value("categories must be None or a sequence of ints");
        return false;
    }
    const Py_ssize_t k = PySequence_Size(seq);
    if (k < 0) return false;
    if (static_cast<std::size_t>(k) != p) {
        raise_value("categories needs one entry per column of X (" + std::to_string(p) + "), got " + std::to_string(k));
        return false;
    }
    out.resize(p);
    for (std::size_t f = 0; f < p; ++f) {
        PyRef item = PyRef::steal(PySequence_GetItem(seq, static_cast<Py_ssize_t>(f)));
        if (!item) return false;
        const long v = PyLong_AsLong(item.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || static_cast<std::size_t>(v) >= max_bins) {
            raise_value("categories of column " + std::to_string(f) + " must be in [0, max_bins - 1 = " +
                        std::to_string(max_bins - 1) + "], got " + std::to_string(v));
            return false;
        }
        out[f] = static_cast<std::uint16_t>(v);
    }
    return true;
}

// Row weights and cluster numbers (float64 holding 0..C-1) of n rows, each
// None or an array; the Python class has checked their values.
bool row_extras(PyObject* oweights, PyObject* oclusters, std::size_t n, std::vector<double>& weights,
                std::vector<std::uint32_t>& clusters) {
    weights.clear();
    clusters.clear();
    ArrayArg arg;
    if (oweights != Py_None) {
        if (!arg.load(oweights, 1, "sample_weight")) return false;
        if (arg.vector().size != n) return raise_value("sample_weight needs one entry per row of X"), false;
        weights.resize(n);
        for (std::size_t i = 0; i < n; ++i) weights[i] = arg.vector()[i];
    }
    if (oclusters != Py_None) {
        if (!arg.load(oclusters, 1, "groups")) return false;
        if (arg.vector().size != n) return raise_value("groups needs one entry per row of X"), false;
        clusters.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double c = arg.vector()[i];
            if (!(c >= 0.0 && c < static_cast<double>(n) && c == std::floor(c)))
                return raise_value("groups must be numbered 0 to n - 1"), false;
            clusters[i] = static_cast<std::uint32_t>(c);
        }
    }
    return true;
}

// fit(X, W, Y, Y_hat, W_hat, options, progress[, weights, clusters, categories]) -> Forest
PyObject* fit(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *ox, *ow, *oy, *oyh, *owh, *odict, *oprogress;
        PyObject *oweights = Py_None, *oclusters = Py_None, *ocats = Py_None;
        if (!PyArg_ParseTuple(args, "OOOOOOO|OOO:fit", &ox, &ow, &oy, &oyh, &owh, &odict, &oprogress, &oweights,
                              &oclusters, &ocats))
            return nullptr;
        ArrayArg x, w, y, y_hat, t_hat;
        if (!x.load(ox, 2, "X") || !w.load(ow, 1, "T") || !y.load(oy, 1, "y")) return nullptr;
        if (oyh != Py_None && !y_hat.load(oyh, 1, "Y_hat")) return nullptr;
        if (owh != Py_None && !t_hat.load(owh, 1, "T_hat")) return nullptr;
        engine::ForestOptions options;
        if (!read_options(odict, options)) return nullptr;
        if (oprogress != Py_None && !PyCallable_Check(oprogress))
            return raise_value("progress must be callable or None");
        const MatrixView xv = x.matrix();
        const std::size_t n = xv.rows;
        for (const ArrayArg* v : {&w, &y})
            if (v->vector().size != n) return raise_value("T and y need one entry per row of X");
        if ((oyh != Py_None && y_hat.vector().size != n) || (owh != Py_None && t_hat.vector().size != n))
            return raise_value("Y_hat and T_hat need one entry per row of X");
        if (const std::string why = options.check(n, xv.cols); !why.empty()) return raise_value(why);
        std::vector<double> weights;
        std::vector<std::uint32_t> clusters;
        if (!row_extras(oweights, oclusters, n, weights, clusters)) return nullptr;
        std::vector<std::uint16_t> categories;
        if (!read_categories(ocats, xv.cols, options.max_bins, categories)) return nullptr;

        CallGuard guard;
        guard.watch(x, "X");
        guard.watch(w, "T");
        guard.watch(y, "y");
        engine::FitProgress progress;
        const Interrupt interrupt = [&]() -> bool {
            if (guard.interrupt()()) return true;
            if (oprogress == Py_None) return false;
            const int stage = progress.stage.load(std::memory_order_relaxed);
            PyRef out = PyRef::steal(
                PyObject_CallFunction(oprogress, "snn", engine::progress_label(stage),
                                      static_cast<Py_ssize_t>(progress.trees_done.load(std::memory_order_relaxed)),
                                      static_cast<Py_ssize_t>(progress.trees_total.load(std::memory_order_relaxed))));
            return !out;  // an exception from the callback stops the fit
        };
        engine::FitInput input;
        input.x = xv;
        input.w = w.vector();
        input.y = y.vector();
        input.categories = categories;
        if (!weights.empty()) input.weights = &weights;
        if (!clusters.empty()) input.clusters = &clusters;
        VectorView yh, wh;
        if (oyh != Py_None) {
            yh = y_hat.vector();
            input.y_hat = &yh;
        }
        if (owh != Py_None) {
            wh = t_hat.vector();
            input.t_hat = &wh;
        }
        Unlocked unlocked(interrupt);
        Result<CausalForestModel> fitted =
            unlocked.run([&] { return CausalForestModel::fit(input, options, &progress, unlocked.interrupt()); });
        if (!fitted) return raise_failure(fitted, guard);
        if (oprogress != Py_None) {
            const auto total = static_cast<Py_ssize_t>(progress.trees_total.load(std::memory_order_relaxed));
            PyRef out = PyRef::steal(PyObject_CallFunction(oprogress, "snn", "done", total, total));
            if (!out) return nullptr;
        }
        return new_forest(std::move(fitted).value());
    });
}

const CausalForestModel& model_of(PyObject* self) {
    return data_of<ForestData>(self).model;
}

PyObject* doubles(const std::vector<double>& v) {
    return new_float64_array(v).release();
}

// predict(X, variance, n_jobs) -> (tau, variance or None)
PyObject* forest_predict(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* ox;
        int variance = 0;
        Py_ssize_t n_jobs = 0;
        if (!PyArg_ParseTuple(args, "Opn:predict", &ox, &variance, &n_jobs)) return nullptr;
        ArrayArg x;
        if (!x.load(ox, 2, "X")) return nullptr;
        const CausalForestModel& m = model_of(self);
        if (x.matrix().cols != m.features())
            return raise_value("X has " + std::to_string(x.matrix().cols) + " features, but the forest was fitted on " +
                               std::to_string(m.features()));
        CallGuard guard;
        guard.watch(x, "X");
        Unlocked unlocked(guard.interrupt());
        Result<engine::CausalPrediction> predicted = unlocked.run([&] {
            return m.predict(x.matrix(), variance != 0, static_cast<std::size_t>(std::max<Py_ssize_t>(0, n_jobs)),
                             unlocked.interrupt());
        });
        if (!predicted) return raise_failure(predicted, guard);
        PyRef tau = new_float64_array(predicted.value().tau);
        if (!tau) return nullptr;
        // Variances need confidence groups of two trees or more.
        if (!variance || m.group_size() < 2) return PyTuple_Pack(2, tau.get(), Py_None);
        PyRef var = new_float64_array(predicted.value().variance);
        return var ? PyTuple_Pack(2, tau.get(), var.get()) : nullptr;
    });
}

PyObject* forest_oob_effect(PyObject* self, PyObject*) {
    return guarded([&] { return doubles(model_of(self).oob_effect()); });
}
PyObject* forest_y_hat(PyObject* self, PyObject*) {
    return guarded([&] { return doubles(model_of(self).y_hat()); });
}
PyObject* forest_t_hat(PyObject* self, PyObject*) {
    return guarded([&] { return doubles(model_of(self).t_hat()); });
}
PyObject* forest_importances(PyObject* self, PyObject*) {
    return guarded([&] { return doubles(model_of(self).importances()); });
}

// average_effect(target, one of TARGETS' values) -> (estimate, std_error, share outside PROPENSITY_BOUNDS)
PyObject* forest_average_effect(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        int target = 0;
        if (!PyArg_ParseTuple(args, "i:average_effect", &target)) return nullptr;
        if (target < 0 || target >= static_cast<int>(engine::kEffectTargets.size()))
            return raise_value("target must be one of TARGETS' values");
        const CausalForestModel& m = model_of(self);
        const engine::AverageEffect& a = m.average(static_cast<engine::EffectTarget>(target));
        return Py_BuildValue("(ddd)", a.estimate, a.std_error, m.overlap_violation());
    });
}

PyObject* forest_to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<unsigned char> bytes = model_of(self).serialize();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* from_bytes(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(arg)) return raise_argument_error("data", "expected bytes, got " + type_name(arg)), nullptr;
        const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AsString(arg));
        Result<CausalForestModel> m = CausalForestModel::deserialize({p, static_cast<std::size_t>(PyBytes_Size(arg))});
        if (!m) return raise_value(m.error().text());
        return new_forest(std::move(m).value());
    });
}

PyObject* forest_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef bytes = PyRef::steal(forest_to_bytes(self, nullptr));
        PyRef module = PyRef::steal(PyImport_ImportModule("_quorvantis_engine"));
        PyRef loader = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "from_bytes")) : PyRef{};
        if (!bytes || !loader) return nullptr;
        return Py_BuildValue("(O(O))", loader.get(), bytes.get());
    });
}

PyObject* get_n_features(PyObject* self, void*) {
    return PyLong_FromSize_t(model_of(self).features());
}
PyObject* get_n_trees(PyObject* self, void*) {
    return PyLong_FromSize_t(model_of(self).trees());
}
PyObject* get_group(PyObject* self, void*) {
    return PyLong_FromSize_t(model_of(self).group_size());
}
PyObject* get_tree_bytes(PyObject* self, void*) {
    return PyLong_FromSize_t(model_of(self).tree_bytes());
}

PyGetSetDef forest_getset[] = {
    {"n_features", get_n_features, nullptr, nullptr, nullptr},
    {"n_trees", get_n_trees, nullptr, nullptr, nullptr},
    {"ci_group_size", get_group, nullptr, nullptr, nullptr},
    {"tree_bytes", get_tree_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef forest_methods[] = {
    {"predict", forest_predict, METH_VARARGS, "predict($self, X, variance, n_jobs)\n--\n\n"},
    {"oob_effect", forest_oob_effect, METH_NOARGS, "oob_effect($self)\n--\n\n"},
    {"y_hat", forest_y_hat, METH_NOARGS, "y_hat($self)\n--\n\n"},
    {"t_hat", forest_t_hat, METH_NOARGS, "t_hat($self)\n--\n\n"},
    {"importances", forest_importances, METH_NOARGS, "importances($self)\n--\n\n"},
    {"average_effect", forest_average_effect, METH_VARARGS, "average_effect($self, target)\n--\n\n"},
    {"to_bytes", forest_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"__reduce__", forest_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot forest_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ForestData>)},
    {Py_tp_methods, forest_methods},
    {Py_tp_getset, forest_getset},
    {Py_tp_doc, const_cast<char*>("A fitted causal forest of the general engine.")},
    {0, nullptr},
};

PyType_Spec forest_spec = {"_quorvantis_engine.Forest", sizeof(Instance<ForestData>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, forest_slots};

PyObject* forest_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&forest_spec);
    return type;
}

// ---- Staged fitting, for growing on a cluster ----

PyObject* new_training(TrainingData data) {
    auto holder = std::make_unique<TrainingHolder>();
    holder->data = std::move(data);
    return new_instance(training_type(), std::move(holder));
}

const TrainingData* training_of(PyObject* obj) {
    PyObject* type = training_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        raise_argument_error("data", "expected TrainingData, got " + type_name(obj));
        return nullptr;
    }
    return &data_of<TrainingHolder>(obj).data;
}

bool stage_of(int value, FitStage& out) {
    if (value < 0 || value > 2) {
        PyErr_SetString(PyExc_ValueError, "stage must be 0 (outcome), 1 (treatment) or 2 (causal)");
        return false;
    }
    out = static_cast<FitStage>(value);
    return true;
}

// A float64 vector of n entries read in place, or an empty span for None.
bool estimates(PyObject* obj, const char* name, std::size_t n, ArrayArg& arg, std::vector<double>& copy) {
    copy.clear();
    if (obj == Py_None) return true;
    if (!arg.load(obj, 1, name)) return false;
    const VectorView v = arg.vector();
    if (v.size != n) {
        raise_value(std::string(name) + " has " + std::to_string(v.size) + " entries, the training data " +
                    std::to_string(n) + " rows");
        return false;
    }
    copy.resize(n);
    for (std::size_t i = 0; i < n; ++i) copy[i] = v[i];
    return true;
}

// A list of serialised batches of one stage, in any order.
bool batches_of(PyObject* list, const TrainingData& data, std::vector<TreeBatch>& out) {
    PyRef seq = PyRef::steal(PySequence_Fast(list, "batches must be a sequence of bytes"));
    if (!seq) return false;
    const Py_ssize_t count = PySequence_Size(seq.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(seq.get(), i));
        if (!item || !PyBytes_Check(item.get())) {
            PyErr_SetString(PyExc_TypeError, "batches must be a sequence of bytes");
            return false;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AsString(item.get()));
        Result<TreeBatch> b = TreeBatch::deserialize({p, static_cast<std::size_t>(PyBytes_Size(item.get()))},
                                                     data.codes.cols, data.cuts.missing_code());
        if (!b) {
            raise_value(b.error().text());
            return false;
        }
        out.push_back(std::move(b).value());
    }
    return true;
}

// prepare(X, T, y, options[, weights, clusters, categories]) -> TrainingData
PyObject* prepare(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *ox, *ow, *oy, *odict, *oweights = Py_None, *oclusters = Py_None, *ocats = Py_None;
        if (!PyArg_ParseTuple(args, "OOOO|OOO:prepare", &ox, &ow, &oy, &odict, &oweights, &oclusters, &ocats))
            return nullptr;
        ArrayArg x, w, y;
        if (!x.load(ox, 2, "X") || !w.load(ow, 1, "T") || !y.load(oy, 1, "y")) return nullptr;
        engine::ForestOptions options;
        if (!read_options(odict, options)) return nullptr;
        const MatrixView xv = x.matrix();
        if (w.vector().size != xv.rows || y.vector().size != xv.rows)
            return raise_value("T and y need one entry per row of X");
        if (const std::string why = options.check(xv.rows, xv.cols); !why.empty()) return raise_value(why);
        std::vector<double> weights;
        std::vector<std::uint32_t> clusters;
        if (!row_extras(oweights, oclusters, xv.rows, weights, clusters)) return nullptr;
        std::vector<std::uint16_t> categories;
        if (!read_categories(ocats, xv.cols, options.max_bins, categories)) return nullptr;
        CallGuard guard;
        guard.watch(x, "X");
        guard.watch(w, "T");
        guard.watch(y, "y");
        parallel::JobOptions job;
        job.interrupt = guard.interrupt();
        job.max_threads = options.n_threads;
        TrainingData data;
        const auto halt = run_unlocked(
            [&] { data = engine::prepare_training(xv, w.vector(), y.vector(), options, categories); }, job);
        if (halt) return guard.raise(*halt);
        data.weights = std::move(weights);
        data.clusters = std::move(clusters);
        return new_training(std::move(data));
    });
}

// check_options(options) -> None, or ValueError naming the option at fault
PyObject* check_options(PyObject*, PyObject* dict) {
    return guarded([&]() -> PyObject* {
        engine::ForestOptions options;
        if (!read_options(dict, options)) return nullptr;
        Py_RETURN_NONE;
    });
}

// fit_plan(options, have_Y_hat, have_T_hat) -> [dict], the steps of a fit in order
PyObject* fit_plan(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* odict;
        int have_y_hat = 0, have_t_hat = 0;
        if (!PyArg_ParseTuple(args, "Opp:fit_plan", &odict, &have_y_hat, &have_t_hat)) return nullptr;
        engine::ForestOptions options;
        if (!read_options(odict, options)) return nullptr;
        const std::vector<engine::PlannedStep> plan = engine::fit_plan(options, have_y_hat != 0, have_t_hat != 0);
        PyRef out = PyRef::steal(PyList_New(0));
        if (!out) return nullptr;
        for (const engine::PlannedStep& s : plan) {
            const char* label = engine::progress_label(s.progress);
            PyRef step;
            if (s.step == engine::FitStep::Grow) {
                const char* estimates = s.stage == FitStage::Outcome     ? "Y_hat"
                                        : s.stage == FitStage::Treatment ? "T_hat"
                                                                         : nullptr;
                step = PyRef::steal(
                    Py_BuildValue("{s:s,s:s,s:i,s:s,s:n,s:n,s:n,s:z}", "step", "grow", "label", label, "stage",
                                  static_cast<int>(s.stage), "name", engine::stage_name(s.stage), "first",
                                  static_cast<Py_ssize_t>(s.first), "last", static_cast<Py_ssize_t>(s.last), "trees",
                                  static_cast<Py_ssize_t>(s.trees), "estimates", estimates));
            } else {
                const char* kind = s.step == engine::FitStep::Prepare ? "prepare" : "assemble";
                step = PyRef::steal(Py_BuildValue("{s:s,s:s}", "step", kind, "label", label));
            }
            if (!step || PyList_Append(out.get(), step.get()) != 0) return nullptr;
        }
        return out.release();
    });
}

// grow(data, stage, Y_hat, T_hat, first, last, options) -> bytes
PyObject* grow(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *odata, *oyh, *owh, *odict;
        int stage_value = 0;
        Py_ssize_t first = 0, last = 0;
        if (!PyArg_ParseTuple(args, "OiOOnnO:grow", &odata, &stage_value, &oyh, &owh, &first, &last, &odict))
            return nullptr;
        const TrainingData* data = training_of(odata);
        engine::ForestOptions options;
        FitStage stage;
        if (data == nullptr || !read_options(odict, options) || !stage_of(stage_value, stage)) return nullptr;
        if (first < 0 || last < first) return raise_value("need 0 <= first <= last");
        const std::size_t n = data->codes.rows;
        ArrayArg yh_arg, wh_arg;
        std::vector<double> y_hat, t_hat;
        if (!estimates(oyh, "Y_hat", n, yh_arg, y_hat) || !estimates(owh, "T_hat", n, wh_arg, t_hat)) return nullptr;
        if (stage == FitStage::Causal && (y_hat.empty() || t_hat.empty()))
            return raise_value("the causal stage needs Y_hat and T_hat");
        CallGuard guard;
        parallel::JobOptions job;
        job.interrupt = guard.interrupt();
        job.max_threads = options.n_threads;
        TreeBatch batch;
        const auto halt = run_unlocked(
            [&] {
                batch = engine::grow_batch(*data, stage, options, y_hat, t_hat, static_cast<std::size_t>(first),
                                           static_cast<std::size_t>(last));
            },
            job);
        if (halt) return guard.raise(*halt);
        const std::vector<unsigned char> bytes = batch.serialize();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* new_sums(engine::NuisanceSums sums) {
    auto holder = std::make_unique<SumsHolder>();
    holder->sums = std::move(sums);
    return new_instance(sums_type(), std::move(holder));
}

// The sums an argument holds, or null for None; false with an error set otherwise.
bool sums_of(PyObject* obj, const engine::NuisanceSums*& out) {
    out = nullptr;
    if (obj == Py_None) return true;
    PyObject* type = sums_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        raise_argument_error("sums", "expected NuisanceSums or None, got " + type_name(obj));
        return false;
    }
    out = &data_of<SumsHolder>(obj).sums;
    return true;
}

// The sums after adding a nuisance stage's batches; complete: up to its last group.
std::optional<engine::NuisanceSums> add_batches(PyObject* args, const char* format, bool complete,
                                                const TrainingData*& data, engine::ForestOptions& options) {
    PyObject *odata, *olist, *odict, *osums = Py_None;
    int stage_value = 0;
    if (!PyArg_ParseTuple(args, format, &odata, &stage_value, &olist, &odict, &osums)) return std::nullopt;
    data = training_of(odata);
    FitStage stage;
    const engine::NuisanceSums* sums = nullptr;
    if (data == nullptr || !read_options(odict, options) || !stage_of(stage_value, stage) || !sums_of(osums, sums))
        return std::nullopt;
    if (stage == FitStage::Causal) return raise_value("the causal stage has no nuisance estimates"), std::nullopt;
    std::vector<TreeBatch> batches;
    if (!batches_of(olist, *data, batches)) return std::nullopt;
    CallGuard guard;
    parallel::JobOptions job;
    job.interrupt = guard.interrupt();
    job.max_threads = options.n_threads;
    std::optional<Result<engine::NuisanceSums>> added;
    const auto halt = run_unlocked(
        [&] { added.emplace(engine::add_nuisance(*data, stage, options, sums, std::move(batches), complete)); }, job);
    if (halt) return guard.raise(*halt), std::nullopt;
    if (!*added) return raise_value(added->error().text()), std::nullopt;
    return std::move(*added).value();
}

// nuisance(data, stage, batches, options[, sums]) -> ndarray, the batches added to the sums
PyObject* nuisance(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const TrainingData* data = nullptr;
        engine::ForestOptions options;
        std::optional<engine::NuisanceSums> sums = add_batches(args, "OiOO|O:nuisance", true, data, options);
        if (!sums) return nullptr;
        return doubles(engine::nuisance_estimates(*data, options, *sums));
    });
}

// nuisance_sums(data, stage, batches, options[, sums]) -> NuisanceSums
PyObject* nuisance_sums(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const TrainingData* data = nullptr;
        engine::ForestOptions options;
        std::optional<engine::NuisanceSums> sums = add_batches(args, "OiOO|O:nuisance_sums", false, data, options);
        if (!sums) return nullptr;
        return new_sums(std::move(*sums));
    });
}

// assemble(data, Y_hat, T_hat, batches, options) -> Forest
PyObject* assemble(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *odata, *oyh, *owh, *olist, *odict;
        if (!PyArg_ParseTuple(args, "OOOOO:assemble", &odata, &oyh, &owh, &olist, &odict)) return nullptr;
        const TrainingData* data = training_of(odata);
        engine::ForestOptions options;
        if (data == nullptr || !read_options(odict, options)) return nullptr;
        const std::size_t n = data->codes.rows;
        ArrayArg yh_arg, wh_arg;
        std::vector<double> y_hat, t_hat;
        if (!estimates(oyh, "Y_hat", n, yh_arg, y_hat) || !estimates(owh, "T_hat", n, wh_arg, t_hat)) return nullptr;
        if (y_hat.empty() || t_hat.empty()) return raise_value("assemble needs Y_hat and T_hat");
        std::vector<TreeBatch> batches;
        if (!batches_of(olist, *data, batches)) return nullptr;
        CallGuard guard;
        parallel::JobOptions job;
        job.interrupt = guard.interrupt();
        job.max_threads = options.n_threads;
        std::optional<Result<CausalForestModel>> model;
        const auto halt = run_unlocked(
            [&] {
                model.emplace(CausalForestModel::assemble(*data, options, std::move(y_hat), std::move(t_hat),
                                                          std::move(batches)));
            },
            job);
        if (halt) return guard.raise(*halt);
        if (!*model) return raise_value(model->error().text());
        return new_forest(std::move(*model).value());
    });
}

PyObject* training_to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<unsigned char> bytes = data_of<TrainingHolder>(self).data.serialize();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* training_from_bytes(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(arg)) return raise_argument_error("data", "expected bytes, got " + type_name(arg)), nullptr;
        const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AsString(arg));
        Result<TrainingData> d = TrainingData::deserialize({p, static_cast<std::size_t>(PyBytes_Size(arg))});
        if (!d) return raise_value(d.error().text());
        return new_training(std::move(d).value());
    });
}

PyObject* training_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef bytes = PyRef::steal(training_to_bytes(self, nullptr));
        PyRef module = PyRef::steal(PyImport_ImportModule("_quorvantis_engine"));
        PyRef loader = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "training_from_bytes")) : PyRef{};
        if (!bytes || !loader) return nullptr;
        return Py_BuildValue("(O(O))", loader.get(), bytes.get());
    });
}

PyObject* sums_to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const std::vector<unsigned char> bytes = data_of<SumsHolder>(self).sums.serialize();
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* sums_from_bytes(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(arg)) return raise_argument_error("data", "expected bytes, got " + type_name(arg)), nullptr;
        const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AsString(arg));
        Result<engine::NuisanceSums> s =
            engine::NuisanceSums::deserialize({p, static_cast<std::size_t>(PyBytes_Size(arg))});
        if (!s) return raise_value(s.error().text());
        return new_sums(std::move(s).value());
    });
}

PyObject* sums_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef bytes = PyRef::steal(sums_to_bytes(self, nullptr));
        PyRef module = PyRef::steal(PyImport_ImportModule("_quorvantis_engine"));
        PyRef loader =
            module ? PyRef::steal(PyObject_GetAttrString(module.get(), "nuisance_sums_from_bytes")) : PyRef{};
        if (!bytes || !loader) return nullptr;
        return Py_BuildValue("(O(O))", loader.get(), bytes.get());
    });
}

PyObject* sums_sizeof(PyObject* self, PyObject*) {
    // What dask weighs when it decides where the next sums are added.
    return PyLong_FromSize_t(sizeof(Instance<SumsHolder>) + data_of<SumsHolder>(self).sums.oob.rows() * 33);
}

PyMethodDef sums_methods[] = {
    {"to_bytes", sums_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"__reduce__", sums_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__sizeof__", sums_sizeof, METH_NOARGS, "__sizeof__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sums_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SumsHolder>)},
    {Py_tp_methods, sums_methods},
    {Py_tp_doc, const_cast<char*>("A nuisance stage's out-of-bag sums over its first groups.")},
    {0, nullptr},
};

PyType_Spec sums_spec = {"_quorvantis_engine.NuisanceSums", sizeof(Instance<SumsHolder>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, sums_slots};

PyObject* sums_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&sums_spec);
    return type;
}

PyObject* get_rows(PyObject* self, void*) {
    return PyLong_FromSize_t(data_of<TrainingHolder>(self).data.codes.rows);
}
PyObject* get_columns(PyObject* self, void*) {
    return PyLong_FromSize_t(data_of<TrainingHolder>(self).data.codes.cols);
}

PyGetSetDef training_getset[] = {
    {"n_rows", get_rows, nullptr, nullptr, nullptr},
    {"n_features", get_columns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef training_methods[] = {
    {"to_bytes", training_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"__reduce__", training_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot training_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<TrainingHolder>)},
    {Py_tp_methods, training_methods},
    {Py_tp_getset, training_getset},
    {Py_tp_doc, const_cast<char*>("Binned training rows, treatment and outcome of a staged fit.")},
    {0, nullptr},
};

PyType_Spec training_spec = {"_quorvantis_engine.TrainingData", sizeof(Instance<TrainingHolder>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, training_slots};

PyObject* training_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_class(&training_spec);
    return type;
}

// The fixed module's HTML helpers, so that reports written in Python embed
// their JSON, ids and fenced blocks exactly as the fixed module does.
PyObject* script_json(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string json;
        if (!to_text(arg, "json", json)) return nullptr;
        return utf8_to_str(report::script_safe_json(json)).release();
    });
}

PyObject* fenced_block(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::string json;
        if (!to_text(arg, "json", json)) return nullptr;
        return utf8_to_str(report::render_fenced_block(json)).release();
    });
}

PyObject* element_id(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return utf8_to_str(report::next_element_id()).release(); });
}

PyObject* echarts_url(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        return utf8_to_str("https://" + std::string(report::kEchartsCdnHost) + std::string(report::kEchartsPath))
            .release();
    });
}

PyMethodDef module_functions[] = {
    {"fit", fit, METH_VARARGS,
     "fit(X, T, y, Y_hat, T_hat, options, progress, weights=None, clusters=None, categories=None)\n--\n\n"},
    {"from_bytes", from_bytes, METH_O, "from_bytes(data)\n--\n\n"},
    {"prepare", prepare, METH_VARARGS,
     "prepare(X, T, y, options, weights=None, clusters=None, categories=None)\n--\n\n"},
    {"check_options", check_options, METH_O, "check_options(options)\n--\n\n"},
    {"fit_plan", fit_plan, METH_VARARGS, "fit_plan(options, have_Y_hat, have_T_hat)\n--\n\n"},
    {"grow", grow, METH_VARARGS, "grow(data, stage, Y_hat, T_hat, first, last, options)\n--\n\n"},
    {"nuisance", nuisance, METH_VARARGS, "nuisance(data, stage, batches, options, sums=None)\n--\n\n"},
    {"nuisance_sums", nuisance_sums, METH_VARARGS, "nuisance_sums(data, stage, batches, options, sums=None)\n--\n\n"},
    {"nuisance_sums_from_bytes", sums_from_bytes, METH_O, "nuisance_sums_from_bytes(data)\n--\n\n"},
    {"assemble", assemble, METH_VARARGS, "assemble(data, Y_hat, T_hat, batches, options)\n--\n\n"},
    {"training_from_bytes", training_from_bytes, METH_O, "training_from_bytes(data)\n--\n\n"},
    {"script_json", script_json, METH_O, "script_json(json)\n--\n\nJSON made safe to embed in a <script> element."},
    {"fenced_block", fenced_block, METH_O, "fenced_block(json)\n--\n\nThe json:causal-plot fenced block."},
    {"element_id", element_id, METH_NOARGS, "element_id()\n--\n\nA chart element id unique in the process."},
    {"echarts_url", echarts_url, METH_NOARGS, "echarts_url()\n--\n\nWhere the charts load ECharts from."},
    {"policy_tree", policy_tree, METH_VARARGS,
     "policy_tree(X, rewards, max_depth, min_samples_leaf, split_step, n_jobs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_quorvantis_engine",
                          "The forest engine behind quorvantis.CausalForest.",
                          0,
                          module_functions,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

// {name: (low, high, low_open, high_open)} for every option, the bounds
// the Python layer checks its parameters against.
PyObject* option_limits() {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    for (const engine::OptionSpec& s : engine::option_specs()) {
        const bool real = s.type == engine::OptionType::Real;
        PyRef bounds = PyRef::steal(
            real ? Py_BuildValue("(ddNN)", s.low, s.high, PyBool_FromLong(s.low_open), PyBool_FromLong(s.high_open))
                 : Py_BuildValue("(KKOO)", static_cast<unsigned long long>(s.min),
                                 static_cast<unsigned long long>(s.max), Py_False, Py_False));
        if (!bounds || PyDict_SetItemString(out.get(), std::string(s.name).c_str(), bounds.get()) != 0) return nullptr;
    }
    return out.release();
}

PyObject* effect_targets() {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    for (const auto& [name, target] : engine::kEffectTargets) {
        PyRef value = PyRef::steal(PyLong_FromLong(static_cast<long>(target)));
        if (!value || PyDict_SetItemString(out.get(), std::string(name).c_str(), value.get()) != 0) return nullptr;
    }
    return out.release();
}

bool add_constant(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    if (PyModule_AddObject(module, name, value) == 0) return true;
    Py_DECREF(value);
    return false;
}

PyObject* init() {
    static bool initialised = false;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "_quorvantis_engine cannot be initialised twice in one process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    using Maker = PyObject* (*)();
    const std::pair<const char*, Maker> types[] = {
        {"Forest", forest_type}, {"TrainingData", training_type}, {"NuisanceSums", sums_type}};
    for (const auto& [name, make] : types) {
        PyObject* type = make();
        if (type == nullptr) return nullptr;
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), name, type) != 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    if (!add_constant(module.get(), "OPTION_LIMITS", option_limits()) ||
        !add_constant(module.get(), "TARGETS", effect_targets()) ||
        !add_constant(module.get(), "PROPENSITY_BOUNDS",
                      Py_BuildValue("(dd)", engine::kPropensityLow, engine::kPropensityHigh)))
        return nullptr;
    initialised = true;
    return module.release();
}

}  // namespace
}  // namespace quorvantis::py

extern "C" PyMODINIT_FUNC PyInit__quorvantis_engine() {
    return quorvantis::py::guarded([] { return quorvantis::py::init(); });
}
