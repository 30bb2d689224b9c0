// The operating system's side of platform.hpp on Windows. Paths and environment entries arrive
// and leave as UTF-8 and are handed to the system as UTF-16 (the wide-character calls only, never
// the ANSI code page).
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "platform.hpp"
#include <Python.h>
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>
#include <climits>
#include <cstring>
#include <new>
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace merge_driver::platform {

const char path_separator = '\\';
const bool replace_refuses_read_only = true;

namespace {

// The exit code given to a child that is stopped, and the status of one that ended by an
// exception (an NTSTATUS such as 0xC0000005 does not fit the int status): git's own range for a
// failure, which no merge result uses.
constexpr DWORD stopped_code = 255;

// The error of a text that does not convert: UTF-8 that is not valid (a path holding a lone
// surrogate, as the host encodes it) or UTF-16 holding a lone surrogate.
constexpr Error not_convertible = ERROR_NO_UNICODE_TRANSLATION;

// UTF-8 to UTF-16 in `out`; not_convertible, never a replacement character, for text that is not
// valid UTF-8 (or too long for the system's calls).
Error wide(const std::string& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return 0;
    if (text.size() > static_cast<size_t>(INT_MAX)) return not_convertible;
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0) return not_convertible;
    out.assign(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, &out[0], n) != n)
        return not_convertible;
    return 0;
}

// UTF-16 to UTF-8 in `out`; not_convertible for text holding a lone surrogate.
Error narrow(const wchar_t* text, size_t length, std::string& out) {
    out.clear();
    if (length == 0) return 0;
    if (length > static_cast<size_t>(INT_MAX)) return not_convertible;
    const int size = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return not_convertible;
    out.assign(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, size, &out[0], n, nullptr,
                            nullptr) != n)
        return not_convertible;
    return 0;
}

Error narrow(const std::wstring& text, std::string& out) {
    return narrow(text.data(), text.size(), out);
}

// A variable of the process's environment block (where the host's os.environ writes too), or
// false when it is not set.
bool environment_variable(const wchar_t* name, std::wstring& value) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return false;
    for (;;) {
        value.assign(size, L'\0');
        DWORD got = GetEnvironmentVariableW(name, &value[0], size);
        if (got == 0) return false;
        if (got < size) {
            value.resize(got);
            return true;
        }
        size = got;
    }
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE get() const { return h_; }
    HANDLE* out() {
        reset();
        return &h_;
    }
    HANDLE release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset() {
        if (h_) CloseHandle(h_);
        h_ = nullptr;
    }
    explicit operator bool() const { return h_ != nullptr; }
private:
    HANDLE h_ = nullptr;
};

bool has_extension(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    size_t dot = path.find_last_of(L'.');
    return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

bool is_file(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// One argument as the C runtime's command-line parser (and CommandLineToArgvW) reads it back.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            line.append(backslashes * 2 + 1, L'\\');
        else
            line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

Error make_directory_for_user(const std::wstring& path) {
    // A protected DACL that grants the user alone full control, inherited by what it holds.
    Handle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return GetLastError();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return GetLastError();
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
        return GetLastError();
    const std::wstring sddl = std::wstring(L"D:P(A;OICI;FA;;;") + sid + L")";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return GetLastError();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    Error error = CreateDirectoryW(path.c_str(), &attributes) ? 0 : GetLastError();
    LocalFree(descriptor);
    return error;
}

// `path` (UTF-8: `name`) removed with everything in it; on failure `failed` names what stays.
// A name in it that does not convert to UTF-8 fails the removal, naming the directory.
Error remove_tree_wide(const std::wstring& path, const std::string& name, std::string& failed) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        Error error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            failed = name;
            return error;
        }
    } else {
        struct Entry {
            std::wstring path;
            std::string name;
            DWORD attributes;
        };
        std::vector<Entry> entries;
        Error converted = 0;
        do {
            const std::wstring child = entry.cFileName;
            if (child == L"." || child == L"..") continue;
            std::string child_name;
            if (!converted) converted = narrow(child, child_name);
            entries.push_back(
                {path + L"\\" + child, name + "\\" + child_name, entry.dwFileAttributes});
        } while (FindNextFileW(find, &entry));
        Error listing = GetLastError();
        FindClose(find);
        if (listing != ERROR_NO_MORE_FILES || converted) {
            failed = name;
            return converted ? converted : listing;
        }
        for (const Entry& child : entries) {
            const DWORD attributes = child.attributes;
            if (attributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(child.path.c_str(),
                                   attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
            // A link to a directory is removed as a link: what it points to stays.
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                if (Error error = remove_tree_wide(child.path, child.name, failed)) return error;
            } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY)
                           ? !RemoveDirectoryW(child.path.c_str())
                           : !DeleteFileW(child.path.c_str())) {
                Error error = GetLastError();
                if (error != ERROR_FILE_NOT_FOUND) {
                    failed = child.name;
                    return error;
                }
            }
        }
    }
    if (!RemoveDirectoryW(path.c_str())) {
        failed = name;
        return GetLastError();
    }
    return 0;
}

}  // namespace

