// The PNG format: its signature and chunks.
//
// A PNG is the 8-byte signature 137 80 78 71 13 10 26 10, then chunks, each
// big-endian:
//   0   4  length   of the data (at most 2^31 - 1)
//   4   4  type     four letters; a capital first letter marks a critical
//                   chunk, which a reader must understand or refuse
//   8   n  data
//   8+n 4  CRC-32   of the type and the data
//
// The chunks the tool reads or writes:
//   IHDR  first, 13 bytes:
//         0  4  width (1 to 2^31 - 1)    4  4  height (1 to 2^31 - 1)
//         8  1  bit depth                9  1  colour type
//         10 1  compression, 0           11 1  filter method, 0
//         12 1  interlace, 0 none or 1 Adam7
//         colour type 0 grey (depth 1, 2, 4, 8, 16), 2 RGB (8, 16),
//         3 palette indices (1, 2, 4, 8), 4 grey and alpha (8, 16),
//         6 RGBA (8, 16)
//   PLTE  before the image data: up to 256 entries of red, green, blue;
//         needed for type 3, allowed (and ignored) for 2 and 6
//   tRNS  before the image data: for type 3, an alpha for each of the first
//         palette entries; for type 0, the transparent grey; for type 2, the
//         transparent red, green, blue (16 bits each)
//   IDAT  one or more in a row: together one zlib stream of the scanlines,
//         each a filter byte (0 none, 1 sub, 2 up, 3 average, 4 Paeth) and
//         the row's samples packed big-endian, first pixel in the high bits
//   IEND  last, empty
// Other chunks are ancillary (gamma, colour profiles, text, ...): their CRC
// is checked and their data ignored.
//
// Adam7 sends seven reduced images, each row filtered on its own:
//   pass   1  2  3  4  5  6  7
//   x0     0  4  0  2  0  1  0      first column
//   y0     0  0  4  0  2  0  1      first row
//   dx     8  8  4  4  2  2  1      step between columns
//   dy     8  8  8  4  4  2  2      step between rows
//
// What the tool writes: IHDR for 8-bit RGBA, not interlaced, IDAT chunks
// and IEND; pixel (x, y) is the entry's bytes 2, 1, 0 and 3 of its row y,
// column x.
#include <cstring>

#include "base/fields.h"
#include "png/png.h"
#include "png/zstream.h"

namespace velmorin {
namespace {

const uint8_t signature[png_signature_size] = {137, 'P', 'N', 'G', 13, 10, 26, 10};

// A chunk of `length` data bytes already in place after its 8-byte head:
// writes the head and the CRC after the data.
void seal_chunk(uint8_t* chunk, const char* type, uint32_t length) {
    write_u32be(chunk, length);
    memcpy(chunk + 4, type, 4);
    uLong crc = crc32(0, chunk + 4, static_cast<uInt>(4 + length));
    write_u32be(chunk + 8 + length, static_cast<uint32_t>(crc));
}

}  // namespace

bool is_png_signature(const uint8_t* bytes) { return memcmp(bytes, signature, sizeof signature) == 0; }

png_place png_pass_place(int pass, uint32_t row) {
    static const uint32_t x0[] = {0, 4, 0, 2, 0, 1, 0}, y0[] = {0, 0, 4, 0, 2, 0, 1};
    static const uint32_t dx[] = {8, 8, 4, 4, 2, 2, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
    int p = pass - 1;
    return png_place{x0[p], y0[p] + row * dy[p], dx[p]};
}

void png_pass_size(const png_header& h, int pass, uint32_t* width, uint32_t* height) {
    if (h.interlace == 0) {
        *width = h.width;
        *height = h.height;
        return;
    }
    static const uint32_t dy[] = {8, 8, 8, 4, 4, 2, 2};
    png_place first = png_pass_place(pass, 0);
    *width = h.width > first.x ? (h.width - first.x + first.step - 1) / first.step : 0;
    *height = h.height > first.y ? (h.height - first.y + dy[pass - 1] - 1) / dy[pass - 1] : 0;
}

uint64_t png_row_count(const png_header& h) {
    uint64_t rows = 0;
    for (int pass = 1; pass <= (h.interlace ? 7 : 1); ++pass) {
        uint32_t width, height;
        png_pass_size(h, pass, &width, &height);
        if (width > 0) rows += height;
    }
    return rows;
}

void png_encode_head(uint32_t width, uint32_t height, uint8_t* out) {
    memcpy(out, signature, sizeof signature);
    uint8_t* ihdr = out + sizeof signature;
    write_u32be(ihdr + 8, width);
    write_u32be(ihdr + 12, height);
    const uint8_t rest[] = {8, 6, 0, 0, 0};  // 8-bit RGBA, deflate, filters, no interlace
    memcpy(ihdr + 16, rest, sizeof rest);
    seal_chunk(ihdr, "IHDR", 13);
}

void png_encode_tail(uint8_t* out) { seal_chunk(out, "IEND", 0); }

// Used by write.cpp to frame its IDAT chunks.
void png_seal_idat(uint8_t* chunk, uint32_t length) { seal_chunk(chunk, "IDAT", length); }

}  // namespace velmorin
