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

#include "png/png.h"

namespace velmorin {
namespace {

// A filtered byte's cost: the byte taken as signed, made positive.
uint64_t cost(const uint8_t* x, size_t n) {
    uint64_t sum = 0;
    for (size_t k = 0; k < n; ++k) sum += x[k] < 128 ? x[k] : 256u - x[k];
    return sum;
}

// One row filtered with `type` into `out`. Each filter in a loop of its own,
// which the compiler can keep simple.
void apply(int type, const uint8_t* x, const uint8_t* up, size_t n, uint8_t* out) {
    switch (type) {
        case 0:
            memcpy(out, x, n);
            break;
        case 1:
            for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - (k >= 4 ? x[k - 4] : 0));
            break;
        case 2:
            for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - up[k]);
            break;
        case 3:
            for (size_t k = 0; k < n; ++k) out[k] = static_cast<uint8_t>(x[k] - ((k >= 4 ? x[k - 4] : 0) + up[k]) / 2);
            break;
        default:
            for (size_t k = 0; k < n; ++k)
                out[k] = static_cast<uint8_t>(x[k] - png_paeth(k >= 4 ? x[k - 4] : 0, up[k], k >= 4 ? up[k - 4] : 0));
    }
}

}  // namespace

void png_filter_rows(const uint8_t* rows, size_t count, uint32_t width, const uint8_t* before, uint8_t* lines) {
    size_t n = static_cast<size_t>(width) * 4;
    byte_buffer zeros = alloc_bytes(n), best = alloc_bytes(n), trial = alloc_bytes(n);
    std::fill_n(zeros.get(), n, uint8_t{0});
    for (size_t r = 0; r < count; ++r) {
        const uint8_t* x = rows + r * n;
        const uint8_t* up = r > 0 ? x - n : before ? before : zeros.get();
        int chosen = 0;
        apply(0, x, up, n, best.get());
        uint64_t least = cost(best.get(), n);
        for (int type = 1; type <= 4; ++type) {
            apply(type, x, up, n, trial.get());
            uint64_t c = cost(trial.get(), n);
            if (c < least) {
                least = c;
                chosen = type;
                std::swap(best, trial);
            }
        }
        uint8_t* line = lines + r * (n + 1);
        line[0] = static_cast<uint8_t>(chosen);
        const uint8_t* f = best.get();
        for (size_t k = 0; k < n; k += 4) {
            line[1 + k] = f[k + 2];
            line[2 + k] = f[k + 1];
            line[3 + k] = f[k];
            line[4 + k] = f[k + 3];
        }
    }
}

png_writer::~png_writer() {
    if (deflating) deflateEnd(&zs);
}

void png_begin(png_writer& w) {
    if (deflateInit(&w.zs, Z_BEST_SPEED) != Z_OK) fail("Error: out of memory.\n");
    w.deflating = true;
}

size_t png_deflate(png_writer& w, const uint8_t* lines, size_t size, bool last, uint8_t* out, size_t room,
                   size_t* taken) {
    size_t capacity = room - 12;
    // zlib takes its input as it is; it only reads it.
    w.zs.next_in = const_cast<uint8_t*>(lines);
    w.zs.avail_in = static_cast<uInt>(size);
    w.zs.next_out = out + 8;
    w.zs.avail_out = static_cast<uInt>(capacity);
    while (w.zs.avail_in > 0 && w.zs.avail_out > 0) deflate(&w.zs, Z_NO_FLUSH);
    if (last && w.zs.avail_in == 0)
        while (!w.ended && w.zs.avail_out > 0) w.ended = deflate(&w.zs, Z_FINISH) == Z_STREAM_END;
    *taken = size - w.zs.avail_in;
    size_t used = capacity - w.zs.avail_out;
    if (used == 0) return 0;
    png_seal_idat(out, static_cast<uint32_t>(used));
    return used + 12;
}

}  // namespace velmorin