Error git_command_name(std::string& name) {
    std::wstring configured;
    if (environment_variable(L"GIT_PYTHON_GIT_EXECUTABLE", configured) && !configured.empty())
        return narrow(configured, name);
    name = "git";
    return 0;
}

// As the git package starts a program on Windows: a name with a directory part is taken as it is,
// else looked up on PATH only (never in the current directory); a name without an extension gets
// ".exe", as CreateProcess gives it.
Error find_program(const std::string& name, std::string& path) {
    if (name.empty()) return ERROR_FILE_NOT_FOUND;
    std::wstring wname;
    if (Error error = wide(name, wname)) return error;
    auto candidates = [&](const std::wstring& base) {
        return std::vector<std::wstring>{has_extension(base) ? base : base + L".exe"};
    };
    if (wname.find_first_of(L"\\/:") != std::wstring::npos) {
        for (const std::wstring& candidate : candidates(wname))
            if (is_file(candidate)) return narrow(candidate, path);
        return ERROR_FILE_NOT_FOUND;
    }
    std::wstring dirs;
    if (!environment_variable(L"PATH", dirs)) dirs.clear();
    size_t start = 0;
    while (start < dirs.size()) {
        size_t end = dirs.find(L';', start);
        if (end == std::wstring::npos) end = dirs.size();
        std::wstring dir = dirs.substr(start, end - start);
        if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"')
            dir = dir.substr(1, dir.size() - 2);
        if (!dir.empty()) {
            if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
            for (const std::wstring& candidate : candidates(dir + wname))
                if (is_file(candidate)) return narrow(candidate, path);
        }
        start = end + 1;
    }
    return ERROR_FILE_NOT_FOUND;
}

bool is_not_found(Error error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

Process::~Process() {
    if (process_ != -1) {
        stop();
        collect();
    }
    if (error_pipe_ != -1) CloseHandle(reinterpret_cast<HANDLE>(error_pipe_));
}

Error Process::start(const std::string& program, const std::vector<std::string>& argv,
                     ErrorOutput error_output) {
    std::wstring line, word, application;
    for (const std::string& arg : argv) {
        if (Error error = wide(arg, word)) return error;
        if (!line.empty()) line += L' ';
        append_quoted(line, word);
    }
    if (Error error = wide(program, application)) return error;

    // Only the handles listed here reach the child, so that children started at the same time by
    // other threads never hold each other's pipes open.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr));
    Handle null_out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!null_in || !null_out) return GetLastError();
    Handle read_end, write_end;
    if (error_output == ErrorOutput::capture) {
        if (!CreatePipe(read_end.out(), write_end.out(), &inheritable, 0)) return GetLastError();
        SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE error_handle = write_end ? write_end.get() : null_out.get();
    HANDLE inherited[3] = {null_in.get(), null_out.get(), error_handle};
    const DWORD inherited_count = error_handle == null_out.get() ? 2 : 3;

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> list_memory(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return GetLastError();
    Error error = 0;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
        error = GetLastError();
    } else {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = null_in.get();
        startup.StartupInfo.hStdOutput = null_out.get();
        startup.StartupInfo.hStdError = error_handle;
        startup.lpAttributeList = list;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(
                application.c_str(), &line[0], nullptr, nullptr, TRUE,
                CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                nullptr, nullptr, &startup.StartupInfo, &info)) {
            CloseHandle(info.hThread);
            process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
            if (read_end) error_pipe_ = reinterpret_cast<std::intptr_t>(read_end.release());
        } else {
            error = GetLastError();
        }
    }
    DeleteProcThreadAttributeList(list);
    return error;
}

std::string Process::read_error_output() {
    std::string text;
    if (error_pipe_ == -1) return text;
    HANDLE pipe = reinterpret_cast<HANDLE>(error_pipe_);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        try {
            text.append(buffer, got);
        } catch (const std::bad_alloc&) {
            // Read on regardless: a child blocked on a full pipe would never end.
        }
    }
    CloseHandle(pipe);
    error_pipe_ = -1;
    return text;
}

