// Differences between host versions, and only those.
#pragma once
#include <Python.h>
#include <frameobject.h>
#include "ref.hpp"

// The module entry is the extension's one exported symbol: the build hides every other (see
// CMakeLists.txt); hosts before 3.9 do not mark PyMODINIT_FUNC for export themselves. On Windows
// one dllexport also stops MinGW from exporting every symbol.
#if defined(_WIN32)
#define MERGE_IPYNB_EXPORT __declspec(dllexport)
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

// A heap type made from `spec` that the host cannot call to make instances: from 3.10 a type flag
// says so; before, the type's tp_new (inherited from object) is cleared after creation, as
// CPython's own modules did.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long tpflags_not_instantiable = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long tpflags_not_instantiable = 0;
#endif
inline Ref not_instantiable_type(PyType_Spec* spec) {
    Ref type = Ref::steal(PyType_FromSpec(spec));
#if PY_VERSION_HEX < 0x030A0000
    reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
#endif
    return type;
}

// Frees an instance that PyObject_New made of a heap type; from 3.8 on the instance holds a
// reference to its type.
inline void free_heap_type_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#else
    (void)type;
#endif
}

// Id of the interpreter running the calling thread; -1 with an error set on failure.
inline int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The introspection code object of a function: counts, local names, plain name, first line,
// file, optimised-locals flags; no bytecode runs from it. Throws HostError on failure.
inline Ref make_code(int argcount, PyObject* varnames, const char* name, const char* filename,
                     int first_line) {
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    const Py_ssize_t nlocals = PyTuple_GET_SIZE(varnames);
#if PY_VERSION_HEX < 0x03080000
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref filename_obj = Ref::steal(PyUnicode_FromString(filename));
    Ref name_obj = Ref::steal(PyUnicode_FromString(name));
    PyObject* e = empty_tuple.get();
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_New(
        argcount, 0, static_cast<int>(nlocals), 0, flags, empty_bytes.get(), e, e, varnames, e, e,
        filename_obj.get(), name_obj.get(), first_line, empty_bytes.get())));
#else
    // Built empty, then given its counts through code.replace, which every later host keeps
    // consistent with its own code layout.
    Ref empty =
        Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, name, first_line)));
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref args = Ref::steal(PyTuple_New(0));
    Ref kw = Ref::steal(Py_BuildValue("{s:i,s:n,s:O,s:i}", "co_argcount", argcount, "co_nlocals",
                                      nlocals, "co_varnames", varnames, "co_flags", flags));
    return Ref::steal(PyObject_Call(replace.get(), args.get(), kw.get()));
#endif
}

// A frame for a traceback entry at `line`, on a code object made for that line.
inline PyObject* make_frame(PyObject* code, PyObject* globals) {
    return reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

// The pending error as one exception instance, normalised, with its traceback attached, and the
// error indicator cleared; null when none is pending. New reference.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Sets `exception` (a reference it takes over; null: nothing) as the pending error.
inline void set_raised_exception(PyObject* exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
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

// Enables the collector again. May leave an error set (the caller keeps its own apart).
inline void resume_gc() {
#if PY_VERSION_HEX >= 0x030A0000
    PyGC_Enable();
#else
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* done = gc ? PyObject_CallMethod(gc, "enable", nullptr) : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(gc);
#endif
}

// Whether the text's characters can be read in place (PyUnicode_DATA): before 3.12 a string made
// through the old wide-character calls may not have them yet.
inline bool text_in_place(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

// The recursion levels the host counts for calling a class whose __init__ is one of the module's
// functions (the class call, and before 3.9 the bound method's and the function's own calls),
// held for the scope: the level past the limit raises as the host's call would.
class ClassCallLevels {
public:
#if PY_VERSION_HEX >= 0x03090000
    static constexpr int count = 1;
#else
    static constexpr int count = 3;
#endif
    ClassCallLevels() {
        for (; entered_ < count; ++entered_)
            if (Py_EnterRecursiveCall(" while calling a Python object")) {
                leave();
                throw HostError{};
            }
    }
    ~ClassCallLevels() { leave(); }
    ClassCallLevels(const ClassCallLevels&) = delete;
    ClassCallLevels& operator=(const ClassCallLevels&) = delete;
private:
    void leave() {
        for (; entered_ > 0; --entered_) Py_LeaveRecursiveCall();
    }
    int entered_ = 0;
};

// Whether a map keeps its values apart from its keys (an instance's attributes sharing their
// class's keys): the host then compares its entries in the order of the shared keys.
inline bool dict_is_split(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
}

}  // namespace merge_driver::binding::compat
