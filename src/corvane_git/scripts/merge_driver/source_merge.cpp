// _merge_source: one cell's source lines merged three ways by git merge-file in a private directory.
#include <string>
#include <utility>
#include "speed/merges_ahead.hpp"
#include "lines.hpp"
#include "notebook.hpp"
#include "platform/platform.hpp"
#include "with_block.hpp"

namespace merge_driver {

using binding::call;
using binding::call_kw;
using binding::call_method;
using binding::getattr;
using binding::global;
using binding::truthy;

namespace {

// open(path, mode, encoding="utf-8") through the builtin cached at load; a file to write also
// gets newline="\n", so that the tool sees the lines as given on every platform (Windows' text
// mode would turn a line's own "\r\n" into "\r\r\n", read back as two lines).
Ref open_text(PyObject* path, PyObject* mode) {
    if (mode == names::w)
        return call_kw(binding::state().open, {path, mode},
                       {{names::encoding, names::utf_8}, {names::newline, names::line_feed}});
    return call_kw(binding::state().open, {path, mode}, {{names::encoding, names::utf_8}});
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
    binding::SavedError failure;  // set again on the way out unless it is dropped
    Ref command_error;
    try {
        command_error = getattr(global(names::git).get(), names::GitCommandError);
    } catch (const HostError&) {
        at(lines::merge_source::except_clause);
        chain_context(failure.drop());  // as the host does when the except clause itself fails
        throw;
    }
    if (!PyErr_GivenExceptionMatches(failure.type(), command_error.get())) throw HostError{};
    Ref status = Ref::steal_or_null(PyObject_GetAttr(failure.value(), names::status));
    if (!status) throw HostError{};  // no status: not the tool's exit, so not a conflict
    if (!PyLong_Check(status.get()) || PyBool_Check(status.get())) throw HostError{};
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (overflow || code < 1 || code > 127) throw HostError{};
    failure.drop();
}

struct Label {
    PyObject* path;  // the temporary file's path, as the tool wrote it
    PyObject* name;  // what replaces it; None or empty: no replacement
};

// Whether replacing in text[start:end] may do anything, raise included: false only when the text,
// the path and its label are exact strings and the text does not hold the path.
bool may_replace(PyObject* text, Py_ssize_t start, Py_ssize_t end, Label label) {
    PyObject* part = label.path;
    if (!PyUnicode_CheckExact(text) || !PyUnicode_CheckExact(part) ||
        !PyUnicode_CheckExact(label.name))
        return true;
    Py_ssize_t found = PyUnicode_Find(text, part, start, end, 1);
    if (found == -2) throw HostError{};
    return found >= 0;
}

Py_ssize_t text_length(PyObject* o) {
    return PyUnicode_CheckExact(o) ? PyUnicode_GET_LENGTH(o) : 0;
}

// One line read back, `line`, which is text[start:end]: every occurrence of each temporary path
// replaced by its label, then kept. Replacing a path that the line does not hold would give the
// line as it is; most lines hold none, and looking is much cheaper than replacing. The base's path
// is replaced only where the handle carries labels (never in merge_files's source merges).
void append_line(At& at, PyObject* lines, Ref line, PyObject* text, Py_ssize_t start,
                 Py_ssize_t end, Label current, Label incoming, Label base = {nullptr, nullptr}) {
    at(lines::merge_source::has_current_name);
    if (truthy(current.name)) {
        at(lines::merge_source::replace_current);
        if (may_replace(text, start, end, current)) {
            line = call_method(line.get(), names::replace, {current.path, current.name});
            text = line.get();  // the next path is looked for in what this replace gave
            start = 0;
            end = text_length(text);
        }
    }
    at(lines::merge_source::has_incoming_name);
    if (truthy(incoming.name)) {
        at(lines::merge_source::replace_incoming);
        if (may_replace(text, start, end, incoming)) {
            line = call_method(line.get(), names::replace, {incoming.path, incoming.name});
            text = line.get();
            start = 0;
            end = text_length(text);
        }
    }
    if (base.name && truthy(base.name) && may_replace(text, start, end, base))
        line = call_method(line.get(), names::replace, {base.path, base.name});
    at(lines::merge_source::append);
    binding::check(PyList_Append(lines, line.get()));
    at(lines::merge_source::each_line);
}

std::string fs_bytes(PyObject* text) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(text, &encoded)) throw HostError{};
    Ref bytes = Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref host_path(const std::string& path) {
    return Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

// A private directory holding the three files; removed on every way out. The files are removed by
// the paths kept here, so that a failure for want of memory does not leave them behind.
class PrivateDirectory {
public:
    explicit PrivateDirectory(const std::string& parent) {
        files_.reserve(3);
        if (platform::Error error = platform::make_private_directory(parent, path_))
            platform::raise_os_error(error, parent);
    }
    ~PrivateDirectory() {
        std::string failed;
        if (!removed_) platform::remove_files(files_.data(), files_.size(), path_, failed);
    }
    // The path of a file in the directory, as the system's and as the host's text.
    std::pair<std::string, Ref> file(const char* name) {
        files_.push_back(path_ + platform::path_separator + name);
        const std::string& path = files_.back();
        Ref text = host_path(path);
        return {path, std::move(text)};
    }
    // Removes the directory; a failure here reaches the caller in place of the result.
    void remove() {
        removed_ = true;
        std::string failed;
        if (platform::Error error =
                platform::remove_files(files_.data(), files_.size(), path_, failed))
            platform::raise_os_error(error, failed);
    }
private:
    std::string path_;
    std::vector<std::string> files_;
    bool removed_ = false;
};

// Writes the lines joined, as UTF-8 bytes with the lines' own line ends (as the host path does).
// On Windows too the file holds each line end as given, LF mostly, and no CR LF made of it: left
// so on purpose, since text mode there would turn a line's own "\r\n" into "\r\r\n", which
// git and the reading back take for two lines.
// Lines that are not a list of exact strings that encode go through the host's join and encoding,
// for the errors those raise.
void write_lines(const std::string& path, PyObject* lines) {
    std::string joined;
    if (joined_utf8(lines, joined)) {
        if (platform::Error error = platform::write_file(path, joined.data(), joined.size(), false))
            platform::raise_os_error(error, path);
        return;
    }
    Ref text = Ref::steal(PyUnicode_Join(names::empty, lines));
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (platform::Error error =
            platform::write_file(path, PyBytes_AS_STRING(bytes.get()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), false))
        platform::raise_os_error(error, path);
}

Ref decode_text(const std::string& data);

// The file's text, decoded as UTF-8 with universal line ends (CR LF and a lone CR read as LF).
Ref read_text(const std::string& path) {
    std::string data;
    if (platform::Error error = platform::read_file(path, data))
        platform::raise_os_error(error, path);
    return decode_text(data);
}

Ref decode_text(const std::string& data) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (data.find('\r') == std::string::npos) return text;
    Ref crlf = Ref::steal(PyUnicode_FromString("\r\n"));
    Ref cr = Ref::steal(PyUnicode_FromString("\r"));
    Ref lf = Ref::steal(PyUnicode_FromString("\n"));
    text = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
    return Ref::steal(PyUnicode_Replace(text.get(), cr.get(), lf.get(), -1));
}

// The merged text as lines, each temporary path replaced by its label; `base_text` (the base's
// path) only with a `base_name` given.
Ref split_lines(At& at, PyObject* text, PyObject* current_text, PyObject* incoming_text,
                PyObject* const* args, PyObject* base_text = nullptr,
                PyObject* base_name = nullptr) {
    PyObject *current_name = args[4], *incoming_name = args[5];
    at(lines::merge_source::new_lines);
    Ref lines = Ref::steal(PyList_New(0));
    at(lines::merge_source::each_line);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (start < length) {
        Py_ssize_t end = PyUnicode_FindChar(text, '\n', start, length, 1);
        if (end == -2) throw HostError{};
        end = end < 0 ? length : end + 1;
        append_line(at, lines.get(), Ref::steal(PyUnicode_Substring(text, start, end)), text, start,
                    end, {current_text, current_name}, {incoming_text, incoming_name},
                    {base_text, base_name});
        start = end;
    }
    return lines;
}

// Labels that the lines read back from git would be tested and replaced with: only lines from git
// hold the temporary paths, so lines made without it need no replacing when testing the labels
// runs no host code.
bool names_are_texts(PyObject* const* args) {
    for (PyObject* name : {args[4], args[5]})
        if (name != Py_None && !PyUnicode_CheckExact(name)) return false;
    return true;
}

// The same merge with the handle merge_files makes: the directory, the files and the tool run
// straight from here (or ran ahead, see MergesAhead), without the host's file objects; what
// reaches the caller is the same. `conflicts` gets the number of conflicts git reported (0 for
// edits that lie apart). `args` holds the names to use: the handle's labels where it has them.
Ref merge_source_direct(At& at, PyObject* const* args, PyObject* base_name, int& conflicts) {
    PyObject *current = args[1], *base = args[2], *incoming = args[3];
    conflicts = 0;
    at(lines::merge_source::tempdir);
    Ref parent = call_method(global(names::tempfile).get(), names::gettempdir);
    const std::string parent_path = fs_bytes(parent.get());
    // Edits that lie apart merge as git would merge them, without it; a merge that must find git
    // and cannot still fails as it would have (below).
    if (names_are_texts(args) && git_can_start())
        if (Ref merged = merged_apart(current, base, incoming)) return merged;
    MergedAhead ahead;
    if (take_merged_ahead(args[0], parent_path, current, base, incoming, ahead)) {
        const std::string sep(1, platform::path_separator);
        Ref current_text = host_path(ahead.directory + sep + "current");
        Ref incoming_text = host_path(ahead.directory + sep + "incoming");
        Ref base_text = base_name ? host_path(ahead.directory + sep + "base") : Ref();
        conflicts = ahead.conflicts;
        at(lines::merge_source::read_back);
        Ref text = decode_text(ahead.merged);
        return split_lines(at, text.get(), current_text.get(), incoming_text.get(), args,
                           base_text.get(), base_name);
    }
    PrivateDirectory directory(parent_path);
    at(lines::merge_source::current_path);
    auto [current_path, current_text] = directory.file("current");
    at(lines::merge_source::base_path);
    auto [base_path, base_text] = directory.file("base");
    at(lines::merge_source::incoming_path);
    auto [incoming_path, incoming_text] = directory.file("incoming");
    at(lines::merge_source::write_current);
    write_lines(current_path, current);
    at(lines::merge_source::write_base);
    write_lines(base_path, base);
    at(lines::merge_source::write_incoming);
    write_lines(incoming_path, incoming);
    at(lines::merge_source::merge_file);
    conflicts = git_merge_file_conflicts(current_text.get(), base_text.get(), incoming_text.get());
    at(lines::merge_source::read_back);
    Ref text = read_text(current_path);
    Ref lines = split_lines(at, text.get(), current_text.get(), incoming_text.get(), args,
                            base_text.get(), base_name);
    at(lines::merge_source::tempdir);
    directory.remove();
    return lines;
}

// A merge with the handle `args[0]` of ours: the handle's labels in place of the names given, and
// the merged lines recorded when git found conflicts in them.
Ref merge_source_with_handle(At& at, PyObject* const* args) {
    PyObject* named[6] = {args[0], args[1], args[2], args[3], args[4], args[5]};
    PyObject* base_name = nullptr;
    if (PyObject* labels = source_merge_labels(args[0])) {
        named[4] = PyTuple_GET_ITEM(labels, 0);
        base_name = PyTuple_GET_ITEM(labels, 1);
        named[5] = PyTuple_GET_ITEM(labels, 2);
    }
    int conflicts = 0;
    Ref lines = merge_source_direct(at, named, base_name, conflicts);
    if (conflicts > 0) record_source_conflict(args[0], lines.get());
    return lines;
}

}  // namespace

