// Module definition, create and exec steps, and the steps a module body is made of.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include "compat.hpp"
#include "loader.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "state.hpp"

#ifndef MERGE_IPYNB_COMPILE_MAJOR
#define MERGE_IPYNB_COMPILE_MAJOR PY_MAJOR_VERSION
#define MERGE_IPYNB_COMPILE_MINOR PY_MINOR_VERSION
#endif

namespace merge_driver::binding {

ModuleState& state() {
    static ModuleState* the_state = new ModuleState();  // never freed: the module is never unloaded
    return *the_state;
}

namespace {

// The module `name`, imported now and bound in the namespace, when the table lists it among the
// modules imported on first use; else null.
Ref import_on_use(PyObject* name) {
    for (const char* const* names = module_table().imported_on_use; names && *names; ++names) {
        if (PyUnicode_CompareWithASCIIString(name, *names) != 0) continue;
        Ref module = Ref::steal(PyImport_Import(name));
        check(PyDict_SetItem(state().dict, name, module.get()));
        return module;
    }
    return Ref();
}

bool listed(const char* const* names, PyObject* name) {
    for (; names && *names; ++names)
        if (PyUnicode_CompareWithASCIIString(name, *names) == 0) return true;
    return false;
}

}  // namespace

Ref global_if_loaded(PyObject* name) {
    ModuleState& s = state();
    if (!listed(module_table().used_if_loaded, name)) return global(name);
    PyObject* found = PyDict_GetItemWithError(s.dict, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw HostError{};
    PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (!loaded) {
        if (PyErr_Occurred()) throw HostError{};
        return Ref();
    }
    Ref module = Ref::borrow(loaded);
    check(PyDict_SetItem(s.dict, name, module.get()));
    return module;
}

Ref global(PyObject* name) {
    ModuleState& s = state();
    PyObject* found = PyDict_GetItemWithError(s.dict, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw HostError{};
    if (Ref imported = import_on_use(name)) return imported;
    PyObject* b = PyObject_GetAttr(s.builtins, name);
    if (b) return Ref::steal(b);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
    PyErr_Clear();
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

namespace {

// Every FunctionInfo with its code object; made once per process, kept after a failed load.
void make_functions() {
    ModuleState& s = state();
    if (!s.functions.empty()) return;
    const ModuleTable& table = module_table();
    std::vector<std::unique_ptr<FunctionInfo>> made;
    for (const FunctionDef& def : table.functions) {
        auto info = std::make_unique<FunctionInfo>();
        info->body = def.body;
        const char* plain = std::strrchr(def.qualname, '.');
        plain = plain ? plain + 1 : def.qualname;
        info->name = intern(plain);
        info->qualname = intern(def.qualname);
        info->full_name = std::string(table.full_name) + "." + def.qualname;
        info->first_line = def.first_line;
        for (auto& [pname, ann] : def.params) {
            info->params.push_back(intern(pname));
            info->str_checked.push_back(ann && std::strcmp(ann, "str") == 0);
        }
        info->n_required = static_cast<Py_ssize_t>(def.params.size()) - def.n_defaults;
        if (def.n_defaults) {
            Ref defaults = Ref::steal(PyTuple_New(def.n_defaults));
            for (int i = 0; i < def.n_defaults; ++i)
                PyTuple_SET_ITEM(defaults.get(), i, none().release());
            info->defaults = defaults.release();
        }
        const size_t nlocals = def.params.size() + def.extra_locals.size();
        Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nlocals)));
        for (size_t i = 0; i < nlocals; ++i) {
            const char* local = i < def.params.size() ? def.params[i].first
                                                      : def.extra_locals[i - def.params.size()];
            PyTuple_SET_ITEM(varnames.get(), i, intern(local));
        }
        info->code = compat::make_code(static_cast<int>(def.params.size()), varnames.get(), plain,
                                       table.source_path, def.first_line)
                         .release();
        made.push_back(std::move(info));
    }
    s.functions = std::move(made);
}

void version_check() {
    int runtime_major = 0, runtime_minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor) != 2) return;
    if (runtime_major == MERGE_IPYNB_COMPILE_MAJOR && runtime_minor == MERGE_IPYNB_COMPILE_MINOR)
        return;
    char compiled[32], runtime[32], message[256];
    std::snprintf(compiled, sizeof compiled, "%d.%d", MERGE_IPYNB_COMPILE_MAJOR,
                  MERGE_IPYNB_COMPILE_MINOR);
    std::snprintf(runtime, sizeof runtime, "%d.%d", runtime_major, runtime_minor);
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, module_table().full_name, runtime);
    check(PyErr_WarnEx(nullptr, message, 1));
}