void Process::stop() {
    if (process_ != -1) TerminateProcess(reinterpret_cast<HANDLE>(process_), stopped_code);
}

int Process::collect() {
    if (process_ == -1) return -1;
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    process_ = -1;
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ended) return -1;
    return code > static_cast<DWORD>(INT_MAX) ? static_cast<int>(stopped_code)
                                              : static_cast<int>(code);
}

std::int64_t process_id() { return static_cast<std::int64_t>(GetCurrentProcessId()); }

// No proof here that a process is gone (ids are reused at once): the tag without a start time
// keeps what a killed run left out of the driver's removal.
std::string process_tag() {
    return std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) + "-0-0-0";
}

Error make_private_directory(const std::string& parent, std::string& path) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
    Error error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        unsigned char random[8];
        if (!BCRYPT_SUCCESS(
                BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return ERROR_GEN_FAILURE;
        std::string name = parent;
        if (!name.empty() && name.back() != '\\' && name.back() != '/') name += '\\';
        name += private_directory_prefix + process_tag() + "-";
        for (unsigned char r : random) name += letters[r % (sizeof letters - 1)];
        std::wstring wname;
        error = wide(name, wname);
        if (error == 0) error = make_directory_for_user(wname);
        if (error == 0) path.swap(name);
    }
    return error;
}

Error remove_tree(const std::string& path, std::string& failed) {
    std::wstring wpath;
    if (Error error = wide(path, wpath)) {
        failed = path;
        return error;
    }
    return remove_tree_wide(wpath, path, failed);
}

Error remove_files(const std::string* files, std::size_t count, const std::string& directory,
                   std::string& failed) {
    std::wstring wpath;
    for (std::size_t i = 0; i < count; ++i) {
        Error error = wide(files[i], wpath);
        if (error == 0 && DeleteFileW(wpath.c_str())) continue;
        if (error == 0) error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        failed = files[i];
        return error;
    }
    if (Error error = wide(directory, wpath)) {
        failed = directory;
        return error;
    }
    if (RemoveDirectoryW(wpath.c_str())) return 0;
    const Error error = GetLastError();
    if (error != ERROR_DIR_NOT_EMPTY) {
        failed = directory;
        return error;
    }
    return remove_tree(directory, failed);
}

namespace {

Error write_all(HANDLE file, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD put = 0;
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        if (!WriteFile(file, data, chunk, &put, nullptr)) return GetLastError();
        if (put == 0) return ERROR_WRITE_FAULT;
        data += put;
        size -= put;
    }
    return 0;
}

}  // namespace

Error write_file(const std::string& path, const Piece* pieces, std::size_t count, bool exclusive) {
    std::wstring wpath;
    if (Error error = wide(path, wpath)) return error;
    Handle file(CreateFileW(wpath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file) return GetLastError();
    // Small pieces are gathered into one buffer and written together; a large one goes as it is.
    char buffer[65536];
    std::size_t held = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Piece& piece = pieces[i];
        if (held + piece.size <= sizeof buffer) {
            std::memcpy(buffer + held, piece.data, piece.size);
            held += piece.size;
            continue;
        }
        if (Error error = write_all(file.get(), buffer, held)) return error;
        held = 0;
        if (piece.size < sizeof buffer) {
            std::memcpy(buffer, piece.data, piece.size);
            held = piece.size;
        } else if (Error error = write_all(file.get(), piece.data, piece.size)) {
            return error;
        }
    }
    if (Error error = write_all(file.get(), buffer, held)) return error;
    return CloseHandle(file.release()) ? 0 : GetLastError();
}

Error read_file(const std::string& path, std::string& data) {
    std::wstring wpath;
    if (Error error = wide(path, wpath)) return error;
    Handle file(CreateFileW(wpath.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    LARGE_INTEGER size;
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0)
        data.reserve(data.size() + static_cast<size_t>(size.QuadPart));  // no regrowing
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return GetLastError();
        if (got == 0) return 0;
        data.append(buffer, got);
    }
}

void raise_os_error(Error error, const std::string& path) {
    PyObject* name =
        PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "surrogatepass");
    if (!name) throw binding::HostError{};
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), name);
    Py_DECREF(name);
    throw binding::HostError{};
}

}  // namespace merge_driver::platform
#endif  // _WIN32
