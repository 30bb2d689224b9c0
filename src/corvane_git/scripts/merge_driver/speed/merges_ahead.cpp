// Source merges run ahead of their turn: the guess, the git processes and the hand-over.
#include "speed/merges_ahead.hpp"
#include <cstdint>
#include <new>
#include <vector>
#include "notebook.hpp"
#include "platform/platform.hpp"

namespace merge_driver {

namespace {

// The UTF-8 bytes of one exact string: an ASCII string's own characters, or `scratch` filled with
// the encoded text (no error set; false when the text does not encode, a lone surrogate). The
// encoding is not kept in the string, which would hold it as long as the string lives.
bool utf8_of(PyObject* text, Ref& scratch, const char*& data, size_t& size) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        data = static_cast<const char*>(PyUnicode_DATA(text));
        size = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        return true;
    }
    scratch = Ref::steal_or_null(PyUnicode_AsUTF8String(text));
    if (!scratch) {
        PyErr_Clear();
        return false;
    }
    data = PyBytes_AS_STRING(scratch.get());
    size = static_cast<size_t>(PyBytes_GET_SIZE(scratch.get()));
    return true;
}

// A list whose items are all exact strings.
bool list_of_strings(PyObject* lines) {
    if (!PyList_CheckExact(lines)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(lines, i))) return false;
    return true;
}

// One side's source as a run writes it, without copying the text: the side's strings, held, and
// where the UTF-8 bytes of each line are (in the string itself when it is ASCII, else in its
// encoding, held too).
struct HeldLines {
    Ref strings;                 // a tuple of the lines as they were when guessed
    std::vector<Ref> encodings;  // the UTF-8 of those that are not ASCII
    std::vector<platform::Piece> pieces;

    // False, with no error set, when `lines` is not a list of exact strings that encode.
    bool hold(PyObject* lines) {
        if (!PyList_CheckExact(lines)) return false;
        Ref tuple = Ref::steal_or_null(PyList_AsTuple(lines));
        if (!tuple) {
            PyErr_Clear();
            return false;
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
        pieces.resize(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* line = PyTuple_GET_ITEM(tuple.get(), i);
            Ref encoded;
            if (!PyUnicode_CheckExact(line) ||
                !utf8_of(line, encoded, pieces[i].data, pieces[i].size))
                return false;
            if (encoded) encodings.push_back(std::move(encoded));
        }
        strings = std::move(tuple);
        return true;
    }

    // Whether `lines` is a list of exact strings holding the same text, line by line; runs no
    // host code. A line that is the very string held is an exact string: a string's type cannot
    // change.
    bool same(PyObject* lines) const {
        const Py_ssize_t n = PyTuple_GET_SIZE(strings.get());
        if (!PyList_CheckExact(lines) || PyList_GET_SIZE(lines) != n) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *a = PyList_GET_ITEM(lines, i), *b = PyTuple_GET_ITEM(strings.get(), i);
            if (a != b && (!PyUnicode_CheckExact(a) || PyUnicode_Compare(a, b) != 0)) return false;
        }
        return true;
    }
};

struct SourceTexts {
    HeldLines current, base, incoming;
};

// Whether the three sides are lists of exact strings holding the texts of `texts`.
bool sources_match(PyObject* current, PyObject* base, PyObject* incoming,
                   const SourceTexts& texts) {
    return texts.current.same(current) && texts.base.same(base) && texts.incoming.same(incoming);
}

}  // namespace

bool joined_utf8(PyObject* lines, std::string& out) {
    if (!list_of_strings(lines)) return false;
    size_t least = 0;  // each character takes a byte at least
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i)
        least += static_cast<size_t>(PyUnicode_GET_LENGTH(PyList_GET_ITEM(lines, i)));
    out.clear();
    out.reserve(least);
    Ref scratch;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
        const char* data;
        size_t size;
        if (!utf8_of(PyList_GET_ITEM(lines, i), scratch, data, size)) return false;
        out.append(data, size);
    }
    return true;
}

namespace {

// The three sides of a source merge held for a run when each side is a list of exact strings
// that encode as UTF-8; false (with no error set) otherwise.
bool source_texts(PyObject* current, PyObject* base, PyObject* incoming, SourceTexts& out) {
    return out.current.hold(current) && out.base.hold(base) && out.incoming.hold(incoming);
}

// d[name] where d is a map holding name as an exact string key, else null. Found by walking the
// keys: a lookup would run the __eq__ of a key of another type that has name's hash.
PyObject* str_item(PyObject* d, PyObject* name) {
    if (!d || !PyDict_CheckExact(d)) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (key == name || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0))
            return value;
    return nullptr;
}

