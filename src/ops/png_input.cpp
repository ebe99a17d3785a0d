// A PNG as the pixels pack, --mkxor and --mkpatch take: the whole file is
// read once to check it (every chunk, the zlib stream, every palette index)
// before the first pixel is handed out, so no damage found half-way can
// leave an entry or a patch partly written; then it is read again, row by
// row. An interlaced PNG sends its rows out of order: its first reading
// keeps the whole image instead.
#include <algorithm>
#include <cstring>

#include "ops/ops.h"
#include "png/png.h"

namespace velmorin {
namespace {

const char* colour_names[] = {"grey", "", "RGB", "palette", "grey and alpha", "", "RGBA"};

// Reads every row: into `image` (width * 4 bytes a row) when given, where
// Adam7 puts it, all four bytes of a pixel or, without alpha, three;
// otherwise into one row's room, and dropped.
bool read_all(png_reader& r, uint8_t* image) {
    const png_header& h = r.header;
    size_t image_row = static_cast<size_t>(h.width) * 4, kept = r.alpha ? 4 : 3;
    byte_buffer row = alloc_bytes(image ? image_row : 0);
    for (uint64_t left = png_row_count(h); left > 0; --left) {
        if (!png_read_row(r, image ? row.get() : nullptr)) return false;
        if (!image) continue;
        png_place at = h.interlace ? png_pass_place(r.pass, r.pass_row - 1) : png_place{0, r.pass_row - 1, 1};
        uint8_t* dst = image + static_cast<size_t>(at.y) * image_row + static_cast<size_t>(at.x) * 4;
        for (uint32_t k = 0; k < r.pass_width; ++k) memcpy(dst + static_cast<size_t>(k) * at.step * 4, row.get() + 4 * k, kept);
    }
    return png_close(r);
}

}  // namespace

void take_png(archive_file& archive, const file_guard& input, const file_info& info, const uint8_t* start,
              const bgra_image& img, png_pixels* pixels) {
    byte_source& file = pixels->file;
    if (!take_whole_input(archive, input, info, start, png_signature_size, &file)) fail("%s", file.short_message);
    png_reader first;
    if (!png_open(first, file)) fail("Error: damaged PNG: %s.\n", first.damage);
    const png_header& h = first.header;
    if (h.width != static_cast<uint32_t>(img.width) || h.height != static_cast<uint32_t>(img.height))
        fail("Error: the PNG is %ux%u; the entry is %dx%d.\n", h.width, h.height, img.width, img.height);
    trace("Debug: PNG %ux%u, colour type %u (%s), bit depth %u, %s.\n", h.width, h.height, h.colour_type,
          colour_names[h.colour_type], h.bit_depth, h.interlace ? "interlaced" : "not interlaced");
    pixels->alpha = first.alpha;
    if (h.interlace) {
        // Held whole, from the entry's own pixels: a PNG without alpha keeps
        // their fourth bytes.
        pixels->image = alloc_bytes(static_cast<size_t>(img.bgra_datasize));
        if (!read_source(img.payload, 0, pixels->image.get(), static_cast<size_t>(img.bgra_datasize)))
            fail("%s", img.payload.short_message);
    }
    if (!read_all(first, pixels->image.get())) fail("Error: damaged PNG: %s.\n", first.damage);
}

int64_t rows_per_band(const bgra_image& img) {
    return std::max<int64_t>(1, band_bytes / std::max<int64_t>(static_cast<int64_t>(img.width) * 4, 1));
}

size_t span_length(const bgra_image& img, int64_t at) {
    int64_t row = static_cast<int64_t>(img.width) * 4;
    int64_t n = row <= band_bytes ? rows_per_band(img) * row : std::min(band_bytes, row - at % row);
    return static_cast<size_t>(std::min<int64_t>(n, img.bgra_datasize - at));
}

const char* png_span(png_pixels& pixels, const bgra_image& img, int64_t at, size_t n, uint8_t* out) {
    if (pixels.image) {
        memcpy(out, pixels.image.get() + at, n);
        return nullptr;
    }
    // The entry's own bytes are needed only for the fourth bytes a PNG
    // without alpha leaves alone.
    if (!pixels.alpha && !read_source(img.payload, at, out, n)) return img.payload.short_message;
    const char* again = "Error: the PNG could not be read a second time.\n";
    if (at == 0) {
        pixels.reader = std::make_unique<png_reader>();
        if (!png_open(*pixels.reader, pixels.file, true)) return again;
    }
    int64_t row = static_cast<int64_t>(img.width) * 4;
    for (int64_t done = 0, piece; done < static_cast<int64_t>(n); done += piece) {
        int64_t x = (at + done) % row;
        piece = std::min(static_cast<int64_t>(n) - done, row - x);
        if (x == 0 && !png_next_line(*pixels.reader, true)) return again;
        png_convert(*pixels.reader, static_cast<uint32_t>(x / 4), static_cast<uint32_t>(piece / 4), out + done);
    }
    return nullptr;
}

}  // namespace velmorin
