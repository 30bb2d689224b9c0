// Argument binding and the exact-str checks that precede every body.
#pragma once
#include "function.hpp"

namespace merge_driver::binding {

// Fills bound[0..params) (borrowed) or throws HostError with the binding message set.
void bind_arguments(const FunctionInfo& fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// False, with TypeError set, for the first "str" parameter given something else than str or None.
bool check_argument_types(const FunctionInfo& fn, PyObject* const* bound);

}  // namespace merge_driver::binding
