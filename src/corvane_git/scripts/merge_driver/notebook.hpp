// Shared by the merge, the cell model and the source merge: body entry points and value helpers.
#pragma once
#include <Python.h>
#include "binding/errors.hpp"
#include "binding/ops.hpp"
#include "binding/ref.hpp"
#include "names.hpp"

namespace merge_driver {

using binding::At;
using binding::HostError;
using binding::Ref;

// Every body takes its bound arguments in parameter order (borrowed, defaults filled in) and
// records each statement's source line in `at` before running it. Bodies never catch.
using Body = Ref (*)(At& at, PyObject* const* args);

// Cell (cell.cpp): args[0] is self.
Ref cell_init_body(At&, PyObject* const*);  // self, cell, file_type
Ref cell_file_type_get_body(At&, PyObject* const*);
Ref cell_data_get_body(At&, PyObject* const*);
Ref cell_data_set_body(At&, PyObject* const*);  // self, value
Ref cell_cell_id_get_body(At&, PyObject* const*);
Ref cell_cell_id_set_body(At&, PyObject* const*);
Ref cell_source_get_body(At&, PyObject* const*);
Ref cell_source_set_body(At&, PyObject* const*);
Ref cell_meta_data_get_body(At&, PyObject* const*);
Ref cell_link_id_get_body(At&, PyObject* const*);
Ref cell_link_id_set_body(At&, PyObject* const*);
Ref cell_name_get_body(At&, PyObject* const*);
Ref cell_name_set_body(At&, PyObject* const*);
Ref cell_parents_get_body(At&, PyObject* const*);
Ref cell_parents_set_body(At&, PyObject* const*);
Ref cell_comments_get_body(At&, PyObject* const*);
Ref cell_add_comment_body(At&, PyObject* const*);  // self, comment
Ref cell_add_conflict_mark_body(At&, PyObject* const*);
// Cell(cell, file_type=side): the module's global Cell called so.
Ref make_cell(PyObject* cell, PyObject* side);

// cell_diff.cpp: cell0, cell1
Ref cell_changed_body(At&, PyObject* const*);
// source_merge.cpp: g, current, base, incoming, current_name, incoming_name
Ref merge_source_body(At&, PyObject* const*);
// edits_apart.cpp: whether what git merge-file gives for these three sources is certain without
// running it (each side changed one stretch of the base, the two stretches lie apart and git
// could place neither otherwise); runs no host code.
bool merge_apart_is_certain(PyObject* current, PyObject* base, PyObject* incoming);
// Those lines, as a new list; null, with no error set, when they are not certain.
Ref merged_apart(PyObject* current, PyObject* base, PyObject* incoming);
// git_command.cpp: the command handle of one merge; its merge_file(*paths) runs git merge-file
// and raises git.GitCommandError on a non-zero exit, as the git package's handle does.
Ref make_git_command();
bool is_git_command(PyObject* o);
// Whether git (as the handle runs it) is found, so that starting it may succeed.
bool git_can_start();
// Runs git merge-file on the three paths: the number of conflicts (0 to 127), else raises
// git.GitCommandError as the handle's merge_file does.
int git_merge_file_conflicts(PyObject* current_path, PyObject* base_path, PyObject* incoming_path);
// What the source merges made with a handle of ours do beyond those of merge_files: `labels`, a
// tuple of three exact strings or null, label the conflict blocks (ours, base, theirs) in place of
// the names the caller gives; `conflicted`, a list or null, gets each merged source list in which
// git found conflicts. Both are held by the handle. Does nothing for any other handle.
void set_source_merge_options(PyObject* g, PyObject* labels, PyObject* conflicted);
// The handle's labels (borrowed), or null.
PyObject* source_merge_labels(PyObject* g);
// Appends `lines` to the handle's list of conflicted sources, when it has one.
void record_source_conflict(PyObject* g, PyObject* lines);
// Labels given to a merge: None, or a tuple of three exact strings (else TypeError naming
// `function`); null for None.
PyObject* checked_labels(PyObject* labels, const char* function);
// The runs ahead (merges_ahead.hpp) attached to a handle of ours: null for any other handle.
class MergesAhead;
MergesAhead* merges_ahead_of(PyObject* g);
void set_merges_ahead(PyObject* g, MergesAhead* ahead);
// notebook_merge.cpp: base_file_path, current_file_path, incoming_file_path, file_path
Ref merge_files_body(At&, PyObject* const*);
// notebook_merge.cpp: base, current, incoming (parsed notebooks), file_path, labels,
// source_conflicts
Ref merge_notebooks_body(At&, PyObject* const*);
// source_merge.cpp: sources (a list of (current, base, incoming) tuples), labels
Ref merge_sources_body(At&, PyObject* const*);
// replace_file.cpp: path, data (bytes)
Ref replace_file_body(At&, PyObject* const*);
// replace_file.cpp: no arguments
Ref process_tag_body(At&, PyObject* const*);

// A new temporary file in `directory` named `prefix`, the process's tag, "-", a random part and
// ".tmp": tempfile.mkstemp's (descriptor, path).
Ref made_temporary(PyObject* directory, PyObject* prefix);
// The temporary file at `temp_path` put in place of `target` in one step with the permission
// bits `bits` (a read-only target too, on Windows). On failure the target is as it was.
void replace_with_temporary(PyObject* temp_path, PyObject* target, PyObject* bits);
// Removes the temporary file after a failure, keeping that failure as the one reported.
void remove_temporary(PyObject* temp_path);

}  // namespace merge_driver
