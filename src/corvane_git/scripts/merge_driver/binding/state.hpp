// The module's process-wide state: one instance, written during load under the host's lock and
// read afterwards. The module object keeps no state of its own (its per-module size is 0), since
// the module loads into one interpreter per process.
#pragma once
#include <Python.h>
#include <cstdint>
#include <memory>
#include <vector>

namespace merge_driver::binding {

struct FunctionInfo;

struct ModuleState {
    std::int64_t interpreter = -1;  // id of the interpreter the module was first created in
    PyObject* module = nullptr;     // owned; set while loading and once loaded
    PyObject* dict = nullptr;       // the module's namespace, borrowed from `module`
    PyObject* builtins = nullptr;   // owned: the host's builtins module
    PyObject* property = nullptr;   // owned: the builtins the bodies name, as found at load
    PyObject* open = nullptr;
    PyObject* assertion_error = nullptr;
    bool assertions = true;  // false when the host runs with its optimisation flag
    std::vector<std::unique_ptr<FunctionInfo>> functions;  // made once, kept for the process
};

// The one instance.
ModuleState& state();

}  // namespace merge_driver::binding
