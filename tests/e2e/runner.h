// Runs the built tool as a separate process in a scratch directory and
// collects its exit status, standard output and error stream.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fixture/fixture.h"

namespace e2e {

struct result {
    int status;  // exit status; 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// A fresh directory, removed with everything in it at the end of the test.
struct scratch {
    std::string dir;
    scratch();
    ~scratch();
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void write(const std::string& name, const fixture::bytes& data) const;
    fixture::bytes read(const std::string& name) const;
    bool exists(const std::string& name) const;
};

// The tool the tests run: the built binary, or, when VELMORIN_LAUNCHER is
// set (for example to "wine"), VELMORIN_EXE run through that launcher. The
// same tables then drive either build.
const std::string& tool();

// Whether the tool runs through a launcher. Tests of what only POSIX has
// (descriptors, signals, umask, LD_PRELOAD) skip themselves then.
bool launched();

// What to put before a shell command so that it runs as an unprivileged
// user: nothing, unless the tests run as root; then setpriv, or, without
// it, nullopt (the test skips).
std::optional<std::string> unprivileged();

// Ends a test of what only the POSIX build has when the tool is launched.
#define SKIP_WHEN_LAUNCHED(why) \
    if (e2e::launched()) GTEST_SKIP() << why

// Checks the status and both streams of a run.
void expect_result(const result& r, int status, const std::string& err, const std::string& out = "");

// Runs the tool with these arguments (the program name is added) in `cwd`,
// with `env` ("NAME=value") added to the environment.
result run(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env = {});

// Runs the tool with no arguments at all, not even its own name.
result run_without_argv(const std::string& cwd);

// Runs a shell command line in `cwd`; $VELMORIN names the tool. With
// `err_fd` or `out_fd`, that stream is the descriptor given instead of a
// file (and `err` or `out` stays empty).
result run_shell(const std::string& command_line, const std::string& cwd, int err_fd = -1, int out_fd = -1);

// A shell command line that runs the tool with `args` under the fault shim
// (tests/fault/shim.cpp) injecting `fault`; it counts the file operations
// into the file "counts".
std::string under_fault(const std::string& fault, const std::string& args);

// The trace of a walk up to and including entry `last` (reading entries
// 0..last), starting from the seek to the directory.
std::string walk_trace(int dir_offset, int entries_read);

// The trace of a walk that finds entry `index` under `name`.
std::string found_trace(const fixture::archive& a, size_t index, const std::string& name);

// The line printed for an image entry's header.
std::string bgra_line(size_t data_offset, uint32_t unknown, int32_t width, int32_t height);

// `data` with `mask` XORed into it from byte `at` on.
fixture::bytes xored(fixture::bytes data, size_t at, const fixture::bytes& mask);

}  // namespace e2e
