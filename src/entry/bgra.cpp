// Reading and writing image entries.
//
// bgra_header, 16 bytes at the entry's data offset:
//   0   4  magic      "BGRA" (0x41524742)
//   4   4  unknown    not interpreted
//   8   4  width      pixels per row (signed)
//   12  4  height     rows (signed)
// Then width * height * 4 bytes of pixels, rows without padding, each pixel
// blue, green, red and a fourth byte.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/fields.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "entry/entry.h"

namespace velmorin {
namespace {

constexpr uint32_t bgra_magic = 0x41524742;

// The format's offsets are signed 32-bit: lengths that add up past that are
// damage, not a place in the file.
bool valid_data_offset(int64_t data_offset) { return data_offset >= 0 && data_offset <= INT32_MAX; }

bgra_image decode_header(const uint8_t* header) {
    bgra_image img;
    img.magic = read_u32le(header);
    img.unknown = read_u32le(header + 4);
    img.width = read_s32le(header + 8);
    img.height = read_s32le(header + 12);
    img.bgra_datasize = 0;
    img.payload_offset = 0;
    return img;
}

enum class header_verdict { ok, not_bgra, bad_size, larger_than_entry };

// The checks of one header, in the order the tool makes them; sets
// bgra_datasize when they pass. The payload must fit in 32 bits and in the
// entry's own stored data: reading or writing past it would touch the next
// entry. Signs first: two 32-bit values multiply safely in 64 bits only when
// neither is negative, and the product is checked before the last * 4.
header_verdict judge_header(bgra_image& img, uint32_t length) {
    if (img.magic != bgra_magic) return header_verdict::not_bgra;
    if (img.width < 0 || img.height < 0 || static_cast<int64_t>(img.width) * img.height > INT32_MAX / 4)
        return header_verdict::bad_size;
    int64_t size = static_cast<int64_t>(img.width) * img.height * 4;
    if (static_cast<int64_t>(length) - bgra_header_size < size) return header_verdict::larger_than_entry;
    img.bgra_datasize = static_cast<int32_t>(size);
    return header_verdict::ok;
}

// Touching the directory is fine (an ordinary archive's last entry ends
// where it begins); sharing a byte with it is not.
bool overlaps_directory(const directory_span& directory, int64_t start, int64_t size) {
    return size > 0 && start < directory.end && directory.start < start + size;
}

}  // namespace

bgra_image read_bgra(archive_file& archive, const located_entry& target) {
    int64_t data_offset = target.data_offset;
    file_handle file = archive.handle.f;
    if (!valid_data_offset(data_offset) || !seek_to(file, data_offset)) fail("Error: lseek() failed.\n");

    uint8_t header[bgra_header_size];
    if (read_full(file, header, sizeof header) != bgra_header_size) fail("Error reading BGRA header.\n");
    bgra_image img = decode_header(header);
    header_verdict verdict = judge_header(img, target.entry.length);
    if (verdict == header_verdict::not_bgra) fail("Target file is not a BGRA?\n");

    trace("bgra_hdr at %d: magic 0x%x, unknown 0x%x, width %d, height %d\n", static_cast<int32_t>(data_offset),
          img.magic, img.unknown, img.width, img.height);

    if (verdict == header_verdict::bad_size) fail("Error: bad BGRA width or height.\n");
    if (verdict == header_verdict::larger_than_entry) fail("Error: BGRA data is larger than its archive entry.\n");

    int64_t size = img.bgra_datasize;
    int64_t start = data_offset + bgra_header_size;
    img.payload_offset = start;
    if (archive.info.regular && size > archive.info.size - start) fail("Error: Unable to read whole bgra.\n");
    // Pixels past the directory bytes the lookup read are checked against
    // every name.
    if (overlaps_directory(target.directory, start, size) ||
        (start + size > target.directory.end && overlaps_directory(whole_directory(archive), start, size)))
        fail("Error: BGRA data overlaps the archive directory.\n");
    return img;
}

void open_payload(archive_file& archive, bgra_image& img) {
    lock_archive(archive);
    const char* short_message = "Error: Unable to read whole bgra.\n";
    bool in_place = archive.info.regular;
    // Anything else is read whole from the pixels' start.
    if (!in_place && !seek_to(archive.handle.f, img.payload_offset)) fail("Error: lseek() failed.\n");
    if (!input_source(archive.handle.f, img.payload_offset, img.bgra_datasize, in_place ? &archive.info : nullptr,
                      short_message, &img.payload))
        fail("%s", short_message);
}

namespace {

#ifdef VELMORIN_FUZZING
constexpr int64_t header_window = 64;  // small inputs reach past the first window
#else
constexpr int64_t header_window = 64 * 1024;
#endif
// Up to this length an entry's header is read with the window that follows
// it: the next entries are likely as small. Copying a few kilobytes more
// costs less than a call of its own for each header.
constexpr int64_t small_entry = 4096;

bool read_header(const archive_file& archive, header_reader& r, int64_t offset, uint32_t length, uint8_t* header) {
    if (offset < r.start || offset + bgra_header_size > r.start + r.len) {
        if (!r.buf) r.buf = alloc_bytes(header_window);
        int64_t want = length <= small_entry ? std::min(header_window, archive.info.size - offset) : bgra_header_size;
        if (want < bgra_header_size) return false;
        int64_t n = pread_full(archive.handle.f, r.buf.get(), static_cast<size_t>(want), offset);
        r.start = offset;
        r.len = n > 0 ? n : 0;
        if (r.len < bgra_header_size) {
            r.unread = true;
            return false;
        }
    }
    memcpy(header, r.buf.get() + (offset - r.start), bgra_header_size);
    return true;
}

}  // namespace

bool is_image(const archive_file& archive, header_reader& headers, int64_t data_offset, const dir_entry& entry,
              const directory_span& directory, bgra_image* img) {
    uint8_t header[bgra_header_size];
    if (entry.length < bgra_header_size || !valid_data_offset(data_offset) || !archive.info.regular ||
        !read_header(archive, headers, data_offset, entry.length, header))
        return false;
    *img = decode_header(header);
    if (judge_header(*img, entry.length) != header_verdict::ok) return false;
    int64_t start = data_offset + bgra_header_size;
    return img->bgra_datasize <= archive.info.size - start && !overlaps_directory(directory, start, img->bgra_datasize);
}

int64_t rows_per_band(const bgra_image& img) {
    return std::max<int64_t>(1, band_bytes / std::max<int64_t>(static_cast<int64_t>(img.width) * 4, 1));
}

size_t span_length(const bgra_image& img, int64_t at) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    int64_t n = row <= band_bytes ? rows_per_band(img) * row : std::min(band_bytes, row - at % row);
    return static_cast<size_t>(std::min<int64_t>(n, img.bgra_datasize - at));
}

}  // namespace velmorin
