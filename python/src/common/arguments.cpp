#include "common/arguments.hpp"

#include <cstring>

#include "common/exceptions.hpp"

namespace quorvantis::py {
namespace {

// NumPy's multiarray module, imported on first use and kept for the process.
PyObject* numpy_multiarray() {
    static PyObject* module = nullptr;
    if (module != nullptr) return module;
    // numpy.core warns on NumPy 2; numpy._core does not exist before it.
    PyObject* mod = PyImport_ImportModule("numpy._core.multiarray");
    if (mod == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        mod = PyImport_ImportModule("numpy.core.multiarray");
    }
    PyObject* capsule = mod ? PyObject_GetAttrString(mod, "_ARRAY_API") : nullptr;
    if (capsule == nullptr || !PyCapsule_IsValid(capsule, PyCapsule_GetName(capsule))) {
        std::string detail = "capsule missing";
        if (PyErr_Occurred()) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
            const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
            if (utf8 != nullptr) detail = utf8;
            PyErr_Clear();
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
        Py_XDECREF(capsule);
        Py_XDECREF(mod);
        raise_internal_failure("Failed to access NumPy array API capsule: " + detail);
        return nullptr;
    }
    Py_DECREF(capsule);
    module = mod;
    return module;
}

PyObject* numpy_attr(const char* name) {
    PyObject* mod = numpy_multiarray();
    return mod ? PyObject_GetAttrString(mod, name) : nullptr;
}

PyObject* ndarray_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = numpy_attr("ndarray");
    return type;
}

std::string str_of(PyObject* obj) {
    PyRef text = PyRef::steal(PyObject_Str(obj));
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

// Describes the pending exception ("ValueError: boom") and clears it, when it
// is an ordinary Exception; returns false and leaves KeyboardInterrupt,
// MemoryError and the like pending.
bool take_exception_text(std::string& out) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    out = type_name(value ? value : type);
    if (value != nullptr) {
        const std::string detail = str_of(value);
        if (!detail.empty()) out += ": " + detail;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return true;
}

bool is_native_float64(const Py_buffer& b) {
    if (b.itemsize != 8 || b.format == nullptr) return false;
    const char* f = b.format;
    if (f[0] == '@' || f[0] == '=')
        ++f;
    else if (f[0] == '<')
        ++f;  // little-endian is native on the platforms we build for
    return std::strcmp(f, "d") == 0;
}

// "the model's training features were": the subject of errors about it.
std::string stored_name(Stored which) {
    switch (which) {
        case Stored::features:
            return "the model's training features were";
        case Stored::treatment:
            return "the model's training treatment was";
        case Stored::outcome:
            return "the model's training outcome was";
        case Stored::predictions:
            break;
    }
    return "the result's predictions were";
}

std::string array_reason(int ndim) {
    return "expected a float64 numpy.ndarray with " + std::to_string(ndim) + (ndim == 1 ? " dimension" : " dimensions");
}

}  // namespace

bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function, const std::vector<const char*>& names,
                    std::size_t required, PyObject** out) {
    std::string format(required, 'O');
    if (names.size() > required) {
        format += '|';
        format.append(names.size() - required, 'O');
    }
    format += ':';
    format += function;
    std::vector<char*> keywords;
    for (const char* n : names) keywords.push_back(const_cast<char*>(n));
    keywords.push_back(nullptr);
    for (std::size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
    // Unrolled for the small fixed arities this module has.
    switch (names.size()) {
        case 0:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data());
        case 1:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[0]);
        case 2:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[0], &out[1]);
        case 3:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[0], &out[1],
                                               &out[2]);
        case 4:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[0], &out[1], &out[2],
                                               &out[3]);
        case 5:
            return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &out[0], &out[1], &out[2],
                                               &out[3], &out[4]);
        default:
            break;
    }
    raise_internal_failure("bind_arguments: too many parameters");
    return false;
}

bool raise_argument_error(const char* name, const std::string& reason) {
    const std::string message = std::string("argument '") + name + "': " + reason;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

std::string type_name(PyObject* obj) {
    PyObject* type = PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj),
                                                           reinterpret_cast<PyTypeObject*>(PyExc_BaseException))
                         ? obj
                         : reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyRef qualname = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
    if (!qualname) {
        PyErr_Clear();
        return "object";
    }
    std::string name = str_of(qualname.get());
    if (!module) {
        PyErr_Clear();
        return name;
    }
    if (PyUnicode_Check(module.get())) {
        const std::string mod = str_of(module.get());
        if (mod != "builtins") name = mod + "." + name;
    }
    return name;
}

ArrayArg::~ArrayArg() {
    release();
}

void ArrayArg::release() {
    if (held_) PyBuffer_Release(&buffer_);
    held_ = false;
}

