// The rollback journal: before a run writes pixels in place, the bytes it
// will write over are kept beside the archive, in ARCHIVE.velmorin-journal,
// and made durable; a run that finds a complete journal left by one that
// died puts them back. The layout is drawn once, in journal.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace velmorin {

// A range of the archive a run is about to write over, and the entry whose
// pixels it holds.
struct journal_range {
    int64_t offset;
    int64_t length;
    std::string name;  // the entry's full stored name
};

// What a journal holds: the directory bytes that identify the archive (with
// its header and its size), and the ranges, each with its old bytes.
struct journal_plan {
    directory_span directory{0, 0};
    std::vector<journal_range> ranges;
};

// The archive's own path with ".velmorin-journal" after it.
std::string journal_path(const char* archive_path);

// Looks for the archive's journal (the run holds the lock, so one it finds
// was left by a run that died) and acts on it: a run that writes puts a
// complete one back (a "Warning:" line per entry) and removes one never
// completed (a "Debug:" line); a run that only reads refuses a complete one,
// pointing to --recover. A journal made for another archive, of another
// version, or damaged, is refused and kept.
recovery look_for_journal(archive_file& archive);

// A journal the run has made complete and durable: the archive may now be
// written in place.
struct journal {
    std::string path;
    journal_plan plan;
    bool open = false;  // on disk, complete: it must be removed or rolled back
};

// The size of the journal for `plan`, in bytes.
int64_t journal_size(const journal_plan& plan);

// Writes the journal for `plan` beside the archive, complete and durable
// (the file, then its folder). Ends the run with "Error: cannot write the
// journal NAME: REASON; nothing was changed." when it cannot be, after
// removing what it wrote.
void write_journal(archive_file& archive, const journal_plan& plan, journal* j);

// After the in-place write: makes the archive durable, then removes the
// journal. Ends the run, with the entry put back, when either fails.
void finish_journal(archive_file& archive, journal& j);

// After a failure during the in-place write: puts the old bytes back from
// the journal, makes them durable and removes the journal. When that
// cannot be done, says so, leaves the journal for the next run and returns
// false.
bool abandon_journal(archive_file& archive, journal& j);

}  // namespace velmorin
