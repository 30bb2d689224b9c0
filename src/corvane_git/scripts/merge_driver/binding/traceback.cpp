// Traceback entries: one code object per (name, line), made on first use and kept.
#include <map>
#include <utility>
#include "compat.hpp"
#include "function.hpp"
#include "ops.hpp"

namespace merge_driver::binding {

namespace {
std::map<std::pair<std::string, int>, PyObject*>& entry_codes() {
    static auto* codes = new std::map<std::pair<std::string, int>, PyObject*>();
    return *codes;
}
}  // namespace

void add_traceback_entry(const std::string& full_name, int line) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject*& code = entry_codes()[{full_name, line}];
    if (!code) code = reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_path, full_name.c_str(), line));
    PyObject* frame = nullptr;
    PyObject* globals = module_dict();
    if (code && globals) frame = compat::make_frame(code, globals);
    PyErr_Clear();  // a failure in here never replaces the error being reported
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
        Py_DECREF(frame);
    }
}

}  // namespace merge_driver::binding