// A cell dict's id and source lines, reached through maps only: the id an exact string, the
// source a list of exact strings (so that comparing sources runs no host code and cannot fail).
bool id_and_source(PyObject* cell, PyObject*& id, PyObject*& source) {
    if (!PyDict_CheckExact(cell)) return false;
    PyObject* metadata = str_item(cell, names::metadata);
    PyObject* canvas = str_item(metadata, names::canvas);
    id = str_item(canvas, names::id);
    source = str_item(cell, names::source);
    if (!id || !PyUnicode_CheckExact(id) || !source || !PyList_CheckExact(source)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(source, i))) return false;
    return true;
}

// Id -> source of a notebook's cells; null when the table cannot be made. Ids are unique here:
// the cell tables, made before any source merge, refuse a notebook holding an id twice.
Ref sources_by_id(PyObject* notebook) {
    Ref table = Ref::steal_or_null(PyDict_New());
    PyObject* cells = str_item(notebook, names::cells);
    if (!table || !cells || !PyList_CheckExact(cells)) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
        PyObject *id, *source;
        if (id_and_source(PyList_GET_ITEM(cells, i), id, source) &&
            PyDict_SetItem(table.get(), id, source) < 0)
            return Ref();
    }
    return table;
}

// The position in our notebook's cell list of the cell whose source is the list `lines` itself:
// the cell whose source merge is being made. -1 when there is none.
Py_ssize_t position_of_source(PyObject* current, PyObject* lines) {
    PyObject* cells = str_item(current, names::cells);
    if (!cells || !PyList_CheckExact(cells)) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
        PyObject* cell = PyList_GET_ITEM(cells, i);
        if (PyDict_CheckExact(cell) && str_item(cell, names::source) == lines) return i;
    }
    return -1;
}

// The source merges the merge is likely to make from our cell at `first` on, in its order: cells
// that base, our side and their side all hold, whose source both sides changed. Only a guess,
// made without running host code or raising: a source merge takes a result from these only when
// its three texts match.
std::vector<SourceTexts> expected_source_merges(PyObject* current, PyObject* base,
                                                PyObject* incoming, Py_ssize_t first) {
    std::vector<SourceTexts> expected;
    Ref base_sources = sources_by_id(base), incoming_sources = sources_by_id(incoming);
    PyObject* cells = str_item(current, names::cells);
    if (!base_sources || !incoming_sources || !cells || !PyList_CheckExact(cells)) {
        PyErr_Clear();
        return expected;
    }
    for (Py_ssize_t i = first; i < PyList_GET_SIZE(cells); ++i) {
        PyObject *id, *ours;
        if (!id_and_source(PyList_GET_ITEM(cells, i), id, ours)) continue;
        PyObject* base_source = PyDict_GetItem(base_sources.get(), id);
        PyObject* their_source = PyDict_GetItem(incoming_sources.get(), id);
        if (!base_source || !their_source) continue;
        if (PyObject_RichCompareBool(ours, base_source, Py_EQ) != 0 ||
            PyObject_RichCompareBool(their_source, base_source, Py_EQ) != 0) {
            PyErr_Clear();  // a comparison that failed (out of memory) guesses nothing either
            continue;
        }
        if (merge_apart_is_certain(ours, base_source, their_source)) continue;  // made without git
        SourceTexts texts;
        if (source_texts(ours, base_source, their_source, texts))
            expected.push_back(std::move(texts));
    }
    PyErr_Clear();
    return expected;
}

// One source merge run ahead: its texts (kept to match the source merge that takes it), and, once
// started, its private directory, its three files and git merge-file running there.
struct AheadJob {
    enum State { waiting, running, ended } state = waiting;
    SourceTexts texts;
    std::string directory;
    std::vector<std::string> files;  // current, base, incoming in `directory`
    platform::Process process;
};

}  // namespace

class MergesAhead {
public:
    // The notebooks are borrowed: the merge holds them for longer than its scope.
    MergesAhead(PyObject* current, PyObject* base, PyObject* incoming)
        : current_(current), base_(base), incoming_(incoming) {}

    // Runs known from the start, in the order they will be taken: no guess.
    explicit MergesAhead(std::vector<SourceTexts> known)
        : current_(nullptr), base_(nullptr), incoming_(nullptr), guessed_(true) {
        fill(known);
    }

