// The operating system's side of platform.hpp on POSIX systems (Linux, macOS).
#ifndef _WIN32
#include "platform.hpp"
#include <Python.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include "binding/errors.hpp"

extern char** environ;

namespace merge_driver::platform {

const char path_separator = '/';
const bool replace_refuses_read_only = false;

namespace {

pid_t pid_of(std::intptr_t handle) { return static_cast<pid_t>(handle); }

int close_quietly(int fd) {
    int rc = close(fd);
    return rc != 0 && errno == EINTR ? 0 : rc;  // the descriptor is gone either way
}

}  // namespace

Error git_command_name(std::string& name) {
    const char* configured = std::getenv("GIT_PYTHON_GIT_EXECUTABLE");
    name = configured && *configured ? configured : "git";
    return 0;
}

// As execvp searches: a candidate that exists but cannot be run is remembered (EACCES) and the
// search goes on.
Error find_program(const std::string& name, std::string& path) {
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string::npos) {
        struct stat info;
        if (stat(name.c_str(), &info) != 0) return errno;
        if (!S_ISREG(info.st_mode) || access(name.c_str(), X_OK) != 0) return EACCES;
        path = name;
        return 0;
    }
    const char* search = std::getenv("PATH");
    const std::string dirs = search ? search : "/bin:/usr/bin";
    Error error = ENOENT;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0) {
            if (S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                return 0;
            }
            error = EACCES;
        }
        start = end + 1;
    }
    return error;
}

bool is_not_found(Error error) { return error == ENOENT; }

Process::~Process() {
    if (process_ >= 0) {
        stop();
        collect();
    }
    if (error_pipe_ >= 0) close_quietly(static_cast<int>(error_pipe_));
}

Error Process::start(const std::string& program, const std::vector<std::string>& argv,
                     ErrorOutput error_output) {
    std::vector<std::string> words = argv;
    std::vector<char*> cargv;
    for (std::string& w : words) cargv.push_back(w.data());
    cargv.push_back(nullptr);

    int err_pipe[2] = {-1, -1};
    if (error_output == ErrorOutput::capture) {
#ifdef __linux__
        if (pipe2(err_pipe, O_CLOEXEC) != 0) return errno;
#else
        if (pipe(err_pipe) != 0) return errno;
        for (int fd : err_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    }
    posix_spawn_file_actions_t actions;
    if (Error error = posix_spawn_file_actions_init(&actions)) {
        for (int fd : err_pipe)
            if (fd >= 0) close_quietly(fd);
        return error;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (err_pipe[1] >= 0)
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    Error error = posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err_pipe[1] >= 0) close_quietly(err_pipe[1]);
    if (error != 0) {
        if (err_pipe[0] >= 0) close_quietly(err_pipe[0]);
        return error;
    }
    process_ = pid;
    error_pipe_ = err_pipe[0];
    return 0;
}

std::string Process::read_error_output() {
    std::string text;
    if (error_pipe_ < 0) return text;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(static_cast<int>(error_pipe_), buffer, sizeof buffer);
        if (got > 0) {
            try {
                text.append(buffer, static_cast<size_t>(got));
            } catch (const std::bad_alloc&) {
                // Read on regardless: a child blocked on a full pipe would never end.
            }
        } else if (got == 0 || errno != EINTR)
            break;
    }
    close_quietly(static_cast<int>(error_pipe_));
    error_pipe_ = -1;
    return text;
}

void Process::stop() {
    if (process_ >= 0) kill(pid_of(process_), SIGKILL);
}

