// Image entries: the stored BGRA header and its pixel payload.
#pragma once

#include <algorithm>
#include <cstdint>

#include "archive/archive.h"
#include "base/buffers.h"
#include "base/sources.h"

namespace velmorin {

constexpr int64_t bgra_header_size = 16;

struct bgra_image {
    uint32_t magic;
    uint32_t unknown;  // never interpreted, never rewritten
    int32_t width;
    int32_t height;
    int32_t bgra_datasize;  // width * height * 4
    int64_t payload_offset;  // where the pixels begin in the archive
    byte_source payload;     // the entry's current pixels, once open_payload() has made them readable
};

// Reads the entry's header at `data_offset` and checks it. Refuses an entry
// whose payload would reach past its own stored data, past the end of the
// file or into the directory. Reads no pixel byte.
bgra_image read_bgra(archive_file& archive, const located_entry& target);

// The one way to the entry's pixels: takes the run's lock on the archive
// (lock_archive()), then makes `img.payload` readable: in place from a
// regular archive, otherwise read whole now. A flow calls it once its input
// is in hand, since a stream input is read whole before the lock.
void open_payload(archive_file& archive, bgra_image& img);

// ---- the spans pixels move in ------------------------------------------------

// Rows of the entry that make a band of about band_bytes (one row at least).
int64_t rows_per_band(const bgra_image& img);

// The entry's pixels move in spans of at most a band: whole rows while a row
// fits in one, otherwise pieces of a row. The length of the span at `at`.
size_t span_length(const bgra_image& img, int64_t at);

// Every span of the entry's pixels, as visit(at, n): in order, or with its
// rows last first (`rows_last_first`, as a BMP stores them; the pieces of a
// wide row still go in order).
template <typename Visit>
void each_span(const bgra_image& img, bool rows_last_first, Visit&& visit) {
    int64_t row = static_cast<int64_t>(img.width) * 4, size = img.bgra_datasize;
    if (!rows_last_first || row == 0) {
        for (int64_t at = 0, n; at < size; at += n) visit(at, n = static_cast<int64_t>(span_length(img, at)));
        return;
    }
    int64_t per_span = row <= band_bytes ? rows_per_band(img) : 1;
    for (int64_t end = img.height, first; end > 0; end = first) {
        first = std::max<int64_t>(0, end - per_span);
        int64_t stop = end * row;
        for (int64_t at = first * row, n; at < stop; at += n)
            visit(at, n = std::min(static_cast<int64_t>(span_length(img, at)), stop - at));
    }
}

// Reads entries' headers in directory order through one buffer. Entries lie
// end to end, so one read brings in the headers of many small ones; a large
// entry's header is read by itself.
struct header_reader {
    byte_buffer buf;
    int64_t start = 0;  // file offset of buf[0]
    int64_t len = 0;
    bool unread = false;  // a header the file holds could not be read
};

// Whether the entry is an image the other modes would take, by the same
// checks, made without a word on the error stream; its header in *img. The
// archive's position does not move. A header that cannot be read is no
// image, with `headers.unread` set: the caller says "Error reading BGRA
// header." rather than take it for another kind of entry.
bool is_image(const archive_file& archive, header_reader& headers, int64_t data_offset, const dir_entry& entry,
              const directory_span& directory, bgra_image* img);

}  // namespace velmorin
