/* git.exe for test runs under Wine only: runs the machine's Linux git in its place.

   Wine starts a Linux program through ntdll's __wine_unix_spawnvp. Windows pipes do not reach
   such a program, so its standard output and error go through files that are then copied to
   this process's own; so does its input where that is a pipe (`git cat-file --batch` reads its
   requests there), else it is /dev/null. Arguments that are Windows paths are translated,
   and `git merge-file` gets its files' names as given here as its labels (as git for Windows
   writes them). The current directory and the git variables of this process's environment go
   along. Never part of the package: tools/windows.sh builds it for the test runs. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef NTSTATUS(CDECL* spawnvp_fn)(char* const argv[], int wait);
typedef char*(CDECL* unix_name_fn)(LPCWSTR dos);

static unix_name_fn unix_name;

static char* utf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    char* s = malloc(n);
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL);
    return s;
}

static int is_windows_path(const wchar_t* w) {
    return ((w[0] >= L'A' && w[0] <= L'Z') || (w[0] >= L'a' && w[0] <= L'z')) && w[1] == L':' &&
           (w[2] == L'\\' || w[2] == L'/');
}

/* A Windows path as the Linux side names it; anything else as UTF-8. */
static char* translate(const wchar_t* w) {
    if (is_windows_path(w)) {
        char* u = unix_name(w);
        if (u) return u;
    }
    return utf8(w);
}

static char* concat(const char* a, const char* b) {
    char* s = malloc(strlen(a) + strlen(b) + 1);
    strcpy(s, a);
    strcat(s, b);
    return s;
}

typedef WCHAR*(CDECL* dos_name_fn)(LPCSTR unix);
static dos_name_fn dos_name;

static void put(HANDLE out, const char* data, size_t size) {
    DWORD done;
    if (out && out != INVALID_HANDLE_VALUE && size) WriteFile(out, data, (DWORD)size, &done, NULL);
}

/* Copies the file to the standard handle; with `windows_paths`, a line that is an absolute Linux
   path is written as the Windows path, as git for Windows prints a path (rev-parse). */
static void copy_to(const wchar_t* path, DWORD which, int windows_paths) {
    HANDLE out = GetStdHandle(which);
    HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            NULL, OPEN_EXISTING, 0, NULL);
    if (in != INVALID_HANDLE_VALUE) {
        size_t size = 0, cap = 65536;
        char* data = malloc(cap);
        DWORD got;
        while (ReadFile(in, data + size, (DWORD)(cap - size), &got, NULL) && got > 0) {
            size += got;
            if (cap - size < 4096) data = realloc(data, cap *= 2);
        }
        CloseHandle(in);
        size_t start = 0;
        while (start < size) {
            size_t end = start;
            while (end < size && data[end] != '\n') ++end;
            WCHAR* dos = NULL;
            if (windows_paths && data[start] == '/') {
                char* line = calloc(end - start + 1, 1);
                memcpy(line, data + start, end - start);
                dos = dos_name(line);
            }
            if (dos) {
                char* text = utf8(dos);
                put(out, text, strlen(text));
            } else {
                put(out, data + start, end - start);
            }
            if (end < size) put(out, "\n", 1);
            start = end + 1;
        }
    }
    DeleteFileW(path);
}

static char* read_action(void) {
    wchar_t path[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return NULL;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash) return NULL;
    wcscpy(slash + 1, L"git.action");
    HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE) return NULL;
    DWORD size = GetFileSize(in, NULL), got = 0;
    char* text = calloc(size + 1, 1);
    ReadFile(in, text, size, &got, NULL);
    CloseHandle(in);
    return text;
}

/* Names whose Linux value is replaced by this process's value, or removed when it has none. */
static const wchar_t* const carried[] = {
    L"HOME", L"XDG_CONFIG_HOME", L"LC_ALL", L"LANG", L"EDITOR", L"GIT_DIR", L"GIT_WORK_TREE",
    L"GIT_CONFIG_GLOBAL", L"GIT_CONFIG_SYSTEM", L"GIT_CONFIG_NOSYSTEM", L"GIT_INDEX_FILE",
    L"GIT_AUTHOR_NAME", L"GIT_AUTHOR_EMAIL", L"GIT_AUTHOR_DATE", L"GIT_COMMITTER_NAME",
    L"GIT_COMMITTER_EMAIL", L"GIT_COMMITTER_DATE", L"GIT_EDITOR", L"GIT_SEQUENCE_EDITOR",
    L"GIT_MERGE_AUTOEDIT", L"GIT_TERMINAL_PROMPT", L"GIT_CONFIG_COUNT", L"GIT_CONFIG_PARAMETERS",
    L"GIT_OPTIONAL_LOCKS", L"GIT_TRACE"};