int Process::collect() {
    if (process_ < 0) return -1;
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid_of(process_), &status, 0)) < 0 && errno == EINTR) {}
    process_ = -1;
    if (got < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

std::int64_t process_id() { return static_cast<std::int64_t>(getpid()); }

namespace {

// The first line of a small file, or "" when it cannot be read.
std::string first_line(const char* path) {
    std::string data;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return data;
    char buffer[1024];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {}
    close_quietly(fd);
    if (n > 0) data.assign(buffer, static_cast<size_t>(n));
    return data.substr(0, data.find('\n'));
}

// Linux: the start time (field 22 of /proc/self/stat), the pid namespace's inode and the boot id
// without its dashes; false when any of them cannot be read, or when /proc is not this process's
// pid namespace's (`unshare --pid` without its own /proc: there /proc/self is not getpid(), and
// /proc/PID is another process than PID here).
bool start_namespace_boot(const std::string& pid, std::string& start, std::string& ns,
                          std::string& boot) {
#ifdef __linux__
    char self[32];
    const ssize_t self_size = readlink("/proc/self", self, sizeof self);
    if (self_size <= 0 || std::string(self, static_cast<size_t>(self_size)) != pid) return false;
    const std::string stat = first_line("/proc/self/stat");
    size_t pos = stat.rfind(')');
    if (pos == std::string::npos) return false;
    pos += 2;  // past ") "
    for (int field = 3; field < 22 && pos != std::string::npos; ++field) {
        pos = stat.find(' ', pos);
        if (pos != std::string::npos) ++pos;
    }
    if (pos == std::string::npos) return false;
    start = stat.substr(pos, stat.find(' ', pos) - pos);
    char link[64];
    ssize_t size = readlink("/proc/self/ns/pid", link, sizeof link - 1);
    if (size <= 0) return false;
    const std::string text(link, static_cast<size_t>(size));  // "pid:[4026531836]"
    const size_t open_at = text.find('['), close_at = text.find(']');
    if (open_at == std::string::npos || close_at == std::string::npos || close_at <= open_at + 1)
        return false;
    ns = text.substr(open_at + 1, close_at - open_at - 1);
    for (char c : first_line("/proc/sys/kernel/random/boot_id"))
        if (c != '-') boot.push_back(c);
    auto digits = [](const std::string& s, const char* allowed) {
        return !s.empty() && s.find_first_not_of(allowed) == std::string::npos;
    };
    return digits(start, "0123456789") && digits(ns, "0123456789") &&
           digits(boot, "0123456789abcdef");
#else
    (void)pid, (void)start, (void)ns, (void)boot;
    return false;
#endif
}

}  // namespace

std::string process_tag() {
    std::string start, ns, boot;
    const std::string pid = std::to_string(static_cast<long long>(getpid()));
    if (!start_namespace_boot(pid, start, ns, boot)) return pid + "-0-0-0";
    return pid + "-" + start + "-" + ns + "-" + boot;
}

Error make_private_directory(const std::string& parent, std::string& path) {
    std::string name = parent + "/" + private_directory_prefix + process_tag() +
                       "-XXXXXX";  // mkdtemp makes it 0700
    if (!mkdtemp(name.data())) return errno;
    path.swap(name);
    return 0;
}

namespace {

// Removes the directory `name` in the directory open at `parent` with everything in it, walking
// by descriptors: a symbolic link is removed, never followed, and a directory on another device
// than `device` (a mount point) is left with what it holds (EXDEV). `path` names it in `failed`.
Error remove_tree_at(int parent, const char* name, const std::string& path, dev_t device,
                     std::string& failed) {
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    Error error = fd < 0                  ? errno
                  : fstat(fd, &info) != 0 ? errno
                  : info.st_dev != device ? EXDEV
                                          : 0;
    DIR* dir = error ? nullptr : fdopendir(fd);
    if (!dir) {
        if (!error) error = errno;
        if (fd >= 0) close_quietly(fd);
        failed = path;
        return error;
    }
    std::vector<std::string> entries;
    errno = 0;
    while (dirent* entry = readdir(dir)) {
        const std::string entry_name = entry->d_name;
        if (entry_name != "." && entry_name != "..") entries.push_back(entry_name);
    }
    error = errno;
    if (error) failed = path;
    for (std::size_t i = 0; i < entries.size() && !error; ++i) {
        const char* entry = entries[i].c_str();
        if (fstatat(fd, entry, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
            error = remove_tree_at(fd, entry, path + "/" + entries[i], device, failed);
        } else if (unlinkat(fd, entry, 0) != 0 && errno != ENOENT) {
            error = errno;
            failed = path + "/" + entries[i];
        }
    }
    closedir(dir);  // closes fd
    if (!error && unlinkat(parent, name, AT_REMOVEDIR) != 0) {
        error = errno;
        failed = path;
    }
    return error;
}

}  // namespace

Error remove_tree(const std::string& path, std::string& failed) {
    // The tree stays on the file system of the directory that holds it.
    const size_t slash = path.find_last_of('/');
    const std::string parent_path = slash == std::string::npos ? "."
                                    : slash == 0               ? "/"
                                                               : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int parent = open(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (parent < 0 || fstat(parent, &info) != 0) {
        const Error error = errno;
        if (parent >= 0) close_quietly(parent);
        failed = path;
        return error;
    }
    const Error error = remove_tree_at(parent, name.c_str(), path, info.st_dev, failed);
    close_quietly(parent);
    return error;
}

Error remove_files(const std::string* files, std::size_t count, const std::string& directory,
                   std::string& failed) {
    for (std::size_t i = 0; i < count; ++i)
        if (unlink(files[i].c_str()) != 0 && errno != ENOENT) {
            const Error error = errno;
            failed = files[i];
            return error;
        }
    if (rmdir(directory.c_str()) == 0) return 0;
    if (errno != ENOTEMPTY && errno != EEXIST) {
        const Error error = errno;
        failed = directory;
        return error;
    }
    return remove_tree(directory, failed);
}

Error write_file(const std::string& path, const Piece* pieces, std::size_t count, bool exclusive) {
    int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC), 0666);
    if (fd < 0) return errno;
    // Up to `batch` pieces a call; `done` bytes of the first piece are written already.
    constexpr std::size_t batch = 1024;  // IOV_MAX on Linux and macOS
    struct iovec vectors[batch];
    std::size_t first = 0, done = 0;
    while (first < count) {
        std::size_t n = 0;
        for (std::size_t i = first; i < count && n < batch; ++i) {
            const std::size_t skip = i == first ? done : 0;
            if (pieces[i].size == skip) continue;
            vectors[n].iov_base = const_cast<char*>(pieces[i].data + skip);
            vectors[n].iov_len = pieces[i].size - skip;
            ++n;
        }
        if (n == 0) break;  // only empty pieces left
        ssize_t put = writev(fd, vectors, static_cast<int>(n));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            Error error = put < 0 ? errno : EIO;
            close_quietly(fd);
            return error;
        }
        // Past the pieces written whole, to the first one not yet written whole.
        std::size_t left = static_cast<std::size_t>(put);
        while (first < count && left >= pieces[first].size - done) {
            left -= pieces[first].size - done;
            ++first;
            done = 0;
        }
        done += left;
    }
    return close_quietly(fd) != 0 ? errno : 0;
}

Error read_file(const std::string& path, std::string& data) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        try {
            data.reserve(data.size() + static_cast<size_t>(status.st_size));  // no regrowing
        } catch (...) {
            close_quietly(fd);
            throw;
        }
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            try {
                data.append(buffer, static_cast<size_t>(n));
            } catch (...) {
                close_quietly(fd);
                throw;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        Error error = n < 0 ? errno : 0;
        close_quietly(fd);
        return error;
    }
}

void raise_os_error(Error error, const std::string& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw binding::HostError{};
}

}  // namespace merge_driver::platform
#endif  // _WIN32
