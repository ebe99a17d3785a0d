// The PNG format, both ways: reading every standard form of it into an
// entry's pixels, a row at a time, and writing an entry as 8-bit RGBA. The
// layout is drawn once, in format.cpp; zlib inflates, deflates and sums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/buffers.h"
#include "base/sources.h"

namespace velmorin {

constexpr size_t png_signature_size = 8;

// Whether these 8 bytes are the PNG signature.
bool is_png_signature(const uint8_t* bytes);

// A zlib stream, inflating or deflating (zlib is used only inside png/).
struct png_zstream;

// The Paeth filter's prediction from the bytes to the left, above and above
// left.
inline uint8_t png_paeth(uint8_t a, uint8_t b, uint8_t c) {
    int p = a + b - c, pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

struct png_header {
    uint32_t width;
    uint32_t height;
    uint8_t bit_depth;
    uint8_t colour_type;  // 0 grey, 2 RGB, 3 palette, 4 grey and alpha, 6 RGBA
    uint8_t interlace;    // 0 none, 1 Adam7
};

// ---- reading ------------------------------------------------------------------

// A PNG being read from a byte source: its chunks, its inflated data and its
// scanlines. Not to be copied or moved once opened (zlib keeps its address).
struct png_reader {
    const byte_source* file = nullptr;
    int64_t at = 0;            // the next byte of the file to read
    uint32_t idat_left = 0;    // bytes of the current IDAT chunk still to read
    uint32_t crc = 0;          // of the chunk being read, so far
    bool idat_done = false;    // the run of IDAT chunks has ended
    uint8_t next_type[4] = {}; // the chunk that ended it
    uint32_t next_length = 0;

    png_header header{};
    bool alpha = false;  // the pixels carry alpha: types 4 and 6, or tRNS
    uint8_t palette[256][4] = {};  // blue, green, red, alpha
    int palette_size = 0;
    bool has_trns = false;
    uint16_t trns[3] = {};  // the transparent grey, or red, green, blue

    std::unique_ptr<png_zstream> z;
    bool inflating = false;
    byte_buffer input;  // compressed bytes on their way to zlib

    byte_buffer line;      // the current scanline: its filter byte, then its bytes
    byte_buffer previous;  // the one before, for the filters
    bool unfiltered = false;  // `line` holds the current scanline unfiltered
    size_t line_bytes = 0;
    size_t pixel_bytes = 1;  // bytes per pixel, at least 1, as the filters count them
    int pass = 0;            // the Adam7 pass being read, 1 to 7; 1 when not interlaced
    uint32_t pass_width = 0, pass_height = 0, pass_row = 0;

    const char* damage = nullptr;  // what is wrong, when a call returned false
    bool trusted = false;          // read once already, whole: its CRCs and checksum are not summed again
    uint32_t header_left = 0;      // bytes of the zlib stream's header still to skip, when trusted

    png_reader();
    png_reader(const png_reader&) = delete;
    png_reader& operator=(const png_reader&) = delete;
    ~png_reader();
};

// Reads the signature and the chunks before the image data. False, with
// `damage` set, when they are damaged. `trusted`: a file already read whole
// without fault, read again for its pixels; its CRCs and the zlib stream's
// checksum are not summed again.
[[nodiscard]] bool png_open(png_reader& r, const byte_source& file, bool trusted = false);


// The image's next row, in two steps (of the current Adam7 pass when
// interlaced: then pass_width pixels, at the columns and row
// png_pass_place() gives): the row is inflated (and, `wanted`, unfiltered;
// otherwise only checked), then its pixels [first, first + count) converted
// as an entry's, four bytes each: blue, green, red, and the alpha where the
// PNG has alpha (left as they are otherwise). A caller converts a wide row
// in pieces. False on damage (a palette index past the palette included).
[[nodiscard]] bool png_next_line(png_reader& r, bool wanted);
[[nodiscard]] bool png_convert(png_reader& r, uint32_t first, uint32_t count, uint8_t* pixels);

// After the last row: the image data must end there and the file go on to
// its IEND chunk, every chunk's CRC holding.
[[nodiscard]] bool png_close(png_reader& r);

// Where row `row` of Adam7 pass `pass` (1 to 7) lies: its first pixel's
// column and row in the image, and the step between its pixels.
struct png_place {
    uint32_t x, y, step;
};
png_place png_pass_place(int pass, uint32_t row);

// The pixels across and the rows of pass `pass` (the whole image when not
// interlaced, pass 1); and how many rows png_next_line() gives in all.
void png_pass_size(const png_header& h, int pass, uint32_t* width, uint32_t* height);
uint64_t png_row_count(const png_header& h);

// ---- writing ------------------------------------------------------------------

// The bytes before the image data (signature and IHDR): 33 of them.
constexpr size_t png_head_size = 33;
void png_encode_head(uint32_t width, uint32_t height, uint8_t* out);

// The bytes after it (IEND): 12 of them.
constexpr size_t png_tail_size = 12;
void png_encode_tail(uint8_t* out);

// A scanline of an 8-bit RGBA image `width` pixels wide: its filter byte,
// then its bytes.
inline size_t png_line_bytes(uint32_t width) { return 1 + static_cast<size_t>(width) * 4; }

// The scanlines for `count` entry rows (width * 4 bytes each, the row
// before them `before`, or null for the first): each filtered with
// whichever of the five filters leaves the smallest bytes, the usual choice,
// which deflate packs best. Pure: rows of a band can be filtered on one
// thread while another deflates the band before. `scratch` has room for
// three rows.
void png_filter_rows(const uint8_t* rows, size_t count, uint32_t width, const uint8_t* before, uint8_t* lines,
                     uint8_t* scratch);

// The same for a row wider than a caller holds at once, a piece at a time,
// in two passes: the costs of the five filters summed over every piece,
// then each piece filtered with the least costly (as png_filter_rows()
// chooses), into `out` as the scanline's bytes. A piece is bytes [0, n) of
// the row at `x` and of the row above at `up`; with `left`, the 4 bytes
// before each are the pixel to the left. `scratch` has room for n bytes.
void png_filter_costs(const uint8_t* x, const uint8_t* up, size_t n, bool left, uint8_t* scratch, uint64_t* costs);
int png_least_cost(const uint64_t* costs);
void png_filter_piece(int type, const uint8_t* x, const uint8_t* up, size_t n, bool left, uint8_t* scratch,
                      uint8_t* out);

// The image data being deflated into IDAT chunks in a caller's buffers. Not
// to be copied or moved once begun.
struct png_writer {
    std::unique_ptr<png_zstream> z;
    bool deflating = false;
    bool ended = false;  // the image data is complete

    png_writer();
    png_writer(const png_writer&) = delete;
    png_writer& operator=(const png_writer&) = delete;
    ~png_writer();
};

void png_begin(png_writer& w);

// Deflates scanlines (`size` bytes at `lines`) into one IDAT chunk in `out`
// (`room` bytes, at least 64 KiB), ending the image data after them when
// `last`. Returns the bytes of `out` used (0: no chunk); `*taken` says how
// many bytes of `lines` went in. While bytes are left, or `last` and the
// writer has not `ended`, call again with a fresh `out`.
size_t png_deflate(png_writer& w, const uint8_t* lines, size_t size, bool last, uint8_t* out, size_t room,
                   size_t* taken);

// Frames the `length` bytes after an 8-byte gap at `chunk` as an IDAT chunk,
// its CRC after them.
void png_seal_idat(uint8_t* chunk, uint32_t length);

}  // namespace velmorin
