// The module merge_core: merge_notebooks, the merge of merge_files on notebooks already parsed,
// with the result kept in memory, merge_sources, the source merges of a plain notebook, and the
// file helpers the driver shares with merge_files (replace_file, process_tag). It loads without importing anything: the modules the merge
// names (the git and jsondiff packages among them) are imported when the merge first uses them,
// so that a command that merges one notebook pays only for what that merge needs; the logging
// module is used only where the host has loaded it.
#include "binding/compat.hpp"
#include "binding/loader.hpp"
#include "lines.hpp"
#include "module_functions.hpp"
#include "notebook.hpp"

namespace merge_driver {

namespace {

const char* const imported_on_use[] = {"json", "os",       "tempfile", "uuid",
                                       "git",  "jsondiff", nullptr};
// The cell diffs go to logging's debug records only where the host has loaded logging: without
// it nobody can have asked for them. The diff library is used where the host has loaded it;
// else the merge reads the keys it decides by without it, and imports it only for a pair that
// it cannot read so (see structural_diff).
const char* const used_if_loaded[] = {"logging", "jsondiff", nullptr};

void module_body(binding::Loader& load) {
    At& at = load.at;
    define_cells_and_source_merge(load);
    at(lines::merge_notebooks::def);
    load.define(fn_merge_notebooks);
    at(lines::merge_sources::def);
    load.define(fn_merge_sources);
    at(lines::core_load::frame);
    load.define(fn_replace_file);
    load.define(fn_process_tag);
    at(lines::core_load::frame);
}

}  // namespace

}  // namespace merge_driver

namespace merge_driver::binding {

const ModuleTable& module_table() {
    static const ModuleTable table = {"merge_core",
                                      "corvane_git.scripts.merge_driver.merge_core",
                                      "corvane_git\\scripts\\merge_driver\\merge_core",
                                      function_table(),
                                      merge_driver::names::create,
                                      module_body,
                                      merge_driver::imported_on_use,
                                      merge_driver::used_if_loaded};
    return table;
}

}  // namespace merge_driver::binding

extern "C" MERGE_IPYNB_EXPORT PyObject* PyInit_merge_core() {
    return merge_driver::binding::module_init();
}
