// Exporting an entry's pixels as a BMP or PNG file any image editor opens
// the right way up, and that pack takes back (the format rooms say how:
// bmp/format.cpp, png/format.cpp).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <thread>

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

bool names_png(const char* path) {
    size_t n = strlen(path);
    if (n < 4 || path[n - 4] != '.') return false;
    const char* suffix = path + n - 3;
    return tolower(static_cast<unsigned char>(suffix[0])) == 'p' &&
           tolower(static_cast<unsigned char>(suffix[1])) == 'n' && tolower(static_cast<unsigned char>(suffix[2])) == 'g';
}

// A band of the image's rows on its way into a PNG: read, then filtered.
struct png_band {
    byte_buffer raw;
    byte_buffer lines;
    int64_t count = 0;
    const char* failed = nullptr;
    uint8_t alpha = 0;  // the band's alpha bytes ORed together
};

// Reads the band of rows from `first` and filters it, the last row of the
// band before it (if any) at `before`.
void prepare_band(const bgra_image& img, int64_t first, int64_t count, const uint8_t* before, png_band* band) {
    size_t row = static_cast<size_t>(img.width) * 4, n = static_cast<size_t>(count) * row;
    band->count = count;
    if (!read_source(img.payload, first * static_cast<int64_t>(row), band->raw.get(), n)) {
        band->failed = img.payload.short_message;
        return;
    }
    for (size_t k = 3; k < n; k += 4) band->alpha |= band->raw[k];
    png_filter_rows(band->raw.get(), static_cast<size_t>(count), static_cast<uint32_t>(img.width), before,
                    band->lines.get());
}

// The rows as PNG image data, in bands: the next band is read and filtered
// on a thread of its own while this one deflates the band before, and the
// band writer's thread writes what came out. Whether any pixel's alpha is
// not 0.
bool write_png_rows(band_writer& writer, const bgra_image& img) {
    int64_t row = static_cast<int64_t>(img.width) * 4, height = img.height;
    int64_t rows_per_band = velmorin::rows_per_band(img);
    png_band bands[2];
    for (png_band& b : bands) {
        b.raw = alloc_bytes(static_cast<size_t>(rows_per_band * row));
        b.lines = alloc_bytes(static_cast<size_t>(rows_per_band) * png_line_bytes(static_cast<uint32_t>(img.width)));
    }
    png_writer png;
    png_begin(png);
    prepare_band(img, 0, std::min(rows_per_band, height), nullptr, &bands[0]);
    uint8_t alpha = 0;
    for (int64_t first = 0, slot = 0; first < height; first += rows_per_band, slot ^= 1) {
        png_band& band = bands[slot];
        if (band.failed) bands_failed(writer, band.failed);
        alpha |= band.alpha;
        int64_t next = first + band.count;
        std::thread ahead;
        if (next < height) {
            auto prepare_next = [&, next] {
                prepare_band(img, next, std::min(rows_per_band, height - next), band.raw.get() + (band.count - 1) * row,
                             &bands[slot ^ 1]);
            };
            // Without a thread for it, the next band is made first.
            try {
                ahead = std::thread(prepare_next);
            } catch (const std::exception&) {
                prepare_next();
            }
        }
        size_t size = static_cast<size_t>(band.count) * png_line_bytes(static_cast<uint32_t>(img.width));
        for (size_t done = 0, taken; done < size || (next == height && !png.ended); done += taken) {
            uint8_t* out = band_to_fill(writer);
            size_t used = png_deflate(png, band.lines.get() + done, size - done, next == height, out,
                                      static_cast<size_t>(band_bytes), &taken);
            if (used > 0) band_filled(writer, used);
        }
        if (ahead.joinable()) ahead.join();
    }
    png_encode_tail(band_to_fill(writer));
    band_filled(writer, png_tail_size);
    return alpha != 0;
}

// A PNG, 8-bit RGBA. Its size is not known before it is written, so an
// existing output is emptied first: a run stopped half-way leaves a PNG cut
// short, which pack refuses.
[[noreturn]] void export_png(archive_file& archive, const bgra_image& img, const char* output_path) {
    if (img.width == 0 || img.height == 0)
        fail("Error: an image of %dx%d pixels cannot be a PNG; export it as a BMP.\n", img.width, img.height);
    output_file out{output_path, {}, false, 0};
    open_output(out, archive, nullptr, 1);
    uint8_t head[png_head_size];
    png_encode_head(static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), head);
    write_output(out, head, sizeof head);
    band_writer writer;
    start_bands(writer, out);
    bool alpha = write_png_rows(writer, img);
    finish_bands(writer);
    close_output(out);
    if (!alpha)
        trace("Warning: every pixel's alpha is 0, so viewers show this PNG as fully transparent; its colours are all "
              "there.\n");
    finish(0);
}

}  // namespace

[[noreturn]] void export_entry(archive_file& archive, const located_entry& target, const char* output_path) {
    bgra_image img = read_bgra(archive, target);
    lock_archive(archive);
    if (names_png(output_path)) export_png(archive, img, output_path);
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
