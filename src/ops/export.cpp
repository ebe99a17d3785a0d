// Exporting an entry's pixels as a BMP file any image editor opens the
// right way up:
//
// bmpheader, 14 bytes:  "BM", bfSize = 54 + stride * H + trailer, 0,
//                       bfOffBits = 54
// bmpinfo, 40 bytes:    biSize 40, biWidth W, biHeight +H (rows bottom-up),
//                       1 plane, 24 or 32 bits, BI_RGB, biSizeImage =
//                       stride * H, 2835 pixels per metre both ways, no
//                       palette
// Then H rows of W pixels, the entry's last row first, and `trailer` zero
// bytes.
//
// 24 bits (any width of 4 or more, and an empty image): blue, green, red,
// each row padded with zeros to stride = 3W rounded up to a multiple of 4.
// Each pixel's fourth byte is not exported: pack keeps the entry's own when
// it merges a 24-bit BMP, so a BMP exported from an entry whose width is a
// multiple of 4 packs straight back to the same bytes. Other widths need
// padded rows, which pack's size rules refuse.
//
// 32 bits (widths 1, 2 and 3): the entry's four bytes as stored, stride =
// 4W. At these widths a padded 24-bit row is exactly 4W bytes, so a 24-bit
// BMP would hold exactly the entry's byte count, which pack takes as 32-bit
// pixels in file order: scrambled. Four trailing bytes (eight, when four
// would make the count equal the entry's stored length) steer pack's size
// rules to taking the first H rows of 4W bytes and reversing them: the
// entry's own bytes, alpha included.
#include <algorithm>
#include <cstring>

#include "bmp/bmp.h"
#include "ops/ops.h"
#include "ops/output.h"

namespace velmorin {
namespace {

constexpr int64_t bmp_header_bytes = 54;

struct bmp_layout {
    uint16_t bits;
    int64_t stride;      // bytes of a stored row
    int64_t padding;     // zero bytes at the end of each row
    int64_t image_size;  // stride * H
    int64_t trailer;     // zero bytes after the rows
};

// stride * H is at most W * H * 4, which the entry's checks keep below
// 2^31: every size fits its 32-bit field.
bmp_layout choose_layout(const bgra_image& img, uint32_t length) {
    int64_t width = img.width, height = img.height;
    if (width >= 1 && width <= 3 && height > 0) {
        int64_t size = width * 4 * height;
        int64_t trailer = size + 4 == static_cast<int64_t>(length) - bgra_header_size ? 8 : 4;
        return bmp_layout{32, width * 4, 0, size, trailer};
    }
    int64_t stride = (width * 3 + 3) / 4 * 4;
    return bmp_layout{24, stride, stride - width * 3, stride * height, 0};
}

void encode_header(uint8_t* header, const bgra_image& img, const bmp_layout& layout) {
    std::fill_n(header, bmp_header_bytes, uint8_t{0});
    header[0] = 'B';
    header[1] = 'M';
    write_u32le(header + 2, static_cast<uint32_t>(bmp_header_bytes + layout.image_size + layout.trailer));
    write_u32le(header + 10, bmp_header_bytes);
    write_u32le(header + 14, 40);
    write_u32le(header + 18, static_cast<uint32_t>(img.width));
    write_u32le(header + 22, static_cast<uint32_t>(img.height));
    write_u16le(header + 26, 1);
    write_u16le(header + 28, layout.bits);
    write_u32le(header + 34, static_cast<uint32_t>(layout.image_size));
    write_u32le(header + 38, 2835);
    write_u32le(header + 42, 2835);
}

// Exported bytes gather in a band, which goes to the writer when full.
struct out_band {
    band_writer& writer;
    uint16_t bits;
    uint8_t* bytes;
    size_t len;
};

void make_room(out_band& band, size_t count) {
    if (static_cast<int64_t>(band.len + count) <= band_bytes) return;
    band_filled(band.writer, band.len);
    band.bytes = band_to_fill(band.writer);
    band.len = 0;
}

// Appends `pixels` pixels of the entry, as three bytes or as four.
void put_pixels(out_band& band, const uint8_t* src, size_t pixels) {
    size_t n = pixels * (band.bits / 8);
    make_room(band, n);
    if (band.bits == 24)
        strip_fourth_bytes(band.bytes + band.len, src, pixels);
    else
        memcpy(band.bytes + band.len, src, n);
    band.len += n;
}

void put_zeros(out_band& band, size_t count) {
    make_room(band, count);
    std::fill_n(band.bytes + band.len, count, uint8_t{0});
    band.len += count;
}

// The rows, the entry's last first, read a band at a time; a row longer than
// a band is read in pieces.
void put_rows(out_band& band, const bgra_image& img, size_t padding, uint8_t* src) {
    int64_t width = img.width;
    int64_t row = width * 4;
    // A width of 0 has no pixels, however many rows it claims.
    int64_t rows = row > 0 ? img.height : 0;
    if (row <= band_bytes) {
        int64_t rows_per_read = row > 0 ? band_bytes / row : 1;
        for (int64_t end = rows, first; end > 0; end = first) {
            first = std::max<int64_t>(0, end - rows_per_read);
            if (!read_source(img.payload, first * row, src, static_cast<size_t>((end - first) * row)))
                bands_failed(band.writer, img.payload.short_message);
            for (int64_t r = end - 1; r >= first; --r) {
                put_pixels(band, src + (r - first) * row, static_cast<size_t>(width));
                put_zeros(band, padding);
            }
        }
        return;
    }
    for (int64_t r = rows - 1; r >= 0; --r) {
        for (int64_t at = 0, piece; at < row; at += piece) {
            piece = std::min(band_bytes, row - at);
            if (!read_source(img.payload, r * row + at, src, static_cast<size_t>(piece)))
                bands_failed(band.writer, img.payload.short_message);
            put_pixels(band, src, static_cast<size_t>(piece / 4));
        }
        put_zeros(band, padding);
    }
}

}  // namespace

[[noreturn]] void export_entry(archive_file& archive, const located_entry& target, const char* output_path) {
    bgra_image img = read_bgra(archive, target);
    lock_archive(archive);
    bmp_layout layout = choose_layout(img, target.entry.length);

    output_file out{output_path, {}, false, 0};
    open_output(out, archive, nullptr, bmp_header_bytes + layout.image_size + layout.trailer);
    uint8_t header[bmp_header_bytes];
    encode_header(header, img, layout);
    write_output(out, header, sizeof header);

    // Reading and converting one band overlaps with writing the one before.
    byte_buffer src = alloc_bytes(band_bytes);
    band_writer writer;
    start_bands(writer, out);
    out_band band{writer, layout.bits, band_to_fill(writer), 0};
    put_rows(band, img, static_cast<size_t>(layout.padding), src.get());
    put_zeros(band, static_cast<size_t>(layout.trailer));
    band_filled(writer, band.len);
    finish_bands(writer);
    close_output(out);

    if (img.width == 0 || img.height == 0)
        trace("Warning: the image is empty (%dx%d), so the BMP holds no pixels; image editors may not open it.\n",
              img.width, img.height);
    else if (layout.bits == 32)
        trace("Warning: the width is less than 4: pack takes this 32-bit BMP back unchanged, but scrambles one that "
              "an image editor saves at this width.\n");
    else if (img.width % 4 != 0)
        trace("Warning: the width is not a multiple of 4, so the rows are padded and pack cannot take this BMP back.\n");
    finish(0);
}

}  // namespace velmorin
