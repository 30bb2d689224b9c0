// Host object operations for the bodies: each throws HostError where the host reports failure.
#pragma once
#include <Python.h>
#include <initializer_list>
#include <utility>
#include "errors.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace merge_driver::binding {

// A module-level name, looked up at each use: namespace, then builtins, else NameError.
Ref global(PyObject* name);
// global(name), except for a module of the table's used_if_loaded: bound from the host's loaded
// modules, or null when the host has not loaded it.
Ref global_if_loaded(PyObject* name);

[[noreturn]] inline void raise_assertion() {
    PyErr_SetNone(state().assertion_error);
    throw HostError{};
}

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check(PyObject_SetAttr(o, name, v));
}
inline Ref getitem(PyObject* o, PyObject* key) { return Ref::steal(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check(PyObject_SetItem(o, key, v)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
inline bool contains(PyObject* container, PyObject* item) {
    return check(PySequence_Contains(container, item)) != 0;
}
// Host equality (==), then truth; no identity shortcut beyond what the types do themselves.
inline bool equal(PyObject* a, PyObject* b) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return truthy(r.get());
}
inline bool is_str_or_none(PyObject* o) { return o == Py_None || PyUnicode_CheckExact(o); }

// f(*args)
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args = {}) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(tuple.get(), i++, a);
    }
    return Ref::steal(PyObject_Call(f, tuple.get(), nullptr));
}

// f(*args, **{name: value, ...}) with keywords in the order given.
inline Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args,
                   std::initializer_list<std::pair<PyObject*, PyObject*>> kwargs) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(tuple.get(), i++, a);
    }
    Ref kw = Ref::steal(PyDict_New());
    for (auto& [k, v] : kwargs) check(PyDict_SetItem(kw.get(), k, v));
    return Ref::steal(PyObject_Call(f, tuple.get(), kw.get()));
}

// o.name(*args)
inline Ref call_method(PyObject* o, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    Ref f = getattr(o, name);
    return call(f.get(), args);
}

// Holds the host's cyclic garbage collector off for its lifetime (the notebooks of a merge make
// millions of containers and no cycles; the collector's passes over them grow with the heap).
class GcPause {
public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
private:
    bool was_enabled_;
};

}  // namespace merge_driver::binding
