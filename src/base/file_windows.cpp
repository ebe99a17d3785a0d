// The platform layer on Windows: wide-character file APIs, handles, the
// console's control events and LockFileEx().
#ifdef _WIN32

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // SetFileInformationByHandle, FILE_ID_INFO
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/file.h"

namespace velmorin {
namespace {

HANDLE h_of(file_handle f) { return reinterpret_cast<HANDLE>(f.raw); }

file_handle handle_of(HANDLE h) {
    return file_handle{h == INVALID_HANDLE_VALUE || h == nullptr ? -1 : reinterpret_cast<intptr_t>(h)};
}

// The C library's errno for a Windows error. The table is the one the
// Microsoft C runtime itself uses when a Windows call behind one of its
// functions fails (_dosmaperr), so messages carry the numbers and strerror()
// texts a C program on Windows shows; what it does not list is EINVAL, as
// there. Added to it: every way a pipe says its reader has gone is EPIPE,
// which the listing needs to tell from a real write failure.
int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_NO_MORE_FILES:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENOENT;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_ACCESS_DENIED:
        case ERROR_CURRENT_DIRECTORY:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE:
        case ERROR_FAIL_I24:
        case ERROR_DRIVE_LOCKED:
        case ERROR_SEEK_ON_DEVICE:
        case ERROR_NOT_LOCKED:
        case ERROR_LOCK_FAILED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_TARGET_HANDLE:
        case ERROR_DIRECT_ACCESS_HANDLE:
            return EBADF;
        case ERROR_ARENA_TRASHED:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_INVALID_BLOCK:
        case ERROR_NOT_ENOUGH_QUOTA:
            return ENOMEM;
        case ERROR_BAD_ENVIRONMENT:
            return E2BIG;
        case ERROR_BAD_FORMAT:
            return ENOEXEC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
            return EPIPE;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        default:
            return EINVAL;
    }
}

void set_errno() { errno = errno_of(GetLastError()); }

std::wstring wide(const char* utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::string utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Windows refuses a path whose full form has MAX_PATH characters or more,
// unless it is written in the \\?\ form, which the system takes as it is
// (no / for \, no . or ..). Such a path is therefore made full and
// normalised first, then given that form; any other is used as typed.
std::wstring system_path(const char* path) {
    std::wstring name = wide(path);
    if (name.empty() || starts_with(name, L"\\\\?\\") || starts_with(name, L"\\\\.\\")) return name;
    DWORD room = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (room < MAX_PATH - 12) return name;
    std::wstring full(room, L'\0');
    DWORD n = GetFullPathNameW(name.c_str(), room, full.data(), nullptr);
    if (n == 0 || n >= room) return name;
    full.resize(n);
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
    if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    return L"\\\\?\\" + full;
}

// Other programs may read and write the file meanwhile, as on POSIX; one
// that opened it without sharing makes the open fail at once.
HANDLE open_path(const char* path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    std::wstring name = system_path(path);
    if (name.empty()) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) set_errno();
    return h;
}

HANDLE open_null() {
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The count a single call asks for: at most 1 GiB, within a DWORD.
DWORD call_count(size_t count) { return static_cast<DWORD>(count < (1u << 30) ? count : (1u << 30)); }

// A read that failed: the end of a file read at an offset, or of a pipe
// whose writer has gone, is the end of the data, not a failure.
int64_t read_failed() {
    DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
    errno = errno_of(error);
    return -1;
}

bool position(HANDLE h, int64_t* at) {
    LARGE_INTEGER zero = {}, now;
    if (!SetFilePointerEx(h, zero, &now, FILE_CURRENT)) return false;
    *at = now.QuadPart;
    return true;
}

// What the console control handler saw while signals were held.
volatile LONG arrived = 0;
HANDLE written = nullptr;  // set once the run has nothing left to protect
bool holding = false;

BOOL WINAPI defer_control(DWORD event) {
    InterlockedExchange(&arrived, static_cast<LONG>(event) + 1);
    // Closing the console, logging off or shutting down end the process as
    // soon as this returns: keep it until the payload is written and the
    // archive closed (Windows allows a few seconds for that).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(written, INFINITE);
    return TRUE;
}

}  // namespace

