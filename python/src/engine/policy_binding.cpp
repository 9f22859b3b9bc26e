// A private, positional interface: quorvantis.PolicyTree checks and converts
// every argument first. The tree comes back as parallel float64 arrays, one
// entry per node, which the Python class keeps and pickles as they are.
#include "engine/policy_binding.hpp"

#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/call_guard.hpp"
#include "common/exceptions.hpp"
#include "common/pyref.hpp"
#include "quorvantis/engine/policy/policy_tree.hpp"

namespace quorvantis::py {

PyObject* policy_tree(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *ox, *orewards;
        Py_ssize_t depth = 0, leaf = 0, step = 0, n_jobs = 0;
        if (!PyArg_ParseTuple(args, "OOnnnn:policy_tree", &ox, &orewards, &depth, &leaf, &step, &n_jobs))
            return nullptr;
        ArrayArg x, rewards;
        if (!x.load(ox, 2, "X") || !rewards.load(orewards, 2, "rewards")) return nullptr;
        if (depth < 1 || leaf < 1 || step < 1 || n_jobs < 0) {
            PyErr_SetString(PyExc_ValueError, "max_depth, min_samples_leaf and split_step must be >= 1, n_jobs >= 0");
            return nullptr;
        }
        engine::PolicyOptions options;
        options.max_depth = static_cast<std::size_t>(depth);
        options.min_samples_leaf = static_cast<std::size_t>(leaf);
        options.split_step = static_cast<std::size_t>(step);
        options.n_threads = static_cast<std::size_t>(n_jobs);
        CallGuard guard;
        guard.watch(x, "X");
        guard.watch(rewards, "rewards");
        Result<engine::PolicyTree> fitted =
            engine::fit_policy_tree(x.matrix(), rewards.matrix(), options, guard.interrupt());
        if (!fitted) {
            if (fitted.halted()) return guard.raise(fitted.halt());
            PyErr_SetString(PyExc_ValueError, fitted.error().text().c_str());
            return nullptr;
        }
        const std::vector<engine::PolicyNode>& nodes = fitted.value().nodes;
        std::vector<double> columns[6];
        for (auto& c : columns) c.reserve(nodes.size());
        for (const engine::PolicyNode& n : nodes) {
            columns[0].push_back(n.feature);
            columns[1].push_back(n.threshold);
            columns[2].push_back(n.missing_left ? 1.0 : 0.0);
            columns[3].push_back(n.left);
            columns[4].push_back(n.right);
            columns[5].push_back(n.action);
        }
        PyRef out = PyRef::steal(PyTuple_New(7));
        if (!out) return nullptr;
        for (int i = 0; i < 6; ++i) {
            PyRef array = new_float64_array(columns[i]);
            if (!array) return nullptr;
            PyTuple_SetItem(out.get(), i, array.release());
        }
        PyObject* reward = PyFloat_FromDouble(fitted.value().reward);
        if (reward == nullptr) return nullptr;
        PyTuple_SetItem(out.get(), 6, reward);
        return out.release();
    });
}

}  // namespace quorvantis::py
