// Source merges run ahead of their turn, while merge_files decides its cells.
//
// A merge attaches a guess to its command handle; the guess is made when the first source merge
// that git must make names the temporary directory: the source merges the merge will make from
// that cell on (cells that all three sides hold and whose source both sides changed), so that a
// merge without such a source merge never pays for it. The merge's own thread then starts the
// next few of them as git merge-file processes, each in a private directory of its own (git
// without -p writes the merge into its first file), goes on deciding, and, when a source merge
// comes whose three texts match a run, waits for that process, reads the file back and removes
// the directory, starting the next runs first. No thread is started and no lock taken. A run
// writes the lines it was given from the host's strings themselves, held until the run is taken,
// without a copy. Anything that did not go exactly right (a directory, a file or the process that
// cannot be made, git failing, a result that cannot be read or removed) is left to the source
// merge to do again, so that errors are raised where they always are; so is everything in a
// process other than the one that started the runs (a fork in the middle of a merge) and on a
// thread other than the merge's. Runs passed over, and those left when the merge ends (a failure,
// Ctrl-C), are stopped, collected and removed.
#pragma once
#include <Python.h>
#include <string>

namespace merge_driver {

class MergesAhead;

// Attaches the guess of the notebooks `current`, `base` and `incoming` (held by the caller for
// longer than the scope) to the handle `g`, and stops its runs when it ends; does nothing for a
// handle that is not the merge's own (make_git_command) or one already carrying runs. Never raises and runs no host code of the
// notebooks' (no comparison or hashing of a value that is not an exact string, list or dict).
class MergesAheadScope {
public:
    MergesAheadScope(PyObject* g, PyObject* current, PyObject* base, PyObject* incoming);
    // The same for source merges known from the start: `sources`, a tuple of (current, base,
    // incoming) tuples (held by the caller for longer than the scope), all run ahead in order.
    MergesAheadScope(PyObject* g, PyObject* sources);
    ~MergesAheadScope();
    MergesAheadScope(const MergesAheadScope&) = delete;
    MergesAheadScope& operator=(const MergesAheadScope&) = delete;
private:
    PyObject* g_;
    MergesAhead* ahead_ = nullptr;
};

// What a run ahead left: the private directory it ran in (removed by now), the bytes of its
// "current" file after git merge-file and the number of conflicts git reported.
struct MergedAhead {
    std::string directory, merged;
    int conflicts = 0;
};

// The run ahead of these three line lists on the handle `g`, made under the directory `parent`,
// when one ran well: true with `out` filled. False, with no error set, in every other case: the
// source merge then runs as if there were no runs ahead.
bool take_merged_ahead(PyObject* g, const std::string& parent, PyObject* current, PyObject* base,
                       PyObject* incoming, MergedAhead& out);

// The lines of a list of exact strings joined and encoded as UTF-8 into `out`, in one pass and
// without the host's own join. False, with no error set, for anything else (not a list, an item
// that is not an exact string, a text that does not encode): the caller then takes the host's way,
// which raises what it raises.
bool joined_utf8(PyObject* lines, std::string& out);

}  // namespace merge_driver
