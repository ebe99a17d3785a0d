// Reading a PNG into an entry's pixels: the chunks before the image data,
// then the inflated scanlines one at a time, unfiltered and converted, then
// the chunks after it. Every damage is a false return with `damage` saying
// what, a few words.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/fields.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "png/png.h"
#include "png/zstream.h"

namespace velmorin {
namespace {

constexpr size_t input_size = 64 * 1024;

bool damaged(png_reader& r, const char* what) {
    r.damage = what;
    return false;
}

bool is_type(const uint8_t* type, const char* name) { return memcmp(type, name, 4) == 0; }

// Reads `count` bytes of the file into `dst`, adding them to the chunk's CRC.
bool take(png_reader& r, uint8_t* dst, size_t count) {
    if (count > 0 && !read_source(*r.file, r.at, dst, count)) return damaged(r, "ends early");
    r.at += static_cast<int64_t>(count);
    if (!r.trusted) r.crc = static_cast<uint32_t>(crc32(r.crc, dst, static_cast<uInt>(count)));
    return true;
}

// A chunk's length and type; starts its CRC.
bool chunk_head(png_reader& r, uint32_t* length, uint8_t* type) {
    uint8_t head[8];
    if (!read_source(*r.file, r.at, head, sizeof head)) return damaged(r, "ends early");
    r.at += 8;
    *length = read_u32be(head);
    memcpy(type, head + 4, 4);
    if (*length > 0x7fffffffu) return damaged(r, "chunk length");
    r.crc = static_cast<uint32_t>(crc32(0, type, 4));
    return true;
}

bool chunk_end(png_reader& r) {
    uint8_t stored[4];
    if (!read_source(*r.file, r.at, stored, sizeof stored)) return damaged(r, "ends early");
    r.at += 4;
    return r.trusted || read_u32be(stored) == r.crc || damaged(r, "chunk CRC");
}

// Reads and checks the data of a chunk the tool has no use for.
bool skip_chunk(png_reader& r, uint32_t length) {
    uint8_t piece[4096];
    for (uint32_t left = length; left > 0;) {
        uint32_t n = std::min<uint32_t>(left, sizeof piece);
        if (!take(r, piece, n)) return false;
        left -= n;
    }
    return chunk_end(r);
}

bool valid_depth(uint8_t type, uint8_t depth) {
    switch (type) {
        case 0:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3:
            return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2:
        case 4:
        case 6:
            return depth == 8 || depth == 16;
        default:
            return false;
    }
}

uint32_t channels(uint8_t type) { return type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4; }

bool read_ihdr(png_reader& r) {
    uint32_t length;
    uint8_t type[4], data[13];
    if (!chunk_head(r, &length, type)) return false;
    if (!is_type(type, "IHDR")) return damaged(r, "no IHDR first");
    if (length != 13) return damaged(r, "IHDR length is not 13");
    if (!take(r, data, sizeof data) || !chunk_end(r)) return false;
    png_header& h = r.header;
    h = png_header{read_u32be(data), read_u32be(data + 4), data[8], data[9], data[12]};
    if (h.width == 0 || h.height == 0 || h.width > 0x7fffffffu || h.height > 0x7fffffffu ||
        !valid_depth(h.colour_type, h.bit_depth) || data[10] != 0 || data[11] != 0 || h.interlace > 1)
        return damaged(r, "bad IHDR");
    r.alpha = h.colour_type == 4 || h.colour_type == 6;
    return true;
}

bool read_plte(png_reader& r, uint32_t length) {
    if (r.palette_size > 0 || length % 3 != 0 || length / 3 > 256 || length == 0 || r.header.colour_type == 0 ||
        r.header.colour_type == 4)
        return damaged(r, "bad PLTE");
    uint8_t rgb[3];
    for (uint32_t k = 0; k < length / 3; ++k) {
        if (!take(r, rgb, 3)) return false;
        uint8_t* entry = r.palette[k];
        entry[0] = rgb[2];
        entry[1] = rgb[1];
        entry[2] = rgb[0];
        entry[3] = 255;
    }
    r.palette_size = static_cast<int>(length / 3);
    return chunk_end(r);
}

bool read_trns(png_reader& r, uint32_t length) {
    uint8_t type = r.header.colour_type;
    // Types 4 and 6 carry their own alpha: a tRNS there says nothing.
    if (type == 4 || type == 6) return skip_chunk(r, length);
    if (r.has_trns || (type == 3 && static_cast<int>(length) > r.palette_size) || (type == 0 && length != 2) ||
        (type == 2 && length != 6))
        return damaged(r, "bad tRNS");
    uint8_t data[256];
    if (!take(r, data, length) || !chunk_end(r)) return false;
    if (type == 3)
        for (uint32_t k = 0; k < length; ++k) r.palette[k][3] = data[k];
    else
        for (uint32_t k = 0; k < length / 2; ++k) r.trns[k] = static_cast<uint16_t>(data[2 * k] << 8 | data[2 * k + 1]);
    r.has_trns = true;
    r.alpha = true;
    return true;
}

// The chunks up to the first IDAT.
bool read_chunks_before_data(png_reader& r) {
    for (;;) {
        uint32_t length;
        uint8_t type[4];
        if (!chunk_head(r, &length, type)) return false;
        if (is_type(type, "IDAT")) {
            r.idat_left = length;
            return true;
        }
        bool ok = is_type(type, "PLTE")   ? read_plte(r, length)
                  : is_type(type, "tRNS") ? read_trns(r, length)
                  : is_type(type, "IEND") ? damaged(r, "no image data")
                  : is_type(type, "IHDR") ? damaged(r, "second IHDR")
                  : (type[0] & 0x20)      ? skip_chunk(r, length)
                                          : damaged(r, "unknown critical chunk");
        if (!ok) return false;
    }
}

// More compressed bytes for zlib, from this IDAT chunk or the next ones.
// False at the end of the IDAT chunks (idat_done) or on damage.
bool refill(png_reader& r) {
    while (r.idat_left == 0) {
        if (r.idat_done || !chunk_end(r)) return false;
        uint32_t length;
        uint8_t type[4];
        if (!chunk_head(r, &length, type)) return false;
        if (!is_type(type, "IDAT")) {
            r.idat_done = true;
            memcpy(r.next_type, type, 4);
            r.next_length = length;
            return false;
        }
        r.idat_left = length;
    }
    uint32_t n = std::min<uint32_t>(r.idat_left, static_cast<uint32_t>(input_size));
    if (!take(r, r.input.get(), n)) return false;
    r.idat_left -= n;
    // A trusted reading inflates the raw deflate data: past the stream's
    // 2-byte header, without its checksum.
    uint32_t skip = std::min(n, r.header_left);
    r.header_left -= skip;
    r.z->s.next_in = r.input.get() + skip;
    r.z->s.avail_in = n - skip;
    return true;
}

// Inflates exactly `count` bytes into `dst`.
bool inflate_into(png_reader& r, uint8_t* dst, size_t count) {
    r.z->s.next_out = dst;
    r.z->s.avail_out = static_cast<uInt>(count);
    // zlib may hold output back for want of room: it is asked first, and
    // given more input only when it has none left.
    while (r.z->s.avail_out > 0) {
        int result = inflate(&r.z->s, Z_NO_FLUSH);
        if (result == Z_STREAM_END) return r.z->s.avail_out == 0 || damaged(r, "too little image data");
        if (result != Z_OK && result != Z_BUF_ERROR) return damaged(r, "bad zlib data");
        if (r.z->s.avail_out > 0 && r.z->s.avail_in == 0 && !refill(r))
            return r.damage ? false : damaged(r, "too little image data");
    }
    return true;
}

// Sets up the scanlines of the next pass that has any pixels; false after
// the last.
bool next_pass(png_reader& r) {
    const png_header& h = r.header;
    for (;;) {
        if (++r.pass > (h.interlace ? 7 : 1)) return false;
        png_pass_size(h, r.pass, &r.pass_width, &r.pass_height);
        r.pass_row = 0;
        r.line_bytes = static_cast<size_t>((static_cast<uint64_t>(r.pass_width) * channels(h.colour_type) * h.bit_depth + 7) / 8);
        std::fill_n(r.previous.get(), r.line_bytes + 1, uint8_t{0});
        if (r.pass_width > 0 && r.pass_height > 0) return true;
        if (h.interlace == 0) return false;
    }
}

bool unfilter(png_reader& r) {
    uint8_t* x = r.line.get() + 1;
    const uint8_t* up = r.previous.get() + 1;
    size_t n = r.line_bytes, bpp = r.pixel_bytes;
    switch (r.line[0]) {
        case 0:
            break;
        case 1:
            for (size_t k = bpp; k < n; ++k) x[k] = static_cast<uint8_t>(x[k] + x[k - bpp]);
            break;
        case 2:
            for (size_t k = 0; k < n; ++k) x[k] = static_cast<uint8_t>(x[k] + up[k]);
            break;
        case 3:
            for (size_t k = 0; k < n; ++k) x[k] = static_cast<uint8_t>(x[k] + ((k >= bpp ? x[k - bpp] : 0) + up[k]) / 2);
            break;
        case 4:
            for (size_t k = 0; k < n; ++k)
                x[k] = static_cast<uint8_t>(x[k] + png_paeth(k >= bpp ? x[k - bpp] : 0, up[k], k >= bpp ? up[k - bpp] : 0));
            break;
        default:
            return damaged(r, "bad filter type");
    }
    return true;
}

// Sample `k` of the scanline at the image's depth.
uint16_t sample(const uint8_t* x, size_t k, int depth) {
    switch (depth) {
        case 16:
            return static_cast<uint16_t>(x[2 * k] << 8 | x[2 * k + 1]);
        case 8:
            return x[k];
        default: {
            size_t bit = k * static_cast<size_t>(depth);
            int shift = 8 - depth - static_cast<int>(bit % 8);
            return static_cast<uint16_t>((x[bit / 8] >> shift) & ((1 << depth) - 1));
        }
    }
}

// A sample as 8 bits: 16-bit rounded, lower depths scaled to 0 to 255.
uint8_t to_8bit(uint16_t v, int depth) {
    if (depth == 16) return static_cast<uint8_t>((v * 255u + 32767u) / 65535u);
    return static_cast<uint8_t>(v * 255u / ((1u << depth) - 1));
}

// Pixels [first, first + count) of the scanline as an entry's: blue, green,
// red, and alpha where the PNG has it. With `out` null, only checked.
bool convert(png_reader& r, uint32_t first, uint32_t count, uint8_t* out) {
    const uint8_t* x = r.line.get() + 1;
    const png_header& h = r.header;
    int depth = h.bit_depth;
    if (h.colour_type == 6 && depth == 8) {
        x += static_cast<size_t>(first) * 4;
        for (uint32_t k = 0; k < count; ++k, x += 4, out += 4) {
            out[0] = x[2];
            out[1] = x[1];
            out[2] = x[0];
            out[3] = x[3];
        }
        return true;
    }
    size_t n = channels(h.colour_type);
    for (uint32_t k = first; k < first + count; ++k) {
        uint16_t s[4];
        for (size_t c = 0; c < n; ++c) s[c] = sample(x, static_cast<size_t>(k) * n + c, depth);
        if (h.colour_type == 3) {
            if (s[0] >= r.palette_size) return damaged(r, "palette index");
            if (out) memcpy(out, r.palette[s[0]], r.alpha ? 4 : 3);
        } else {
            bool grey = h.colour_type == 0 || h.colour_type == 4;
            out[0] = to_8bit(grey ? s[0] : s[2], depth);
            out[1] = to_8bit(grey ? s[0] : s[1], depth);
            out[2] = to_8bit(s[0], depth);
            if (h.colour_type == 4 || h.colour_type == 6)
                out[3] = to_8bit(s[n - 1], depth);
            else if (r.has_trns)
                out[3] = (grey ? s[0] == r.trns[0] : s[0] == r.trns[0] && s[1] == r.trns[1] && s[2] == r.trns[2]) ? 0 : 255;
        }
        if (out) out += 4;
    }
    return true;
}

}  // namespace

png_reader::png_reader() = default;

png_reader::~png_reader() {
    if (inflating) inflateEnd(&z->s);
}

bool png_open(png_reader& r, const byte_source& file, bool trusted) {
    r.file = &file;
    r.trusted = trusted;
    uint8_t head[png_signature_size];
    if (!read_source(file, 0, head, sizeof head) || !is_png_signature(head)) return damaged(r, "no PNG signature");
    r.at = png_signature_size;
    if (!read_ihdr(r) || !read_chunks_before_data(r)) return false;
    if (r.header.colour_type == 3 && r.palette_size == 0) return damaged(r, "no PLTE");
    return true;
}

bool png_next_line(png_reader& r, bool wanted) {
    const png_header& h = r.header;
    // The line before is kept for the filters of this one.
    if (r.unfiltered) std::swap(r.line, r.previous);
    r.unfiltered = false;
    if (!r.inflating) {
        // The scanlines' buffers are made once the caller has seen the size.
        size_t widest = static_cast<size_t>((static_cast<uint64_t>(h.width) * channels(h.colour_type) * h.bit_depth + 7) / 8);
        r.pixel_bytes = std::max<size_t>(1, channels(h.colour_type) * h.bit_depth / 8u);
        r.line = alloc_bytes(widest + 1);
        r.previous = alloc_bytes(widest + 1);
        r.input = alloc_bytes(input_size);
        r.z = std::make_unique<png_zstream>();
        if ((r.trusted ? inflateInit2(&r.z->s, -15) : inflateInit(&r.z->s)) != Z_OK) fail("Error: out of memory.\n");
        r.header_left = r.trusted ? 2 : 0;
        r.inflating = true;
        if (!next_pass(r)) return damaged(r, "no rows");
    } else if (r.pass_row == r.pass_height && !next_pass(r)) {
        return damaged(r, "too many rows asked for");
    }
    if (!inflate_into(r, r.line.get(), r.line_bytes + 1)) return false;
    ++r.pass_row;
    // A line only checked is looked at only where it can be damaged: its
    // filter type, and a palette's indices.
    if (!wanted && h.colour_type != 3) return r.line[0] <= 4 || damaged(r, "bad filter type");
    if (!unfilter(r)) return false;
    r.unfiltered = true;
    return wanted || convert(r, 0, r.pass_width, nullptr);
}

bool png_convert(png_reader& r, uint32_t first, uint32_t count, uint8_t* pixels) {
    return convert(r, first, count, pixels);
}

bool png_close(png_reader& r) {
    // The zlib stream ends here, its checksum holding, with no more rows.
    uint8_t extra;
    r.z->s.next_out = &extra;
    r.z->s.avail_out = 1;
    for (;;) {
        int result = inflate(&r.z->s, Z_NO_FLUSH);
        if (r.z->s.avail_out == 0) return damaged(r, "too much image data");
        if (result == Z_STREAM_END) break;
        if (result != Z_OK && result != Z_BUF_ERROR) return damaged(r, "bad zlib data");
        if (r.z->s.avail_in == 0 && !refill(r)) return r.damage ? false : damaged(r, "bad zlib data");
    }
    // The rest of the IDAT chunks (compressed bytes past the stream's end
    // are ignored, as readers do), then the chunks up to IEND.
    while (!r.idat_done) {
        while (r.idat_left > 0) {
            uint32_t n = std::min<uint32_t>(r.idat_left, static_cast<uint32_t>(input_size));
            if (!take(r, r.input.get(), n)) return false;
            r.idat_left -= n;
        }
        if (!refill(r) && r.damage) return false;
    }
    uint32_t length = r.next_length;
    uint8_t type[4];
    memcpy(type, r.next_type, 4);
    for (;;) {
        if (is_type(type, "IEND")) return skip_chunk(r, length);
        bool ok = is_type(type, "IDAT")   ? damaged(r, "IDAT after the image data")
                  : (type[0] & 0x20)      ? skip_chunk(r, length)
                                          : damaged(r, "critical chunk after the image data");
        if (!ok || !chunk_head(r, &length, type)) return false;
    }
}

}  // namespace velmorin
