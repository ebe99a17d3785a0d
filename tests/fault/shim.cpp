// A preloaded library that makes one file operation of the tool fail or come
// back short, to test that every such fault is reported.
//
//   VELMORIN_FAULT=OP:N:KIND   the Nth OP on a file the tool opened (not the
//                              standard streams) fails (KIND fail), moves
//                              half its count (KIND short), kills the
//                              process before it starts (KIND kill), or
//                              raises SIGINT or SIGXFSZ and then goes ahead
//                              (KIND sigint, sigxfsz), or, for a read, finds
//                              the end of the file (KIND eof); after a short
//                              transfer every later OP on that file fails,
//                              as on a full disk. OP is read (read, pread),
//                              write (write, pwrite), lseek, close, sync
//                              (fsync, fdatasync) or unlink; a short lseek
//                              lands one byte off.
//   VELMORIN_FAULT=fstat:FD:fail
//                              every fstat of descriptor FD fails, as when a
//                              standard stream's identity cannot be read.
//   VELMORIN_FAULT=thread:0:fail
//                              every new thread fails to start, as under a
//                              limit on threads or memory.
//   VELMORIN_FAULT=flock:0:fail
//                              every flock fails with ENOLCK, as on a file
//                              system without locks.
//   KIND sigN raises signal N (and the call goes ahead), as sigint does.
//   VELMORIN_FAULT_COUNT=PATH  writes how many of each OP ran to PATH at exit,
//                              and which closes were of files the run never
//                              wrote to ("input_closes N ...").
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum op { op_read, op_write, op_lseek, op_close, op_sync, op_unlink, op_count };
const char* const op_names[op_count] = {"read", "write", "lseek", "close", "sync", "unlink"};

long calls[op_count];
int fault_op = -1;
long fault_at = 0;
bool fault_short = false;
bool fault_eof = false;
bool threads_fail = false;
bool locks_fail = false;
int fault_signal = 0;
long fstat_fails = -1;
int broken_fd[op_count] = {-1, -1, -1, -1, -1, -1};  // the file a short transfer left failing
long input_closes[64];
int input_close_count = 0;
bool written[4096];  // by descriptor, since it was opened

__attribute__((constructor)) void setup() {
    const char* fault = getenv("VELMORIN_FAULT");
    if (!fault) return;
    char name[16] = {0}, kind[16] = {0};
    long n = 0;
    if (sscanf(fault, "%15[a-z]:%ld:%15[a-z0-9]", name, &n, kind) != 3) return;
    for (int o = 0; o < op_count; ++o)
        if (strcmp(name, op_names[o]) == 0) fault_op = o;
    fault_at = n;
    if (strcmp(name, "fstat") == 0) fstat_fails = n;
    threads_fail = strcmp(name, "thread") == 0;
    locks_fail = strcmp(name, "flock") == 0;
    fault_short = strcmp(kind, "short") == 0;
    fault_eof = strcmp(kind, "eof") == 0;
    fault_signal = strcmp(kind, "kill") == 0      ? SIGKILL
                   : strcmp(kind, "sigint") == 0  ? SIGINT
                   : strcmp(kind, "sigxfsz") == 0 ? SIGXFSZ
                   : strncmp(kind, "sig", 3) == 0 ? atoi(kind + 3)
                                                  : 0;
}

__attribute__((destructor)) void report() {
    const char* path = getenv("VELMORIN_FAULT_COUNT");
    if (!path) return;
    FILE* f = fopen(path, "w");
    if (!f) return;
    for (int o = 0; o < op_count; ++o) fprintf(f, "%s %ld\n", op_names[o], calls[o]);
    fprintf(f, "input_closes");
    for (int k = 0; k < input_close_count; ++k) fprintf(f, " %ld", input_closes[k]);
    fprintf(f, "\n");
    fclose(f);
}

// Whether the call goes ahead; a short transfer gets half its count.
bool allow(op o, int fd, size_t* count) {
    if (fd < 3) return true;
    bool broken = broken_fd[o] == fd;
    if (!broken && (++calls[o] != fault_at || fault_op != o)) return true;
    if (fault_signal) {
        raise(fault_signal);
        return true;
    }
    if (!broken && fault_short && o != op_close && o != op_sync && o != op_unlink) {
        broken_fd[o] = fd;
        *count /= 2;
        return true;
    }
    if (fault_eof) {
        *count = 0;  // a read of nothing: what a file that shrank gives
        return true;
    }
    errno = o == op_write ? ENOSPC : o == op_lseek ? EINVAL : o == op_unlink ? EACCES : EIO;
    return false;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// fstat, failing for the descriptor named by VELMORIN_FAULT=fstat:FD:fail.
template <typename S>
int describe(int fd, S* st, const char* name) {
    if (fd == fstat_fails) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(int, S*)>(name)(fd, st);
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t count) {
    static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    return allow(op_read, fd, &count) ? real(fd, buf, count) : -1;
}

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    return allow(op_read, fd, &count) ? real(fd, buf, count, offset) : -1;
}

ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    return allow(op_read, fd, &count) ? real(fd, buf, count, offset) : -1;
}

ssize_t write(int fd, const void* buf, size_t count) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (fd >= 0 && fd < 4096) written[fd] = true;
    return allow(op_write, fd, &count) ? real(fd, buf, count) : -1;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (fd >= 0 && fd < 4096) written[fd] = true;
    return allow(op_write, fd, &count) ? real(fd, buf, count, offset) : -1;
}

off_t lseek(int fd, off_t offset, int whence) {
    static auto real = next<off_t (*)(int, off_t, int)>("lseek");
    size_t off_by = 2;
    if (!allow(op_lseek, fd, &off_by)) return -1;
    off_t at = real(fd, offset, whence);
    return off_by == 1 && at >= 0 ? at + 1 : at;
}

off_t lseek64(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }

int close(int fd) {
    static auto real = next<int (*)(int)>("close");
    bool only_read = fd >= 3 && fd < 4096 && !written[fd];
    if (fd >= 3 && fd < 4096) written[fd] = false;
    if (only_read && input_close_count < 64) input_closes[input_close_count++] = calls[op_close] + 1;
    size_t unused = 0;
    if (!allow(op_close, fd, &unused)) {
        real(fd);  // the descriptor is gone either way, as after a failed close
        return -1;
    }
    return real(fd);
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    size_t unused = 0;
    return allow(op_sync, fd, &unused) ? real(fd) : -1;
}

int fdatasync(int fd) {
    static auto real = next<int (*)(int)>("fdatasync");
    size_t unused = 0;
    return allow(op_sync, fd, &unused) ? real(fd) : -1;
}

// Counted as a file operation of its own (the path has no descriptor).
int unlink(const char* path) {
    static auto real = next<int (*)(const char*)>("unlink");
    size_t unused = 0;
    return allow(op_unlink, 3, &unused) ? real(path) : -1;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static auto real = next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    return threads_fail ? EAGAIN : real(thread, attr, start, arg);
}

// The function shares its name with the record of fcntl locks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
int flock(int fd, int operation) {
    static auto real = next<int (*)(int, int)>("flock");
    if (!locks_fail) return real(fd, operation);
    errno = ENOLCK;
    return -1;
}
#pragma GCC diagnostic pop

int fstat(int fd, struct stat* st) { return describe(fd, st, "fstat"); }

int fstat64(int fd, struct stat64* st) { return describe(fd, st, "fstat64"); }

}  // extern "C"
