// _merge_source: one cell's source lines merged three ways by git merge-file in a private directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <cstdlib>
#include <string>
#include <vector>
#include "notebook.hpp"
#include "with_block.hpp"

extern char** environ;

namespace merge_driver {

using binding::call;
using binding::call_kw;
using binding::call_method;
using binding::getattr;
using binding::global;
using binding::truthy;

namespace {

// open(path, mode, encoding="utf-8") through the builtin cached at load.
Ref open_text(PyObject* path, PyObject* mode) {
    return call_kw(binding::cached_open(), {path, mode}, {{names::encoding, names::utf_8}});
}

void write_joined(PyObject* file, PyObject* lines) {
    Ref text = Ref::steal(PyUnicode_Join(names::empty, lines));
    call_method(file, names::write, {text.get()});
}

// git merge-file exits with the number of conflicts, at most 127; a status above that (255 when
// it refuses a binary file, for one) or a failure to run it is a real error. Entered with the
// error of merge_file set: clears it for a conflict, else leaves it set and throws. Only a failure
// to find git.GitCommandError reports the line of the except clause.
void drop_conflict_status(At& at) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Ref type = Ref::steal_or_null(t), value = Ref::steal_or_null(v), trace = Ref::steal_or_null(tb);
    auto rethrow = [&]() {
        PyErr_Restore(type.release(), value.release(), trace.release());
        throw HostError{};
    };
    Ref command_error;
    try {
        command_error = getattr(global(names::git).get(), names::GitCommandError);
    } catch (const HostError&) {
        at(42);
        chain_context(value);  // as the host does when the except clause itself fails
        throw;
    }
    int matches = PyErr_GivenExceptionMatches(type.get(), command_error.get());
    if (!matches) rethrow();
    Ref status = Ref::steal_or_null(PyObject_GetAttr(value.get(), names::status));
    if (!status) {
        PyErr_Clear();  // no status: not the tool's exit, so not a conflict
        rethrow();
    }
    if (!PyLong_Check(status.get()) || PyBool_Check(status.get())) rethrow();
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (overflow || code < 1 || code > 127) rethrow();
}

struct Label {
    PyObject* path;  // the temporary file's path, as the tool wrote it
    PyObject* name;  // what replaces it; None or empty: no replacement
};

// One line read back: every occurrence of each temporary path replaced by its label, then kept.
void append_line(At& at, PyObject* lines, Ref line, Label current, Label incoming) {
    at(49);
    if (truthy(current.name)) {
        at(50); line = call_method(line.get(), names::replace, {current.path, current.name});
    }
    at(51);
    if (truthy(incoming.name)) {
        at(52); line = call_method(line.get(), names::replace, {incoming.path, incoming.name});
    }
    at(53); binding::check(PyList_Append(lines, line.get()));
    at(48);
}

[[noreturn]] void raise_os_error(const std::string& path) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw HostError{};
}

std::string fs_bytes(PyObject* text) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(text, &encoded)) throw HostError{};
    Ref bytes = Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A private directory (mode 0700) holding the three files; removed on every way out.
class PrivateDirectory {
public:
    explicit PrivateDirectory(const std::string& parent) : path_(parent + "/tmpXXXXXX") {
        if (!mkdtemp(path_.data())) raise_os_error(parent);
    }
    ~PrivateDirectory() {
        if (removed_) return;
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(path_.c_str());
    }
    // The path of a file in the directory, as bytes and as the host's text.
    std::pair<std::string, Ref> file(const char* name) {
        files_.push_back(path_ + "/" + name);
        const std::string& p = files_.back();
        return {p, Ref::steal(PyUnicode_DecodeFSDefaultAndSize(p.data(), static_cast<Py_ssize_t>(p.size())))};
    }
    // Removes the directory; a failure here reaches the caller in place of the result.
    void remove() {
        removed_ = true;
        for (const std::string& f : files_)
            if (unlink(f.c_str()) != 0 && errno != ENOENT) raise_os_error(f);
        if (rmdir(path_.c_str()) != 0) raise_os_error(path_);
    }
private:
    std::string path_;
    std::vector<std::string> files_;
    bool removed_ = false;
};

// Writes all of `data` to the file at `path`, opened with `flags` besides writing and creating:
// 0, or the errno of the call that failed (the file closed by then). No host calls, so that the
// workers of MergesAhead use it too.
int write_file(const std::string& path, const char* data, size_t size, int flags) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0) return errno;
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : EIO;
            close(fd);
            return error;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return close(fd) != 0 ? errno : 0;
}

