// Exporting an entry's pixels as a BMP file any image editor opens the right
// way up, and that pack takes back (the BMP room says how: bmp/format.cpp).
#include <algorithm>

#include "bmp/bmp.h"
#include "ops/ops.h"
#include "ops/output.h"

namespace velmorin {
namespace {

// The stored rows, the entry's last first, a band at a time: whole rows
// where a row fits in a band, otherwise pieces of one. Reading and
// converting one band overlaps with writing the one before.
void write_rows(band_writer& writer, const bgra_image& img, const bmp_layout& layout) {
    byte_buffer src = alloc_bytes(band_bytes);
    int64_t row = static_cast<int64_t>(img.width) * 4;
    // A width of 0 has no pixels, however many rows it claims.
    int64_t rows = row > 0 ? img.height : 0;
    if (row <= band_bytes) {
        int64_t rows_per_band = row > 0 ? band_bytes / row : 1;
        for (int64_t end = rows, first; end > 0; end = first) {
            first = std::max<int64_t>(0, end - rows_per_band);
            if (!read_source(img.payload, first * row, src.get(), static_cast<size_t>((end - first) * row)))
                bands_failed(writer, img.payload.short_message);
            encode_rows(layout, src.get(), end - first, band_to_fill(writer));
            band_filled(writer, static_cast<size_t>((end - first) * layout.stride));
        }
        return;
    }
    for (int64_t r = rows - 1; r >= 0; --r) {
        for (int64_t at = 0, piece; at < row; at += piece) {
            piece = std::min(band_bytes, row - at);
            if (!read_source(img.payload, r * row + at, src.get(), static_cast<size_t>(piece)))
                bands_failed(writer, img.payload.short_message);
            uint8_t* band = band_to_fill(writer);
            size_t pixels = static_cast<size_t>(piece / 4), n = pixels * (layout.bits / 8);
            encode_pixels(layout, src.get(), pixels, band);
            // The row's padding ends its last piece (three bytes at most:
            // a piece's pixels take three quarters of a band).
            size_t padding = at + piece == row ? static_cast<size_t>(layout.padding) : 0;
            std::fill_n(band + n, padding, uint8_t{0});
            band_filled(writer, n + padding);
        }
    }
}

void warn_about(const bmp_layout& layout) {
    if (layout.width == 0 || layout.height == 0)
        trace("Warning: the image is empty (%dx%d), so the BMP holds no pixels; image editors may not open it.\n",
              layout.width, layout.height);
    else if (layout.bits == 32)
        trace(
            "Warning: the width is less than 4: pack takes this 32-bit BMP back unchanged, but scrambles one that "
            "an image editor saves at this width.\n");
    else if (layout.width % 4 != 0)
        trace(
            "Warning: the width is not a multiple of 4, so the rows are padded and pack cannot take this BMP back.\n");
}

}  // namespace

[[noreturn]] void export_entry(archive_file& archive, const located_entry& target, const char* output_path) {
    bgra_image img = read_bgra(archive, target);
    lock_archive(archive);
    bmp_layout layout = export_layout(img.width, img.height, target.entry.length);

    output_file out{output_path, {}, false, 0};
    open_output(out, archive, nullptr, layout.file_size);
    uint8_t header[bmp_headers_size];
    encode_bmp_header(layout, header);
    write_output(out, header, sizeof header);

    band_writer writer;
    start_bands(writer, out);
    write_rows(writer, img, layout);
    if (layout.trailer > 0) {
        uint8_t* band = band_to_fill(writer);
        std::fill_n(band, layout.trailer, uint8_t{0});
        band_filled(writer, static_cast<size_t>(layout.trailer));
    }
    finish_bands(writer);
    close_output(out);

    warn_about(layout);
    finish(0);
}

}  // namespace velmorin