Ref merge_source_body(At& at, PyObject* const* args) {
    PyObject *g = args[0], *current = args[1], *base = args[2], *incoming = args[3];
    PyObject *current_name = args[4], *incoming_name = args[5];
    if (is_git_command(g)) return merge_source_with_handle(at, args);
    Ref lines;

    at(lines::merge_source::tempdir);
    Ref directory = call(getattr(global(names::tempfile).get(), names::TemporaryDirectory).get());
    bool completed =
        with_block(at, lines::merge_source::tempdir, directory.get(), [&](PyObject* tempdir) {
        auto join = [&](PyObject* file_name) {
            Ref join = getattr(getattr(global(names::os).get(), names::path).get(), names::join);
            return call(join.get(), {tempdir, file_name});
        };
        at(lines::merge_source::current_path);
        Ref current_path = join(names::current);
        at(lines::merge_source::base_path);
        Ref base_path = join(names::base);
        at(lines::merge_source::incoming_path);
        Ref incoming_path = join(names::incoming);

        // All three files are closed (incoming first) before the tool reads them.
        at(lines::merge_source::open_current);
        Ref current_file = open_text(current_path.get(), names::w);
        with_block(at, lines::merge_source::open_current, current_file.get(),
                   [&](PyObject* current_out) {
            at(lines::merge_source::open_base);
            Ref base_file = open_text(base_path.get(), names::w);
            with_block(at, lines::merge_source::open_base, base_file.get(),
                       [&](PyObject* base_out) {
                at(lines::merge_source::open_incoming);
                Ref incoming_file = open_text(incoming_path.get(), names::w);
                with_block(at, lines::merge_source::open_incoming, incoming_file.get(),
                           [&](PyObject* incoming_out) {
                    at(lines::merge_source::write_current);
                    write_joined(current_out, current);
                    at(lines::merge_source::write_base);
                    write_joined(base_out, base);
                    at(lines::merge_source::write_incoming);
                    write_joined(incoming_out, incoming);
                });
            });
        });

        at(lines::merge_source::merge_file);
        Ref merge_file = getattr(g, names::merge_file);
        Ref merged = Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            merge_file.get(), current_path.get(), base_path.get(), incoming_path.get(), nullptr));
        if (!merged) drop_conflict_status(at);

        at(lines::merge_source::read_back);
        Ref fp = open_text(current_path.get(), names::r);
        with_block(at, lines::merge_source::read_back, fp.get(), [&](PyObject* in) {
            at(lines::merge_source::new_lines);
            lines = Ref::steal(PyList_New(0));
            at(lines::merge_source::each_line);
            Ref read = call_method(in, names::readlines);
            Ref it = Ref::steal(PyObject_GetIter(read.get()));
            while (Ref line = Ref::steal_or_null(PyIter_Next(it.get()))) {
                PyObject* text = line.get();
                append_line(at, lines.get(), std::move(line), text, 0, text_length(text),
                            {current_path.get(), current_name},
                            {incoming_path.get(), incoming_name});
            }
            if (PyErr_Occurred()) throw HostError{};
        });
    });
    at(lines::merge_source::result);
    (void)completed;  // a suppressed failure shows only as `lines` left unset
    if (!lines)
        binding::raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                       "lines");
    return lines;
}