// The whole file appended to `data`: 0, or the errno of the call that failed. No host calls.
int read_file(const std::string& path, std::string& data) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) { data.append(buffer, static_cast<size_t>(n)); continue; }
        if (n < 0 && errno == EINTR) continue;
        int error = n < 0 ? errno : 0;
        close(fd);
        return error;
    }
}

[[noreturn]] void raise_os_error(int error, const std::string& path) {
    errno = error;
    raise_os_error(path);
}

// Writes the lines joined, as UTF-8 (the host's text write on this platform).
void write_lines(const std::string& path, PyObject* lines) {
    Ref text = Ref::steal(PyUnicode_Join(names::empty, lines));
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (int error = write_file(path, PyBytes_AS_STRING(bytes.get()),
                               static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), O_TRUNC))
        raise_os_error(error, path);
}

Ref decode_text(const std::string& data);

// The file's text, decoded as UTF-8 with universal line ends (CR LF and a lone CR read as LF).
Ref read_text(const std::string& path) {
    std::string data;
    if (int error = read_file(path, data)) raise_os_error(error, path);
    return decode_text(data);
}

Ref decode_text(const std::string& data) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (data.find('\r') == std::string::npos) return text;
    Ref crlf = Ref::steal(PyUnicode_FromString("\r\n"));
    Ref cr = Ref::steal(PyUnicode_FromString("\r"));
    Ref lf = Ref::steal(PyUnicode_FromString("\n"));
    text = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
    return Ref::steal(PyUnicode_Replace(text.get(), cr.get(), lf.get(), -1));
}

}  // namespace

// One source merge run ahead. A worker owns it from `running` to `ended`; the merge's thread
// reads it only in `ended`, or marks it `passed` while still `waiting`.
struct AheadJob {
    enum State { waiting, running, ended, passed } state = waiting;
    SourceTexts texts;
    std::string directory;  // the private directory it ran in (removed by then)
    std::string merged;     // the "current" file after git merge-file
    pid_t pid = -1;
    bool ok = false;        // ran, git ended with 0 to 127, read back and removed
};

class MergesAhead {
public:
    explicit MergesAhead(std::vector<SourceTexts> expected) {
        jobs_.resize(expected.size());
        for (size_t i = 0; i < expected.size(); ++i) jobs_[i].texts = std::move(expected[i]);
    }

