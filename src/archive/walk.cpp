// Walking the archive's directory: entry by entry, and to a named entry.
//
// archive_header, 16 bytes at offset 0:
//   0   8  not interpreted
//   8   4  dir_offset    absolute offset of the directory (signed)
//   12  4  not interpreted
//
// Entry data lies end to end from offset 16, in directory order, so an
// entry's data offset is 16 plus the lengths of all entries before it.
//
// dir_header, 32 bytes at dir_offset:
//   0   8  not interpreted
//   8   4  dir_size      bytes of the directory block, dir_header included
//   12  12 not interpreted
//   24  4  entry_count
//   28  4  not interpreted
//
// dirent, 32 bytes each, entry_count of them right after dir_header:
//   0   16 not interpreted
//   16  4  length        bytes of the entry's stored data
//   20  12 not interpreted
//
// Name table, right after the dirent table: per entry a 16-bit byte count and
// that many bytes of name, no terminator, no padding.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/fields.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "archive/archive.h"

namespace velmorin {
namespace {

constexpr int64_t archive_header_size = 16;
constexpr int64_t dir_header_size = 32;
constexpr int64_t dirent_size = 32;

#ifdef VELMORIN_FUZZING
// Small buffers let a fuzzer's small inputs reach past the first of each.
constexpr uint32_t dirents_per_window = 4;
constexpr size_t name_reader_capacity = 64;
#else
constexpr uint32_t dirents_per_window = 2048;
constexpr size_t name_reader_capacity = 64 * 1024;
#endif

uint32_t dirent_length(dirent_window& window, uint32_t index, uint32_t entry_count) {
    if (index < window.first || index - window.first >= window.count) {
        uint32_t left = entry_count - index;
        window.first = index;
        window.count = left < dirents_per_window ? left : dirents_per_window;
        if (!read_source(window.table, dirent_size * index, window.buf.get(),
                         static_cast<size_t>(dirent_size) * window.count))
            fail("Error reading directory.\n");
    }
    const uint8_t* d = window.buf.get() + dirent_size * (index - window.first);
    return read_u32le(d + 16);
}

// Takes the next `count` bytes of names into `dst`, or skips them when `dst`
// is null; false when the file ends first. In a regular file the reads stop
// at its end, so every read made is one the walk needs.
bool take_slowly(name_reader& r, uint8_t* dst, size_t count) {
    while (count > 0) {
        if (r.pos == r.len) {
            if (r.at_end) return false;
            size_t want = name_reader_capacity;
            if (r.left >= 0 && r.left < static_cast<int64_t>(want)) want = static_cast<size_t>(r.left);
            int64_t n = read_full(r.file, r.buf.get(), want);
            r.pos = 0;
            r.len = n > 0 ? static_cast<size_t>(n) : 0;
            if (r.left >= 0) r.left -= static_cast<int64_t>(r.len);
            if (r.len < want || r.left == 0) r.at_end = true;
            if (r.len == 0) return false;
        }
        size_t step = r.len - r.pos < count ? r.len - r.pos : count;
        if (dst) {
            memcpy(dst, r.buf.get() + r.pos, step);
            dst += step;
        }
        r.pos += step;
        r.taken += static_cast<int64_t>(step);
        count -= step;
    }
    return true;
}

// Most names lie within the buffer: that case is inlined into the walk.
inline bool take(name_reader& r, uint8_t* dst, size_t count) {
    if (count > r.len - r.pos) return take_slowly(r, dst, count);
    if (dst) memcpy(dst, r.buf.get() + r.pos, count);
    r.pos += count;
    r.taken += static_cast<int64_t>(count);
    return true;
}

}  // namespace

void start_walk(archive_file& archive, bool narrate, directory_walk* walk) {
    file_handle file = archive.handle.f;
    *walk = directory_walk{};
    walk->archive = &archive;
    walk->narrate = narrate;

    uint8_t header[archive_header_size];
    if (read_full(file, header, sizeof header) != archive_header_size) fail("Error reading header.\n");
    int32_t dir_offset = read_s32le(header + 8);

    if (narrate) trace("Debug: seeking to %d\n", dir_offset);
    // A seek that fails or lands elsewhere would have the walk read names
    // from the wrong place. Offsets are signed: a negative one is damage.
    if (!seek_to(file, dir_offset)) fail("Error seeking to directory.\n");

    uint8_t dir_header[dir_header_size];
    if (read_full(file, dir_header, sizeof dir_header) != dir_header_size) fail("Error reading directory header.\n");
    uint32_t dir_size = read_u32le(dir_header + 8);
    walk->entry_count = read_u32le(dir_header + 24);

    if (narrate) trace("Debug: About to read dir.\n");

    // One validation block for the directory, before anything is read.
    int64_t block_size = static_cast<int64_t>(dir_size) - dir_header_size;
    if (block_size < 0 || dirent_size * static_cast<int64_t>(walk->entry_count) > block_size)
        fail("Error: directory size does not fit its entries.\n");

    if (!input_source(file, static_cast<int64_t>(dir_offset) + dir_header_size, block_size,
                      archive.info.regular ? &archive.info : nullptr, "Error reading directory.\n",
                      &walk->window.table))
        fail("Error reading directory.\n");
    walk->window.buf = alloc_bytes(static_cast<size_t>(dirent_size) * dirents_per_window);

    walk->name_table = dir_offset + dir_header_size + dirent_size * static_cast<int64_t>(walk->entry_count);
    if (!seek_to(file, walk->name_table)) fail("Error seeking to directory.\n");

    walk->names.file = file;
    walk->names.buf = alloc_bytes(name_reader_capacity);
    walk->names.left = archive.info.regular ? std::max<int64_t>(archive.info.size - walk->name_table, 0) : -1;
    walk->next = 0;
    // Summed in 64 bits: a sum past the format's signed 32-bit offsets is
    // refused where the entry is read, never wrapped onto another entry.
    walk->data_offset = archive_header_size;
    walk->dir_offset = dir_offset;
    walk->dir_size = dir_size;
}

directory_span walked_span(const directory_walk& walk) {
    return directory_span{walk.dir_offset,
                          std::max(walk.dir_offset + walk.dir_size, walk.name_table + walk.names.taken)};
}

namespace {

// Reads the next name; returns where its `*length` bytes are: in place in
// the reader's buffer when they lie there whole, otherwise copied into
// `storage` (or skipped when that is null).
const uint8_t* read_name(name_reader& names, uint8_t* storage, uint16_t* length) {
    uint8_t count_bytes[2];
    if (!take(names, count_bytes, sizeof count_bytes)) fail("Error reading filename length.\n");
    uint16_t n = read_u16le(count_bytes);
    if (n >= name_capacity)
        fail(
            "Filename length >512, probably an error since I don't think Windows likes "
            "that.\nAt any rate, our buffers aren't big enough.\n");
    *length = n;
    if (n <= names.len - names.pos) {
        const uint8_t* in_place = names.buf.get() + names.pos;
        take(names, nullptr, n);
        return in_place;
    }
    if (!take(names, storage, n)) fail("Error reading filename.\n");
    return storage;
}

}  // namespace

void check_names(directory_walk& walk) {
    uint16_t n;
    for (; walk.next < walk.entry_count; ++walk.next) read_name(walk.names, nullptr, &n);
}

bool next_entry(directory_walk& walk, walked_entry* e) {
    if (walk.next >= walk.entry_count) return false;
    uint32_t i = walk.next++;
    if (walk.narrate) trace_dirent(i);
    uint16_t n;
    e->name = read_name(walk.names, e->storage, &n);

    e->index = i;
    e->name_length = n;
    e->entry = dir_entry{dirent_length(walk.window, i, walk.entry_count)};
    e->data_offset = walk.data_offset;
    walk.data_offset += e->entry.length;
    return true;
}

namespace {

// The end of the names from where the walk stands, read without a word;
// -1 when they cannot all be read.
int64_t quiet_names_end(directory_walk& walk) {
    for (; walk.next < walk.entry_count; ++walk.next) {
        uint8_t count_bytes[2];
        if (!take(walk.names, count_bytes, sizeof count_bytes)) return -1;
        uint16_t n = read_u16le(count_bytes);
        if (n >= name_capacity || !take(walk.names, nullptr, n)) return -1;
    }
    return walk.name_table + walk.names.taken;
}

}  // namespace

directory_span whole_directory(archive_file& archive) {
    directory_walk walk;
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    int64_t end = quiet_names_end(walk);
    directory_span span = walked_span(walk);
    // Names that cannot all be read may reach as far as the file does.
    if (end < 0) span.end = std::max(span.end, archive.info.regular ? archive.info.size : INT64_MAX);
    return span;
}

bool find_exact(archive_file& archive, const std::string& name, located_entry* found) {
    directory_walk walk;
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    walked_entry e;
    while (next_entry(walk, &e)) {
        if (e.name_length == name.size() && memcmp(e.name, name.data(), name.size()) == 0) {
            *found = located_entry{e.entry, e.data_offset, name, walked_span(walk)};
            return true;
        }
    }
    return false;
}

bool find_entry(archive_file& archive, const char* name, located_entry* found) {
    directory_walk walk;
    start_walk(archive, true, &walk);
    size_t wanted = strlen(name);
    walked_entry e;
    while (next_entry(walk, &e)) {
        if (e.name_length >= wanted && memcmp(e.name, name, wanted) == 0) {
            trace("Debug: Found filename match for %s.\n", name);
            *found = located_entry{e.entry, e.data_offset,
                                   std::string(reinterpret_cast<const char*>(e.name), e.name_length),
                                   walked_span(walk)};
            return true;
        }
    }
    trace("Debug: %s not found in archive.\n", name);
    return false;
}

}  // namespace velmorin
