// Writing an entry as an 8-bit RGBA PNG: its rows filtered, then deflated
// into IDAT chunks.
//
// The filters work on the entry's bytes as they are (blue, green, red,
// alpha): each byte is predicted from the same channel of the pixels to its
// left and above, so filtering commutes with reordering a pixel's bytes, and
// the filtered bytes are reordered to red, green, blue, alpha as they go
// out.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "png/png.h"
#include "png/zstream.h"

namespace velmorin {
namespace {

// A filtered byte's cost: the byte taken as signed, made positive.
uint64_t cost(const uint8_t* x, size_t n) {
    uint64_t sum = 0;
    for (size_t k = 0; k < n; ++k) sum += x[k] < 128 ? x[k] : 256u - x[k];
    return sum;
}

// Bytes [0, n) of a row filtered with `type` into `out`; with `left`, the 4
// bytes before `x` and `up` are the pixel to their left. Each filter in a
// loop of its own, which the compiler can keep simple.
void apply(int type, const uint8_t* x, const uint8_t* up, size_t n, bool left, uint8_t* out) {
    size_t k = 0;
    if (!left) {
        // The first pixel has none to its left: as if zeros were there.
        for (; k < 4 && k < n; ++k)
            out[k] = static_cast<uint8_t>(type == 0 || type == 1 ? x[k]
                                          : type == 3           ? x[k] - up[k] / 2
                                                                : x[k] - up[k]);
    }
    switch (type) {
        case 0:
            memcpy(out + k, x + k, n - k);
            break;
        case 1:
            for (; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - x[k - 4]);
            break;
        case 2:
            for (; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - up[k]);
            break;
        case 3:
            for (; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - (x[k - 4] + up[k]) / 2);
            break;
        default:
            for (; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - png_paeth(x[k - 4], up[k], up[k - 4]));
    }
}

// Filtered bytes out in the PNG's order: red, green, blue, alpha.
void reorder(const uint8_t* f, size_t n, uint8_t* line) {
    for (size_t k = 0; k < n; k += 4) {
        line[k] = f[k + 2];
        line[k + 1] = f[k + 1];
        line[k + 2] = f[k];
        line[k + 3] = f[k + 3];
    }
}

}  // namespace

void png_filter_costs(const uint8_t* x, const uint8_t* up, size_t n, bool left, uint8_t* scratch, uint64_t* costs) {
    for (int type = 0; type < 5; ++type) {
        apply(type, x, up, n, left, scratch);
        costs[type] += cost(scratch, n);
    }
}

void png_filter_piece(int type, const uint8_t* x, const uint8_t* up, size_t n, bool left, uint8_t* scratch,
                      uint8_t* out) {
    apply(type, x, up, n, left, scratch);
    reorder(scratch, n, out);
}

int png_least_cost(const uint64_t* costs) {
    int chosen = 0;
    for (int type = 1; type < 5; ++type)
        if (costs[type] < costs[chosen]) chosen = type;
    return chosen;
}

void png_filter_rows(const uint8_t* rows, size_t count, uint32_t width, const uint8_t* before, uint8_t* lines,
                     uint8_t* scratch) {
    size_t n = static_cast<size_t>(width) * 4;
    uint8_t *zeros = scratch, *best = scratch + n, *trial = scratch + 2 * n;
    std::fill_n(zeros, n, uint8_t{0});
    for (size_t r = 0; r < count; ++r) {
        const uint8_t* x = rows + r * n;
        const uint8_t* up = r > 0 ? x - n : before ? before : zeros;
        int chosen = 0;
        apply(0, x, up, n, false, best);
        uint64_t least = cost(best, n);
        for (int type = 1; type <= 4; ++type) {
            apply(type, x, up, n, false, trial);
            uint64_t c = cost(trial, n);
            if (c < least) {
                least = c;
                chosen = type;
                std::swap(best, trial);
            }
        }
        uint8_t* line = lines + r * (n + 1);
        line[0] = static_cast<uint8_t>(chosen);
        reorder(best, n, line + 1);
    }
}

png_writer::png_writer() = default;

png_writer::~png_writer() {
    if (deflating) deflateEnd(&z->s);
}

void png_begin(png_writer& w) {
    w.z = std::make_unique<png_zstream>();
    if (deflateInit(&w.z->s, Z_BEST_SPEED) != Z_OK) fail("Error: out of memory.\n");
    w.deflating = true;
}

size_t png_deflate(png_writer& w, const uint8_t* lines, size_t size, bool last, uint8_t* out, size_t room,
                   size_t* taken) {
    size_t capacity = room - 12;
    // zlib takes its input as it is; it only reads it.
    w.z->s.next_in = const_cast<uint8_t*>(lines);
    w.z->s.avail_in = static_cast<uInt>(size);
    w.z->s.next_out = out + 8;
    w.z->s.avail_out = static_cast<uInt>(capacity);
    while (w.z->s.avail_in > 0 && w.z->s.avail_out > 0) deflate(&w.z->s, Z_NO_FLUSH);
    if (last && w.z->s.avail_in == 0)
        while (!w.ended && w.z->s.avail_out > 0) w.ended = deflate(&w.z->s, Z_FINISH) == Z_STREAM_END;
    *taken = size - w.z->s.avail_in;
    size_t used = capacity - w.z->s.avail_out;
    if (used == 0) return 0;
    png_seal_idat(out, static_cast<uint32_t>(used));
    return used + 12;
}

}  // namespace velmorin