    ~MergesAhead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            for (AheadJob& job : jobs_)
                if (job.state == AheadJob::running && job.pid > 0) kill(job.pid, SIGKILL);
        }
        work_.notify_all();
        Py_BEGIN_ALLOW_THREADS
        for (std::thread& worker : workers_) worker.join();
        Py_END_ALLOW_THREADS
    }

    // Starts the workers in the directory the first source merge names; false when `parent` is
    // not that directory or the runs cannot start. Holds the host's lock (reads the environment).
    bool arm(const std::string& parent) {
        if (armed_) return parent_ == parent && !workers_.empty();
        armed_ = true;
        parent_ = parent;
        executable_ = git_executable_path();
        if (executable_.empty()) return false;
        for (char** e = environ; *e; ++e) environment_.emplace_back(*e);
        for (std::string& e : environment_) envp_.push_back(e.data());
        envp_.push_back(nullptr);
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        int count = cpus < 1 ? 2 : cpus > 4 ? 8 : 2 * static_cast<int>(cpus);  // they mostly wait on git
        try {
            for (int i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            if (workers_.empty()) return false;
        }
        return true;
    }

    // Only the thread that made it takes runs (and so never while it is being freed): a thread
    // holding the host's lock could otherwise wait on the mutex while another, woken from its
    // wait, waits on the host's lock with the mutex held.
    bool on_its_thread() const { return owner_ == std::this_thread::get_id(); }

    // Takes the run with these texts: true with its directory and merged text once it ran well.
    // Runs passed over on the way are left undone; a run not yet started is not waited for.
    bool take(const SourceTexts& texts, std::string& directory, std::string& merged) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (size_t i = next_; i < jobs_.size(); ++i) {
            AheadJob& job = jobs_[i];
            if (job.texts.current != texts.current || job.texts.base != texts.base ||
                job.texts.incoming != texts.incoming)
                continue;
            for (size_t k = next_; k <= i; ++k)
                if (jobs_[k].state == AheadJob::waiting) jobs_[k].state = AheadJob::passed;
            next_ = i + 1;
            if (job.state == AheadJob::running) {
                Py_BEGIN_ALLOW_THREADS
                done_.wait(lock, [&] { return job.state == AheadJob::ended; });
                Py_END_ALLOW_THREADS
            }
            if (job.state != AheadJob::ended || !job.ok) return false;
            directory.swap(job.directory);
            merged.swap(job.merged);
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
            run(job);
            lock.lock();
            job.state = AheadJob::ended;
            done_.notify_all();
        }
    }

    // Outside the host's lock: system calls only.
    void run(AheadJob& job) {
        std::string path = parent_ + "/tmpXXXXXX";
        if (!mkdtemp(path.data())) return;
        job.directory = path;
        const std::string files[] = {path + "/current", path + "/base", path + "/incoming"};
        const std::string* texts[] = {&job.texts.current, &job.texts.base, &job.texts.incoming};
        bool written = true;
        for (int k = 0; k < 3 && written; ++k)
            written = write_file(files[k], texts[k]->data(), texts[k]->size(), O_EXCL) == 0;
        if (written) {
            pid_t pid = start_merge_file_quietly(executable_, {files[0], files[1], files[2]}, envp_.data());
            if (pid > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    job.pid = pid;
                    if (stopping_) kill(pid, SIGKILL);
                }
                // Wait for the end without reaping, so that the pid is given up (and can no
                // longer be killed from the destructor) before the process is reaped.
                siginfo_t info;
                while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {}
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    job.pid = -1;
                }
                int code = wait_quietly(pid);
                job.ok = code >= 0 && code <= 127 && read_file(files[0], job.merged) == 0;
            }
        }
        for (const std::string& f : files)
            if (unlink(f.c_str()) != 0 && errno != ENOENT) job.ok = false;
        if (rmdir(path.c_str()) != 0) job.ok = false;
    }

    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::vector<AheadJob> jobs_;
    std::vector<std::thread> workers_;
    std::string parent_, executable_;
    std::vector<std::string> environment_;
    std::vector<char*> envp_;
    bool armed_ = false, stopping_ = false;
    const std::thread::id owner_ = std::this_thread::get_id();
    size_t next_ = 0;    // the first run not yet taken or passed over (merge's thread)
    size_t queued_ = 0;  // the first run no worker has looked at
};

bool source_texts(PyObject* current, PyObject* base, PyObject* incoming, SourceTexts& out) {
    std::string* targets[] = {&out.current, &out.base, &out.incoming};
    PyObject* sides[] = {current, base, incoming};
    for (int k = 0; k < 3; ++k) {
        PyObject* lines = sides[k];
        if (!PyList_CheckExact(lines)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i)
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(lines, i))) return false;
        PyObject* text = PyUnicode_Join(names::empty, lines);
        if (!text) { PyErr_Clear(); return false; }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (!utf8) { Py_DECREF(text); PyErr_Clear(); return false; }
        targets[k]->assign(utf8, static_cast<size_t>(size));
        Py_DECREF(text);
    }
    return true;
}

MergesAheadScope::MergesAheadScope(PyObject* g, std::vector<SourceTexts> expected) : g_(g) {
    if (expected.empty() || !is_git_command(g) || merges_ahead_of(g)) return;
    ahead_ = new MergesAhead(std::move(expected));
    set_merges_ahead(g, ahead_);
}

MergesAheadScope::~MergesAheadScope() {
    if (!ahead_) return;
    set_merges_ahead(g_, nullptr);
    delete ahead_;
}

