// The one error mechanism: a host failure becomes HostError, caught at one boundary per function.
#pragma once
#include <Python.h>

namespace merge_driver::binding {

struct HostError {};  // thrown only while the host's error indicator is set; carries nothing

inline PyObject* check(PyObject* p) {
    if (!p) throw HostError{};
    return p;
}
inline int check(int rc) {
    if (rc < 0) throw HostError{};
    return rc;
}
inline Py_ssize_t check(Py_ssize_t rc) {
    if (rc < 0) throw HostError{};
    return rc;
}

// Sets the host error and throws; format as PyErr_Format.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw HostError{};
}

// Source line the body reached; the boundary reports it in the traceback entry.
struct At {
    int line;
    void operator()(int l) { line = l; }
};

}  // namespace merge_driver::binding
