// Module definition, create and exec steps, and the functions and class the exec step binds.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include "../notebook.hpp"
#include "compat.hpp"
#include "function.hpp"
#include "names.hpp"
#include "ops.hpp"

#ifndef MERGE_IPYNB_COMPILE_MAJOR
#define MERGE_IPYNB_COMPILE_MAJOR PY_MAJOR_VERSION
#define MERGE_IPYNB_COMPILE_MINOR PY_MINOR_VERSION
#endif

namespace merge_driver::binding {

namespace {

// Process-wide state: written during load under the host's lock, read afterwards.
int64_t recorded_interpreter = -1;
PyObject* the_module = nullptr;        // owned; set while loading and once loaded
PyObject* the_dict = nullptr;          // the module's namespace, borrowed from the_module
PyObject* the_builtins = nullptr;      // owned
PyObject* builtin_property = nullptr;  // owned, cached at load
PyObject* builtin_open = nullptr;
PyObject* builtin_assertion_error = nullptr;
bool asserts_on = true;
std::vector<std::unique_ptr<FunctionInfo>>* infos = nullptr;  // made once, kept for the process

const std::string init_entry = std::string("init ") + module_name;

}  // namespace

PyObject* module_dict() { return the_dict; }
PyObject* builtins_module() { return the_builtins; }
PyObject* cached_open() { return builtin_open; }
PyObject* cached_assertion_error() { return builtin_assertion_error; }
bool assertions_enabled() { return asserts_on; }

Ref global(PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(the_dict, name);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw HostError{};
    PyObject* b = PyObject_GetAttr(the_builtins, name);
    if (b) return Ref::steal(b);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
    PyErr_Clear();
    raise(PyExc_NameError, "name '%U' is not defined", name);
}

namespace {

// ---- function table ------------------------------------------------------------------------

struct Def {
    Body body;
    const char* qualname;
    int first_line;
    std::vector<std::pair<const char*, const char*>> params;  // name, annotation (or null)
    const char* returns;                                      // return annotation or null
    const char* doc;
    std::vector<const char*> extra_locals;                    // locals after the parameters
    int n_defaults = 0;
};

const char* const add_conflict_mark_doc =
    "Change name adding '<<< ' when current cell.\n        Change name adding '>>> ' when incoming cell.\n        ";

enum Fn {
    fn_merge_source, fn_init, fn_file_type, fn_data_get, fn_data_set, fn_cell_id_get,
    fn_cell_id_set, fn_source_get, fn_source_set, fn_meta_data, fn_link_id_get, fn_link_id_set,
    fn_name_get, fn_name_set, fn_parents_get, fn_parents_set, fn_comments, fn_add_comment,
    fn_add_conflict_mark, fn_cell_changed, fn_merge_files, fn_count
};

std::vector<Def> definitions() {
    const char* s = "str";
    const char* d = "Dict[str, Any]";
    const char* l = "List[str]";
    return {
        {merge_source_body, "_merge_source", 29,
         {{"g", "git.cmd.Git"}, {"current", l}, {"base", l}, {"incoming", l},
          {"current_name", "Optional[str]"}, {"incoming_name", "Optional[str]"}},
         "List[str]", nullptr,
         {"tempdir", "current_path", "base_path", "incoming_path", "current_file", "base_file",
          "incoming_file", "fp", "lines", "line"},
         2},
        {cell_init_body, "Cell.__init__", 69, {{"self", nullptr}, {"cell", d}, {"file_type", s}},
         nullptr, nullptr, {}},
        {cell_file_type_get_body, "Cell.file_type", 74, {{"self", nullptr}}, "str",
         "The file type that contains the cell", {}},
        {cell_data_get_body, "Cell.data", 83, {{"self", nullptr}}, d, "Cell dictionary", {}},
        {cell_data_set_body, "Cell.data", 88, {{"self", nullptr}, {"value", d}}, "None",
         "Cell dictionary setter", {}},
        {cell_cell_id_get_body, "Cell.cell_id", 93, {{"self", nullptr}}, "Any", "Cell id of the cell", {}},
        {cell_cell_id_set_body, "Cell.cell_id", 98, {{"self", nullptr}, {"value", s}}, "None",
         "Cell id setter", {}},
        {cell_source_get_body, "Cell.source", 103, {{"self", nullptr}}, "Any", "Source code of the cell", {}},
        {cell_source_set_body, "Cell.source", 108, {{"self", nullptr}, {"value", l}}, "None",
         "Source code setter", {}},
        {cell_meta_data_get_body, "Cell.meta_data", 113, {{"self", nullptr}}, "Any",
         "Meta data of the cell", {}},
        {cell_link_id_get_body, "Cell.link_id", 118, {{"self", nullptr}}, "Any", "Link id of the cell", {}},
        {cell_link_id_set_body, "Cell.link_id", 123, {{"self", nullptr}, {"value", s}}, "None",
         "Link id setter", {}},
        {cell_name_get_body, "Cell.name", 128, {{"self", nullptr}}, "Any",
         "Name of the cell. It has 'None' value when the cell is not a component", {}},
        {cell_name_set_body, "Cell.name", 133, {{"self", nullptr}, {"value", s}}, "None", "Name setter", {}},
        {cell_parents_get_body, "Cell.parents", 138, {{"self", nullptr}}, "Any",
         "Parents information of the cell", {}},
        {cell_parents_set_body, "Cell.parents", 143, {{"self", nullptr}, {"value", "List[Dict[str, str]]"}},
         "None", "Parent information setter", {}},
        {cell_comments_get_body, "Cell.comments", 148, {{"self", nullptr}}, "Any", "Comments of the cell", {}},
        {cell_add_comment_body, "Cell.add_comment", 153, {{"self", nullptr}, {"comment", "Dict[str, str]"}},
         "None", "Add comment in the cell", {}},
        {cell_add_conflict_mark_body, "Cell.add_conflict_mark", 157, {{"self", nullptr}}, "None",
         add_conflict_mark_doc, {}},
        {cell_changed_body, "_cell_changed", 171, {{"cell0", "Cell"}, {"cell1", "Cell"}}, "Dict[str, Any]",
         nullptr, {"parent", "cell_diff"}},
        {merge_files_body, "merge_files", 181,
         {{"base_file_path", s}, {"current_file_path", s}, {"incoming_file_path", s}, {"file_path", s}},
         "None", "Ipython Notebook Merge Driver main",
         {"current", "f", "base", "incoming", "current_cells", "cell", "merged_cells", "base_cells",
          "incoming_cells", "cell_id", "incoming_cell_diff", "comp_names", "incoming_comp_name",
          "g", "current_cell_diff", "pop_comp_name", "comp_name", "comp_id", "current_comp_name",
          "incoming_comment", "new_cell", "list_of_tuples", "offset", "comp_ids", "new_parents",
          "parent", "current_parameters", "parameter", "base_parameters", "incoming_parameters",
          "merged_parameters", "name", "merged", "ids_we_deleted", "ids_they_added",
          "ids_both_hold", "canvas_keys", "names_both_hold", "names_we_deleted",
          "names_they_added", "current_parameter", "base_parameter", "incoming_parameter",
          "key", "value", "temp_path", "temp_file", "pair", "index", "their_comments",
          "base_comments"}},
    };
}

// Every FunctionInfo with its code object; made once per process, kept after a failed load.
void make_infos() {
    if (infos) return;
    auto made = std::make_unique<std::vector<std::unique_ptr<FunctionInfo>>>();
    for (const Def& def : definitions()) {
        auto info = std::make_unique<FunctionInfo>();
        info->body = def.body;
        const char* plain = std::strrchr(def.qualname, '.');
        plain = plain ? plain + 1 : def.qualname;
        info->name = check(PyUnicode_InternFromString(plain));
        info->qualname = check(PyUnicode_InternFromString(def.qualname));
        info->full_name = std::string(module_name) + "." + def.qualname;
        info->first_line = def.first_line;
        for (auto& [pname, ann] : def.params) {
            info->params.push_back(check(PyUnicode_InternFromString(pname)));
            info->str_checked.push_back(ann && std::strcmp(ann, "str") == 0);
        }
        info->n_required = static_cast<Py_ssize_t>(def.params.size()) - def.n_defaults;
        if (def.n_defaults) {
            info->defaults = check(PyTuple_New(def.n_defaults));
            for (int i = 0; i < def.n_defaults; ++i) {
                Py_INCREF(Py_None);
                PyTuple_SET_ITEM(info->defaults, i, Py_None);
            }
        }
        const size_t nlocals = def.params.size() + def.extra_locals.size();
        Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nlocals)));
        for (size_t i = 0; i < nlocals; ++i) {
            const char* local = i < def.params.size() ? def.params[i].first
                                                      : def.extra_locals[i - def.params.size()];
            PyTuple_SET_ITEM(varnames.get(), i, check(PyUnicode_InternFromString(local)));
        }
        info->code = compat::make_code(static_cast<int>(def.params.size()), varnames.get(), plain,
                                       source_path, def.first_line).release();
        made->push_back(std::move(info));
    }
    infos = made.release();
}