namespace {

// The merged text as lines (source lines 47 to 53), each temporary path replaced by its label.
Ref split_lines(At& at, PyObject* text, PyObject* current_text, PyObject* incoming_text,
                PyObject* const* args) {
    PyObject *current_name = args[4], *incoming_name = args[5];
    at(47); Ref lines = Ref::steal(PyList_New(0));
    at(48);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (start < length) {
        Py_ssize_t end = PyUnicode_FindChar(text, '\n', start, length, 1);
        if (end == -2) throw HostError{};
        end = end < 0 ? length : end + 1;
        Ref line = Ref::steal(PyUnicode_Substring(text, start, end));
        start = end;
        append_line(at, lines.get(), std::move(line), {current_text, current_name},
                    {incoming_text, incoming_name});
    }
    return lines;
}

Ref host_path(const std::string& path) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

// The same merge with the handle merge_files makes: the directory, the files and the tool run
// straight from here (or ran ahead, see MergesAhead), without the host's file objects; what
// reaches the caller is the same.
Ref merge_source_direct(At& at, PyObject* const* args) {
    PyObject *current = args[1], *base = args[2], *incoming = args[3];
    at(30);
    Ref parent = call_method(global(names::tempfile).get(), names::gettempdir);
    const std::string parent_path = fs_bytes(parent.get());
    if (MergesAhead* ahead = merges_ahead_of(args[0]); ahead && ahead->on_its_thread()) {
        SourceTexts texts;
        std::string made, merged;
        if (source_texts(current, base, incoming, texts) && ahead->arm(parent_path) &&
            ahead->take(texts, made, merged)) {
            Ref current_text = host_path(made + "/current");
            Ref incoming_text = host_path(made + "/incoming");
            at(46); Ref text = decode_text(merged);
            return split_lines(at, text.get(), current_text.get(), incoming_text.get(), args);
        }
    }
    PrivateDirectory directory(parent_path);
    at(31); auto [current_path, current_text] = directory.file("current");
    at(32); auto [base_path, base_text] = directory.file("base");
    at(33); auto [incoming_path, incoming_text] = directory.file("incoming");
    at(37); write_lines(current_path, current);
    at(38); write_lines(base_path, base);
    at(39); write_lines(incoming_path, incoming);
    at(41); git_merge_file_conflicts(current_text.get(), base_text.get(), incoming_text.get());
    at(46); Ref text = read_text(current_path);
    Ref lines = split_lines(at, text.get(), current_text.get(), incoming_text.get(), args);
    at(30); directory.remove();
    return lines;
}

}  // namespace

Ref merge_source_body(At& at, PyObject* const* args) {
    PyObject *g = args[0], *current = args[1], *base = args[2], *incoming = args[3];
    PyObject *current_name = args[4], *incoming_name = args[5];
    if (is_git_command(g)) return merge_source_direct(at, args);
    Ref lines;

    at(30);
    Ref directory = call(getattr(global(names::tempfile).get(), names::TemporaryDirectory).get());
    bool completed = with_block(at, 30, directory.get(), [&](PyObject* tempdir) {
        auto join = [&](PyObject* file_name) {
            Ref join = getattr(getattr(global(names::os).get(), names::path).get(), names::join);
            return call(join.get(), {tempdir, file_name});
        };
        at(31); Ref current_path = join(names::current);
        at(32); Ref base_path = join(names::base);
        at(33); Ref incoming_path = join(names::incoming);

        // All three files are closed (incoming first) before the tool reads them.
        at(34); Ref current_file = open_text(current_path.get(), names::w);
        with_block(at, 34, current_file.get(), [&](PyObject* current_out) {
            at(35); Ref base_file = open_text(base_path.get(), names::w);
            with_block(at, 35, base_file.get(), [&](PyObject* base_out) {
                at(36); Ref incoming_file = open_text(incoming_path.get(), names::w);
                with_block(at, 36, incoming_file.get(), [&](PyObject* incoming_out) {
                    at(37); write_joined(current_out, current);
                    at(38); write_joined(base_out, base);
                    at(39); write_joined(incoming_out, incoming);
                });
            });
        });

        at(41);
        Ref merge_file = getattr(g, names::merge_file);
        Ref merged = Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            merge_file.get(), current_path.get(), base_path.get(), incoming_path.get(), nullptr));
        if (!merged) drop_conflict_status(at);

        at(46); Ref fp = open_text(current_path.get(), names::r);
        with_block(at, 46, fp.get(), [&](PyObject* in) {
            at(47); lines = Ref::steal(PyList_New(0));
            at(48);
            Ref read = call_method(in, names::readlines);
            Ref it = Ref::steal(PyObject_GetIter(read.get()));
            while (Ref line = Ref::steal_or_null(PyIter_Next(it.get()))) {
                append_line(at, lines.get(), std::move(line), {current_path.get(), current_name},
                            {incoming_path.get(), incoming_name});
            }
            if (PyErr_Occurred()) throw HostError{};
        });
    });
    at(54);
    (void)completed;  // a suppressed failure shows only as `lines` left unset
    if (!lines)
        binding::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "lines");
    return lines;
}

}  // namespace merge_driver
