// Differences between host versions, and only those.
#pragma once
#include <Python.h>
#include <frameobject.h>

// The module entry stays visible although the build hides every other symbol; hosts before 3.9
// do not mark PyMODINIT_FUNC for export themselves.
#if defined(_WIN32)
#define MERGE_IPYNB_EXPORT
#else
#define MERGE_IPYNB_EXPORT __attribute__((visibility("default")))
#endif

namespace merge_driver::binding::compat {

#if PY_VERSION_HEX >= 0x03090000
#define MERGE_IPYNB_VECTORCALL 1
constexpr unsigned long tpflags_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
constexpr unsigned long tpflags_method_descriptor = Py_TPFLAGS_METHOD_DESCRIPTOR;
inline Py_ssize_t vectorcall_nargs(size_t nargsf) { return PyVectorcall_NARGS(nargsf); }
#else
// 3.8's vectorcall checks keyword names before the callee does, with its own message: calls on
// hosts before 3.9 go through tp_call.
#define MERGE_IPYNB_VECTORCALL 0
constexpr unsigned long tpflags_vectorcall = 0;
constexpr unsigned long tpflags_method_descriptor = 0;
#endif

// Id of the interpreter running the calling thread; -1 with an error set on failure.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The introspection code object of a function: counts, local names, plain name, first line,
// file, optimised-locals flags; no bytecode runs from it. New reference or null with error.
inline PyObject* make_code(int argcount, PyObject* varnames, const char* name,
                           const char* filename, int first_line) {
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    const Py_ssize_t nlocals = PyTuple_GET_SIZE(varnames);
#if PY_VERSION_HEX < 0x03080000
    PyObject* empty_bytes = PyBytes_FromStringAndSize("", 0);
    PyObject* empty_tuple = PyTuple_New(0);
    PyObject* filename_obj = PyUnicode_FromString(filename);
    PyObject* name_obj = PyUnicode_FromString(name);
    PyObject* code = nullptr;
    if (empty_bytes && empty_tuple && filename_obj && name_obj)
        code = reinterpret_cast<PyObject*>(PyCode_New(
            argcount, 0, static_cast<int>(nlocals), 0, flags, empty_bytes, empty_tuple,
            empty_tuple, varnames, empty_tuple, empty_tuple, filename_obj, name_obj, first_line,
            empty_bytes));
    Py_XDECREF(empty_bytes);
    Py_XDECREF(empty_tuple);
    Py_XDECREF(filename_obj);
    Py_XDECREF(name_obj);
    return code;
#else
    // Built empty, then given its counts through code.replace, which every later host keeps
    // consistent with its own code layout.
    PyObject* empty = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, first_line));
    if (!empty) return nullptr;
    PyObject* replace = PyObject_GetAttrString(empty, "replace");
    Py_DECREF(empty);
    if (!replace) return nullptr;
    PyObject* args = PyTuple_New(0);
    PyObject* kw = Py_BuildValue("{s:i,s:n,s:O,s:i}", "co_argcount", argcount, "co_nlocals",
                                 nlocals, "co_varnames", varnames, "co_flags", flags);
    PyObject* code = (args && kw) ? PyObject_Call(replace, args, kw) : nullptr;
    Py_XDECREF(args);
    Py_XDECREF(kw);
    Py_DECREF(replace);
    return code;
#endif
}

// A frame for a traceback entry at `line`, on a code object made for that line.
inline PyObject* make_frame(PyObject* code, PyObject* globals) {
    return reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

// Pauses the host's cyclic garbage collector; the state before is restored by resume_gc.
// Returns whether it was enabled, or -1 with an error set.
inline int pause_gc() {
#if PY_VERSION_HEX >= 0x030A0000
    return PyGC_Disable();
#else
    PyObject* gc = PyImport_ImportModule("gc");
    if (!gc) return -1;
    PyObject* was = PyObject_CallMethod(gc, "isenabled", nullptr);
    int enabled = was ? PyObject_IsTrue(was) : -1;
    Py_XDECREF(was);
    PyObject* done = enabled >= 0 ? PyObject_CallMethod(gc, "disable", nullptr) : nullptr;
    Py_DECREF(gc);
    if (!done) return -1;
    Py_DECREF(done);
    return enabled;
#endif
}

// Enables the collector again; keeps a pending error as it was.
inline void resume_gc() {
#if PY_VERSION_HEX >= 0x030A0000
    PyGC_Enable();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc ? PyObject_CallMethod(gc, "enable", nullptr) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(gc);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
#endif
}

}  // namespace merge_driver::binding::compat
