// The module's function type: host attributes, method binding, calls and the one catch per call.
#include "function.hpp"
#include <structmember.h>
#include <new>
#include "arguments.hpp"
#include "compat.hpp"
#include "loader.hpp"
#include "ops.hpp"
#include "saved_error.hpp"
#include "state.hpp"

namespace merge_driver::binding {

namespace {

struct FunctionObject {
    PyObject_HEAD
#if MERGE_IPYNB_VECTORCALL
        vectorcallfunc vectorcall;
#endif
    FunctionInfo* info;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Binds, checks and runs the body; the only catch. noexcept: any other C++ exception stops the
// process instead of unwinding through host frames.
PyObject* dispatch(FunctionInfo& fn, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    PyObject* bound[max_params];
    try {
        bind_arguments(fn, args, nargs, kwnames, bound);
    } catch (const HostError&) {
        add_traceback_entry(fn.full_name, fn.first_line);
        return nullptr;
    }
    if (!check_argument_types(fn, bound)) return nullptr;
    At at{fn.first_line};
    try {
        PyObject* result = fn.body(at, bound).release();
        if (result) return result;
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "function body returned no result");
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) { PyErr_NoMemory(); }
    add_traceback_entry(fn.full_name, at.line);
    return nullptr;
}

#if MERGE_IPYNB_VECTORCALL
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Py_ssize_t nargs = compat::vectorcall_nargs(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames) == 0) kwnames = nullptr;
    return dispatch(*as_function(self)->info, args, nargs, kwnames);
}
#endif

// The generic form: a tuple and a dict become an argument array and a tuple of keyword names.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionInfo& fn = *as_function(self)->info;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
        return dispatch(fn, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    PyObject* kwnames = PyTuple_New(nkw);
    if (!kwnames) return nullptr;
    std::vector<PyObject*> stack(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            Py_DECREF(kwnames);
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames, i, key);
        stack[nargs + i] = value;  // borrowed from kwargs, which the caller keeps alive
        ++i;
    }
    PyObject* result = dispatch(fn, stack.data(), nargs, kwnames);
    Py_DECREF(kwnames);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {const_cast<char*>("__name__"), T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
    {const_cast<char*>("__qualname__"), T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("__defaults__"), T_OBJECT, offsetof(FunctionObject, defaults), 0, nullptr},
    {const_cast<char*>("__annotations__"), T_OBJECT, offsetof(FunctionObject, annotations), 0,
     nullptr},
    {const_cast<char*>("__code__"), T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__kwdefaults__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__closure__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A static type, filled in at load: a PyType_Spec states the vectorcall and instance-dict offsets
// only from 3.9 on, and 3.7 and 3.8 would need them patched into the made type.
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

FunctionInfo* function_info(PyObject* o) {
    return Py_TYPE(o) == &function_type ? as_function(o)->info : nullptr;
}

PyObject* call_function(FunctionInfo& fn, PyObject* const* args, Py_ssize_t nargs) {
    return dispatch(fn, args, nargs, nullptr);
}

void ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    static const std::string type_name = std::string(module_table().name) + ".function";
    function_type.tp_name = type_name.c_str();
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_repr = function_repr;
    function_type.tp_call = function_call;
    function_type.tp_getattro = PyObject_GenericGetAttr;
    function_type.tp_setattro = PyObject_GenericSetAttr;
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | compat::tpflags_vectorcall |
                             compat::tpflags_method_descriptor;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_members = function_members;
    function_type.tp_getset = function_getset;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
#if MERGE_IPYNB_VECTORCALL
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
#endif
    check(PyType_Ready(&function_type));
}

GcPause::GcPause() {
    int was = compat::pause_gc();
    if (was < 0) throw HostError{};
    was_enabled_ = was != 0;
}

GcPause::~GcPause() {
    if (!was_enabled_) return;
    SavedError saved;
    compat::resume_gc();
}

Ref make_function(FunctionInfo& info, const char* doc, PyObject* annotations) {
    Ref doc_obj = doc ? Ref::steal(PyUnicode_FromString(doc)) : none();
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) throw HostError{};
#if MERGE_IPYNB_VECTORCALL
    f->vectorcall = function_vectorcall;
#endif
    f->info = &info;
    f->name = Ref::borrow(info.name).release();
    f->qualname = Ref::borrow(info.qualname).release();
    f->module = PyUnicode_FromString(module_table().full_name);
    f->doc = doc_obj.release();
    f->defaults = Ref::borrow(info.defaults ? info.defaults : Py_None).release();
    f->annotations = Ref::borrow(annotations).release();
    f->code = Ref::borrow(info.code).release();
    f->globals = Ref::borrow(state().dict).release();
    f->dict = nullptr;
    Ref result = Ref::steal_or_null(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);
    if (!f->module) throw HostError{};
    return result;
}

}  // namespace merge_driver::binding
