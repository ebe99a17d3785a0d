// A PNG input as the source of an entry's new pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "entry/entry.h"
#include "io/input.h"
#include "png/png.h"

namespace velmorin {

// The pixels of a PNG input, as the entry's rows (source.cpp).
struct png_pixels {
    bool once = false;  // read once, as it is written (pack: the journal undoes damage found half-way)
    byte_source file;
    bool alpha = false;
    bool interlaced = false;
    byte_source image;                   // interlaced: the whole image, from the first reading
    std::unique_ptr<png_reader> reader;  // otherwise: the reading the rows come from, row by row
};

// Reads the PNG input whole (read_whole_input(), its signature read into
// `start`), then opens the entry's pixels (open_payload()) and checks the
// PNG against the entry: its size, then every byte of it, unless it is to
// be read `once` (an interlaced one is read whole all the same). Says what
// it is on the error stream; ends the run if it does not do.
void read_png(archive_file& archive, const file_guard& input, const file_info& info, const uint8_t* start,
              bgra_image& img, png_pixels* pixels);

// The `n` bytes of the entry's payload from `at` (a span; spans asked for
// in order, from 0) as the PNG has them, into `out`: over the entry's own
// bytes, whose fourth bytes stay where the PNG has no alpha. nullptr, or
// the message of what could not be read. Damage in a PNG read `once` ends
// the run ("Error: damaged PNG: ...").
const char* png_span(png_pixels& pixels, const bgra_image& img, int64_t at, size_t n, uint8_t* out);

}  // namespace velmorin