    // Makes the guess, once: the source merges from the cell whose source is `current_lines` on
    // (that cell's merge first). True when there are runs to make. A merge that never reaches git
    // never pays for the guess.
    bool guessed(PyObject* current_lines) {
        if (!guessed_) {
            guessed_ = true;
            const Py_ssize_t first = position_of_source(current_, current_lines);
            if (first < 0) return false;
            std::vector<SourceTexts> expected =
                expected_source_merges(current_, base_, incoming_, first);
            fill(expected);
        }
        return !jobs_.empty();
    }

    // Stops every git still running, collects it and removes its directory: all of them first
    // stopped, so that none is waited for while it still works.
    ~MergesAhead() {
        for (AheadJob& job : jobs_)
            if (job.state == AheadJob::running) job.process.stop();
        for (AheadJob& job : jobs_)
            if (job.state == AheadJob::running) end_unused(job);
    }

    // A fork copies the runs into the child, whose children they are not: there they are left
    // alone, neither waited for, stopped nor removed.
    bool in_its_process() const { return process_ == platform::process_id(); }

    // Only the thread that made it takes runs: a source merge with the handle on another thread
    // of the host's runs in turn, while this one may be waiting for a run with the host's lock
    // released.
    bool on_its_thread() const { return owner_ == PyThread_get_thread_ident(); }

    // Starts the first runs in the directory the first source merge names; false when `parent`
    // is not that directory or git cannot be found.
    bool arm(const std::string& parent) {
        if (armed_) return parent_ == parent && !program_.empty();
        armed_ = true;
        parent_ = parent;
        if (platform::git_command_name(command_name_) ||
            platform::find_program(command_name_, program_)) {
            program_.clear();
            return false;
        }
        start_more();
        return true;
    }

    // Takes the run of these three sides' sources: true with its result once it ran well. Runs
    // passed over on the way are stopped and removed; the next ones are started before this one
    // is waited for.
    bool take(PyObject* current, PyObject* base, PyObject* incoming, MergedAhead& out) {
        for (size_t i = next_; i < jobs_.size(); ++i) {
            AheadJob& job = jobs_[i];
            if (!sources_match(current, base, incoming, job.texts)) continue;
            for (size_t k = next_; k < i; ++k) pass(jobs_[k]);
            next_ = i + 1;
            if (job.state == AheadJob::waiting) start(job);
            start_more();
            const bool ok = job.state == AheadJob::running && finish(job, out);
            job.texts = SourceTexts();
            return ok;
        }
        return false;
    }

private:
    // At most this many runs at a time: they mostly wait on git starting.
    static constexpr size_t in_flight = 6;

    void fill(std::vector<SourceTexts>& texts) {
        std::vector<AheadJob> jobs(texts.size());
        for (size_t i = 0; i < texts.size(); ++i) jobs[i].texts = std::move(texts[i]);
        jobs_.swap(jobs);
    }

    // Starts the runs from the next one on until `in_flight` of them run.
    void start_more() {
        size_t running = 0;
        for (size_t i = next_; i < jobs_.size() && running < in_flight; ++i) {
            if (jobs_[i].state == AheadJob::waiting) start(jobs_[i]);
            if (jobs_[i].state == AheadJob::running) ++running;
        }
    }

    // Makes the run's directory and files and starts git merge-file there; any failure leaves
    // nothing behind and the run ended (its source merge is made in turn).
    void start(AheadJob& job) noexcept {
        job.state = AheadJob::ended;
        try {
            if (platform::make_private_directory(parent_, job.directory)) return;
            const std::string sep(1, platform::path_separator);
            job.files.reserve(3);
            for (const char* name : {"current", "base", "incoming"})
                job.files.push_back(job.directory + sep + name);
            const HeldLines* texts[] = {&job.texts.current, &job.texts.base, &job.texts.incoming};
            bool written = true;
            for (int k = 0; k < 3 && written; ++k)
                written = !platform::write_file(job.files[k], texts[k]->pieces.data(),
                                                texts[k]->pieces.size(), true);
            if (written) {
                const std::vector<std::string> argv = {command_name_, "merge-file", job.files[0],
                                                       job.files[1], job.files[2]};
                if (!job.process.start(program_, argv, platform::Process::ErrorOutput::discard)) {
                    job.state = AheadJob::running;
                    return;
                }
            }
        } catch (const std::bad_alloc&) {}
        remove(job);
    }

