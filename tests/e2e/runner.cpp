#include "runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace e2e {

scratch::scratch() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velmorin-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
}

scratch::~scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

void scratch::write(const std::string& name, const fixture::bytes& data) const {
    fixture::write_file(path(name), data);
}

fixture::bytes scratch::read(const std::string& name) const { return fixture::read_file(path(name)); }

bool scratch::exists(const std::string& name) const {
    struct stat st;
    return lstat(path(name).c_str(), &st) == 0;
}

const std::string& tool() {
    static const std::string path = [] {
        const char* launcher = getenv("VELMORIN_LAUNCHER");
        const char* exe = getenv("VELMORIN_EXE");
        if (!launcher || !*launcher || !exe || !*exe) return std::string(VELMORIN_BIN);
        // A script beside the program, so that the shell lines and direct
        // runs both see one executable.
        std::string script = std::string(exe) + "-launcher.sh";
        std::string text = "#!/bin/sh\nexec " + std::string(launcher) + " '" + exe + "' \"$@\"\n";
        fixture::write_file(script, fixture::bytes(text.begin(), text.end()));
        chmod(script.c_str(), 0755);
        return script;
    }();
    return path;
}

bool launched() { return tool() != VELMORIN_BIN; }

std::optional<std::string> unprivileged() {
    if (geteuid() != 0) return std::string();
    if (access("/usr/bin/setpriv", X_OK) != 0) return std::nullopt;
    return std::string("setpriv --reuid=65534 --regid=65534 --clear-groups ");
}

namespace {

std::string slurp(const std::string& path) {
    fixture::bytes b = fixture::read_file(path);
    return std::string(b.begin(), b.end());
}

result spawn(const char* program, char* const argv[], const std::string& cwd, char* const envp[] = environ,
             int err_fd = -1, int out_fd = -1) {
    std::string out_path = cwd + "/.velmorin-stdout";
    std::string err_path = cwd + "/.velmorin-stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int rc = posix_spawn(&pid, program, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the tool");
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (out_fd < 0) r.out = slurp(out_path);
    if (err_fd < 0) r.err = slurp(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

}  // namespace

void expect_result(const result& r, int status, const std::string& err, const std::string& out) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, out);
}

result run(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env) {
    std::vector<std::string> words{tool()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> added = env;
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    for (std::string& e : added) envp.push_back(e.data());
    envp.push_back(nullptr);
    return spawn(tool().c_str(), argv.data(), cwd, envp.data());
}

result run_without_argv(const std::string& cwd) {
    char* argv[] = {nullptr};
    return spawn(VELMORIN_BIN, argv, cwd);
}

result run_shell(const std::string& command_line, const std::string& cwd, int err_fd, int out_fd) {
    std::string line = "VELMORIN='" + tool() + "'; " + command_line;
    std::string sh = "/bin/sh";
    std::string dash_c = "-c";
    char* argv[] = {sh.data(), dash_c.data(), line.data(), nullptr};
    return spawn("/bin/sh", argv, cwd, environ, err_fd, out_fd);
}

std::string under_fault(const std::string& fault, const std::string& args) {
    return "VELMORIN_FAULT=" + fault +
           " VELMORIN_FAULT_COUNT=counts ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD='" VELMORIN_FAULT_SHIM
           "' \"$VELMORIN\" " +
           args;
}

std::string walk_trace(int dir_offset, int entries_read) {
    std::string t = "Debug: seeking to " + std::to_string(dir_offset) + "\nDebug: About to read dir.\n";
    for (int i = 0; i < entries_read; ++i) t += "Debug: Reading dirent " + std::to_string(i) + "\n";
    return t;
}

std::string found_trace(const fixture::archive& a, size_t index, const std::string& name) {
    return walk_trace(static_cast<int>(a.at.dir_offset), static_cast<int>(index) + 1) +
           "Debug: Found filename match for " + name + ".\n";
}

std::string bgra_line(size_t data_offset, uint32_t unknown, int32_t width, int32_t height) {
    char line[160];
    snprintf(line, sizeof line, "bgra_hdr at %d: magic 0x41524742, unknown 0x%x, width %d, height %d\n",
             static_cast<int>(data_offset), unknown, width, height);
    return line;
}

fixture::bytes xored(fixture::bytes data, size_t at, const fixture::bytes& mask) {
    for (size_t k = 0; k < mask.size(); ++k) data.at(at + k) ^= mask[k];
    return data;
}

}  // namespace e2e
