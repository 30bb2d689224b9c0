// Function objects of the module: parameter lists, binding, the call boundary, traceback entries.
#pragma once
#include <Python.h>
#include <map>
#include <string>
#include <vector>
#include "errors.hpp"
#include "ref.hpp"

namespace merge_driver::binding {

using Body = Ref (*)(At& at, PyObject* const* args);

constexpr Py_ssize_t max_params = 6;

// What one function is: made once per process at load and never freed.
struct FunctionInfo {
    Body body = nullptr;
    PyObject* name = nullptr;      // __name__, interned
    PyObject* qualname = nullptr;  // __qualname__
    std::string full_name;         // dotted module name + "." + qualname
    int first_line = 0;
    std::vector<PyObject*> params;  // interned parameter names, in order
    Py_ssize_t n_required = 0;
    PyObject* defaults = nullptr;   // tuple for the last params - n_required, or null
    std::vector<bool> str_checked;  // per parameter: exactly str or None
    PyObject* code = nullptr;       // __code__
};

// Adds the traceback entry `full_name` at `line` to the pending error; never replaces it.
void add_traceback_entry(const std::string& full_name, int line);

// New function object bound to `info`; doc may be null (None).
Ref make_function(FunctionInfo& info, const char* doc, PyObject* annotations);

// The function that `o` is when it is one of the module's function objects, else null.
FunctionInfo* function_info(PyObject* o);

// Calls the function with positional arguments only, exactly as a call of its object does
// (binding, checks, body, traceback entry); a new reference, or null with an error set.
PyObject* call_function(FunctionInfo& fn, PyObject* const* args, Py_ssize_t nargs);

// Makes the function type ready; once per process.
void ready_function_type();

}  // namespace merge_driver::binding