bool ArrayArg::take(PyObject* obj, int ndim, std::string& got) {
    release();
    got.clear();
    PyObject* ndarray = ndarray_type();
    if (ndarray == nullptr) return false;
    // Pure type tests: no Python code of the argument runs here. A subclass
    // exporting its buffer from Python (__buffer__) is refused, since that
    // code could free the memory of views taken before.
    auto* base = reinterpret_cast<PyTypeObject*>(ndarray);
    if (!PyType_IsSubtype(Py_TYPE(obj), base) ||
        PyType_GetSlot(Py_TYPE(obj), Py_bf_getbuffer) != PyType_GetSlot(base, Py_bf_getbuffer)) {
        got = type_name(obj);
        return false;
    }
    if (PyObject_GetBuffer(obj, &buffer_, PyBUF_RECORDS_RO) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        PyRef dtype = PyRef::steal(PyObject_GetAttrString(obj, "dtype"));
        PyErr_Clear();
        got = "a numpy.ndarray of dtype " + (dtype ? str_of(dtype.get()) : std::string("unknown"));
        return false;
    }
    held_ = true;
    if (buffer_.ndim != ndim) {
        const int n = buffer_.ndim;
        got = "a numpy.ndarray with " + std::to_string(n) + (n == 1 ? " dimension" : " dimensions");
        return false;
    }
    if (!is_native_float64(buffer_)) {
        PyRef dtype = PyRef::steal(PyObject_GetAttrString(obj, "dtype"));
        std::string shown = dtype ? str_of(dtype.get()) : std::string(buffer_.format ? buffer_.format : "?");
        PyErr_Clear();
        if (buffer_.format && buffer_.format[0] == '>') shown += " (byte-swapped)";
        got = "a numpy.ndarray of dtype " + shown;
        return false;
    }
    return true;
}

bool ArrayArg::load(PyObject* obj, int ndim, const char* name) {
    std::string got;
    if (take(obj, ndim, got)) return true;
    if (!got.empty()) raise_argument_error(name, array_reason(ndim) + ", got " + got);
    return false;
}

bool require_stored(PyObject* obj, Stored which) {
    if (obj != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, which == Stored::predictions
                                            ? "the result's predictions were released by the garbage collector"
                                            : "the model's training arrays were released by the garbage collector");
    return false;
}

bool ArrayArg::load_stored(PyObject* obj, Stored which) {
    if (!require_stored(obj, which)) return false;
    const int ndim = which == Stored::features ? 2 : 1;
    std::string got;
    if (take(obj, ndim, got)) return true;
    if (got.empty()) return false;
    const std::string message = stored_name(which) + " changed after " +
                                (which == Stored::predictions ? "estimate_effects" : "create_model") + ": " +
                                array_reason(ndim) + ", now " + got;
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool ArrayArg::unchanged() const {
    if (!held_) return true;
    Py_buffer now;
    if (PyObject_GetBuffer(buffer_.obj, &now, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    bool same = now.buf == buffer_.buf && now.ndim == buffer_.ndim && now.itemsize == buffer_.itemsize &&
                now.format != nullptr && buffer_.format != nullptr && std::strcmp(now.format, buffer_.format) == 0;
    for (int d = 0; same && d < now.ndim; ++d)
        same = now.shape[d] == buffer_.shape[d] && now.strides[d] == buffer_.strides[d];
    PyBuffer_Release(&now);
    return same;
}

MatrixView ArrayArg::matrix() const {
    return {static_cast<const std::byte*>(buffer_.buf), static_cast<std::size_t>(buffer_.shape[0]),
            static_cast<std::size_t>(buffer_.shape[1]), buffer_.strides[0], buffer_.strides[1]};
}

VectorView ArrayArg::vector() const {
    return {static_cast<const std::byte*>(buffer_.buf), static_cast<std::size_t>(buffer_.shape[0]), buffer_.strides[0]};
}

bool to_text(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        return raise_argument_error(name, "expected str, got " + type_name(obj));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;  // e.g. a lone surrogate: raised unchanged
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_names(PyObject* obj, const char* name, std::optional<std::vector<std::string>>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    if (PyUnicode_Check(obj)) return raise_argument_error(name, "Can't extract `str` to `Vec`");
    const std::string expected = "expected a sequence of str or None, got ";
    if (!PySequence_Check(obj)) return raise_argument_error(name, expected + type_name(obj));
    std::string failure;
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) {
        if (!take_exception_text(failure)) return false;
        return raise_argument_error(name, expected + type_name(obj) + " whose iteration failed (" + failure + ")");
    }
    std::vector<std::string> names;
    for (std::size_t index = 0;; ++index) {
        PyRef item = PyRef::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (!PyErr_Occurred()) break;
            if (!take_exception_text(failure)) return false;
            return raise_argument_error(name, expected + type_name(obj) + " whose iteration failed (" + failure + ")");
        }
        if (!PyUnicode_Check(item.get())) {
            return raise_argument_error(name, "expected a sequence of str, got " + type_name(item.get()) +
                                                  " at index " + std::to_string(index));
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (utf8 == nullptr) return false;
        names.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    out = std::move(names);
    return true;
}

bool to_index(PyObject* obj, const char* name, std::uint64_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return raise_argument_error(name, "expected an integer, got " + type_name(obj));
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
    if (obj != Py_True && obj != Py_False) {
        return raise_argument_error(name, "expected True or False, got " + type_name(obj));
    }
    out = obj == Py_True;
    return true;
}

PyRef new_float64_array(const std::vector<double>& values) {
    PyRef empty = PyRef::steal(numpy_attr("empty"));
    if (!empty) return {};
    PyRef length = PyRef::steal(PyLong_FromSize_t(values.size()));
    if (!length) return {};
    PyRef array = PyRef::steal(PyObject_CallFunctionObjArgs(empty.get(), length.get(), nullptr));
    if (!array) return {};
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_CONTIG) != 0) return {};
    if (view.len != static_cast<Py_ssize_t>(values.size() * sizeof(double))) {
        PyBuffer_Release(&view);
        raise_internal_failure("numpy.empty returned an array of unexpected size");
        return {};
    }
    if (!values.empty()) std::memcpy(view.buf, values.data(), values.size() * sizeof(double));
    PyBuffer_Release(&view);
    return array;
}

PyRef utf8_to_str(const std::string& text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace quorvantis::py
