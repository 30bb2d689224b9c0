// What the module needs from the operating system, and the only place that knows which one it is.
// Paths are std::string in the host's file-system encoding (UTF-8 on Windows; a path that does
// not convert to the system's UTF-16 is an error, never a name with a replacement character). Errors are the
// system's own codes (errno, or a Windows error), 0 meaning success; raise_os_error turns one into
// the host's OSError. Nothing here calls the host unless it says so.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace merge_driver::platform {

using Error = int;  // 0: success; else the system's error code

extern const char path_separator;

// Whether a file marked read-only refuses to be replaced by a rename over it (Windows), where on
// POSIX systems only the directory's permissions count.
extern const bool replace_refuses_read_only;

// The git executable as the git package runs it: GIT_PYTHON_GIT_EXECUTABLE where set and not
// empty, else "git", in `name`. Reads the environment: call it holding the host's lock. Fails
// only where the variable's value has no UTF-8 form (Windows: a lone surrogate).
Error git_command_name(std::string& name);

// Where `name` is run from: as given when it names a directory, else the first match on PATH
// (the system's default search path when PATH is unset). ENOENT (or the system's "not found")
// when nothing matches. Reads the environment: call it holding the host's lock.
Error find_program(const std::string& name, std::string& path);

// True for the error find_program and Process::start give when there is no such program.
bool is_not_found(Error error);

// One child process, the module's only way to start one: run from a program path and its
// arguments (no shell), with the null device as its input and output. Its error output is
// discarded or kept for read_error_output. Several may run at once; each is collected by its own
// handle (waitpid, WaitForSingleObject), never by waiting for any child.
class Process {
public:
    enum class ErrorOutput { discard, capture };

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();  // a process still running is stopped and collected; a captured pipe is closed

    // Starts `program` with `argv` (argv[0] included) in the current directory, with the process's
    // environment (read: hold the host's lock).
    Error start(const std::string& program, const std::vector<std::string>& argv,
                ErrorOutput error_output);
    // All that the child writes to its error output, until it closes it (capture only).
    std::string read_error_output();
    // Stops the child at once (it ends as killed), while it has not been collected.
    void stop();
    // Waits for the child's end and collects it: its exit code, or the negated number of the
    // signal that ended it; -1 when it cannot be waited for.
    int collect();

private:
    std::intptr_t process_ = -1;     // the system's handle on the child; -1 when there is none
    std::intptr_t error_pipe_ = -1;  // read end of the captured error output
};

// The id of the calling process, to tell a forked child from the process that started something.
std::int64_t process_id();

// What names the calling process among all that ever ran here, for the names of its temporary
// files: "PID-START-NS-BOOT", the process id, its start time, its pid namespace and the boot's
// id, the last three in decimal, decimal and hex digits ("PID-0-0-0" where the system cannot
// tell them). The driver removes a temporary file left by a killed run only when the tag proves
// its maker gone (temporary.py reads it back): the same boot and namespace, and no live process
// with that id and start time. A system that gives no such proof keeps the "PID-0-0-0" form.
std::string process_tag();

// The start of the name of a source merge's directory, followed by the tag and a random part.
inline constexpr char private_directory_prefix[] = "corvane-src-";

// A new directory under `parent` named private_directory_prefix, process_tag(), "-" and a random
// part, that only the user may use; its path in `path` on success.
Error make_private_directory(const std::string& parent, std::string& path);

// Removes the directory at `path` with everything in it. On failure, the path that could not be
// removed is in `failed`.
Error remove_tree(const std::string& path, std::string& failed);

// Removes the `count` files at `files` (those already gone are no failure), then the directory at
// `directory`, allocating no memory unless the directory holds something else: then it is
// removed with everything in it, as remove_tree does. On failure, the path that could not be
// removed is in `failed`.
Error remove_files(const std::string* files, std::size_t count, const std::string& directory,
                   std::string& failed);

// Bytes to write: `size` of them at `data`.
struct Piece {
    const char* data;
    std::size_t size;
};

// Writes the `count` pieces at `pieces`, one after the other, to a new file at `path` (an
// existing one is emptied, or, when `exclusive`, refused). Many small pieces (the lines of a
// text) cost no more system calls than their bytes joined.
Error write_file(const std::string& path, const Piece* pieces, std::size_t count, bool exclusive);

inline Error write_file(const std::string& path, const char* data, std::size_t size,
                        bool exclusive) {
    const Piece whole{data, size};
    return write_file(path, &whole, 1, exclusive);
}

// Appends the whole file's bytes to `data`.
Error read_file(const std::string& path, std::string& data);

// Sets the host's OSError for `error` naming `path`, and throws binding::HostError. Holds the lock.
[[noreturn]] void raise_os_error(Error error, const std::string& path);

}  // namespace merge_driver::platform
