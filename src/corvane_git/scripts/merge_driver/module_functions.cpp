// The function table and the class Cell shared by both modules of the merge.
#include "module_functions.hpp"
#include "lines.hpp"
#include "notebook.hpp"

namespace merge_driver {

const char* const add_conflict_mark_doc =
    "Change name adding '<<< ' when current cell.\n        Change name adding '>>> ' when incoming cell.\n        ";

namespace {

const char* const merge_notebooks_doc =
    "Merge three notebooks as merge_files does, from their parsed JSON; return the merged notebook.\n\n"
    "The current notebook's objects become part of the result and are changed by the merge.\n"
    "labels, a tuple (ours, base, theirs), label the conflict blocks of the source merges;\n"
    "source_conflicts, a list, gets each merged source list in which git found conflicts.";

const char* const merge_sources_doc =
    "Merge the sources of cells as _merge_source does; return [(lines, conflicts)].\n\n"
    "sources: a list of (current, base, incoming) line lists; labels: None or a tuple\n"
    "(ours, base, theirs) for the conflict blocks; conflicts: the number git reported.";

const char* const replace_file_doc =
    "Replace the file at path (a symbolic link: its target) by the bytes data in one step.\n\n"
    "The bytes go to a temporary file beside it first, which then takes its place with its\n"
    "permission bits (a read-only file too); a failure leaves the file as it was.";

const char* const process_tag_doc =
    "This process's tag, the part of the merge's temporary names after their prefix.";

const char* const s = "str";
const char* const d = "Dict[str, Any]";
const char* const l = "List[str]";

// clang-format off: one row per function, as the table reads
const std::vector<binding::FunctionDef> table = {
    {merge_source_body, "_merge_source", lines::merge_source::def,
     {{"g", "git.cmd.Git"}, {"current", l}, {"base", l}, {"incoming", l},
      {"current_name", "Optional[str]"}, {"incoming_name", "Optional[str]"}},
     "List[str]", nullptr,
     {"tempdir", "current_path", "base_path", "incoming_path", "current_file", "base_file",
      "incoming_file", "fp", "lines", "line"},
     2},
    {cell_init_body, "Cell.__init__", lines::cell_init::def,
     {{"self", nullptr}, {"cell", d}, {"file_type", s}}, nullptr, nullptr, {}},
    {cell_file_type_get_body, "Cell.file_type", lines::cell_file_type::def, {{"self", nullptr}}, "str",
     "The file type that contains the cell", {}},
    {cell_data_get_body, "Cell.data", lines::cell_data_get::def, {{"self", nullptr}}, d, "Cell dictionary", {}},
    {cell_data_set_body, "Cell.data", lines::cell_data_set::def, {{"self", nullptr}, {"value", d}}, "None",
     "Cell dictionary setter", {}},
    {cell_cell_id_get_body, "Cell.cell_id", lines::cell_cell_id_get::def, {{"self", nullptr}}, "Any",
     "Cell id of the cell", {}},
    {cell_cell_id_set_body, "Cell.cell_id", lines::cell_cell_id_set::def, {{"self", nullptr}, {"value", s}},
     "None", "Cell id setter", {}},
    {cell_source_get_body, "Cell.source", lines::cell_source_get::def, {{"self", nullptr}}, "Any",
     "Source code of the cell", {}},
    {cell_source_set_body, "Cell.source", lines::cell_source_set::def, {{"self", nullptr}, {"value", l}},
     "None", "Source code setter", {}},
    {cell_meta_data_get_body, "Cell.meta_data", lines::cell_meta_data::def, {{"self", nullptr}}, "Any",
     "Meta data of the cell", {}},
    {cell_link_id_get_body, "Cell.link_id", lines::cell_link_id_get::def, {{"self", nullptr}}, "Any",
     "Link id of the cell", {}},
    {cell_link_id_set_body, "Cell.link_id", lines::cell_link_id_set::def, {{"self", nullptr}, {"value", s}},
     "None", "Link id setter", {}},
    {cell_name_get_body, "Cell.name", lines::cell_name_get::def, {{"self", nullptr}}, "Any",
     "Name of the cell. It has 'None' value when the cell is not a component", {}},
    {cell_name_set_body, "Cell.name", lines::cell_name_set::def, {{"self", nullptr}, {"value", s}}, "None",
     "Name setter", {}},
    {cell_parents_get_body, "Cell.parents", lines::cell_parents_get::def, {{"self", nullptr}}, "Any",
     "Parents information of the cell", {}},
    {cell_parents_set_body, "Cell.parents", lines::cell_parents_set::def,
     {{"self", nullptr}, {"value", "List[Dict[str, str]]"}}, "None", "Parent information setter", {}},
    {cell_comments_get_body, "Cell.comments", lines::cell_comments::def, {{"self", nullptr}}, "Any",
     "Comments of the cell", {}},
    {cell_add_comment_body, "Cell.add_comment", lines::cell_add_comment::def,
     {{"self", nullptr}, {"comment", "Dict[str, str]"}}, "None", "Add comment in the cell", {}},
    {cell_add_conflict_mark_body, "Cell.add_conflict_mark", lines::cell_add_conflict_mark::def,
     {{"self", nullptr}}, "None", add_conflict_mark_doc, {}},
    {cell_changed_body, "_cell_changed", lines::cell_changed::def, {{"cell0", "Cell"}, {"cell1", "Cell"}},
     "Dict[str, Any]", nullptr, {"parent", "cell_diff"}},
    {merge_files_body, "merge_files", lines::merge_files::def,
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
    {merge_notebooks_body, "merge_notebooks", lines::merge_notebooks::def,
     {{"base", d}, {"current", d}, {"incoming", d}, {"file_path", s},
      {"labels", "Optional[Tuple[str, str, str]]"}, {"source_conflicts", "Optional[List[List[str]]]"}},
     d, merge_notebooks_doc,
     {"current_cells", "cell", "merged_cells", "base_cells", "incoming_cells", "merged"}, 2},
    {merge_sources_body, "merge_sources", lines::merge_sources::def,
     {{"sources", "List[Tuple[List[str], List[str], List[str]]]"}, {"labels", "Optional[Tuple[str, str, str]]"}},
     "List[Tuple[List[str], int]]", merge_sources_doc, {"g", "results", "lines"}, 1},
    {replace_file_body, "replace_file", lines::core_load::frame, {{"path", s}, {"data", "bytes"}}, "None",
     replace_file_doc, {}},
    {process_tag_body, "process_tag", lines::core_load::frame, {}, "str", process_tag_doc, {}},
};
// clang-format on

void build_cell_class(binding::Loader& load) {
    At& at = load.at;
    at(lines::cell_class::def);
    Ref ns = load.class_namespace(names::Cell, "Data structure to represent a cell.");
    PyObject* cls = ns.get();
    at(lines::cell_class::base);
    binding::check(PyDict_SetItem(cls, names::BASE, names::base));
    at(lines::cell_class::current);
    binding::check(PyDict_SetItem(cls, names::CURRENT, names::current));
    at(lines::cell_class::incoming);
    binding::check(PyDict_SetItem(cls, names::INCOMING, names::incoming));
    at(lines::cell_init::def);
    load.define(fn_init, cls);
    load.property(cls, fn_file_type, lines::cell_file_type::def);
    load.property(cls, fn_data_get, lines::cell_data_get::def, fn_data_set,
                  lines::cell_data_set::def);
    load.property(cls, fn_cell_id_get, lines::cell_cell_id_get::def, fn_cell_id_set,
                  lines::cell_cell_id_set::def);
    load.property(cls, fn_source_get, lines::cell_source_get::def, fn_source_set,
                  lines::cell_source_set::def);
    load.property(cls, fn_meta_data, lines::cell_meta_data::def);
    load.property(cls, fn_link_id_get, lines::cell_link_id_get::def, fn_link_id_set,
                  lines::cell_link_id_set::def);
    load.property(cls, fn_name_get, lines::cell_name_get::def, fn_name_set,
                  lines::cell_name_set::def);
    load.property(cls, fn_parents_get, lines::cell_parents_get::def, fn_parents_set,
                  lines::cell_parents_set::def);
    load.property(cls, fn_comments, lines::cell_comments::def);
    at(lines::cell_add_comment::def);
    load.define(fn_add_comment, cls);
    at(lines::cell_add_conflict_mark::def);
    load.define(fn_add_conflict_mark, cls);
    at(lines::cell_class::def);
    load.bind_class(names::Cell, cls);
}

}  // namespace

const std::vector<binding::FunctionDef>& function_table() { return table; }

void define_cells_and_source_merge(binding::Loader& load) {
    At& at = load.at;
    at(lines::merge_source::def);
    load.define(fn_merge_source);
    build_cell_class(load);
    at(lines::cell_changed::def);
    load.define(fn_cell_changed);
}

}  // namespace merge_driver
