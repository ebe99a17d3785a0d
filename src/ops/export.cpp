// Exporting an entry's pixels as a BMP or PNG file any image editor opens
// the right way up, and that pack takes back (the format rooms say how:
// bmp/format.cpp, png/format.cpp).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <thread>

#include "base/failure.h"
#include "base/trace.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/bmp.h"
#include "io/output.h"
#include "ops/export.h"
#include "ops/ops.h"
#include "png/png.h"
#include "png/source.h"

namespace velmorin {
namespace {

// The stored rows, the entry's last first, a span at a time (whole rows
// where a row fits in a band, otherwise pieces of one). Reading and
// converting one span overlaps with writing the one before.
void write_rows(band_writer& writer, const bgra_image& img, const bmp_layout& layout, byte_buffer& src) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    each_span(img, true, [&](int64_t at, int64_t n) {
        if (!read_source(img.payload, at, src.get(), static_cast<size_t>(n)))
            bands_failed(writer, img.payload.short_message);
        uint8_t* band = band_to_fill(writer);
        if (row <= band_bytes) {
            encode_rows(layout, src.get(), n / row, band);
            return band_filled(writer, static_cast<size_t>(n / row * layout.stride));
        }
        size_t pixels = static_cast<size_t>(n / 4), bytes = pixels * (layout.bits / 8);
        encode_pixels(layout, src.get(), pixels, band);
        // The row's padding ends its last piece (three bytes at most: a
        // piece's pixels take three quarters of a band).
        size_t padding = (at + n) % row == 0 ? static_cast<size_t>(layout.padding) : 0;
        std::fill_n(band + bytes, padding, uint8_t{0});
        band_filled(writer, bytes + padding);
    });
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
    byte_buffer scratch;  // three rows, for the filters
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
                    band->lines.get(), band->scratch.get());
}

// Deflates `size` bytes of scanlines into the output's bands, ending the
// image data after them when `last`.
void deflate_into(band_writer& writer, png_writer& png, const uint8_t* lines, size_t size, bool last) {
    for (size_t done = 0, taken; done < size || (last && !png.ended); done += taken) {
        uint8_t* out = band_to_fill(writer);
        size_t used = png_deflate(png, lines + done, size - done, last, out, static_cast<size_t>(band_bytes), &taken);
        if (used > 0) band_filled(writer, used);
    }
}

// The bands of rows on their way into a PNG, made before the output is
// opened: rows that fit in a band go a band of rows at a time.
struct png_rows {
    int64_t rows_per_band;
    png_band bands[2];
};

void make_png_rows(const bgra_image& img, png_rows* rows) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    rows->rows_per_band = velmorin::rows_per_band(img);
    for (png_band& b : rows->bands) {
        b.raw = alloc_bytes(static_cast<size_t>(rows->rows_per_band * row));
        b.lines = alloc_bytes(static_cast<size_t>(rows->rows_per_band) * png_line_bytes(static_cast<uint32_t>(img.width)));
        b.scratch = alloc_bytes(static_cast<size_t>(3 * row));
    }
}

// The rows as PNG image data, a span of rows at a time: each span is read
// and filtered on a thread of its own while the one before deflates, and
// the band writer's thread writes what came out. Whether any pixel's alpha
// is not 0.
bool write_png_rows(band_writer& writer, png_writer& png, const bgra_image& img, png_rows& rows) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    size_t line = png_line_bytes(static_cast<uint32_t>(img.width));
    uint8_t alpha = 0;
    png_band* before = nullptr;  // read and filtered, not yet deflated
    auto deflate_band = [&](png_band& band, bool last) {
        if (band.failed) bands_failed(writer, band.failed);
        alpha |= band.alpha;
        deflate_into(writer, png, band.lines.get(), static_cast<size_t>(band.count) * line, last);
    };
    each_span(img, false, [&](int64_t at, int64_t n) {
        png_band& band = rows.bands[before == &rows.bands[0] ? 1 : 0];
        const uint8_t* above = before ? before->raw.get() + (before->count - 1) * row : nullptr;
        auto prepare = [&img, &band, at, n, row, above] { prepare_band(img, at / row, n / row, above, &band); };
        std::jthread ahead;  // joined however this span ends
        // Without a thread for it, the span is made first.
        try {
            if (before) ahead = std::jthread(prepare);
        } catch (const std::exception&) {
        }
        if (!ahead.joinable()) prepare();
        if (before) deflate_band(*before, false);
        before = &band;
    });
    if (before) deflate_band(*before, true);
    return alpha != 0;
}

// A row wider than a band, read a piece at a time, each with the pixel to
// its left: once to sum the filters' costs, once to filter and deflate it.
struct wide_row {
    byte_buffer here, above, scratch, line;
};

void make_wide_row(wide_row* w) {
    size_t room = static_cast<size_t>(band_bytes) + 4;
    w->here = alloc_bytes(room);
    w->above = alloc_bytes(room);
    w->scratch = alloc_bytes(room);
    w->line = alloc_bytes(room);
}