    // Removes the run's files and directory; false when something stays.
    static bool remove(AheadJob& job) noexcept {
        if (job.directory.empty()) return true;
        std::string failed;  // empty, and so not allocated, unless a path cannot be removed
        const bool removed =
            !platform::remove_files(job.files.data(), job.files.size(), job.directory, failed);
        job.directory.clear();
        return removed;
    }

    // A run no source merge will take: stopped, collected and removed.
    void pass(AheadJob& job) noexcept {
        if (job.state == AheadJob::running) {
            job.process.stop();
            end_unused(job);
        }
        job.state = AheadJob::ended;
        job.texts = SourceTexts();
    }

    static void end_unused(AheadJob& job) noexcept {
        job.process.collect();
        remove(job);
        job.state = AheadJob::ended;
    }

    // Waits for the run's git, the host's lock released, then reads its result and removes its
    // directory: true when git ended with 0 to 127 and all of that went well.
    bool finish(AheadJob& job, MergedAhead& out) noexcept {
        int code;
        Py_BEGIN_ALLOW_THREADS code = job.process.collect();
        Py_END_ALLOW_THREADS job.state = AheadJob::ended;
        bool ok = code >= 0 && code <= 127;
        try {
            out.merged.clear();
            if (ok) ok = platform::read_file(job.files[0], out.merged) == 0;
            if (ok) out.directory = job.directory;
        } catch (const std::bad_alloc&) { ok = false; }
        out.conflicts = code;
        return remove(job) && ok;
    }

    PyObject *current_, *base_, *incoming_;  // borrowed, see the constructor
    bool guessed_ = false;
    std::vector<AheadJob> jobs_;  // filled once, by `guessed` or the constructor
    std::string parent_, command_name_, program_;
    bool armed_ = false;
    const unsigned long owner_ = PyThread_get_thread_ident();
    const std::int64_t process_ = platform::process_id();
    size_t next_ = 0;  // the first run not yet taken or passed over
};

MergesAheadScope::MergesAheadScope(PyObject* g, PyObject* current, PyObject* base,
                                   PyObject* incoming)
    : g_(g) {
    if (!is_git_command(g) || merges_ahead_of(g)) return;
    try {
        ahead_ = new MergesAhead(current, base, incoming);
    } catch (const std::bad_alloc&) {
        return;  // the source merges run in turn
    }
    set_merges_ahead(g, ahead_);
}

MergesAheadScope::MergesAheadScope(PyObject* g, PyObject* sources) : g_(g) {
    if (!is_git_command(g) || merges_ahead_of(g) || !PyTuple_CheckExact(sources)) return;
    try {
        std::vector<SourceTexts> known;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sources); ++i) {
            PyObject* item = PyTuple_GET_ITEM(sources, i);
            if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) continue;
            PyObject *ours = PyTuple_GET_ITEM(item, 0), *base = PyTuple_GET_ITEM(item, 1),
                     *theirs = PyTuple_GET_ITEM(item, 2);
            if (merge_apart_is_certain(ours, base, theirs)) continue;  // made without git
            SourceTexts texts;
            if (source_texts(ours, base, theirs, texts)) known.push_back(std::move(texts));
        }
        if (known.empty()) return;
        ahead_ = new MergesAhead(std::move(known));
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        return;  // the source merges run in turn
    }
    set_merges_ahead(g, ahead_);
}

MergesAheadScope::~MergesAheadScope() {
    if (!ahead_) return;
    set_merges_ahead(g_, nullptr);
    // In a forked child the runs are left as they are: their memory is all that remains of them.
    if (ahead_->in_its_process()) delete ahead_;
}

bool take_merged_ahead(PyObject* g, const std::string& parent, PyObject* current, PyObject* base,
                       PyObject* incoming, MergedAhead& out) {
    MergesAhead* ahead = merges_ahead_of(g);
    if (!ahead || !ahead->in_its_process() || !ahead->on_its_thread()) return false;
    // Only lists of exact strings can match a run (take compares them without running host code).
    if (!PyList_CheckExact(current) || !PyList_CheckExact(base) || !PyList_CheckExact(incoming))
        return false;
    try {
        if (!ahead->guessed(current)) return false;
    } catch (const std::bad_alloc&) {
        return false;  // no runs: this and later source merges run in turn
    }
    return ahead->arm(parent) && ahead->take(current, base, incoming, out);
}

}  // namespace merge_driver
