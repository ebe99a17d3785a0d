#include "fuzz_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/trace.h"
#include "base/stdout.h"
#include "cli/cli.h"
#include "fixture/fixture.h"

namespace fuzz_run {
namespace {

using fuzz_input::bytes;

struct owned_fd {
    int fd = -1;
    ~owned_fd() {
        if (fd >= 0) close(fd);
    }
};

void put_all(int fd, const bytes& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;  // a full pipe: the rest is cut off
        done += static_cast<size_t>(n);
    }
}

bytes contents(int fd) {
    bytes out;
    uint8_t buf[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        out.insert(out.end(), buf, buf + n);
        at += n;
    }
    return out;
}

int memory_file(const char* label, const bytes& data) {
    int fd = memfd_create(label, MFD_CLOEXEC);
    if (fd < 0) abort();
    put_all(fd, data);
    return fd;
}

std::string path_of(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The archive is a file of its own in a folder of its own (in memory where
// the system has /dev/shm), so that a writing run can keep its journal
// beside it.
const std::string& archive_path() {
    // Never destroyed: the folder is removed at exit, after static objects go.
    static const std::string* path = [] {
        std::string dir = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/velmorin-fuzz-XXXXXX";
        if (!mkdtemp(dir.data())) abort();
        return new std::string(dir + "/game.dat");
    }();
    return *path;
}

void remove_work_folder() {
    const std::string& path = archive_path();
    unlink(path.c_str());
    unlink((path + ".velmorin-journal").c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
}

int archive_file(const bytes& data) {
    static bool registered = (atexit(remove_work_folder), true);
    (void)registered;
    int fd = open(archive_path().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    put_all(fd, data);
    return fd;
}

int ended_with[3];  // status 0, 1, 255

}  // namespace

int run(uint8_t mode, const std::string& name, const bytes& archive, const bytes& input, bool checked_modes) {

    owned_fd archive_fd{archive_file(archive)};
    owned_fd input_fd, pipe_end, output_fd;
    if (mode & fuzz_input::piped) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) abort();
        input_fd.fd = p[0];
        pipe_end.fd = p[1];
        fcntl(p[1], F_SETFL, O_NONBLOCK);
        put_all(p[1], input);
        close(pipe_end.fd);
        pipe_end.fd = -1;
    } else {
        input_fd.fd = memory_file("input", input);
    }
    output_fd.fd = memory_file("output", {});

    std::vector<std::string> words{"velmorin"};
    bool checked = checked_modes && (mode & fuzz_input::checked);
    switch (mode & 3) {
        case fuzz_input::mode_pack:
            if (checked) words.push_back("--check");
            words.insert(words.end(), {archive_path(), name, path_of(input_fd.fd)});
            break;
        case fuzz_input::mode_mkxor:
            words.insert(words.end(), {checked ? "--mkpatch" : "--mkxor", archive_path(), name,
                                       path_of(input_fd.fd), path_of(output_fd.fd)});
            break;
        case fuzz_input::mode_xor:
            words.insert(words.end(), {checked ? "--unxor" : "--xor", archive_path(), name, path_of(input_fd.fd)});
            break;
        default:
            if ((mode & 7) == fuzz_input::mode_list)
                words.insert(words.end(), {"--list", archive_path()});
            else
                words.insert(words.end(), {"--export", archive_path(), name, path_of(output_fd.fd)});
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    int status = velmorin::run_tool(static_cast<int>(words.size()), argv.data(), true);

    ++ended_with[status == 0 ? 0 : status == 1 ? 1 : 2];
    bytes after = contents(archive_fd.fd);
    if (status != 0 && status != 1 && status != 255) abort();
    if (after.size() != archive.size()) abort();
    // Whatever the run did, it leaves no journal behind.
    if (access((archive_path() + ".velmorin-journal").c_str(), F_OK) == 0) abort();
    bool writes = ((mode & 3) == fuzz_input::mode_pack && !checked) || (mode & 3) == fuzz_input::mode_xor;
    if ((status != 0 || !writes) && after != archive) abort();
    // A success is checked against where the format's rules put the entry's
    // pixels, computed from the input, not from anything the tool printed.
    if (status == 0 && (mode & 7) != fuzz_input::mode_list) {
        std::string wrong = fixture::check_write(archive, after, name, writes);
        if (!wrong.empty()) {
            fprintf(stderr, "%s\n", wrong.c_str());
            abort();
        }
    }
    return status;
}

namespace {

int run_words(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int status = velmorin::run_tool(static_cast<int>(words.size()), argv.data(), true);
    ++ended_with[status == 0 ? 0 : status == 1 ? 1 : 2];
    if (status != 0 && status != 255) abort();
    if (access((archive_path() + ".velmorin-journal").c_str(), F_OK) == 0) abort();
    return status;
}

}  // namespace

int run_bundle(uint8_t mode, const bytes& archive, const bytes& bundle, const std::vector<std::pair<size_t, size_t>>& pixels) {
    owned_fd archive_fd{archive_file(archive)};
    owned_fd bundle_fd{memory_file("bundle", bundle)};
    const char* words[] = {"--check", "--apply", "--remove"};
    const int chosen = mode % 3;
    int status = run_words({"velmorin", words[chosen], archive_path(), path_of(bundle_fd.fd)});
    bytes after = contents(archive_fd.fd);
    if (after.size() != archive.size()) abort();
    if ((status != 0 || chosen == 0) && after != archive) abort();
    if (status != 0 || chosen == 0) return status;
    // Only pixels change, and the other way round puts every byte back.
    for (size_t k = 0; k < archive.size(); ++k) {
        bool in_pixels = false;
        for (const auto& [from, to] : pixels) in_pixels = in_pixels || (k >= from && k < to);
        if (!in_pixels && after[k] != archive[k]) abort();
    }
    if (run_words({"velmorin", words[3 - chosen], archive_path(), path_of(bundle_fd.fd)}) != 0) abort();
    if (contents(archive_fd.fd) != archive) abort();
    return status;
}

void report() {
    fprintf(stderr, "runs ended with status 0: %d, 1: %d, 255: %d\n", ended_with[0], ended_with[1], ended_with[2]);
}

}  // namespace fuzz_run
