// Files, the standard streams and the process, as the tool needs them from
// the operating system. Two layers:
//   - the platform's single calls, one implementation per platform
//     (file_posix.cpp, file_windows.cpp); no other file of the tool includes
//     an operating system's header, and these include only this one;
//   - what the tool builds on them the same way everywhere (file.cpp): the
//     whole-count transfers, stream identity, the lock between runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmorin {

// An open file or standard stream. Its value means something only to the
// platform's implementation.
struct file_handle {
    intptr_t raw = -1;
};

inline bool is_open(file_handle f) { return f.raw != -1; }

struct file_info {
    bool regular;    // a regular file: its size is known and it can be read in place
    bool character;  // a character device (a terminal, the null device): holds nothing
    int64_t size;    // bytes, for a regular file
    // Which file this is, whatever path named it: the volume and the file's
    // index on it. Pipes and devices on Windows have no identity; under Wine,
    // a standard handle that is a file tells its index but not its volume.
    bool identified;
    bool volume_known;
    uint64_t volume;
    uint64_t index;
};

// Where one side's volume is unknown, the index alone decides: a file on
// another volume with the same index is taken for the same file, which only
// ever makes the tool refuse.
inline bool same_file(const file_info& a, const file_info& b) {
    return a.identified && b.identified && a.index == b.index &&
           (!a.volume_known || !b.volume_known || a.volume == b.volume);
}

// ==== the platform's single calls ============================================

// ---- opening and closing --------------------------------------------------
// Paths are UTF-8. A failed open returns a handle that is not open, with
// errno telling why.

file_handle open_input(const char* path);                   // read-only
file_handle open_archive(const char* path, bool writable);  // never created or truncated
// Write-only; created when absent (mode 0666 less the umask on POSIX), never
// truncated here.
file_handle create_output(const char* path);
// Read-write, created; fails (EEXIST) when anything is at the path already.
file_handle create_new(const char* path);
int close_file(file_handle f);  // 0, or -1 with errno
// Read-write, in the system's folder for temporary files, and removed
// however the run ends (POSIX: unlinked at once; Windows: deleted on close,
// which the system does for a process that ends).
file_handle open_temporary();

// ---- single transfers ---------------------------------------------------------
// One call each, of at most `count` bytes: the count moved, 0 at the end of
// the data, or -1 with errno (EINTR when a signal interrupted the call).

int64_t read_some(file_handle f, void* buf, size_t count);
// At an absolute offset, leaving the position of read_some untouched.
int64_t pread_some(file_handle f, void* buf, size_t count, int64_t offset);
int64_t write_some(file_handle f, const void* buf, size_t count);

// Positions the file at absolute `offset`; false when that is not possible
// (a negative offset included) or the file ends up anywhere else.
[[nodiscard]] bool seek_to(file_handle f, int64_t offset);

// Cuts or extends the file to `size` bytes without moving its position.
[[nodiscard]] bool truncate_file(file_handle f, int64_t size);

// ---- durability -----------------------------------------------------------------

// Makes what was written to the file durable (POSIX: fsync; Windows:
// FlushFileBuffers); false, with errno, when it cannot be.
[[nodiscard]] bool sync_file(file_handle f);

// Starts writing the file's `count` bytes from `offset` to disk without
// waiting for them (Linux: sync_file_range), so that a sync_file() later
// has less to wait for; nothing elsewhere. A hint: it cannot fail.
void start_writeback(file_handle f, int64_t offset, int64_t count);

// Makes the folder that holds `path` durable, so a file made or removed in
// it stays made or removed (POSIX: fsync of the folder; Windows: nothing
// needs doing).
[[nodiscard]] bool sync_folder_of(const char* path);

// Removes the file at `path`; false, with errno, when it cannot.
[[nodiscard]] bool remove_file(const char* path);

// False when the file cannot be examined (errno says why); callers never
// guess an identity they could not read.
[[nodiscard]] bool describe_file(file_handle f, file_info* info);
[[nodiscard]] bool describe_path(const char* path, file_info* info);

// ---- folders ----------------------------------------------------------------------

// What is at a path itself, a symbolic link (or, on Windows, any reparse
// point: a junction too) not followed; `unknown`, with errno, when the
// system would not say (no permission, a path too long).
enum class path_kind { none, file, folder, link, other, unknown };
path_kind kind_of_path(const char* path);

