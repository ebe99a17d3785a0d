#include "ops/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmorin {
namespace {

bool is_input(const file_info& out, const archive_file& archive, const file_info* other_input) {
    return same_file(out, archive.info) || (other_input && same_file(out, *other_input));
}

[[noreturn]] void open_failed(const char* path) {
    int err = errno;
    fail("Error %d(%s) opening %s\n", err, strerror(err), path);
}

// Cuts the output to the bytes the run wrote, before a failure.
void cut_output(const output_file& out) {
    if (out.regular) (void)!ftruncate(out.fd.fd, static_cast<off_t>(out.written));
}

}  // namespace

void open_output(output_file& out, const archive_file& archive, const file_info* other_input, int64_t size) {
    struct stat st;
    if (stat(out.path, &st) == 0 &&
        is_input(file_info{false, false, 0, st.st_dev, st.st_ino}, archive, other_input))
        fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);

    // Write-only: a FIFO then waits for its reader, as for any writer,
    // rather than taking the output at once and losing it when the run ends.
    out.fd.fd = open(out.path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (out.fd.fd < 0) open_failed(out.path);
    // Checked again once open, in case the path changed in between.
    file_info info;
    if (!describe_fd(out.fd.fd, &info)) open_failed(out.path);
    if (is_input(info, archive, other_input))
        fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);
    // The run's messages would land in the middle of the output.
    if (is_stream(info, 2)) fail("Error: %s is the error stream; refusing to write to it.\n", out.path);
    // Standard output carries the output, so any text line goes to the error
    // stream instead.
    if (is_stream(info, 1)) divert_stdout();
    out.regular = info.regular;
    out.written = 0;
    int64_t keep = std::max<int64_t>(size - 1, 0);
    if (out.regular && info.size > keep && ftruncate(out.fd.fd, static_cast<off_t>(keep)) != 0)
        open_failed(out.path);
}

void write_output(output_file& out, const uint8_t* bytes, size_t count) {
    int64_t n = write_full(out.fd.fd, bytes, count);
    if (n > 0) out.written += n;
    if (n != static_cast<int64_t>(count)) {
        cut_output(out);
        fail("Error writing to %s\n", out.path);
    }
}

void output_failed(output_file& out, const char* message) {
    cut_output(out);
    fail("%s", message);
}

void close_output(output_file& out) {
    if (out.fd.close_now() != 0) fail("Error closing %s\n", out.path);
}

}  // namespace velmorin
