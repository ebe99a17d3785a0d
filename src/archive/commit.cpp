#include "archive/commit.h"

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"

namespace velmorin {

held_signals::held_signals() { hold_signals(); }

held_signals::~held_signals() {
    flush_trace();
    release_signals();
}

payload_write start_write(archive_file& archive, const journal_plan& plan) {
    lock_archive(archive);
    int64_t limit = file_size_limit();
    for (const journal_range& range : plan.ranges)
        if (limit >= 0 && range.offset + range.length > limit)
            fail("Error: the file size limit is below the end of the entry.\n");
    if (limit >= 0 && journal_size(plan) > limit)
        fail("Error: the file size limit is below the size of the journal, %lld bytes; nothing was changed.\n",
             static_cast<long long>(journal_size(plan)));
    payload_write write{&archive, 0, 0, 0, {}};
    write_journal(archive, plan, &write.kept);
    start_range(write, 0);
    return write;
}

void start_range(payload_write& write, size_t k) {
    const journal_range& range = write.kept.plan.ranges.at(k);
    write.offset = range.offset;
    write.total = range.length;
    write.written = 0;
    if (!seek_to(write.archive->handle.f, range.offset)) {
        abandon_write(write);
        fail("Error: lseek() failed.\n");
    }
}

void finish_write(payload_write& write) { finish_journal(*write.archive, write.kept); }

void abandon_write(payload_write& write) { (void)abandon_journal(*write.archive, write.kept); }

namespace {

// `written` is -1 when the first write call failed outright: nothing of the
// payload reached the file. A transfer that stopped without an error number
// (an input that ended early) is reported as an I/O error, never "Success".
[[noreturn]] void cut_short(const payload_write& write, int64_t written, int err) {
    if (err == 0) err = EIO;
    fail("CRITICAL ERRROR: only wrote %d of %d bytes.\nerrno=%d(%s)\n", static_cast<int>(written),
         static_cast<int>(write.total), err, strerror(err));
}

}  // namespace

void write_at(payload_write& write, const uint8_t* bytes, size_t count) {
    int64_t n = write_full(write.archive->handle.f, bytes, count);
    if (n != static_cast<int64_t>(count))
        cut_short(write, n < 0 ? (write.written == 0 ? -1 : write.written) : write.written + n, errno);
    // On its way to the disk while the next band is made: the sync at the
    // end has less to wait for.
    start_writeback(write.archive->handle.f, write.offset + write.written, n);
    write.written += n;
}

void keep_at(payload_write& write, size_t count) {
    write.written += static_cast<int64_t>(count);
    if (!seek_to(write.archive->handle.f, write.offset + write.written)) fail("Error: lseek() failed.\n");
}

[[noreturn]] void payload_read_failed(const payload_write& write, const char* message) {
    if (write.written == 0) fail("%s", message);
    cut_short(write, write.written, errno);
}

}  // namespace velmorin
