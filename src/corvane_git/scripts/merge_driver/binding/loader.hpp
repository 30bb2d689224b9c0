// What a module built on this frame supplies, and the steps its module body is made of.
#pragma once
#include <Python.h>
#include <initializer_list>
#include <utility>
#include <vector>
#include "errors.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace merge_driver::binding {

// One function of the module: its body and what introspection shows of it.
struct FunctionDef {
    Body body;
    const char* qualname;
    int first_line;
    std::vector<std::pair<const char*, const char*>> params;  // name, annotation (or null)
    const char* returns;                                      // return annotation or null
    const char* doc;                                          // null: None
    std::vector<const char*> extra_locals;                    // locals after the parameters
    int n_defaults = 0;  // trailing parameters defaulting to None
};

class Loader;

// The module's own table, defined in the module's source (not in this frame).
struct ModuleTable {
    const char* name;         // the module's plain name
    const char* full_name;    // its dotted name: __module__ of its functions and class
    const char* source_path;  // the file its code objects and traceback entries name
    const std::vector<FunctionDef>& functions;
    void (*create_names)();  // interns the module's own names
    void (*body)(Loader&);   // the module body: imports, definitions, in source order
    // Modules the body does not import: each is imported the first time a body names it, and
    // bound in the namespace from then on (null-terminated; null: none).
    const char* const* imported_on_use = nullptr;
    // Modules the body names only to serve whoever has imported them (the logging module): one
    // that the host has not loaded is not imported, and global_if_loaded gives null for it.
    const char* const* used_if_loaded = nullptr;
};
const ModuleTable& module_table();

// Steps of the module body. `at` takes the line a failure reports, as in the function bodies.
class Loader {
public:
    explicit Loader(At& at) : at(at) {}
    At& at;

    // import X: from the module table unless it is still initialising, else through the host.
    void import_module(PyObject* name);
    // from X import a, b, ...: each bound in turn; a missing one raises ImportError.
    void import_from(PyObject* module, std::initializer_list<PyObject*> wanted);
    // Defines table entry `which` and binds it under its name in `ns` (module namespace: null).
    Ref define(size_t which, PyObject* ns = nullptr, bool bind = true);
    // A property of table entry `getter` in `ns`, then, when `setter` is given, its setter.
    void property(PyObject* ns, size_t getter, int getter_line, size_t setter = npos,
                  int setter_line = 0);
    // A class namespace holding __module__, __qualname__ and __doc__.
    Ref class_namespace(PyObject* qualname, const char* doc);
    // type(name, (), ns), bound under `name` in the module namespace.
    void bind_class(PyObject* name, PyObject* ns);
    // name = value in the module namespace.
    void bind(PyObject* name, PyObject* value);

    static constexpr size_t npos = static_cast<size_t>(-1);
};

// The module definition record, through PyModuleDef_Init: the module's entry returns this.
PyObject* module_init();

}  // namespace merge_driver::binding
