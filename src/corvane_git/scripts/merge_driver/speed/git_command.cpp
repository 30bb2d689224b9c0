// The command handle a merge passes to every source merge: runs `git merge-file` directly.
#include <string>
#include <vector>
#include "binding/compat.hpp"
#include "binding/saved_error.hpp"
#include "notebook.hpp"
#include "platform/platform.hpp"

namespace merge_driver {

using binding::global;

namespace {

struct GitCommand {
    PyObject_HEAD MergesAhead* ahead;  // set while the merge that made the handle decides its cells
    PyObject* labels;      // owned: (ours, base, theirs) for the conflict blocks, or null
    PyObject* conflicted;  // owned: the list that gets each merged source git found conflicts in
};

// Raises git.<kind>(command, *extra) as the git package would; falls back to OSError when the
// package lacks that class.
[[noreturn]] void raise_git_error(PyObject* kind, PyObject* command,
                                  std::initializer_list<PyObject*> extra) {
    Ref error_type = binding::getattr(global(names::git).get(), kind);
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(1 + extra.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : {command}) PyTuple_SET_ITEM(args.get(), i++, Ref::borrow(item).release());
    for (PyObject* item : extra) PyTuple_SET_ITEM(args.get(), i++, Ref::borrow(item).release());
    Ref error = Ref::steal(PyObject_Call(error_type.get(), args.get(), nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw HostError{};
}

struct Outcome {
    int code;           // exit code, or the negated signal
    std::string error;  // what the command wrote to its error output
};

// The host's OSError for a failure to start the command, raised as git.GitCommandNotFound when
// there is no such program, else as git.GitCommandError, as the git package reports them.
[[noreturn]] void raise_not_started(platform::Error error, const std::string& program,
                                    PyObject* command) {
    try {
        platform::raise_os_error(error, program);
    } catch (const HostError&) {
        Ref value = binding::SavedError().drop();
        raise_git_error(
            platform::is_not_found(error) ? names::GitCommandNotFound : names::GitCommandError,
            command, {value ? value.get() : Py_None});
    }
}

// Runs `git merge-file <paths>` with no shell, in the current directory, and waits for it. Fills
// `command` with the command line as the git package reports it. Raises git.GitCommandNotFound
// (or GitCommandError) when git cannot be started.
Outcome run_merge_file(PyObject* const* paths, Py_ssize_t n, Ref& command) {
    std::string executable;
    const platform::Error name_error = platform::git_command_name(executable);
    if (name_error) executable = "GIT_PYTHON_GIT_EXECUTABLE";  // its value has no UTF-8 form
    std::vector<std::string> argv = {executable, "merge-file"};
    command = Ref::steal(PyList_New(0));
    for (const char* word : {executable.c_str(), "merge-file"}) {
        Ref text = Ref::steal(PyUnicode_DecodeFSDefault(word));
        binding::check(PyList_Append(command.get(), text.get()));
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref text = Ref::steal(PyObject_Str(paths[i]));
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(text.get(), &encoded)) throw HostError{};
        Ref bytes = Ref::steal(encoded);
        argv.emplace_back(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
        binding::check(PyList_Append(command.get(), text.get()));
    }
    if (name_error) raise_not_started(name_error, executable, command.get());
    std::string program;
    if (platform::Error error = platform::find_program(executable, program))
        raise_not_started(error, executable, command.get());
    platform::Process process;
    if (platform::Error error =
            process.start(program, argv, platform::Process::ErrorOutput::capture))
        raise_not_started(error, executable, command.get());
    Outcome outcome{0, {}};
    Py_BEGIN_ALLOW_THREADS outcome.error = process.read_error_output();
    outcome.code = process.collect();
    Py_END_ALLOW_THREADS return outcome;
}

}  // namespace

bool git_can_start() {
    std::string name, program;
    return platform::git_command_name(name) == 0 && platform::find_program(name, program) == 0;
}

namespace {

// git.GitCommandError(command, status, stderr) for a command that ran and failed.
[[noreturn]] void raise_failed(PyObject* command, Outcome& outcome) {
    std::string& text = outcome.error;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Ref status = Ref::steal(PyLong_FromLong(outcome.code));
    Ref error = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    raise_git_error(names::GitCommandError, command, {status.get(), error.get()});
}

// merge_file(*paths): "" on exit 0; any other outcome raises git.GitCommandError whose status is
// the exit code (the number of conflicts, or 128 and more for an error) or the negated signal,
// as the git package reports it.
Ref merge_file(PyObject* args) {
    Ref command;
    Outcome outcome = run_merge_file(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), command);
    if (outcome.code != 0) raise_failed(command.get(), outcome);
    return Ref::steal(PyUnicode_FromString(""));
}

PyObject* merge_file_method(PyObject*, PyObject* args) {
    try {
        return merge_file(args).release();
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) { PyErr_NoMemory(); }
    return nullptr;
}

PyMethodDef git_command_methods[] = {
    {"merge_file", merge_file_method, METH_VARARGS,
     "Run `git merge-file` with the given arguments."},
    {nullptr, nullptr, 0, nullptr},
};

void git_command_dealloc(PyObject* self) {
    GitCommand* handle = reinterpret_cast<GitCommand*>(self);
    Py_CLEAR(handle->labels);
    Py_CLEAR(handle->conflicted);
    binding::compat::free_heap_type_instance(self);
}

PyType_Slot git_command_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Runs git merge-file for the source merges of one notebook merge.")},
    {Py_tp_methods, git_command_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(git_command_dealloc)},
    {0, nullptr},
};

PyType_Spec git_command_spec = {"merge_ipynb.GitCommand", sizeof(GitCommand), 0,
                                Py_TPFLAGS_DEFAULT | binding::compat::tpflags_not_instantiable,
                                git_command_slots};

PyTypeObject* made_type = nullptr;  // made by the first make_git_command, kept for the process

PyTypeObject* git_command_type() {
    if (!made_type) {
        Ref type = binding::compat::not_instantiable_type(&git_command_spec);
        made_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    return made_type;
}

}  // namespace

bool is_git_command(PyObject* o) { return made_type && Py_TYPE(o) == made_type; }

MergesAhead* merges_ahead_of(PyObject* g) {
    return is_git_command(g) ? reinterpret_cast<GitCommand*>(g)->ahead : nullptr;
}

void set_merges_ahead(PyObject* g, MergesAhead* ahead) {
    if (is_git_command(g)) reinterpret_cast<GitCommand*>(g)->ahead = ahead;
}

void set_source_merge_options(PyObject* g, PyObject* labels, PyObject* conflicted) {
    if (!is_git_command(g)) return;
    GitCommand* handle = reinterpret_cast<GitCommand*>(g);
    Py_XINCREF(labels);
    Py_XSETREF(handle->labels, labels);
    Py_XINCREF(conflicted);
    Py_XSETREF(handle->conflicted, conflicted);
}

PyObject* source_merge_labels(PyObject* g) {
    return is_git_command(g) ? reinterpret_cast<GitCommand*>(g)->labels : nullptr;
}

void record_source_conflict(PyObject* g, PyObject* lines) {
    if (!is_git_command(g)) return;
    if (PyObject* conflicted = reinterpret_cast<GitCommand*>(g)->conflicted)
        binding::check(PyList_Append(conflicted, lines));
}

int git_merge_file_conflicts(PyObject* current_path, PyObject* base_path, PyObject* incoming_path) {
    PyObject* paths[] = {current_path, base_path, incoming_path};
    Ref command;
    Outcome outcome = run_merge_file(paths, 3, command);
    if (outcome.code < 0 || outcome.code > 127) raise_failed(command.get(), outcome);
    return outcome.code;
}

Ref make_git_command() {
    GitCommand* handle = PyObject_New(GitCommand, git_command_type());
    if (handle) {
        handle->ahead = nullptr;
        handle->labels = handle->conflicted = nullptr;
    }
    return Ref::steal(reinterpret_cast<PyObject*>(handle));
}

}  // namespace merge_driver