void cache_builtin(PyObject*& slot, PyObject* name) {
    PyObject* found = PyObject_GetAttr(state().builtins, name);
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
        PyErr_Clear();
        raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    Py_XSETREF(slot, found);
}

void read_optimisation_flag() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return;
    Ref level = getattr(flags, names::optimize);
    state().assertions = !truthy(level.get());
}

// Exec steps after the re-initialisation guard, on the module stored in the state.
void exec_steps(At& at) {
    ModuleState& s = state();
    const ModuleTable& table = module_table();
    at(1);
    Ref builtins = Ref::borrow(check(PyImport_AddModule("builtins")));
    Py_XSETREF(s.builtins, builtins.release());
    names::create();
    check(PyDict_SetItem(s.dict, names::__builtins__, s.builtins));
    version_check();
    table.create_names();
    {
        PyObject* modules = PyImport_GetModuleDict();
        Ref key = Ref::steal(PyUnicode_FromString(table.full_name));
        int present = check(PyDict_Contains(modules, key.get()));
        if (!present) check(PyDict_SetItem(modules, key.get(), s.module));
    }
    cache_builtin(s.property, names::property);
    cache_builtin(s.open, names::open);
    cache_builtin(s.assertion_error, names::AssertionError);
    read_optimisation_flag();
    ready_function_type();
    make_functions();
    Loader loader{at};
    table.body(loader);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    ModuleState& s = state();
    int64_t id = compat::current_interpreter_id();
    if (s.interpreter == -1) {
        if (id == -1) return nullptr;
        s.interpreter = id;
    } else if (id != s.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (s.module) return Ref::borrow(s.module).release();
    try {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        const char* copies[][2] = {{"loader", "__loader__"},
                                   {"origin", "__file__"},
                                   {"parent", "__package__"},
                                   {"submodule_search_locations", "__path__"}};
        for (auto& [from, to] : copies) {
            Ref value = Ref::steal_or_null(PyObject_GetAttrString(spec, from));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
                PyErr_Clear();
                continue;
            }
            if (value.get() != Py_None || std::strcmp(to, "__path__") != 0)
                check(PyDict_SetItemString(dict, to, value.get()));
        }
        return module.release();
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) { PyErr_NoMemory(); }
    return nullptr;
}

int module_exec(PyObject* module) {
    ModuleState& s = state();
    if (s.module) {
        if (s.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_table().name);
        return -1;
    }
    s.module = Ref::borrow(module).release();
    s.dict = PyModule_GetDict(module);
    At at{1};
    try {
        exec_steps(at);
        return 0;
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) { PyErr_NoMemory(); }
    add_traceback_entry(std::string("init ") + module_table().full_name, at.line);
    s.dict = nullptr;
    Py_CLEAR(s.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0,      no_methods,
                          module_slots,          nullptr, nullptr, nullptr};

}  // namespace

PyObject* module_init() {
    module_def.m_name = module_table().name;
    return PyModuleDef_Init(&module_def);
}

// ---- steps of the module body ------------------------------------------------------------------

