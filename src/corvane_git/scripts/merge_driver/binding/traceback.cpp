// Traceback entries: one code object per (name, line), made on first use and kept.
#include <map>
#include <utility>
#include "compat.hpp"
#include "function.hpp"
#include "loader.hpp"
#include "ops.hpp"
#include "saved_error.hpp"
#include "state.hpp"

namespace merge_driver::binding {

namespace {
std::map<std::pair<std::string, int>, PyObject*>& entry_codes() {
    static auto* codes = new std::map<std::pair<std::string, int>, PyObject*>();
    return *codes;
}
}  // namespace

void add_traceback_entry(const std::string& full_name, int line) {
    Ref frame;
    {
        SavedError saved;  // a failure in here never replaces the error being reported
        PyObject*& code = entry_codes()[{full_name, line}];
        if (!code)
            code = reinterpret_cast<PyObject*>(
                PyCode_NewEmpty(module_table().source_path, full_name.c_str(), line));
        PyObject* globals = state().dict;
        if (code && globals) frame = Ref::steal_or_null(compat::make_frame(code, globals));
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace merge_driver::binding
