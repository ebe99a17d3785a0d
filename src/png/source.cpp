// A PNG as the pixels pack, --mkxor and --mkpatch take. For a patch, the
// whole file is read once to check it (every chunk, the zlib stream, every
// palette index) before the first pixel is handed out, so no damage found
// half-way can leave a patch partly written; then it is read again, row by
// row. Pack reads it once, row by row as it writes: damage found half-way
// ends the run, and the journal puts the entry back. An interlaced PNG
// sends its rows out of order: its one reading keeps the whole image, in a
// temporary file when it is large.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "png/source.h"

namespace velmorin {
namespace {

const char* colour_names[] = {"grey", "", "RGB", "palette", "grey and alpha", "", "RGBA"};

// Puts the current row of an Adam7 pass where it goes in `image`, a piece
// at a time: all four bytes of each pixel or, without alpha, three.
bool place_pass_row(png_reader& r, byte_source& image, int64_t image_width, uint8_t* pixels, uint8_t* span) {
    png_place at = png_pass_place(r.pass, r.pass_row - 1);
    size_t kept = r.alpha ? 4 : 3, step = at.step;
    // Pixels of the pass whose image span fits in a band.
    uint32_t per_piece = static_cast<uint32_t>((band_bytes / 4 - 1) / static_cast<int64_t>(step) + 1);
    for (uint32_t k = 0, count; k < r.pass_width; k += count) {
        count = std::min(per_piece, r.pass_width - k);
        if (!png_convert(r, k, count, pixels)) return false;
        int64_t first = (static_cast<int64_t>(at.y) * image_width + at.x + static_cast<int64_t>(k) * at.step) * 4;
        size_t n = ((count - 1) * step + 1) * 4;
        if (!read_source(image, first, span, n)) fail("%s", image.short_message);
        for (size_t j = 0; j < count; ++j) memcpy(span + j * step * 4, pixels + 4 * j, kept);
        write_held(image, first, span, n);
    }
    return true;
}

// Reads every row, checking it: and for an interlaced PNG, keeps it in
// `image`, where Adam7 puts it.
bool read_all(png_reader& r, byte_source* image) {
    const png_header& h = r.header;
    byte_buffer pixels, span;
    if (h.interlace) {
        pixels = alloc_bytes(static_cast<size_t>(std::min<int64_t>(band_bytes, int64_t{h.width} * 4)));
        span = alloc_bytes(static_cast<size_t>(std::min<int64_t>(band_bytes, int64_t{h.width} * 4)));
    }
    for (uint64_t left = png_row_count(h); left > 0; --left) {
        if (!png_next_line(r, h.interlace != 0)) return false;
        if (h.interlace && !place_pass_row(r, *image, h.width, pixels.get(), span.get())) return false;
    }
    return png_close(r);
}

}  // namespace

void read_png(archive_file& archive, const file_guard& input, const file_info& info, const uint8_t* start,
              bgra_image& img, png_pixels* pixels) {
    byte_source& file = pixels->file;
    if (!read_whole_input(archive, input, info, start, png_signature_size, &file)) fail("%s", file.short_message);
    open_payload(archive, img);
    pixels->reader = std::make_unique<png_reader>();
    png_reader& first = *pixels->reader;
    if (!png_open(first, file)) fail("Error: damaged PNG: %s.\n", first.damage);
    const png_header& h = first.header;
    if (h.width != static_cast<uint32_t>(img.width) || h.height != static_cast<uint32_t>(img.height))
        fail("Error: the PNG is %ux%u; the entry is %dx%d.\n", h.width, h.height, img.width, img.height);
    trace("Debug: PNG %ux%u, colour type %u (%s), bit depth %u, %s.\n", h.width, h.height, h.colour_type,
          colour_names[h.colour_type], h.bit_depth, h.interlace ? "interlaced" : "not interlaced");
    pixels->alpha = first.alpha;
    pixels->interlaced = h.interlace != 0;
    // An interlaced image is held whole (in a temporary file when large),
    // from the entry's own pixels: a PNG without alpha keeps their fourth
    // bytes.
    if (pixels->interlaced && !hold_copy(img.payload, img.bgra_datasize, &pixels->image))
        fail("%s", img.payload.short_message);
    // Read once, as it is written.
    if (pixels->once && !pixels->interlaced) return;
    if (!read_all(first, &pixels->image)) fail("Error: damaged PNG: %s.\n", first.damage);
    pixels->reader.reset();
}

const char* png_span(png_pixels& pixels, const bgra_image& img, int64_t at, size_t n, uint8_t* out) {
    if (pixels.interlaced) return read_source(pixels.image, at, out, n) ? nullptr : pixels.image.short_message;
    // The entry's own bytes are needed only for the fourth bytes a PNG
    // without alpha leaves alone.
    if (!pixels.alpha && !read_source(img.payload, at, out, n)) return img.payload.short_message;
    const char* again = "Error: the PNG could not be read a second time.\n";
    if (!pixels.reader) {
        pixels.reader = std::make_unique<png_reader>();
        if (!png_open(*pixels.reader, pixels.file, true)) return again;
    }
    png_reader& r = *pixels.reader;
    // Read once: damage shows here, and ends the run.
    auto damaged = [&r] { fail("Error: damaged PNG: %s.\n", r.damage); };
    int64_t row = static_cast<int64_t>(img.width) * 4;
    for (int64_t done = 0, piece; done < static_cast<int64_t>(n); done += piece) {
        int64_t x = (at + done) % row;
        piece = std::min(static_cast<int64_t>(n) - done, row - x);
        if (x == 0 && !png_next_line(r, true)) {
            if (!r.trusted) damaged();
            return again;
        }
        // Checked whole already when read twice: it converts.
        if (!png_convert(r, static_cast<uint32_t>(x / 4), static_cast<uint32_t>(piece / 4), out + done) && !r.trusted)
            damaged();
    }
    if (!r.trusted && at + static_cast<int64_t>(n) == img.bgra_datasize && !png_close(r)) damaged();
    return nullptr;
}

}  // namespace velmorin