// Reads bytes [at, at + n) of row y and of the row above (zeros for the
// first row), each after the 4 bytes to their left when at > 0.
void read_piece(band_writer& writer, const bgra_image& img, int64_t y, int64_t at, size_t n, wide_row& w) {
    int64_t row = static_cast<int64_t>(img.width) * 4, left = at > 0 ? 4 : 0;
    size_t count = n + static_cast<size_t>(left);
    if (!read_source(img.payload, y * row + at - left, w.here.get() + 4 - left, count))
        bands_failed(writer, img.payload.short_message);
    if (y == 0)
        std::fill_n(w.above.get(), static_cast<size_t>(band_bytes) + 4, uint8_t{0});
    else if (!read_source(img.payload, (y - 1) * row + at - left, w.above.get() + 4 - left, count))
        bands_failed(writer, img.payload.short_message);
}

bool write_wide_png_rows(band_writer& writer, png_writer& png, const bgra_image& img, wide_row& w) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    uint8_t alpha = 0;
    for (int64_t y = 0; y < img.height; ++y) {
        uint64_t costs[5] = {0, 0, 0, 0, 0};
        for (int64_t at = 0, n; at < row; at += n) {
            n = std::min(band_bytes, row - at);
            read_piece(writer, img, y, at, static_cast<size_t>(n), w);
            for (int64_t k = 3; k < n; k += 4) alpha |= w.here[static_cast<size_t>(4 + k)];
            png_filter_costs(w.here.get() + 4, w.above.get() + 4, static_cast<size_t>(n), at > 0, w.scratch.get(),
                             costs);
        }
        int type = png_least_cost(costs);
        for (int64_t at = 0, n; at < row; at += n) {
            n = std::min(band_bytes, row - at);
            read_piece(writer, img, y, at, static_cast<size_t>(n), w);
            size_t start = at == 0 ? 1 : 0;
            w.line[0] = static_cast<uint8_t>(type);
            png_filter_piece(type, w.here.get() + 4, w.above.get() + 4, static_cast<size_t>(n), at > 0,
                             w.scratch.get(), w.line.get() + start);
            deflate_into(writer, png, w.line.get(), static_cast<size_t>(n) + start,
                         y + 1 == img.height && at + n == row);
        }
    }
    return alpha != 0;
}

// A PNG, 8-bit RGBA. Its size is not known before it is written, so an
// existing output is emptied first: a run stopped half-way leaves a PNG cut
// short, which pack refuses. Everything it needs is had before the output
// is opened.
}  // namespace

bool write_png(const bgra_image& img, output_file& out, const std::function<void(output_file&)>& open) {
    bool wide = static_cast<int64_t>(img.width) * 4 > band_bytes;
    png_rows rows;
    wide_row w;
    if (wide)
        make_wide_row(&w);
    else
        make_png_rows(img, &rows);
    band_writer writer;
    png_writer png;
    png_begin(png);

    open(out);
    uint8_t head[png_head_size];
    png_encode_head(static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), head);
    write_output(out, head, sizeof head);
    start_bands(writer, out);
    bool alpha = wide ? write_wide_png_rows(writer, png, img, w) : write_png_rows(writer, png, img, rows);
    png_encode_tail(band_to_fill(writer));
    band_filled(writer, png_tail_size);
    finish_bands(writer);
    close_output(out);
    return alpha;
}

namespace {

void export_png(archive_file& archive, const bgra_image& img, const char* output_path) {
    if (img.width == 0 || img.height == 0)
        fail("Error: an image of %dx%d pixels cannot be a PNG; export it as a BMP.\n", img.width, img.height);
    output_file out{output_path, {}, false, 0};
    if (!write_png(img, out, [&](output_file& o) { open_output(o, archive, nullptr, 1); }))
        trace("Warning: every pixel's alpha is 0, so viewers show this PNG as fully transparent; its colours are all "
              "there.\n");
}

}  // namespace

void export_entry(archive_file& archive, const located_entry& target, const char* output_path) {
    bgra_image img = read_bgra(archive, target);
    open_payload(archive, img);
    if (names_png(output_path)) return export_png(archive, img, output_path);
    bmp_layout layout = export_layout(img.width, img.height, target.entry.length);

    // Everything it needs is had before the output is opened.
    band_writer writer;
    byte_buffer rows = alloc_bytes(band_bytes);
    output_file out{output_path, {}, false, 0};
    open_output(out, archive, nullptr, layout.file_size);
    uint8_t header[bmp_headers_size];
    encode_bmp_header(layout, header);
    write_output(out, header, sizeof header);
    start_bands(writer, out);
    write_rows(writer, img, layout, rows);
    if (layout.trailer > 0) {
        uint8_t* band = band_to_fill(writer);
        std::fill_n(band, layout.trailer, uint8_t{0});
        band_filled(writer, static_cast<size_t>(layout.trailer));
    }
    finish_bands(writer);
    close_output(out);

    warn_about(layout);
}

}  // namespace velmorin
