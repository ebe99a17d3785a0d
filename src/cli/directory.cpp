// Walking the archive's directory to a named entry.
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
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cli/cli.h"

namespace velmorin {
namespace {

constexpr int64_t archive_header_size = 16;
constexpr int64_t dir_header_size = 32;
constexpr int64_t dirent_size = 32;
constexpr size_t name_capacity = 512;  // a stored name may hold 511 bytes at most

// The dirent table is read a window at a time; a million entries would
// otherwise hold 32 MB.
#ifdef VELMORIN_FUZZING
constexpr uint32_t dirents_per_window = 4;
#else
constexpr uint32_t dirents_per_window = 2048;
#endif

struct dirent_window {
    byte_source table;
    byte_buffer buf;
    uint32_t first = 0;
    uint32_t count = 0;
};

uint32_t dirent_length(dirent_window& w, uint32_t index, uint32_t entry_count) {
    if (index < w.first || index - w.first >= w.count) {
        uint32_t left = entry_count - index;
        w.first = index;
        w.count = left < dirents_per_window ? left : dirents_per_window;
        if (!read_source(w.table, dirent_size * index, w.buf.get(), static_cast<size_t>(dirent_size) * w.count))
            fail("Error reading directory.\n");
    }
    const uint8_t* d = w.buf.get() + dirent_size * (index - w.first);
    return read_u32le(d + 16);
}

// Names are read in order through a buffer, so the walk costs a system call
// per 64 KiB of names rather than two per entry. In a regular file the reads
// stop at its end, so every read made is one the walk needs.
struct name_reader {
    int fd;
    byte_buffer buf;
    int64_t left;  // bytes up to the end of the file; -1 when not known
    size_t pos = 0;
    size_t len = 0;
    bool at_end = false;
    int64_t taken = 0;  // bytes handed out so far
};

#ifdef VELMORIN_FUZZING
// Small buffers let a fuzzer's small inputs reach past the first of each.
constexpr size_t name_reader_capacity = 64;
#else
constexpr size_t name_reader_capacity = 64 * 1024;
#endif

// Takes the next `count` bytes; false when the file ends first.
bool take(name_reader& r, uint8_t* dst, size_t count) {
    while (count > 0) {
        if (r.pos == r.len) {
            if (r.at_end) return false;
            size_t want = name_reader_capacity;
            if (r.left >= 0 && r.left < static_cast<int64_t>(want)) want = static_cast<size_t>(r.left);
            int64_t n = read_full(r.fd, r.buf.get(), want);
            r.pos = 0;
            r.len = n > 0 ? static_cast<size_t>(n) : 0;
            if (r.left >= 0) r.left -= static_cast<int64_t>(r.len);
            if (r.len < want || r.left == 0) r.at_end = true;
            if (r.len == 0) return false;
        }
        size_t step = r.len - r.pos < count ? r.len - r.pos : count;
        memcpy(dst, r.buf.get() + r.pos, step);
        r.pos += step;
        r.taken += static_cast<int64_t>(step);
        dst += step;
        count -= step;
    }
    return true;
}

}  // namespace

entry_match find_entry(archive_file& archive, const char* name) {
    int fd = archive.handle.fd;

    uint8_t header[archive_header_size];
    if (read_full(fd, header, sizeof header) != archive_header_size) fail("Error reading header.\n");
    int32_t dir_offset = read_s32le(header + 8);

    trace("Debug: seeking to %d\n", dir_offset);
    // A seek that fails or lands elsewhere would have the walk read names
    // from the wrong place. Offsets are signed: a negative one is damage.
    if (dir_offset < 0 || lseek(fd, dir_offset, SEEK_SET) != dir_offset) fail("Error seeking to directory.\n");

    uint8_t dir_header[dir_header_size];
    if (read_full(fd, dir_header, sizeof dir_header) != dir_header_size) fail("Error reading directory header.\n");
    uint32_t dir_size = read_u32le(dir_header + 8);
    uint32_t entry_count = read_u32le(dir_header + 24);

    trace("Debug: About to read dir.\n");

    // One validation block for the directory, before anything is read.
    int64_t block_size = static_cast<int64_t>(dir_size) - dir_header_size;
    if (block_size < 0 || dirent_size * static_cast<int64_t>(entry_count) > block_size)
        fail("Error: directory size does not fit its entries.\n");

    dirent_window window;
    if (!input_source(fd, static_cast<int64_t>(dir_offset) + dir_header_size, block_size,
                      archive.info.regular ? &archive.info : nullptr, "Error reading directory.\n", &window.table))
        fail("Error reading directory.\n");
    window.buf = alloc_bytes(static_cast<size_t>(dirent_size) * dirents_per_window);

    int64_t name_table =
        static_cast<int64_t>(dir_offset) + dir_header_size + dirent_size * static_cast<int64_t>(entry_count);
    if (lseek(fd, static_cast<off_t>(name_table), SEEK_SET) != name_table) fail("Error seeking to directory.\n");

    int64_t names_left = archive.info.regular ? std::max<int64_t>(archive.info.size - name_table, 0) : -1;
    name_reader names{fd, alloc_bytes(name_reader_capacity), names_left};
    size_t wanted = strlen(name);
    uint8_t stored[name_capacity];
    // Summed in 64 bits: a sum past the format's signed 32-bit offsets is
    // refused where the entry is read, never wrapped onto another entry.
    int64_t data_offset = archive_header_size;

    for (uint32_t i = 0; i < entry_count; ++i) {
        trace_dirent(i);
        uint8_t count_bytes[2];
        if (!take(names, count_bytes, sizeof count_bytes)) fail("Error reading filename length.\n");
        uint16_t n = read_u16le(count_bytes);
        if (n >= name_capacity)
            fail(
                "Filename length >512, probably an error since I don't think Windows likes "
                "that.\nAt any rate, our buffers aren't big enough.\n");
        if (!take(names, stored, n)) fail("Error reading filename.\n");

        uint32_t length = dirent_length(window, i, entry_count);
        if (n >= wanted && memcmp(stored, name, wanted) == 0) {
            trace("Debug: Found filename match for %s.\n", name);
            archive.dir_start = dir_offset;
            archive.dir_end = std::max<int64_t>(dir_offset + static_cast<int64_t>(dir_size), name_table + names.taken);
            return entry_match{true, i, dirent{length}, data_offset};
        }
        data_offset += length;
    }

    trace("Debug: %s not found in archive.\n", name);
    return entry_match{false, 0, dirent{0}, 0};
}

}  // namespace velmorin
