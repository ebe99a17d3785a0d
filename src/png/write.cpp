// Writing an entry as an 8-bit RGBA PNG: each row turned to RGBA, filtered
// with whichever of the five filters leaves the smallest bytes (the usual
// choice, which deflate compresses best), and deflated into IDAT chunks.
#include <algorithm>
#include <cstring>

#include "png/png.h"

namespace velmorin {
namespace {

// The sum of the filtered bytes taken as signed: the smaller, the better
// the row compresses.
uint64_t cost(const uint8_t* x, size_t n) {
    uint64_t sum = 0;
    for (size_t k = 0; k < n; ++k) sum += x[k] < 128 ? x[k] : 256u - x[k];
    return sum;
}

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Filters the RGBA row in w.raw into w.line (filter byte first), against
// w.previous.
void filter_row(png_writer& w, uint8_t* trial) {
    const uint8_t* x = w.raw.get();
    const uint8_t* up = w.previous.get();
    size_t n = static_cast<size_t>(w.width) * 4;
    uint8_t* best = w.line.get() + 1;
    memcpy(best, x, n);
    w.line[0] = 0;
    uint64_t best_cost = cost(best, n);
    for (uint8_t type = 1; type <= 4; ++type) {
        for (size_t k = 0; k < n; ++k) {
            uint8_t left = k >= 4 ? x[k - 4] : 0, corner = k >= 4 ? up[k - 4] : 0;
            uint8_t predicted = type == 1   ? left
                                : type == 2 ? up[k]
                                : type == 3 ? static_cast<uint8_t>((left + up[k]) / 2)
                                            : paeth(left, up[k], corner);
            trial[k] = static_cast<uint8_t>(x[k] - predicted);
        }
        uint64_t c = cost(trial, n);
        if (c < best_cost) {
            best_cost = c;
            memcpy(best, trial, n);
            w.line[0] = type;
        }
    }
}

// The entry's row (blue, green, red, alpha) as RGBA in w.raw.
void to_rgba(png_writer& w, const uint8_t* row) {
    uint8_t* out = w.raw.get();
    for (uint32_t k = 0; k < w.width; ++k, row += 4, out += 4) {
        out[0] = row[2];
        out[1] = row[1];
        out[2] = row[0];
        out[3] = row[3];
    }
}

}  // namespace

png_writer::~png_writer() {
    if (deflating) deflateEnd(&zs);
}

void png_begin(png_writer& w, uint32_t width) {
    w.width = width;
    size_t n = static_cast<size_t>(width) * 4;
    w.line = alloc_bytes(n + 1);
    w.raw = alloc_bytes(n);
    w.previous = alloc_bytes(n);
    w.trial = alloc_bytes(n);
    std::fill_n(w.previous.get(), n, uint8_t{0});
    if (deflateInit(&w.zs, Z_BEST_SPEED) != Z_OK) fail("Error: out of memory.\n");
    w.deflating = true;
    w.zs.avail_in = 0;
}

size_t png_write_rows(png_writer& w, const uint8_t* rows, size_t row_count, bool last, uint8_t* out, size_t room,
                      size_t* rows_done) {
    size_t row_bytes = static_cast<size_t>(w.width) * 4, done = 0;
    size_t capacity = room - 12;
    w.zs.next_out = out + 8;
    w.zs.avail_out = static_cast<uInt>(capacity);
    while (w.zs.avail_out > 0) {
        if (w.zs.avail_in == 0) {
            if (done == row_count) break;
            to_rgba(w, rows + done * row_bytes);
            filter_row(w, w.trial.get());
            std::swap(w.raw, w.previous);
            ++done;
            w.zs.next_in = w.line.get();
            w.zs.avail_in = static_cast<uInt>(row_bytes + 1);
        }
        deflate(&w.zs, Z_NO_FLUSH);
    }
    if (last && done == row_count && w.zs.avail_in == 0)
        while (!w.ended && w.zs.avail_out > 0) w.ended = deflate(&w.zs, Z_FINISH) == Z_STREAM_END;
    *rows_done = done;
    size_t used = capacity - w.zs.avail_out;
    if (used == 0) return 0;
    png_seal_idat(out, static_cast<uint32_t>(used));
    return used + 12;
}

}  // namespace velmorin