char** utf8_arguments(int argc, wchar_t** argv) {
    static std::vector<std::string> words;
    static std::vector<char*> pointers;
    words.clear();
    for (int i = 0; i < argc; ++i) words.push_back(utf8(argv[i]));
    pointers.clear();
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers.data();
}

file_handle open_input(const char* path) { return handle_of(open_path(path, GENERIC_READ, OPEN_EXISTING)); }

file_handle open_archive(const char* path, bool writable) {
    return handle_of(open_path(path, GENERIC_READ | (writable ? GENERIC_WRITE : 0), OPEN_EXISTING));
}

// Attributes may be read too, so that the output's identity can be checked.
file_handle create_output(const char* path) {
    return handle_of(open_path(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, OPEN_ALWAYS));
}

file_handle open_temporary() {
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || !GetTempFileNameW(dir, L"vmr", 0, name)) {
        set_errno();
        return file_handle{};
    }
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno();
        DeleteFileW(name);
    }
    return handle_of(h);
}

file_handle create_new(const char* path) {
    return handle_of(open_path(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
}

bool sync_file(file_handle f) {
    if (FlushFileBuffers(h_of(f))) return true;
    set_errno();
    return false;
}

void start_writeback(file_handle, int64_t, int64_t) {}

// A folder's entries are made durable with the files in them.
bool sync_folder_of(const char*) { return true; }

path_kind kind_of_path(const char* path) {
    std::wstring name = system_path(path);
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return path_kind::none;
        errno = errno_of(error);
        return path_kind::unknown;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return path_kind::link;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? path_kind::folder : path_kind::file;
}

bool list_folder(const char* path, std::vector<std::string>* names) {
    std::wstring pattern = system_path(path) + L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        set_errno();
        return false;
    }
    do {
        std::string name = utf8(found.cFileName);
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(search, &found));
    DWORD error = GetLastError();
    FindClose(search);
    if (error == ERROR_NO_MORE_FILES) return true;
    errno = errno_of(error);
    return false;
}

bool make_folder(const char* path) {
    std::wstring name = system_path(path);
    if (CreateDirectoryW(name.c_str(), nullptr)) return true;
    set_errno();
    return false;
}

bool is_terminal(int stream) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

bool remove_file(const char* path) {
    std::wstring name = system_path(path);
    if (DeleteFileW(name.c_str())) return true;
    set_errno();
    return false;
}

int close_file(file_handle f) {
    if (CloseHandle(h_of(f))) return 0;
    set_errno();
    return -1;
}

int64_t read_some(file_handle f, void* buf, size_t count) {
    DWORD n = 0;
    if (!ReadFile(h_of(f), buf, call_count(count), &n, nullptr)) return read_failed();
    return n;
}

int64_t pread_some(file_handle f, void* buf, size_t count, int64_t offset) {
    // A read at an offset moves a handle's position on Windows: it is put
    // back, as sequential reads of the same file rely on it.
    HANDLE h = h_of(f);
    int64_t was = 0;
    if (!position(h, &was)) {
        set_errno();
        return -1;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD n = 0;
    int64_t result = ReadFile(h, buf, call_count(count), &n, &at) ? static_cast<int64_t>(n) : read_failed();
    int saved = errno;
    if (!seek_to(f, was)) return -1;
    errno = saved;
    return result;
}

int64_t write_some(file_handle f, const void* buf, size_t count) {
    DWORD n = 0;
    if (WriteFile(h_of(f), buf, call_count(count), &n, nullptr)) return n;
    set_errno();
    return -1;
}

bool seek_to(file_handle f, int64_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return false;
    }
    LARGE_INTEGER to, now;
    to.QuadPart = offset;
    if (!SetFilePointerEx(h_of(f), to, &now, FILE_BEGIN)) {
        set_errno();
        return false;
    }
    return now.QuadPart == offset;
}

bool truncate_file(file_handle f, int64_t size) {
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = size;
    if (SetFileInformationByHandle(h_of(f), FileEndOfFileInfo, &end, sizeof end)) return true;
    set_errno();
    return false;
}

namespace {

bool describe_by_handle(HANDLE h, file_info* info) {
    BY_HANDLE_FILE_INFORMATION by;
    if (!GetFileInformationByHandle(h, &by)) return false;
    *info = file_info{(by.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
                      false,
                      static_cast<int64_t>((static_cast<uint64_t>(by.nFileSizeHigh) << 32) | by.nFileSizeLow),
                      true,
                      true,
                      by.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(by.nFileIndexHigh) << 32) | by.nFileIndexLow};
    return true;
}

// A disk file's identity when GetFileInformationByHandle cannot read it:
// under Wine, a standard handle that the shell opened on a file (`>>game.dat`)
// has no volume Wine can name, and the call fails; the file's index still
// comes from FileIdInfo. On NTFS the low 64 bits of its 128-bit id are the
// index GetFileInformationByHandle gives.
bool describe_by_id(HANDLE h, file_info* info) {
    FILE_ID_INFO id;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(h, FileIdInfo, &id, sizeof id) ||
        !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return false;
    uint64_t index = 0;
    for (int k = 7; k >= 0; --k) index = (index << 8) | id.FileId.Identifier[k];
    *info = file_info{!standard.Directory, false, standard.EndOfFile.QuadPart, true, false, 0, index};
    return true;
}

}  // namespace

bool describe_file(file_handle f, file_info* info) {
    HANDLE h = h_of(f);
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        set_errno();
        return false;
    }
    if (type != FILE_TYPE_DISK) {
        // Pipes and devices have no volume and index: each handle is a file
        // of its own, the same as no file on a disk.
        *info = file_info{false, type == FILE_TYPE_CHAR, 0, false, false, 0, 0};
        return true;
    }
    if (describe_by_handle(h, info)) return true;
    DWORD error = GetLastError();
    if (describe_by_id(h, info)) return true;
    // A handle opened without the right to read attributes (a shell's
    // redirection may be write-only): a second handle to the same file that
    // has it.
    HANDLE again = ReOpenFile(h, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (again != INVALID_HANDLE_VALUE) {
        bool ok = describe_by_handle(again, info);
        CloseHandle(again);
        if (ok) return true;
    }
    errno = errno_of(error);
    return false;
}

bool describe_path(const char* path, file_info* info) {
    // No access asked: this only reads what the file is, even a directory.
    HANDLE h = open_path(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = describe_file(handle_of(h), info);
    CloseHandle(h);
    return ok;
}

file_handle standard_stream(int stream) {
    return handle_of(GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
}

void silence_stream(int stream) { SetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, open_null()); }

bool guard_process() {
    // No dialog boxes for a missing drive or disk: a failure is a message.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE h = GetStdHandle(which);
        if (h == nullptr || h == INVALID_HANDLE_VALUE) SetStdHandle(which, open_null());
    }
    return true;
}

void hold_signals() {
    if (holding) return;
    written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    holding = written != nullptr && SetConsoleCtrlHandler(defer_control, TRUE);
}

void release_signals() {
    if (!holding) return;
    holding = false;
    SetEvent(written);
    LONG event = InterlockedExchange(&arrived, 0);
    // Ctrl-C or Ctrl-Break held back: it ends the run now, as it would have.
    if (event == CTRL_C_EVENT + 1 || event == CTRL_BREAK_EVENT + 1) ExitProcess(STATUS_CONTROL_C_EXIT);
    SetConsoleCtrlHandler(defer_control, FALSE);
}

int64_t file_size_limit() { return -1; }

lock_result try_lock_file(file_handle f, bool exclusive, bool wait) {
    // Windows locks keep every other handle from reading or writing the
    // range they cover, so the lock sits on one byte no archive reaches:
    // runs of this tool exclude each other, and nothing else is kept from
    // the file, as with an advisory lock.
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    DWORD how = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(h_of(f), how, 0, 1, 0, &at)) return lock_result::taken;
    // Anything but "held by another" means no locks here.
    return GetLastError() == ERROR_LOCK_VIOLATION ? lock_result::held_by_another : lock_result::unsupported;
}

}  // namespace velmorin

#endif  // _WIN32
