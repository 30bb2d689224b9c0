// Shared by the merge, the cell model and the source merge: body entry points and value helpers.
#pragma once
#include <Python.h>
#include <sys/types.h>
#include <string>
#include <vector>
#include "binding/errors.hpp"
#include "binding/names.hpp"
#include "binding/ops.hpp"
#include "binding/ref.hpp"

namespace merge_driver {

using binding::At;
using binding::HostError;
using binding::Ref;
namespace names = binding::names;

// Every body takes its bound arguments in parameter order (borrowed, defaults filled in) and
// records each statement's source line in `at` before running it. Bodies never catch.
using Body = Ref (*)(At& at, PyObject* const* args);

// Cell (cell.cpp): args[0] is self.
Ref cell_init_body(At&, PyObject* const*);            // self, cell, file_type
Ref cell_file_type_get_body(At&, PyObject* const*);
Ref cell_data_get_body(At&, PyObject* const*);
Ref cell_data_set_body(At&, PyObject* const*);        // self, value
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
Ref cell_add_comment_body(At&, PyObject* const*);     // self, comment
Ref cell_add_conflict_mark_body(At&, PyObject* const*);

// cell_diff.cpp: cell0, cell1
Ref cell_changed_body(At&, PyObject* const*);
// source_merge.cpp: g, current, base, incoming, current_name, incoming_name
Ref merge_source_body(At&, PyObject* const*);
// git_command.cpp: the command handle of one merge; its merge_file(*paths) runs git merge-file
// and raises git.GitCommandError on a non-zero exit, as the git package's handle does.
Ref make_git_command();
bool is_git_command(PyObject* o);
// Runs git merge-file on the three paths: the number of conflicts (0 to 127), else raises
// git.GitCommandError as the handle's merge_file does.
int git_merge_file_conflicts(PyObject* current_path, PyObject* base_path, PyObject* incoming_path);
// For runs outside the host's lock (no host calls): the git executable's path as the handle
// would run it, found now ("" when not found); git merge-file started on the paths with that
// environment and no output kept (its pid, or -1); waiting for it (exit code, negated signal,
// or -1 when it cannot be waited for).
std::string git_executable_path();
pid_t start_merge_file_quietly(const std::string& executable, const std::vector<std::string>& paths,
                               char* const* envp);
int wait_quietly(pid_t pid);

// Source merges started before their turn (source_merge.cpp). A merge lists the source merges
// it expects to make; once the first source merge has named the temporary directory, worker
// threads run them (directory, files, git merge-file, reading back, removal), a few at a time,
// while the merge decides its cells, and a source merge whose three texts match one that ran
// takes its result instead of running git itself. Anything that did not go exactly right there
// is left to the source merge to do again, so that errors are raised where they always are.
struct SourceTexts {
    std::string current, base, incoming;  // the joined lines, UTF-8
};
class MergesAhead;
// The handle's merges ahead, or null (no handle of ours, or none attached).
MergesAhead* merges_ahead_of(PyObject* g);
void set_merges_ahead(PyObject* g, MergesAhead* ahead);
// Attaches a MergesAhead of `expected` to the handle `g` for its lifetime; does nothing when
// `g` is not a handle of ours or nothing is expected.
class MergesAheadScope {
public:
    MergesAheadScope(PyObject* g, std::vector<SourceTexts> expected);
    ~MergesAheadScope();
    MergesAheadScope(const MergesAheadScope&) = delete;
    MergesAheadScope& operator=(const MergesAheadScope&) = delete;
private:
    PyObject* g_;
    MergesAhead* ahead_ = nullptr;
};
// The three texts of a source merge when each side is a list of exact strings that encode as
// UTF-8; false (with no error set) otherwise.
bool source_texts(PyObject* current, PyObject* base, PyObject* incoming, SourceTexts& out);
// notebook_merge.cpp: base_file_path, current_file_path, incoming_file_path, file_path
Ref merge_files_body(At&, PyObject* const*);

}  // namespace merge_driver
