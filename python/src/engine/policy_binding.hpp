// The policy tree search of the engine module.
#pragma once

#include <Python.h>

namespace quorvantis::py {

// policy_tree(X, rewards, max_depth, min_samples_leaf, split_step, n_jobs)
//   -> (feature, threshold, missing_left, left, right, action, reward)
PyObject* policy_tree(PyObject* module, PyObject* args);

}  // namespace quorvantis::py