void Loader::import_module(PyObject* name) {
    ModuleState& s = state();
    Ref found = Ref::steal_or_null(PyImport_GetModule(name));
    if (!found && PyErr_Occurred()) throw HostError{};
    if (found) {
        Ref spec = Ref::steal_or_null(PyObject_GetAttr(found.get(), names::__spec__));
        bool initializing = false;
        if (!spec) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
            PyErr_Clear();
        } else {
            Ref flag = Ref::steal_or_null(PyObject_GetAttr(spec.get(), names::_initializing));
            if (!flag) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
                PyErr_Clear();
            } else {
                initializing = truthy(flag.get());
            }
        }
        if (initializing) found = Ref();
    }
    if (!found) {
        Ref locals = Ref::steal(PyDict_New());
        found =
            Ref::steal(PyImport_ImportModuleLevelObject(name, s.dict, locals.get(), nullptr, 0));
    }
    bind(name, found.get());
}

void Loader::import_from(PyObject* module, std::initializer_list<PyObject*> wanted) {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(wanted.size())));
    Py_ssize_t i = 0;
    for (PyObject* name : wanted) PyList_SET_ITEM(fromlist.get(), i++, Ref::borrow(name).release());
    Ref locals = Ref::steal(PyDict_New());
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module, state().dict, locals.get(), fromlist.get(), 0));
    for (PyObject* name : wanted) {
        Ref value = Ref::steal_or_null(PyObject_GetAttr(imported.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                raise(PyExc_ImportError, "cannot import name %S", name);
            }
            throw HostError{};
        }
        bind(name, value.get());
    }
}

Ref Loader::define(size_t which, PyObject* ns, bool bind_it) {
    const FunctionDef& def = module_table().functions[which];
    FunctionInfo& info = *state().functions[which];
    Ref annotations = Ref::steal(PyDict_New());
    for (size_t i = 0; i < def.params.size(); ++i) {
        if (!def.params[i].second) continue;
        Ref text = Ref::steal(PyUnicode_InternFromString(def.params[i].second));
        check(PyDict_SetItem(annotations.get(), info.params[i], text.get()));
    }
    if (def.returns) {
        Ref text = Ref::steal(PyUnicode_InternFromString(def.returns));
        check(PyDict_SetItem(annotations.get(), names::return_, text.get()));
    }
    Ref f = make_function(info, def.doc, annotations.get());
    if (bind_it) check(PyDict_SetItem(ns ? ns : state().dict, info.name, f.get()));
    return f;
}

void Loader::property(PyObject* ns, size_t getter, int getter_line, size_t setter,
                      int setter_line) {
    at(getter_line);
    Ref get = define(getter, ns, false);
    Ref prop = call(state().property, {get.get()});
    PyObject* name = state().functions[getter]->name;
    check(PyDict_SetItem(ns, name, prop.get()));
    if (setter == npos) return;
    at(setter_line);
    // A name in a class body: class namespace, then module namespace, then builtins.
    PyObject* in_class = PyDict_GetItemWithError(ns, name);
    if (!in_class && PyErr_Occurred()) throw HostError{};
    Ref existing = in_class ? Ref::borrow(in_class) : global(name);
    Ref make_setter = getattr(existing.get(), names::setter);
    Ref set = define(setter, ns, false);
    Ref with_setter = call(make_setter.get(), {set.get()});
    check(PyDict_SetItem(ns, name, with_setter.get()));
}

Ref Loader::class_namespace(PyObject* qualname, const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    Ref module_text = Ref::steal(PyUnicode_FromString(module_table().full_name));
    Ref doc_text = Ref::steal(PyUnicode_FromString(doc));
    check(PyDict_SetItem(ns.get(), names::__module__, module_text.get()));
    check(PyDict_SetItem(ns.get(), names::__qualname__, qualname));
    check(PyDict_SetItem(ns.get(), names::__doc__, doc_text.get()));
    return ns;
}

void Loader::bind_class(PyObject* name, PyObject* ns) {
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases.get(), ns});
    bind(name, cls.get());
}

void Loader::bind(PyObject* name, PyObject* value) {
    check(PyDict_SetItem(state().dict, name, value));
}

}  // namespace merge_driver::binding