PyObject* checked_labels(PyObject* labels, const char* function) {
    if (labels == Py_None) return nullptr;
    if (!PyTuple_CheckExact(labels) || PyTuple_GET_SIZE(labels) != 3)
        binding::raise(PyExc_TypeError, "%s(): labels must be None or a tuple of three strings",
                       function);
    for (Py_ssize_t i = 0; i < 3; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(labels, i)))
            binding::raise(PyExc_TypeError, "%s(): labels must be None or a tuple of three strings",
                           function);
    return labels;
}

// merge_sources(sources, labels): [(lines, conflicts)] for each (current, base, incoming) of
// `sources`, in order, each merged as _merge_source merges it with the merge's own handle, with
// `labels` (None: the temporary paths) on the conflict blocks, and `conflicts` the number git
// reported. The merges that git must make run ahead on the handle's workers, all of them from the
// start. The first failure propagates.
Ref merge_sources_body(At& at, PyObject* const* args) {
    PyObject *sources = args[0], *labels = checked_labels(args[1], "merge_sources");
    if (!PyList_CheckExact(sources))
        binding::raise(PyExc_TypeError,
                       "merge_sources(): sources must be a list of (current, base, incoming)");
    // Held: merging runs no host code of the caller's, yet the list stays the caller's.
    Ref held = Ref::steal(PyList_AsTuple(sources));
    const Py_ssize_t n = PyTuple_GET_SIZE(held.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(held.get(), i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3)
            binding::raise(PyExc_TypeError,
                           "merge_sources(): sources must be a list of (current, base, incoming)");
    }
    Ref g = make_git_command();
    set_source_merge_options(g.get(), labels, nullptr);
    Ref results = Ref::steal(PyList_New(0));
    MergesAheadScope ahead(g.get(), held.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(held.get(), i);
        PyObject* merge_args[6] = {g.get(),
                                   PyTuple_GET_ITEM(item, 0),
                                   PyTuple_GET_ITEM(item, 1),
                                   PyTuple_GET_ITEM(item, 2),
                                   Py_None,
                                   Py_None};
        PyObject* base_name = nullptr;
        if (labels) {
            merge_args[4] = PyTuple_GET_ITEM(labels, 0);
            base_name = PyTuple_GET_ITEM(labels, 1);
            merge_args[5] = PyTuple_GET_ITEM(labels, 2);
        }
        int conflicts = 0;
        Ref lines = merge_source_direct(at, merge_args, base_name, conflicts);
        Ref count = Ref::steal(PyLong_FromLong(conflicts));
        Ref pair = Ref::steal(PyTuple_Pack(2, lines.get(), count.get()));
        binding::check(PyList_Append(results.get(), pair.get()));
    }
    return results;
}

}  // namespace merge_driver
