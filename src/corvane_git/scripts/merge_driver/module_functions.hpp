// The functions and the class Cell that both modules of the merge define: their table, and the
// part of a module body that defines them.
#pragma once
#include <vector>
#include "binding/loader.hpp"

namespace merge_driver {

// Positions in the function table.
enum Fn : size_t {
    fn_merge_source,
    fn_init,
    fn_file_type,
    fn_data_get,
    fn_data_set,
    fn_cell_id_get,
    fn_cell_id_set,
    fn_source_get,
    fn_source_set,
    fn_meta_data,
    fn_link_id_get,
    fn_link_id_set,
    fn_name_get,
    fn_name_set,
    fn_parents_get,
    fn_parents_set,
    fn_comments,
    fn_add_comment,
    fn_add_conflict_mark,
    fn_cell_changed,
    fn_merge_files,
    fn_merge_notebooks,
    fn_merge_sources,
    fn_replace_file,
    fn_process_tag
};

// Every function of either module, in the order of Fn.
const std::vector<binding::FunctionDef>& function_table();

// _merge_source, the class Cell and _cell_changed, in source order.
void define_cells_and_source_merge(binding::Loader& load);

// The docstring of Cell.add_conflict_mark (also the module's doctest entry).
extern const char* const add_conflict_mark_doc;

}  // namespace merge_driver
