// Source merges run ahead of their turn: the guess, the worker threads and the hand-over.
#include "speed/merges_ahead.hpp"
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
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
// encoding, held too). Made and freed holding the host's lock; a worker only reads `pieces`.
struct HeldLines {
    Ref strings;                         // a tuple of the lines as they were when guessed
    std::vector<Ref> encodings;          // the UTF-8 of those that are not ASCII
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
            if (!PyUnicode_CheckExact(line) || !utf8_of(line, encoded, pieces[i].data, pieces[i].size)) return false;
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
bool sources_match(PyObject* current, PyObject* base, PyObject* incoming, const SourceTexts& texts) {
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
        if (key == name || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return value;
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

// Id -> source of a notebook's cells (a later cell of the same id wins, as in the cell tables);
// null when the table cannot be made.
Ref sources_by_id(PyObject* notebook) {
    Ref table = Ref::steal_or_null(PyDict_New());
    PyObject* cells = str_item(notebook, names::cells);
    if (!table || !cells || !PyList_CheckExact(cells)) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
        PyObject *id, *source;
        if (id_and_source(PyList_GET_ITEM(cells, i), id, source) && PyDict_SetItem(table.get(), id, source) < 0)
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
std::vector<SourceTexts> expected_source_merges(PyObject* current, PyObject* base, PyObject* incoming,
                                                Py_ssize_t first) {
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
        if (source_texts(ours, base_source, their_source, texts)) expected.push_back(std::move(texts));
    }
    PyErr_Clear();
    return expected;
}

// One source merge run ahead. A worker owns it from `running` to `ended`; the merge's thread
// reads it only in `ended`, or marks it `passed` while still `waiting`.
struct AheadJob {
    enum State { waiting, running, ended, passed } state = waiting;
    SourceTexts texts;
    MergedAhead result;
    platform::Process* process = nullptr;  // while git runs and may be stopped (under the mutex)
    bool ok = false;  // ran, git ended with 0 to 127, read back and removed
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
        jobs_.resize(known.size());
        for (size_t i = 0; i < known.size(); ++i) jobs_[i].texts = std::move(known[i]);
    }

    // Makes the guess, once: the source merges from the cell whose source is `current_lines` on
    // (that cell's merge first). True when there are runs to make. A merge that never reaches git
    // never pays for the guess.
    bool guessed(PyObject* current_lines) {
        if (!guessed_) {
            guessed_ = true;
            const Py_ssize_t first = position_of_source(current_, current_lines);
            if (first < 0) return false;
            std::vector<SourceTexts> expected = expected_source_merges(current_, base_, incoming_, first);
            jobs_.resize(expected.size());
            for (size_t i = 0; i < expected.size(); ++i) jobs_[i].texts = std::move(expected[i]);
        }
        return !jobs_.empty();
    }

    // Stops git where it runs and joins the workers. Only in the process that made it: anywhere
    // else its workers and children do not exist, and its mutex may be held by one of them.
    ~MergesAhead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            for (AheadJob& job : jobs_)
                if (job.process) job.process->stop();
        }
        work_.notify_all();
        Py_BEGIN_ALLOW_THREADS
        for (std::thread& worker : workers_) worker.join();
        Py_END_ALLOW_THREADS
    }

    // A fork copies the runs into the child without their threads and children.
    bool in_its_process() const { return process_ == platform::process_id(); }

    // Only the thread that made it takes runs (and so never while it is being freed): a thread
    // holding the host's lock could otherwise wait on the mutex while another, woken from its
    // wait, waits on the host's lock with the mutex held.
    bool on_its_thread() const { return owner_ == std::this_thread::get_id(); }