int wmain(int argc, wchar_t** argv) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    spawnvp_fn spawnvp = (spawnvp_fn)(void (*)(void))GetProcAddress(ntdll, "__wine_unix_spawnvp");
    unix_name = (unix_name_fn)(void (*)(void))GetProcAddress(kernel32, "wine_get_unix_file_name");
    dos_name = (dos_name_fn)(void (*)(void))GetProcAddress(kernel32, "wine_get_dos_file_name");
    if (!spawnvp || !unix_name || !dos_name) {
        fputs("git.exe: this stand-in runs under Wine only\n", stderr);
        return 128;
    }
    wchar_t dir[MAX_PATH + 1], out_path[MAX_PATH + 1], err_path[MAX_PATH + 1], cwd[32768];
    wchar_t in_path[MAX_PATH + 1];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"git", 0, out_path);
    GetTempFileNameW(dir, L"git", 0, err_path);
    GetCurrentDirectoryW(32768, cwd);
    /* Input given through a pipe (the caller writes it and closes its end) goes to a file first. */
    int piped = 0;
    HANDLE given = GetStdHandle(STD_INPUT_HANDLE);
    if (given && given != INVALID_HANDLE_VALUE && GetFileType(given) == FILE_TYPE_PIPE) {
        GetTempFileNameW(dir, L"git", 0, in_path);
        HANDLE f = CreateFileW(in_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (f != INVALID_HANDLE_VALUE) {
            static char chunk[65536];
            DWORD got, done;
            while (ReadFile(given, chunk, sizeof chunk, &got, NULL) && got > 0)
                WriteFile(f, chunk, got, &done, NULL);
            CloseHandle(f);
            piped = 1;
        }
    }

    size_t cap = (size_t)argc * 2 + 2 * (sizeof carried / sizeof *carried) + 64, n = 0;
    char** a = calloc(cap, sizeof *a);
    a[n++] = "/bin/sh";
    a[n++] = "-c";
    a[n++] = "cd \"$1\" || exit 128; i=$2; o=$3; e=$4; shift 4; exec \"$@\" <\"$i\" >\"$o\" 2>\"$e\"";
    a[n++] = "sh";
    a[n++] = translate(cwd);
    a[n++] = piped ? translate(in_path) : "/dev/null";
    a[n++] = translate(out_path);
    a[n++] = translate(err_path);
    a[n++] = "/usr/bin/env";
    for (size_t i = 0; i < sizeof carried / sizeof *carried; ++i) {
        a[n++] = "-u";
        a[n++] = utf8(carried[i]);
    }
    for (size_t i = 0; i < sizeof carried / sizeof *carried; ++i) {
        static wchar_t value[32768];
        DWORD got = GetEnvironmentVariableW(carried[i], value, 32768);
        if (got == 0 && wcscmp(carried[i], L"HOME") == 0)
            got = GetEnvironmentVariableW(L"USERPROFILE", value, 32768);
        if (got == 0 || got >= 32768) continue;
        a[n++] = concat(concat(utf8(carried[i]), "="), translate(value));
    }
    /* A file "git.action" beside this program makes it a faulty git for tests: its shell text
       runs in place of `git merge-file` (with the arguments as $1...), as a fake git script would. */
    char* action = read_action();
    if (action) {
        a[n++] = "/bin/sh";
        a[n++] = "-c";
        a[n++] = concat(concat("if [ \"$1\" = merge-file ]; then\n", action), "\nfi\nexec git \"$@\"");
    }
    a[n++] = "git";
    int merge_file = 0, labels = 0;
    for (int i = 1; i < argc; ++i) {
        if (!merge_file && wcscmp(argv[i], L"merge-file") == 0) merge_file = i;
        if (merge_file && (wcscmp(argv[i], L"-L") == 0 || wcsncmp(argv[i], L"--L", 3) == 0)) labels = 1;
    }
    for (int i = 1; i < argc; ++i) a[n++] = translate(argv[i]);
    if (merge_file && !labels && argc - merge_file == 4) {
        for (int k = merge_file + 1; k < argc; ++k) {
            a[n++] = "-L";
            a[n++] = utf8(argv[k]);
        }
    }
    a[n] = NULL;
    NTSTATUS status = spawnvp(a, 1);
    if (piped) DeleteFileW(in_path);
    int rev_parse = 0;
    for (int i = 1; i < argc; ++i)
        if (wcscmp(argv[i], L"rev-parse") == 0) rev_parse = 1;
    copy_to(out_path, STD_OUTPUT_HANDLE, rev_parse);
    copy_to(err_path, STD_ERROR_HANDLE, 0);
    return (int)status;
}
