// The command handle a merge passes to every source merge: runs `git merge-file` directly.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>
#include "notebook.hpp"

extern char** environ;

namespace merge_driver {

using binding::global;

namespace {

struct GitCommand {
    PyObject_HEAD
    MergesAhead* ahead;  // set while the merge that made the handle decides its cells
};

// The executable: GIT_PYTHON_GIT_EXECUTABLE where set (as the git package honours it), else
// "git" found on PATH.
std::string git_executable() {
    const char* configured = std::getenv("GIT_PYTHON_GIT_EXECUTABLE");
    return configured && *configured ? configured : "git";
}

// Raises git.<kind>(command, *extra) as the git package would; falls back to OSError when the
// package lacks that class.
[[noreturn]] void raise_git_error(PyObject* kind, PyObject* command, std::initializer_list<PyObject*> extra) {
    Ref git = global(names::git);
    Ref error_type = Ref::steal_or_null(PyObject_GetAttr(git.get(), kind));
    if (!error_type) throw HostError{};
    Ref args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(1 + extra.size())));
    Py_INCREF(command);
    PyTuple_SET_ITEM(args.get(), 0, command);
    Py_ssize_t i = 1;
    for (PyObject* e : extra) { Py_INCREF(e); PyTuple_SET_ITEM(args.get(), i++, e); }
    Ref error = Ref::steal(PyObject_Call(error_type.get(), args.get(), nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw HostError{};
}

struct Outcome {
    int code;            // exit code, or the negated signal
    std::string error;   // what the command wrote to its error output
};

// Runs `git merge-file <paths>` with no shell, in the current directory, and waits for it. Fills
// `command` with the command line as the git package reports it. Raises git.GitCommandNotFound
// (or GitCommandError) when git cannot be started.
Outcome run_merge_file(PyObject* const* paths, Py_ssize_t n, Ref& command) {
    const std::string executable = git_executable();
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
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw HostError{};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    pid_t pid = 0;
    int spawn_error = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(err_pipe[1]);
    if (spawn_error != 0) {
        close(err_pipe[0]);
        errno = spawn_error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, cargv[0]);
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        Ref value = Ref::steal_or_null(v);
        Py_XDECREF(t);
        Py_XDECREF(tb);
        raise_git_error(spawn_error == ENOENT ? names::GitCommandNotFound : names::GitCommandError,
                        command.get(), {value ? value.get() : Py_None});
    }
    Outcome outcome{0, {}};
    int status = 0;
    Py_BEGIN_ALLOW_THREADS
    char buffer[4096];
    for (;;) {
        ssize_t got = read(err_pipe[0], buffer, sizeof buffer);
        if (got > 0) outcome.error.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR) break;
    }
    close(err_pipe[0]);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    Py_END_ALLOW_THREADS
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
    return outcome;
}

// git.GitCommandError(command, status, stderr) for a command that ran and failed.
[[noreturn]] void raise_failed(PyObject* command, Outcome& outcome) {
    std::string& text = outcome.error;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    Ref status = Ref::steal(PyLong_FromLong(outcome.code));
    Ref error = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
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
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

PyMethodDef git_command_methods[] = {
    {"merge_file", merge_file_method, METH_VARARGS, "Run `git merge-file` with the given arguments."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject git_command_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

bool is_git_command(PyObject* o) { return Py_TYPE(o) == &git_command_type; }

MergesAhead* merges_ahead_of(PyObject* g) {
    return is_git_command(g) ? reinterpret_cast<GitCommand*>(g)->ahead : nullptr;
}

void set_merges_ahead(PyObject* g, MergesAhead* ahead) {
    if (is_git_command(g)) reinterpret_cast<GitCommand*>(g)->ahead = ahead;
}

std::string git_executable_path() {
    std::string executable = git_executable();
    if (executable.find('/') != std::string::npos) return executable;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + executable;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

pid_t start_merge_file_quietly(const std::string& executable, const std::vector<std::string>& paths,
                               char* const* envp) {
    std::vector<std::string> argv = {executable, "merge-file"};
    argv.insert(argv.end(), paths.begin(), paths.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int error = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int wait_quietly(pid_t pid) {
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {}
    if (got < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

int git_merge_file_conflicts(PyObject* current_path, PyObject* base_path, PyObject* incoming_path) {
    PyObject* paths[] = {current_path, base_path, incoming_path};
    Ref command;
    Outcome outcome = run_merge_file(paths, 3, command);
    if (outcome.code < 0 || outcome.code > 127) raise_failed(command.get(), outcome);
    return outcome.code;
}

Ref make_git_command() {
    if (!(git_command_type.tp_flags & Py_TPFLAGS_READY)) {
        git_command_type.tp_name = "merge_ipynb.GitCommand";
        git_command_type.tp_basicsize = sizeof(GitCommand);
        git_command_type.tp_flags = Py_TPFLAGS_DEFAULT;
        git_command_type.tp_doc = "Runs git merge-file for the source merges of one notebook merge.";
        git_command_type.tp_methods = git_command_methods;
        git_command_type.tp_new = nullptr;
        binding::check(PyType_Ready(&git_command_type));
    }
    GitCommand* handle = PyObject_New(GitCommand, &git_command_type);
    if (handle) handle->ahead = nullptr;
    return Ref::steal(reinterpret_cast<PyObject*>(handle));
}

}  // namespace merge_driver
