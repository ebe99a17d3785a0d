// What the run takes from its process: the standard descriptors, signals,
// the file size limit and advisory locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "base/base.h"

namespace velmorin {
namespace {

bool holding = false;
sigset_t held;

}  // namespace

void guard_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is this one.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0) close(opened);
            fail("Error: cannot open /dev/null for a closed standard stream.\n");
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void hold_signals() {
    if (holding) return;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
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

void lock_file(int fd, bool exclusive, const char* path) {
    int how = exclusive ? LOCK_EX : LOCK_SH;
    if (flock(fd, how | LOCK_NB) == 0) return;
    // Anything but "held by another" means no locks here (ENOLCK, EOPNOTSUPP,
    // EINVAL, ...): the run goes on without one.
    if (errno != EWOULDBLOCK) return;
    trace("Debug: %s is in use by another run; waiting for it to finish.\n", path);
    flush_trace();
    while (flock(fd, how) != 0 && errno == EINTR) {
    }
}

bool is_stream(const file_info& f, int stream) {
    file_info s;
    return !f.character && describe_fd(stream, &s) && same_file(f, s);
}

void silence_stream(const file_info& f) {
    for (int stream = 1; stream <= 2; ++stream) {
        if (!is_stream(f, stream)) continue;
        int null = open("/dev/null", O_WRONLY);
        // Without /dev/null the stream is closed instead: the caller ends
        // the run at once, so nothing else takes its number.
        if (null < 0 || dup2(null, stream) < 0) close(stream);
        if (null >= 0 && null != stream) close(null);
    }
}

}  // namespace velmorin