// Makes the folder at `path` (POSIX: mode 0777 less the umask); false, with
// errno, when it cannot be made (EEXIST when anything is there already).
[[nodiscard]] bool make_folder(const char* path);

// The names in the folder at `path` ("." and ".." left out), in no order;
// false, with errno, when it cannot be read.
[[nodiscard]] bool list_folder(const char* path, std::vector<std::string>* names);

// ---- the standard streams -------------------------------------------------------

// 1: standard output, 2: the error stream. Always in binary mode.
file_handle standard_stream(int stream);

// Whether the error stream (2) or standard output (1) is a terminal.
bool is_terminal(int stream);

// Puts the null device in place of standard output (1) or the error stream
// (2), so nothing more is written to what it was.
void silence_stream(int stream);

// ---- the process ------------------------------------------------------------------

// First thing in a run. Gives every missing standard stream the null device,
// so no file the run opens takes its place and receives its messages; a
// reader of a stream that went away must not turn a finished run into a
// failed one, and a write past the file size limit fails and is reported
// rather than ending the run (POSIX: SIGPIPE and SIGXFSZ ignored). False
// when a missing stream could not be given the null device.
[[nodiscard]] bool guard_process();

// Defers what would stop the run from outside (POSIX: SIGINT, SIGTERM and
// SIGHUP; Windows: Ctrl-C, Ctrl-Break and closing the console) until the run
// ends, so a payload is never left half written by them. One that arrives
// meanwhile takes effect when the run ends, after its last message.
void hold_signals();
void release_signals();

// The largest file size this process may write, or -1 when there is no limit.
int64_t file_size_limit();

enum class lock_result { taken, held_by_another, unsupported };

// Takes an advisory lock on the file for the rest of the run: shared or
// exclusive. With `wait`, waits for another holder to let go.
lock_result try_lock_file(file_handle f, bool exclusive, bool wait);

#ifdef _WIN32
// The command line as Windows hands it over (UTF-16), in UTF-8.
char** utf8_arguments(int argc, wchar_t** argv);
#endif

// ==== built on them, the same everywhere =====================================

// ---- whole-count transfers ------------------------------------------------------
// Each moves the whole count, looping over partial transfers until it is
// done, end of file is reached or an error occurs, and always makes at least
// one call. The result is the number of bytes moved, or -1 when the first
// call failed outright; errno tells why a transfer stopped short (0 at the
// end of the file).

int64_t read_full(file_handle f, void* buf, size_t count);
int64_t pread_full(file_handle f, void* buf, size_t count, int64_t offset);
int64_t write_full(file_handle f, const void* buf, size_t count);

// ---- stream identity --------------------------------------------------------------

// Whether `f` is the file behind standard output (1) or the error stream (2):
// `unknown` when the stream's identity cannot be read, which callers never
// take for "no". A character device never counts: what reaches it is not
// stored.
enum class stream_match { no, yes, unknown };
stream_match is_stream(const file_info& f, int stream);

// A file the run reads (the archive, a BMP, PNG or patch) that is also
// standard output or the error stream would have the run's messages written
// into it: that stream is given the null device and the run refused, saying
// so where it still can. A stream whose identity cannot be read might be
// it: refused the same way.
void refuse_input_as_stream(const file_info& f, const char* path);

// ---- the lock between runs --------------------------------------------------------

// Takes an advisory lock on the file for the rest of the run: shared for a
// run that only reads it, exclusive for one that writes. When another run
// holds it, says so on the error stream and waits. A file system without
// locks does not stop the run: false then.
bool lock_file(file_handle f, bool exclusive, const char* path);

// Closes a file when its holder goes out of scope; close_now() closes it
// early and hands back the result.
struct file_guard {
    file_handle f;
    file_guard() = default;
    explicit file_guard(file_handle h) : f(h) {}
    file_guard(const file_guard&) = delete;
    file_guard& operator=(const file_guard&) = delete;
    file_guard(file_guard&& other) noexcept : f(other.f) { other.f = file_handle{}; }
    file_guard& operator=(file_guard&& other) noexcept;
    ~file_guard();
    int close_now();
};

}  // namespace velmorin
