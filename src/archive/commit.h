// Writing an entry's pixels in place: the one step of a run that changes
// the archive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive.h"
#include "archive/journal.h"
#include "base/file.h"

namespace velmorin {

// Signals that would stop the run from outside are held back while one of
// these lives: the write is finished, the archive closed and everything the
// run had to say written out, and only then does one that arrived take
// effect (as this is destroyed, on every way out of the write).
struct held_signals {
    held_signals();
    ~held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

// A payload write in progress: journaled and positioned once, before its
// first byte, then fed band by band, so a failure reports how much of the
// whole payload reached the file, and puts the old bytes back.
struct payload_write {
    archive_file* archive;
    int64_t offset;  // where the payload begins
    int64_t total;
    int64_t written;
    journal kept;  // the old bytes, beside the archive
};

// Under the run's lock (lock_archive()), after refusing a payload that ends
// past the file size limit: writes one journal of every range (journal.h),
// then positions the archive at the first one's start. Made while signals
// are held.
payload_write start_write(archive_file& archive, const journal_plan& plan);

// Positions the archive at the start of range `k` of the journal, whose
// payload the next writes are.
void start_range(payload_write& write, size_t k);

// Writes the payload's next `count` bytes.
void write_at(payload_write& write, const uint8_t* bytes, size_t count);

// Leaves the payload's next `count` bytes as they are: they hold already
// what would be written.
void keep_at(payload_write& write, size_t count);

// Ends the run when an input cannot be read while the payload is written.
// Before the first byte the input's own message tells it; after it, the
// archive holds part of the new payload and the report says how much.
[[noreturn]] void payload_read_failed(const payload_write& write, const char* message);

// The whole payload written: made durable, and the journal removed.
void finish_write(payload_write& write);

// A failure on the way: the old bytes put back from the journal.
void abandon_write(payload_write& write);

}  // namespace velmorin