    // Starts the workers in the directory the first source merge names; false when `parent` is
    // not that directory or the runs cannot start. Holds the host's lock (reads the environment).
    bool arm(const std::string& parent) {
        if (armed_) return parent_ == parent && !workers_.empty();
        armed_ = true;
        parent_ = parent;
        command_name_ = platform::git_command_name();
        if (platform::find_program(command_name_, program_)) return false;
        environment_ = platform::Environment::current();
        const unsigned cpus = std::thread::hardware_concurrency();
        unsigned count = cpus < 1 ? 2 : cpus > 4 ? 8 : 2 * cpus;  // they mostly wait on git
        // Each worker maps its stack and, on its first allocation, a memory arena (64 MB of
        // address space with glibc); the merge itself keeps room to grow. Under a tight limit
        // fewer workers start, or none, rather than one that aborts the process.
        const std::size_t per_worker = std::size_t(80) << 20, for_the_merge = std::size_t(256) << 20;
        const std::size_t headroom = platform::address_space_headroom();
        if (headroom != SIZE_MAX)
            count = headroom <= for_the_merge ? 0 : static_cast<unsigned>(std::min<std::size_t>(
                                                        count, (headroom - for_the_merge) / per_worker));
        if (count == 0) return false;
        try {
            for (unsigned i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
        return !workers_.empty();
    }

    // Takes the run of these three sides' sources: true with its result once it ran well. Runs
    // passed over on the way are left undone. A run no worker has started yet is made here, on
    // the merge's thread, rather than made again from the host's lists.
    bool take(PyObject* current, PyObject* base, PyObject* incoming, MergedAhead& out) {
        // The texts are compared outside the mutex: workers only read them, and only this thread
        // moves `next_` or frees the runs.
        for (size_t i = next_; i < jobs_.size(); ++i) {
            AheadJob& job = jobs_[i];
            if (!sources_match(current, base, incoming, job.texts)) continue;
            std::unique_lock<std::mutex> lock(mutex_);
            for (size_t k = next_; k < i; ++k)
                if (jobs_[k].state == AheadJob::waiting) jobs_[k].state = AheadJob::passed;
            next_ = i + 1;
            if (job.state == AheadJob::waiting) {
                job.state = AheadJob::running;
                lock.unlock();
                Py_BEGIN_ALLOW_THREADS
                run_here(job);
                Py_END_ALLOW_THREADS
                lock.lock();
                job.state = AheadJob::ended;
            } else if (job.state == AheadJob::running) {
                Py_BEGIN_ALLOW_THREADS
                done_.wait(lock, [&] { return job.state == AheadJob::ended; });
                Py_END_ALLOW_THREADS
            }
            if (job.state != AheadJob::ended) return false;
            job.texts = SourceTexts();  // ended: no worker reads them any more
            if (!job.ok) return false;
            out.directory.swap(job.result.directory);
            out.merged.swap(job.result.merged);
            out.conflicts = job.result.conflicts;
            return true;
        }
        return false;
    }

private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return stopping_ || queued_ < jobs_.size(); });
            if (stopping_) return;
            AheadJob& job = jobs_[queued_++];
            if (job.state != AheadJob::waiting) continue;
            job.state = AheadJob::running;
            lock.unlock();
            run_here(job);
            lock.lock();
            job.state = AheadJob::ended;
            done_.notify_all();
        }
    }

    // Runs the job on this thread, the host's lock released: nothing may leave it by exception.
    void run_here(AheadJob& job) noexcept {
        try {
            run(job);
        } catch (...) {  // short of memory: the source merge makes it again in turn
            job.ok = false;
        }
    }

    // Outside the host's lock: no host calls.
    void run(AheadJob& job) {
        std::string directory;
        if (platform::make_private_directory(parent_, directory)) return;
        const std::string sep(1, platform::path_separator);
        std::vector<std::string> argv;
        try {
            argv = {command_name_, "merge-file", directory + sep + "current", directory + sep + "base",
                    directory + sep + "incoming"};
        } catch (const std::bad_alloc&) {
            std::string failed;
            platform::remove_files(nullptr, 0, directory, failed);
            throw;
        }
        // The three files are removed by the paths made above: short of memory, a removal that
        // had to allocate (listing the directory) would leave them behind.
        struct Removal {
            const std::vector<std::string>& argv;
            const std::string& directory;
            AheadJob& job;
            ~Removal() {
                std::string failed;  // empty, and so not allocated, unless a path cannot be removed
                if (platform::remove_files(&argv[2], 3, directory, failed)) job.ok = false;
            }
        } removal{argv, directory, job};
        job.result.directory = directory;
        const HeldLines* texts[] = {&job.texts.current, &job.texts.base, &job.texts.incoming};
        for (int k = 0; k < 3; ++k)
            if (platform::write_file(argv[2 + k], texts[k]->pieces.data(), texts[k]->pieces.size(), true)) return;
        platform::Process process;
        if (process.start(program_, argv, platform::Process::ErrorOutput::discard, &environment_)) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job.process = &process;
            if (stopping_) process.stop();
        }
        // Given up before collecting, so that the destructor never stops a collected process.
        process.await_end();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job.process = nullptr;
        }
        const int code = process.collect();
        job.result.conflicts = code;
        job.ok = code >= 0 && code <= 127 && platform::read_file(argv[2], job.result.merged) == 0;
    }

    std::mutex mutex_;
    std::condition_variable work_, done_;
    PyObject *current_, *base_, *incoming_;  // borrowed, see the constructor
    bool guessed_ = false;
    std::vector<AheadJob> jobs_;  // filled once, by `guessed`, before any worker starts
    std::vector<std::thread> workers_;
    std::string parent_, command_name_, program_;
    platform::Environment environment_;
    bool armed_ = false, stopping_ = false;
    const std::thread::id owner_ = std::this_thread::get_id();
    const std::int64_t process_ = platform::process_id();
    size_t next_ = 0;    // the first run not yet taken or passed over (merge's thread)
    size_t queued_ = 0;  // the first run no worker has looked at
};

MergesAheadScope::MergesAheadScope(PyObject* g, PyObject* current, PyObject* base, PyObject* incoming) : g_(g) {
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
    if (!PyList_CheckExact(current) || !PyList_CheckExact(base) || !PyList_CheckExact(incoming)) return false;
    try {
        if (!ahead->guessed(current)) return false;
    } catch (const std::bad_alloc&) {
        return false;  // no runs: this and later source merges run in turn
    }
    return ahead->arm(parent) && ahead->take(current, base, incoming, out);
}

}  // namespace merge_driver