struct Loader {
    At& at;
    std::vector<Def> defs = definitions();

    // Defines one function and binds it under its name in `ns`.
    Ref define(Fn which, PyObject* ns, bool bind = true) {
        const Def& def = defs[which];
        FunctionInfo& info = *(*infos)[which];
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
        if (bind) check(PyDict_SetItem(ns, info.name, f.get()));
        return f;
    }

    void import_module(PyObject* name) {
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
            found = Ref::steal(PyImport_ImportModuleLevelObject(name, the_dict, locals.get(), nullptr, 0));
        }
        check(PyDict_SetItem(the_dict, name, found.get()));
    }

    void import_typing() {
        PyObject* wanted[] = {names::Any, names::Dict, names::List, names::Optional};
        Ref fromlist = Ref::steal(PyList_New(4));
        for (int i = 0; i < 4; ++i) {
            Py_INCREF(wanted[i]);
            PyList_SET_ITEM(fromlist.get(), i, wanted[i]);
        }
        Ref locals = Ref::steal(PyDict_New());
        Ref typing = Ref::steal(
            PyImport_ImportModuleLevelObject(names::typing, the_dict, locals.get(), fromlist.get(), 0));
        for (PyObject* name : wanted) {
            Ref value = Ref::steal_or_null(PyObject_GetAttr(typing.get(), name));
            if (!value) {
                if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                    PyErr_Clear();
                    raise(PyExc_ImportError, "cannot import name %S", name);
                }
                throw HostError{};
            }
            check(PyDict_SetItem(the_dict, name, value.get()));
        }
    }

    // A name in the class body: class namespace, then module namespace, then builtins.
    Ref class_lookup(PyObject* ns, PyObject* name) {
        PyObject* found = PyDict_GetItemWithError(ns, name);
        if (found) return Ref::borrow(found);
        if (PyErr_Occurred()) throw HostError{};
        return global(name);
    }

    void property(PyObject* ns, Fn getter, int getter_line, Fn setter = fn_count, int setter_line = 0) {
        at(getter_line);
        Ref get = define(getter, ns, false);
        Ref prop = call(builtin_property, {get.get()});
        PyObject* name = (*infos)[getter]->name;
        check(PyDict_SetItem(ns, name, prop.get()));
        if (setter == fn_count) return;
        at(setter_line);
        Ref existing = class_lookup(ns, name);
        Ref make_setter = getattr(existing.get(), names::setter);
        Ref set = define(setter, ns, false);
        Ref with_setter = call(make_setter.get(), {set.get()});
        check(PyDict_SetItem(ns, name, with_setter.get()));
    }

    void build_cell_class() {
        at(62);
        Ref ns = Ref::steal(PyDict_New());
        Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
        Ref class_doc = Ref::steal(PyUnicode_FromString("Data structure to represent a cell."));
        check(PyDict_SetItem(ns.get(), names::__module__, module_text.get()));
        check(PyDict_SetItem(ns.get(), names::__qualname__, names::Cell));
        check(PyDict_SetItem(ns.get(), names::__doc__, class_doc.get()));
        at(65); check(PyDict_SetItem(ns.get(), names::BASE, names::base));
        at(66); check(PyDict_SetItem(ns.get(), names::CURRENT, names::current));
        at(67); check(PyDict_SetItem(ns.get(), names::INCOMING, names::incoming));
        at(69); define(fn_init, ns.get());
        property(ns.get(), fn_file_type, 74);
        property(ns.get(), fn_data_get, 83, fn_data_set, 88);
        property(ns.get(), fn_cell_id_get, 93, fn_cell_id_set, 98);
        property(ns.get(), fn_source_get, 103, fn_source_set, 108);
        property(ns.get(), fn_meta_data, 113);
        property(ns.get(), fn_link_id_get, 118, fn_link_id_set, 123);
        property(ns.get(), fn_name_get, 128, fn_name_set, 133);
        property(ns.get(), fn_parents_get, 138, fn_parents_set, 143);
        property(ns.get(), fn_comments, 148);
        at(153); define(fn_add_comment, ns.get());
        at(157); define(fn_add_conflict_mark, ns.get());
        at(62);
        Ref bases = Ref::steal(PyTuple_New(0));
        Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {names::Cell, bases.get(), ns.get()});
        check(PyDict_SetItem(the_dict, names::Cell, cls.get()));
    }

    void version_check() {
        int runtime_major = 0, runtime_minor = 0;
        if (std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor) != 2) return;
        if (runtime_major == MERGE_IPYNB_COMPILE_MAJOR && runtime_minor == MERGE_IPYNB_COMPILE_MINOR)
            return;
        char compiled[32], runtime[32], message[256];
        std::snprintf(compiled, sizeof compiled, "%d.%d", MERGE_IPYNB_COMPILE_MAJOR, MERGE_IPYNB_COMPILE_MINOR);
        std::snprintf(runtime, sizeof runtime, "%d.%d", runtime_major, runtime_minor);
        std::snprintf(message, sizeof message,
                      "compiletime version %s of module '%.100s' does not match runtime version %s",
                      compiled, module_name, runtime);
        check(PyErr_WarnEx(nullptr, message, 1));
    }

    void cache_builtin(PyObject*& slot, PyObject* name) {
        PyObject* found = PyObject_GetAttr(the_builtins, name);
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
        asserts_on = !truthy(level.get());
    }

    void exec_body() {
        at(1);
        Ref builtins = Ref::borrow(check(PyImport_AddModule("builtins")));
        Py_XSETREF(the_builtins, builtins.release());
        check(PyDict_SetItem(the_dict, names_or_make_builtins(), the_builtins));
        version_check();
        names::create();
        {
            PyObject* modules = PyImport_GetModuleDict();
            Ref key = Ref::steal(PyUnicode_FromString(module_name));
            int present = check(PyDict_Contains(modules, key.get()));
            if (!present) check(PyDict_SetItem(modules, key.get(), the_module));
        }
        cache_builtin(builtin_property, names::property);
        cache_builtin(builtin_open, names::open);
        cache_builtin(builtin_assertion_error, names::AssertionError);
        read_optimisation_flag();
        ready_function_type();
        make_infos();

        at(18); import_module(names::json);
        at(19); import_module(names::logging);
        at(20); import_module(names::os);
        at(21); import_module(names::tempfile);
        at(22); import_module(names::uuid);
        at(23); import_typing();
        at(25); import_module(names::git);
        at(26); import_module(names::jsondiff);
        at(29); define(fn_merge_source, the_dict);
        build_cell_class();
        at(171); define(fn_cell_changed, the_dict);
        at(181); define(fn_merge_files, the_dict);
        at(1);
        Ref test = Ref::steal(PyDict_New());
        Ref key = Ref::steal(PyUnicode_FromString("Cell.add_conflict_mark (line 157)"));
        Ref doc = Ref::steal(PyUnicode_FromString(add_conflict_mark_doc));
        check(PyDict_SetItem(test.get(), key.get(), doc.get()));
        check(PyDict_SetItem(the_dict, names::__test__, test.get()));
    }

    // "__builtins__" is bound before the interned names exist.
    PyObject* names_or_make_builtins() {
        static PyObject* key = nullptr;
        if (!key) key = check(PyUnicode_InternFromString("__builtins__"));
        return key;
    }
};

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = compat::current_interpreter_id();
    if (recorded_interpreter == -1) {
        if (id == -1) return nullptr;
        recorded_interpreter = id;
    } else if (id != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) {
        Py_INCREF(the_module);
        return the_module;
    }
    try {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        const char* copies[][2] = {{"loader", "__loader__"}, {"origin", "__file__"},
                                   {"parent", "__package__"}, {"submodule_search_locations", "__path__"}};
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
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

int module_exec(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'merge_ipynb' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    Py_INCREF(module);
    the_module = module;
    the_dict = PyModule_GetDict(module);
    At at{1};
    try {
        Loader{at}.exec_body();
        return 0;
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback_entry(init_entry, at.line);
    the_dict = nullptr;
    Py_CLEAR(the_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "merge_ipynb", nullptr, 0, no_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace merge_driver::binding

extern "C" MERGE_IPYNB_EXPORT PyObject* PyInit_merge_ipynb() {
    return PyModuleDef_Init(&merge_driver::binding::module_def);
}
