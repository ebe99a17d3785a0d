// The rollback journal, little-endian:
//
//   offset  bytes  field
//   0       8      magic "VMJOURNL"
//   8       8      state: "PENDING" and a zero byte while it is written;
//                  "COMPLETE", written over it once everything else is
//                  durable, and made durable in turn
//   16      2      version, 1
//   18      2      0
//   20      4      R, the number of ranges (at least 1)
//   24      8      the archive's size
//   32      8      start of the directory bytes that identify the archive
//   40      8      their end
//   48      8      XXH3-64 of the archive's bytes 0 to 15, then of those
//   56      ...    R ranges: offset (8), length L (8), name length N (2,
//                  at least 1), the entry's name (N), its old bytes (L)
//   end-8   8      XXH3-64 of every byte before this field but the state
//
// A journal whose first bytes are those of one still "PENDING" was never
// complete: the archive was not touched. One that says "COMPLETE" must
// agree in every other field; anything else is damaged.
#include "archive/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/buffers.h"
#include "base/failure.h"
#include "base/fields.h"
#include "base/hash.h"
#include "base/text.h"
#include "base/trace.h"

namespace velmorin {
namespace {

constexpr uint8_t journal_magic[8] = {'V', 'M', 'J', 'O', 'U', 'R', 'N', 'L'};
constexpr uint8_t pending_mark[8] = {'P', 'E', 'N', 'D', 'I', 'N', 'G', 0};
constexpr uint8_t complete_mark[8] = {'C', 'O', 'M', 'P', 'L', 'E', 'T', 'E'};
constexpr int64_t state_at = 8;
constexpr int64_t journal_head = 56;
constexpr int64_t range_head = 18;
constexpr int64_t journal_tail = 8;
constexpr int64_t archive_head = 16;
constexpr int64_t entry_head = 16;  // an image entry's header, before its pixels
constexpr uint16_t journal_version = 1;

std::string reason(int err) { return strerror(err != 0 ? err : EIO); }

// XXH3-64 of the archive's first 16 bytes, then of the directory bytes;
// false when they cannot be read.
bool identity_hash(file_handle archive, const directory_span& span, uint64_t* value) {
    byte_buffer buf = alloc_bytes(static_cast<size_t>(std::clamp<int64_t>(span.end - span.start, 16, band_bytes)));
    pixel_hash h;
    start_hash(h);
    if (pread_full(archive, buf.get(), archive_head, 0) != archive_head) return false;
    feed_hash(h, buf.get(), archive_head);
    for (int64_t at = span.start, n; at < span.end; at += n) {
        n = std::min(band_bytes, span.end - at);
        if (pread_full(archive, buf.get(), static_cast<size_t>(n), at) != n) return false;
        feed_hash(h, buf.get(), static_cast<size_t>(n));
    }
    *value = hash_value(h);
    return true;
}

// ---- writing ---------------------------------------------------------------

struct journal_writer {
    file_guard file;
    pixel_hash hash;
    const std::string* path;
    bool created = false;
    int64_t written = 0;
};

[[noreturn]] void cannot_write(journal_writer& w, int err) {
    (void)w.file.close_now();
    if (w.created) (void)remove_file(w.path->c_str());
    fail("Error: cannot write the journal %s: %s; nothing was changed.\n", w.path->c_str(), reason(err).c_str());
}

void put(journal_writer& w, const uint8_t* bytes, size_t count, bool hashed = true) {
    if (write_full(w.file.f, bytes, count) != static_cast<int64_t>(count)) cannot_write(w, errno);
    if (hashed) feed_hash(w.hash, bytes, count);
    w.written += static_cast<int64_t>(count);
}

void put_head(journal_writer& w, const archive_file& archive, const journal_plan& plan) {
    uint8_t head[journal_head] = {};
    memcpy(head, journal_magic, sizeof journal_magic);
    memcpy(head + state_at, pending_mark, sizeof pending_mark);
    write_u16le(head + 16, journal_version);
    write_u32le(head + 20, static_cast<uint32_t>(plan.ranges.size()));
    write_u64le(head + 24, static_cast<uint64_t>(archive.info.size));
    write_u64le(head + 32, static_cast<uint64_t>(plan.directory.start));
    write_u64le(head + 40, static_cast<uint64_t>(plan.directory.end));
    uint64_t identity = 0;
    if (!identity_hash(archive.handle.f, plan.directory, &identity)) cannot_write(w, errno);
    write_u64le(head + 48, identity);
    // The state changes once written: the hash leaves it out.
    put(w, head, state_at);
    put(w, head + state_at, sizeof pending_mark, false);
    put(w, head + 16, sizeof head - 16);
}

// A range's head, then its old bytes, copied from the archive a band at a
// time.
void put_range(journal_writer& w, const archive_file& archive, const journal_range& r, byte_buffer& band) {
    uint8_t head[range_head];
    write_u64le(head, static_cast<uint64_t>(r.offset));
    write_u64le(head + 8, static_cast<uint64_t>(r.length));
    write_u16le(head + 16, static_cast<uint16_t>(r.name.size()));
    put(w, head, sizeof head);
    put(w, reinterpret_cast<const uint8_t*>(r.name.data()), r.name.size());
    for (int64_t at = 0, n; at < r.length; at += n) {
        n = std::min(band_bytes, r.length - at);
        if (pread_full(archive.handle.f, band.get(), static_cast<size_t>(n), r.offset + at) != n)
            cannot_write(w, errno);
        put(w, band.get(), static_cast<size_t>(n));
        // On its way to the disk while the next band is copied.
        start_writeback(w.file.f, w.written - n, n);
    }
}

// ---- reading ---------------------------------------------------------------

enum class found { unfinished, damaged, other_version, other_archive, sound };

struct journal_read {
    found verdict = found::unfinished;
    uint16_t version = 0;
    journal_plan plan;
    std::vector<int64_t> old_bytes;  // where each range's old bytes start in the journal
};

// Hashes the journal's bytes before its closing hash, but its state; false
// when they cannot be read or do not match it.
bool sound_hash(file_handle f, int64_t size) {
    int64_t body = size - journal_tail;
    byte_buffer buf = alloc_bytes(static_cast<size_t>(std::min(band_bytes, std::max<int64_t>(body, 8))));
    pixel_hash h;
    start_hash(h);
    for (int64_t at = 0, n; at < body; at += n) {
        if (at == state_at) {
            n = sizeof pending_mark;
            continue;
        }
        n = std::min(at < state_at ? state_at - at : band_bytes, body - at);
        if (pread_full(f, buf.get(), static_cast<size_t>(n), at) != n) return false;
        feed_hash(h, buf.get(), static_cast<size_t>(n));
    }
    uint8_t stored[8];
    return pread_full(f, stored, 8, body) == 8 && read_u64le(stored) == hash_value(h);
}

bool overlaps(int64_t start, int64_t length, int64_t from, int64_t to) {
    return length > 0 && start < to && from < start + length;
}

// The ranges after the head; false when they do not fill the journal
// exactly, or reach where no pixels are.
bool read_ranges(file_handle f, int64_t size, uint32_t count, const archive_file& archive, journal_read* j) {
    int64_t end = size - journal_tail, at = journal_head;
    const directory_span& dir = j->plan.directory;
    for (uint32_t k = 0; k < count; ++k) {
        uint8_t head[range_head];
        if (end - at < range_head || pread_full(f, head, sizeof head, at) != range_head) return false;
        int64_t offset = static_cast<int64_t>(read_u64le(head)), length = static_cast<int64_t>(read_u64le(head + 8));
        uint16_t n = read_u16le(head + 16);
        at += range_head;
        if (offset < archive_head || length < 0 || n == 0 || end - at < n || end - at - n < length) return false;
        if (length > archive.info.size - offset || overlaps(offset, length, dir.start, dir.end)) return false;
        std::string name(n, '\0');
        if (pread_full(f, reinterpret_cast<uint8_t*>(name.data()), n, at) != n) return false;
        j->plan.ranges.push_back(journal_range{offset, length, std::move(name)});
        j->old_bytes.push_back(at + n);
        at += n + length;
    }
    return at == end;
}

// Whether the journal's first bytes are those of one never completed: the
// magic, then "PENDING", or as much of them as there is.
bool pending(file_handle f, int64_t size) {
    uint8_t start[16], expected[16];
    memcpy(expected, journal_magic, 8);
    memcpy(expected + 8, pending_mark, 8);
    size_t n = static_cast<size_t>(std::min<int64_t>(size, 16));
    return pread_full(f, start, n, 0) == static_cast<int64_t>(n) && memcmp(start, expected, n) == 0;
}

// Whether every range is the stored data of the entry it names (past its
// header), found by the same lookup a run makes, and the identifying bytes
// begin where the directory does and reach at least that entry's name:
// a journal may put back an entry's pixels, and nothing else.
bool ranges_fit_entries(archive_file& archive, const journal_plan& plan) {
    directory_span whole = whole_directory(archive);
    for (const journal_range& r : plan.ranges) {
        located_entry e;
        if (!find_exact(archive, r.name, &e) || r.offset != e.data_offset + entry_head ||
            r.length > static_cast<int64_t>(e.entry.length) - entry_head ||
            plan.directory.start != e.directory.start || plan.directory.end < e.directory.end ||
            overlaps(r.offset, r.length, whole.start, whole.end))
            return false;
    }
    return true;
}

journal_read read_journal(file_handle f, archive_file& archive) {
    journal_read j;
    file_info info;
    uint8_t head[journal_head];
    if (!describe_file(f, &info) || !info.regular) return j.verdict = found::damaged, j;
    int64_t size = info.size;
    if (pending(f, size)) return j;
    j.verdict = found::damaged;
    if (size < journal_head + journal_tail || pread_full(f, head, sizeof head, 0) != journal_head ||
        memcmp(head, journal_magic, 8) != 0 || memcmp(head + state_at, complete_mark, 8) != 0)
        return j;
    // A later format may hash and lay out the rest otherwise.
    j.version = read_u16le(head + 16);
    if (j.version != journal_version) return j.verdict = found::other_version, j;
    if (!sound_hash(f, size) || read_u16le(head + 18) != 0) return j;
    j.plan.directory = directory_span{static_cast<int64_t>(read_u64le(head + 32)),
                                      static_cast<int64_t>(read_u64le(head + 40))};
    const directory_span& dir = j.plan.directory;
    uint32_t count = read_u32le(head + 20);
    if (count == 0 || dir.start < archive_head || dir.end < dir.start) return j;
    uint64_t identity = 0;
    if (static_cast<int64_t>(read_u64le(head + 24)) != archive.info.size || dir.end > archive.info.size ||
        !identity_hash(archive.handle.f, dir, &identity) || identity != read_u64le(head + 48))
        return j.verdict = found::other_archive, j;
    if (read_ranges(f, size, count, archive, &j) && ranges_fit_entries(archive, j.plan)) j.verdict = found::sound;
    return j;
}

// ---- putting back -----------------------------------------------------------

// Copies every range's old bytes from the journal back into the archive and
// makes them durable; false, with errno, when it cannot.
bool put_back(archive_file& archive, file_handle from, const journal_plan& plan, const std::vector<int64_t>& old) {
    byte_buffer band = alloc_bytes(static_cast<size_t>(band_bytes));
    for (size_t k = 0; k < plan.ranges.size(); ++k) {
        const journal_range& r = plan.ranges[k];
        if (!seek_to(archive.handle.f, r.offset)) return false;
        for (int64_t at = 0, n; at < r.length; at += n) {
            n = std::min(band_bytes, r.length - at);
            if (pread_full(from, band.get(), static_cast<size_t>(n), old[k] + at) != n) return false;
            if (write_full(archive.handle.f, band.get(), static_cast<size_t>(n)) != n) return false;
        }
    }
    return sync_file(archive.handle.f);
}

// Where each range's old bytes stand in a journal this run wrote.
std::vector<int64_t> old_bytes_of(const journal_plan& plan) {
    std::vector<int64_t> old;
    int64_t at = journal_head;
    for (const journal_range& r : plan.ranges) {
        at += range_head + static_cast<int64_t>(r.name.size());
        old.push_back(at);
        at += r.length;
    }
    return old;
}

[[noreturn]] void refuse(const std::string& path, const char* what) {
    fail("Error: the journal %s %s; it was not applied, and is kept.\n", path.c_str(), what);
}

// A complete journal that matches the archive, left by a run that died.
recovery roll_back_found(archive_file& archive, file_guard& file, const std::string& path, const journal_read& j) {
    if (!archive.writes)
        fail("Error: an earlier run on %s was interrupted while writing it; run \"velmorin --recover %s\" "
             "first.\n",
             archive.path, archive.path);
    if (!put_back(archive, file.f, j.plan, j.old_bytes)) {
        int err = errno;
        fail("Error: cannot put back what the journal %s holds: %s; it is kept for the next run.\n", path.c_str(),
             reason(err).c_str());
    }
    (void)file.close_now();
    if (!remove_file(path.c_str()) && errno != ENOENT) {
        int err = errno;
        fail("Error: cannot remove the journal %s: %s.\n", path.c_str(), reason(err).c_str());
    }
    (void)sync_folder_of(path.c_str());
    for (const journal_range& r : j.plan.ranges)
        trace("Warning: an earlier run on %s was interrupted; %s was put back as it was.\n", archive.path,
              shown_name(r.name).c_str());
    return recovery::rolled_back;
}

}  // namespace

recovery lock_archive(archive_file& archive) {
    if (archive.locked) return recovery::none;
    // About the archive, whichever file a run over many was at.
    failure_context archive_itself(nullptr);
    archive.lock_held = lock_file(archive.handle.f, archive.writes, archive.path);
    archive.locked = true;
    return look_for_journal(archive);
}

int64_t journal_size(const journal_plan& plan) {
    int64_t size = journal_head + journal_tail;
    for (const journal_range& r : plan.ranges) size += range_head + static_cast<int64_t>(r.name.size()) + r.length;
    return size;
}

std::string journal_path(const char* archive_path) { return std::string(archive_path) + ".velmorin-journal"; }

recovery look_for_journal(archive_file& archive) {
    std::string path = journal_path(archive.path);
    file_info info;
    // A path too long for a journal beside it cannot have one.
    if (!describe_path(path.c_str(), &info) && (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG))
        return recovery::none;
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    if (!info.regular) refuse(path, "is damaged");
    file_guard file(open_input(path.c_str()));
    if (!is_open(file.f)) {
        int err = errno;
        fail("Error: cannot read the journal %s: %s.\n", path.c_str(), reason(err).c_str());
    }
    // Without locks, a journal may be a live run's: only --recover, which
    // the user runs knowing none is, may act on it.
    if (archive.writes && !archive.lock_held && !archive.recovering)
        fail("Error: the journal %s is there, and this file system has no locks: it may be another run's, still "
             "writing; if no other run is, run \"velmorin --recover %s\".\n",
             path.c_str(), archive.path);
    journal_read j = read_journal(file.f, archive);
    switch (j.verdict) {
        case found::sound:
            return roll_back_found(archive, file, path, j);
        case found::damaged:
            refuse(path, "is damaged");
        case found::other_version:
            fail("Error: the journal %s has version %u; this velmorin reads version 1. It was not applied, and is "
                 "kept.\n",
                 path.c_str(), j.version);
        case found::other_archive:
            refuse(path, "was made for this archive as it was before it changed (another size or directory)");
        default:
            break;
    }
    if (!archive.writes) return recovery::ignored_unfinished;
    (void)file.close_now();
    if (!remove_file(path.c_str())) {
        int err = errno;
        fail("Error: cannot remove the unfinished journal %s: %s.\n", path.c_str(), reason(err).c_str());
    }
    (void)sync_folder_of(path.c_str());
    trace("Debug: removed %s, left by a run that stopped before it wrote anything.\n", path.c_str());
    return recovery::removed_unfinished;
}

void write_journal(archive_file& archive, const journal_plan& plan, journal* j) {
    j->path = journal_path(archive.path);
    j->plan = plan;
    journal_writer w;
    w.path = &j->path;
    w.file.f = create_new(j->path.c_str());
    if (!is_open(w.file.f)) cannot_write(w, errno);
    w.created = true;
    start_hash(w.hash);
    byte_buffer band = alloc_bytes(static_cast<size_t>(band_bytes));
    put_head(w, archive, plan);
    for (const journal_range& r : plan.ranges) put_range(w, archive, r, band);
    uint8_t sum[8];
    write_u64le(sum, hash_value(w.hash));
    put(w, sum, sizeof sum, false);
    // Complete only once everything else is durable.
    if (!sync_file(w.file.f)) cannot_write(w, errno);
    errno = 0;
    // A seek that lands anywhere else leaves no error number of its own.
    if (!seek_to(w.file.f, state_at)) cannot_write(w, errno != 0 ? errno : EINVAL);
    put(w, complete_mark, sizeof complete_mark, false);
    if (!sync_file(w.file.f)) cannot_write(w, errno);
    if (w.file.close_now() != 0) cannot_write(w, errno);
    if (!sync_folder_of(j->path.c_str())) cannot_write(w, errno);
    j->open = true;
}

void finish_journal(archive_file& archive, journal& j) {
    if (!sync_file(archive.handle.f)) {
        int err = errno;
        if (abandon_journal(archive, j))
            fail("Error: cannot make %s durable: %s; the entry was put back as it was.\n", archive.path,
                 reason(err).c_str());
        fail("Error: cannot make %s durable: %s.\n", archive.path, reason(err).c_str());
    }
    file_info gone;
    if (!remove_file(j.path.c_str()) && describe_path(j.path.c_str(), &gone)) {
        // The journal stays: so must the old pixels it would put back.
        int err = errno;
        if (abandon_journal(archive, j))
            fail("Error: cannot remove the journal %s: %s; the entry was put back as it was.\n", j.path.c_str(),
                 reason(err).c_str());
        fail("Error: cannot remove the journal %s: %s.\n", j.path.c_str(), reason(err).c_str());
    }
    j.open = false;
    // A crash before this is durable puts the old pixels back: before, not
    // torn.
    (void)sync_folder_of(j.path.c_str());
}

bool abandon_journal(archive_file& archive, journal& j) {
    if (!j.open) return true;
    file_guard file(open_input(j.path.c_str()));
    bool back = is_open(file.f) && put_back(archive, file.f, j.plan, old_bytes_of(j.plan));
    (void)file.close_now();
    if (back) {
        // A journal that cannot be removed holds what the archive holds
        // again: the next run puts the same bytes back.
        if (remove_file(j.path.c_str())) (void)sync_folder_of(j.path.c_str());
        j.open = false;
        return true;
    }
    trace("Error: the entry could not be put back as it was; the journal %s keeps its old pixels: run "
          "\"velmorin --recover %s\".\n",
          j.path.c_str(), archive.path);
    return false;
}

}  // namespace velmorin
