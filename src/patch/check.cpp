// The check block at the end of a checked patch, T = 48 + N bytes,
// little-endian:
//   0       4  width      of the entry the patch was made from
//   4       4  height
//   8       8  before     XXH3-64 (seed 0) of the S pixel bytes it applies to
//   16      8  after      XXH3-64 of the S pixel bytes it gives
//   24      2  version    1
//   26      2  N          the name's length
//   28      N  name       the entry's full stored name
//   28 + N  8  check      XXH3-64 of bytes 0 to 27 + N of the block
//   36 + N  4  T          the block's size
//   40 + N  8  magic      "VMXPATCH"
// It follows the patch's S = width * height * 4 bytes, and ends the file: a
// file whose last 8 bytes are the magic is a checked patch, and its other
// fields must all agree with that and with the file's size. A file cut
// short, or with bytes after the block, or with its magic damaged, no
// longer ends so; what is left of its block still shows, and such a file is
// never taken for a raw patch.
#include <cstring>

#include "base/fields.h"
#include "patch/patch.h"

namespace velmorin {
namespace {

constexpr uint8_t magic[8] = {'V', 'M', 'X', 'P', 'A', 'T', 'C', 'H'};

// A file that ends in the magic.
check_verdict read_check_block(const uint8_t* tail, size_t tail_size, int64_t total, check_block* block) {
    if (tail_size < sizeof magic || memcmp(tail + tail_size - sizeof magic, magic, sizeof magic) != 0)
        return check_verdict::raw;
    // Where the block begins follows from T; nothing else is trusted before
    // the block's own hash holds.
    if (tail_size < 12) return check_verdict::damaged;
    int64_t t = read_u32le(tail + tail_size - 12);
    if (t < check_block_fixed || t > largest_check_block || t > static_cast<int64_t>(tail_size))
        return check_verdict::damaged;
    const uint8_t* b = tail + tail_size - t;
    size_t n = static_cast<size_t>(t - check_block_fixed);
    if (read_u16le(b + 26) != n || read_u64le(b + 28 + n) != hash_bytes(b, 28 + n)) return check_verdict::damaged;

    block->width = read_s32le(b);
    block->height = read_s32le(b + 4);
    block->before = read_u64le(b + 8);
    block->after = read_u64le(b + 16);
    block->version = read_u16le(b + 24);
    block->name.assign(reinterpret_cast<const char*>(b + 28), n);
    if (block->version != 1) return check_verdict::other_version;
    // The size the fields give, in 64 bits: S + T is the whole file.
    if (block->width < 0 || block->height < 0 || static_cast<int64_t>(block->width) * block->height > INT32_MAX / 4 ||
        static_cast<int64_t>(block->width) * block->height * 4 + t != total)
        return check_verdict::damaged;
    return check_verdict::sound;
}

// The pixel bytes of a width and height (at `at`), or -1 when they are no
// image's.
int64_t pixel_bytes(const uint8_t* at) {
    int64_t w = read_s32le(at), h = read_s32le(at + 4);
    if (w < 0 || h < 0 || w * h > INT32_MAX / 4) return -1;
    return w * h * 4;
}

// Whether `count` (< 8) bytes are the first bytes of some width and height
// whose pixels take `p` bytes.
bool begins_some_size(const uint8_t* at, size_t count, int64_t p) {
    if (p <= 0 || p % 4 != 0 || p / 4 > INT32_MAX) return false;
    int64_t pixels = p / 4;
    uint8_t size[8];
    auto matches = [&](int64_t w, int64_t h) {
        write_u32le(size, static_cast<uint32_t>(w));
        write_u32le(size + 4, static_cast<uint32_t>(h));
        return memcmp(size, at, count) == 0;
    };
    for (int64_t d = 1; d * d <= pixels; ++d)
        if (pixels % d == 0 && (matches(d, pixels / d) || matches(pixels / d, d))) return true;
    return false;
}

// Whether what is left of a check block begins at file offset p, where
// `count` bytes of the file are left, at `at`.
bool block_begins(const uint8_t* at, size_t count, int64_t p, int64_t pixels) {
    if (count < 8) return p > pixels && begins_some_size(at, count, p);
    int64_t size = pixel_bytes(at);
    if (size != p) return false;
    if (count < 26) return size > 0;
    return read_u16le(at + 24) == 1;
}

bool shows_a_block(const patch_end& end, int32_t width, int32_t height) {
    int64_t pixels = static_cast<int64_t>(width) * height * 4;
    uint8_t size[8];
    write_u32le(size, static_cast<uint32_t>(width));
    write_u32le(size + 4, static_cast<uint32_t>(height));
    if (end.after_size > 0 && memcmp(end.after_pixels, size, end.after_size) == 0) return true;
    int64_t first = end.total - static_cast<int64_t>(end.tail_size);
    for (size_t k = 0; k < end.tail_size; ++k) {
        size_t left = end.tail_size - k;
        if (left >= sizeof magic && memcmp(end.tail + k, magic, sizeof magic) == 0) return true;
        // A block that lost its end begins past the entry's pixels: the
        // patch's own pixel bytes are never taken for one.
        int64_t p = first + static_cast<int64_t>(k);
        if (p >= pixels && p % 4 == 0 && block_begins(end.tail + k, left, p, pixels)) return true;
    }
    return false;
}

}  // namespace

check_verdict judge_patch(const patch_end& end, int32_t width, int32_t height, check_block* block) {
    check_verdict verdict = read_check_block(end.tail, end.tail_size, end.total, block);
    if (verdict != check_verdict::raw) return verdict;
    // A patch of exactly S bytes, or shorter, is raw whatever it holds.
    if (end.total <= static_cast<int64_t>(width) * height * 4) return verdict;
    return shows_a_block(end, width, height) ? check_verdict::damaged : check_verdict::raw;
}

size_t encode_check_block(const check_block& block, uint8_t* out) {
    size_t n = block.name.size();
    write_u32le(out, static_cast<uint32_t>(block.width));
    write_u32le(out + 4, static_cast<uint32_t>(block.height));
    write_u64le(out + 8, block.before);
    write_u64le(out + 16, block.after);
    write_u16le(out + 24, 1);
    write_u16le(out + 26, static_cast<uint16_t>(n));
    memcpy(out + 28, block.name.data(), n);
    write_u64le(out + 28 + n, hash_bytes(out, 28 + n));
    write_u32le(out + 36 + n, static_cast<uint32_t>(check_block_fixed + static_cast<int64_t>(n)));
    memcpy(out + 40 + n, magic, sizeof magic);
    return static_cast<size_t>(check_block_fixed) + n;
}

}  // namespace velmorin
