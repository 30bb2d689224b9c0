// The module merge_ipynb: its functions, the class Cell, its imports and its entry.
#include "binding/compat.hpp"
#include "binding/loader.hpp"
#include "lines.hpp"
#include "module_functions.hpp"
#include "notebook.hpp"

namespace merge_driver {

namespace {

void module_body(binding::Loader& load) {
    namespace line = lines::load;
    At& at = load.at;
    at(line::import_json);
    load.import_module(names::json);
    at(line::import_logging);
    load.import_module(names::logging);
    at(line::import_os);
    load.import_module(names::os);
    at(line::import_tempfile);
    load.import_module(names::tempfile);
    at(line::import_uuid);
    load.import_module(names::uuid);
    at(line::import_typing);
    load.import_from(names::typing, {names::Any, names::Dict, names::List, names::Optional});
    at(line::import_git);
    load.import_module(names::git);
    at(line::import_jsondiff);
    load.import_module(names::jsondiff);
    define_cells_and_source_merge(load);
    at(lines::merge_files::def);
    load.define(fn_merge_files);
    at(line::frame);
    Ref test = Ref::steal(PyDict_New());
    Ref key = Ref::steal(PyUnicode_FromString("Cell.add_conflict_mark (line 157)"));
    Ref doc = Ref::steal(PyUnicode_FromString(add_conflict_mark_doc));
    binding::check(PyDict_SetItem(test.get(), key.get(), doc.get()));
    load.bind(names::__test__, test.get());
}

}  // namespace

}  // namespace merge_driver

namespace merge_driver::binding {

const ModuleTable& module_table() {
    static const ModuleTable table = {"merge_ipynb",
                                      "corvane_git.scripts.merge_driver.merge_ipynb",
                                      "corvane_git\\scripts\\merge_driver\\merge_ipynb",
                                      function_table(),
                                      merge_driver::names::create,
                                      module_body};
    return table;
}

}  // namespace merge_driver::binding

extern "C" MERGE_IPYNB_EXPORT PyObject* PyInit_merge_ipynb() {
    return merge_driver::binding::module_init();
}
