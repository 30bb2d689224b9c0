// Binding positional and keyword arguments to a parameter list, with the host's messages.
#include "arguments.hpp"

namespace merge_driver::binding {

namespace {

[[noreturn]] void count_error(const FunctionInfo& fn, const char* quantifier, Py_ssize_t expected,
                              Py_ssize_t given) {
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
          PyUnicode_AsUTF8(fn.name), quantifier, expected, expected == 1 ? "" : "s", given);
}

// Position of `key` among kwnames[from..], by identity first, then by string equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* key) {
    const Py_ssize_t k = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < k; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == key) return i;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name)) continue;
        int eq = PyUnicode_Compare(name, key) == 0;
        if (PyErr_Occurred()) throw HostError{};
        if (eq) return i;
    }
    return -1;
}

Py_ssize_t param_index(const FunctionInfo& fn, PyObject* key) {
    for (size_t i = 0; i < fn.params.size(); ++i) {
        if (fn.params[i] == key) return static_cast<Py_ssize_t>(i);
        if (PyUnicode_Compare(fn.params[i], key) == 0) return static_cast<Py_ssize_t>(i);
        if (PyErr_Occurred()) throw HostError{};
    }
    return -1;
}

}  // namespace

void bind_arguments(const FunctionInfo& fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(fn.params.size());
    const Py_ssize_t required = fn.n_required;
    const Py_ssize_t d = n - required;
    auto fill_default = [&](Py_ssize_t i) {
        bound[i] = PyTuple_GET_ITEM(fn.defaults, i - required);
    };

    if (!kwnames) {
        if (nargs >= required && nargs <= n) {
            for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
            for (Py_ssize_t i = nargs; i < n; ++i) fill_default(i);
            return;
        }
        if (d == 0) count_error(fn, "exactly", n, nargs);
        if (nargs < required) count_error(fn, "at least", required, nargs);
        count_error(fn, "at most", n, nargs);
    }

    if (nargs > n) count_error(fn, d == 0 ? "exactly" : "at most", n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t placed = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        if (i >= required && placed >= nkw) {
            fill_default(i);
            continue;
        }
        Py_ssize_t k = find_keyword(kwnames, fn.params[i]);
        if (k >= 0) {
            bound[i] = args[nargs + k];
            ++placed;
        } else if (i < required) {
            count_error(fn, d == 0 ? "exactly" : "at least", required, i);
        } else {
            fill_default(i);
        }
    }
    if (placed >= nkw) return;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise(PyExc_TypeError, "%.200s() keywords must be strings", PyUnicode_AsUTF8(fn.name));
        Py_ssize_t p = param_index(fn, key);
        if (p >= 0 && p < nargs)
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                  PyUnicode_AsUTF8(fn.name), key);
        if (p < 0)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                  PyUnicode_AsUTF8(fn.name), key);
    }
    // Every keyword names a parameter, yet not all were placed: one named twice.
    raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
          PyUnicode_AsUTF8(fn.name), PyTuple_GET_ITEM(kwnames, nkw - 1));
}

bool check_argument_types(const FunctionInfo& fn, PyObject* const* bound) {
    for (size_t i = 0; i < fn.params.size(); ++i) {
        if (!fn.str_checked[i]) continue;
        PyObject* v = bound[i];
        if (v == Py_None || PyUnicode_CheckExact(v)) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     PyUnicode_AsUTF8(fn.params[i]), "str", Py_TYPE(v)->tp_name);
        return false;
    }
    return true;
}

}  // namespace merge_driver::binding
