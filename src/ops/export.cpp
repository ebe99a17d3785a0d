// Exporting an entry's pixels as a BMP file any image editor opens the
// right way up:
//
// bmpheader, 14 bytes:  "BM", bfSize = 54 + stride * H, 0, bfOffBits = 54
// bmpinfo, 40 bytes:    biSize 40, biWidth W, biHeight +H (rows bottom-up),
//                       1 plane, 24 bits, BI_RGB, biSizeImage = stride * H,
//                       2835 pixels per metre both ways, no palette
// Then H rows of W pixels of blue, green, red, each row padded with zeros to
// stride = 3W rounded up to a multiple of 4, the entry's last row first.
//
// Each pixel's fourth byte is not exported: pack keeps the entry's own when
// it merges a 24-bit BMP, so a BMP exported from an entry whose width is a
// multiple of 4 packs straight back to the same bytes. Other widths need
// padded rows, which pack's size rules do not take back as the picture.
#include <algorithm>

#include "bmp/bmp.h"
#include "ops/ops.h"
#include "ops/output.h"

namespace velmorin {
namespace {

constexpr int64_t bmp_header_bytes = 54;

// Exported bytes gather in a band, which goes to the writer when full.
struct out_band {
    band_writer& writer;
    uint8_t* bytes;
    size_t len;
};

void make_room(out_band& band, size_t count) {
    if (static_cast<int64_t>(band.len + count) <= band_bytes) return;
    band_filled(band.writer, band.len);
    band.bytes = band_to_fill(band.writer);
    band.len = 0;
}

// Appends `pixels` pixels of four bytes as three.
void put_pixels(out_band& band, const uint8_t* src, size_t pixels) {
    make_room(band, 3 * pixels);
    strip_fourth_bytes(band.bytes + band.len, src, pixels);
    band.len += 3 * pixels;
}

void put_padding(out_band& band, size_t count) {
    make_room(band, count);
    std::fill_n(band.bytes + band.len, count, uint8_t{0});
    band.len += count;
}

}  // namespace

[[noreturn]] void export_entry(const char* output_path, archive_file& archive, int64_t data_offset,
                               const dir_entry& entry) {
    bgra_image img = read_bgra(archive, data_offset, entry);
    int64_t width = img.width, height = img.height;
    int64_t row = width * 4;
    int64_t stride = (width * 3 + 3) / 4 * 4;
    // stride * H is at most W * H * 4, which the entry's checks keep below
    // 2^31: every size fits its 32-bit field.
    int64_t image_size = stride * height;

    output_file out{output_path, {}, false, 0};
    open_output(out, archive, nullptr, bmp_header_bytes + image_size);

    uint8_t header[bmp_header_bytes] = {'B', 'M'};
    write_u32le(header + 2, static_cast<uint32_t>(bmp_header_bytes + image_size));
    write_u32le(header + 10, bmp_header_bytes);
    write_u32le(header + 14, 40);
    write_u32le(header + 18, static_cast<uint32_t>(width));
    write_u32le(header + 22, static_cast<uint32_t>(height));
    write_u16le(header + 26, 1);
    write_u16le(header + 28, 24);
    write_u32le(header + 34, static_cast<uint32_t>(image_size));
    write_u32le(header + 38, 2835);
    write_u32le(header + 42, 2835);
    write_output(out, header, sizeof header);

    // Reading and converting one band overlaps with writing the one before.
    byte_buffer src = alloc_bytes(band_bytes);
    band_writer writer;
    start_bands(writer, out);
    out_band band{writer, band_to_fill(writer), 0};
    size_t padding = static_cast<size_t>(stride - width * 3);
    // A width of 0 has no pixels, however many rows it claims.
    int64_t rows = row > 0 ? height : 0;
    if (row <= band_bytes) {
        // Bands of whole rows, read from the last row up.
        int64_t rows_per_read = row > 0 ? band_bytes / row : 1;
        for (int64_t end = rows, first; end > 0; end = first) {
            first = std::max<int64_t>(0, end - rows_per_read);
            if (!read_source(img.payload, first * row, src.get(), static_cast<size_t>((end - first) * row)))
                bands_failed(writer, img.payload.short_message);
            for (int64_t r = end - 1; r >= first; --r) {
                put_pixels(band, src.get() + (r - first) * row, static_cast<size_t>(width));
                put_padding(band, padding);
            }
        }
    } else {
        // A row longer than a band is read in pieces.
        for (int64_t r = rows - 1; r >= 0; --r) {
            for (int64_t at = 0, piece; at < row; at += piece) {
                piece = std::min(band_bytes, row - at);
                if (!read_source(img.payload, r * row + at, src.get(), static_cast<size_t>(piece)))
                    bands_failed(writer, img.payload.short_message);
                put_pixels(band, src.get(), static_cast<size_t>(piece / 4));
            }
            put_padding(band, padding);
        }
    }
    band_filled(writer, band.len);
    finish_bands(writer);
    close_output(out);

    if (width % 4 != 0)
        trace("Warning: the width is not a multiple of 4, so the rows are padded and pack cannot take this BMP back.\n");
    finish(0);
}

}  // namespace velmorin
