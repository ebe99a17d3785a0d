// The platform layer on POSIX systems: file descriptors, signals, resource
// limits and flock().
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "base/file.h"

namespace velmorin {
namespace {

int fd_of(file_handle f) { return static_cast<int>(f.raw); }
file_handle handle_of(int fd) { return file_handle{fd < 0 ? -1 : fd}; }

int64_t result_of(ssize_t n) { return n < 0 ? -1 : static_cast<int64_t>(n); }

bool holding = false;
sigset_t held;

}  // namespace

file_handle open_input(const char* path) { return handle_of(open(path, O_RDONLY | O_CLOEXEC)); }

file_handle open_archive(const char* path, bool writable) {
    return handle_of(open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
}

file_handle create_output(const char* path) { return handle_of(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666)); }

file_handle create_new(const char* path) {
    return handle_of(open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
}

int close_file(file_handle f) { return ::close(fd_of(f)); }

bool sync_file(file_handle f) {
    int result;
    while ((result = fsync(fd_of(f))) != 0 && errno == EINTR) {
    }
    return result == 0;
}

void start_writeback(file_handle f, int64_t offset, int64_t count) {
#ifdef SYNC_FILE_RANGE_WRITE
    (void)sync_file_range(fd_of(f), static_cast<off_t>(offset), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
#else
    (void)f, (void)offset, (void)count;
#endif
}

bool sync_folder_of(const char* path) {
    std::string folder = path;
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = sync_file(handle_of(fd));
    int err = errno;
    ::close(fd);
    errno = err;
    // Some file systems cannot sync a folder at all; theirs is durable as
    // far as they go.
    return synced || err == EINVAL || err == EROFS;
}

bool remove_file(const char* path) { return unlink(path) == 0; }

path_kind kind_of_path(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT || errno == ENOTDIR ? path_kind::none : path_kind::unknown;
    return S_ISLNK(st.st_mode)   ? path_kind::link
           : S_ISDIR(st.st_mode) ? path_kind::folder
           : S_ISREG(st.st_mode) ? path_kind::file
                                 : path_kind::other;
}

bool make_folder(const char* path) { return mkdir(path, 0777) == 0; }

bool list_folder(const char* path, std::vector<std::string>* names) {
    DIR* folder = opendir(path);
    if (!folder) return false;
    errno = 0;
    while (const dirent* e = readdir(folder)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
        errno = 0;
    }
    int err = errno;
    closedir(folder);
    errno = err;
    return err == 0;
}

bool is_terminal(int stream) { return isatty(stream) == 1; }

file_handle open_temporary() {
    const char* dir = getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
#ifdef O_TMPFILE
    int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return handle_of(fd);
#endif
    // A file system without unnamed files: a named one, unlinked at once.
    std::string path = std::string(dir) + "/velmorin-XXXXXX";
    int named = mkostemp(path.data(), O_CLOEXEC);
    if (named >= 0) unlink(path.c_str());
    return handle_of(named);
}

int64_t read_some(file_handle f, void* buf, size_t count) { return result_of(::read(fd_of(f), buf, count)); }

int64_t pread_some(file_handle f, void* buf, size_t count, int64_t offset) {
    return result_of(::pread(fd_of(f), buf, count, static_cast<off_t>(offset)));
}

int64_t write_some(file_handle f, const void* buf, size_t count) { return result_of(::write(fd_of(f), buf, count)); }

bool seek_to(file_handle f, int64_t offset) {
    // A negative target is refused before the call: lseek's failure value,
    // -1, must never pass for a position reached.
    return offset >= 0 && lseek(fd_of(f), static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool truncate_file(file_handle f, int64_t size) { return ftruncate(fd_of(f), static_cast<off_t>(size)) == 0; }

namespace {

file_info info_of(const struct stat& st) {
    return file_info{S_ISREG(st.st_mode),
                     S_ISCHR(st.st_mode),
                     static_cast<int64_t>(st.st_size),
                     true,
                     true,
                     static_cast<uint64_t>(st.st_dev),
                     static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

bool describe_file(file_handle f, file_info* info) {
    struct stat st;
    if (fstat(fd_of(f), &st) != 0) return false;
    *info = info_of(st);
    return true;
}

bool describe_path(const char* path, file_info* info) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    *info = info_of(st);
    return true;
}

file_handle standard_stream(int stream) { return file_handle{stream}; }

void silence_stream(int stream) {
    int null = open("/dev/null", O_WRONLY);
    // Without /dev/null the stream is closed instead: the caller ends the run
    // at once, so nothing else takes its number.
    if (null < 0 || dup2(null, stream) < 0) close(stream);
    if (null >= 0 && null != stream) close(null);
}

bool guard_process() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is this one.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0) close(opened);
            return false;
        }
    }
    return true;
}

void hold_signals() {
    if (holding) return;
    // Every signal that would end the run (SIGKILL cannot be held), but
    // those that report a fault of the program itself, which cannot wait,
    // and those that stop or go on rather than end it.
    sigfillset(&held);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGWINCH, SIGURG})
        sigdelset(&held, sig);
    holding = sigprocmask(SIG_BLOCK, &held, nullptr) == 0;
}

void release_signals() {
    if (!holding) return;
    holding = false;
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

int64_t file_size_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    return limit.rlim_cur > static_cast<rlim_t>(INT64_MAX) ? -1 : static_cast<int64_t>(limit.rlim_cur);
}

lock_result try_lock_file(file_handle f, bool exclusive, bool wait) {
    int how = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    int result;
    while ((result = flock(fd_of(f), how)) != 0 && errno == EINTR) {
    }
    if (result == 0) return lock_result::taken;
    // Anything but "held by another" means no locks here (ENOLCK, EOPNOTSUPP,
    // EINVAL, ...).
    return errno == EWOULDBLOCK ? lock_result::held_by_another : lock_result::unsupported;
}

}  // namespace velmorin

#endif  // _WIN32
