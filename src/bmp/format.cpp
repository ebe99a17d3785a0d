// The BMP format: its two headers, read and written.
//
// bmpheader, 14 bytes at offset 0:
//   0   2  bfType       "BM" (0x4D42)
//   2   4  bfSize       file size; the pixels taken are bfSize - 54 bytes
//   6   4  bfReserved1, bfReserved2, not interpreted (written 0)
//   10  4  bfOffBits    where the pixels start; only warned about, the
//                       pixels are always taken from byte 54
//
// bmpinfo, 40 bytes at offset 14:
//   0   4  biSize       40 for the plain header; only warned about
//   4   4  biWidth      (signed)
//   8   4  biHeight     (signed; positive for rows stored bottom-up)
//   12  2  biPlanes     must be 1
//   14  2  biBitCount   24 or 32
//   16  4  biCompression  not interpreted (written 0, BI_RGB)
//   20  4  biSizeImage    not interpreted (written stride * height)
//   24  8  biXPelsPerMeter, biYPelsPerMeter, not interpreted (written 2835)
//   32  8  biClrUsed, biClrImportant, not interpreted (written 0)
//
// Then the rows, bottom-up, each padded with zeros to a multiple of 4 bytes.
//
// What the tool writes (the export): the plain headers, and
//   - 24 bits, any width of 4 or more and an empty image: blue, green, red;
//     pack keeps the entry's fourth bytes when it merges such a file, so a
//     width that is a multiple of 4 packs straight back. Other widths need
//     padded rows, which pack's size rules refuse.
//   - 32 bits, widths 1, 2 and 3: the entry's four bytes as stored, and 4
//     trailing zero bytes (8, when 4 would make the count equal the entry's
//     stored length). At these widths a padded 24-bit row is exactly 4W
//     bytes, so a 24-bit file would hold exactly the entry's byte count,
//     which pack takes as 32-bit pixels in file order: scrambled. The
//     trailing bytes steer pack's size rules to taking the first H rows of
//     4W bytes and reversing them: the entry's own bytes, alpha included.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/fields.h"
#include "bmp/bmp.h"

namespace velmorin {

bmp_headers read_bmp_headers(file_handle bmp, const uint8_t* start) {
    uint8_t file[14];
    uint8_t info[40];
    memcpy(file, start, bmp_start_size);
    int64_t rest = static_cast<int64_t>(sizeof file - bmp_start_size);
    if (read_full(bmp, file + bmp_start_size, sizeof file - bmp_start_size) != rest)
        fail("Error reading bmp header.\n");
    if (read_full(bmp, info, sizeof info) != 40) fail("Error reading bmp info header.\n");

    bmp_headers headers;
    headers.file.bfType = read_u16le(file);
    headers.file.bfSize = read_u32le(file + 2);
    headers.file.bfOffBits = read_u32le(file + 10);
    headers.info.biSize = read_u32le(info);
    headers.info.biWidth = read_s32le(info + 4);
    headers.info.biHeight = read_s32le(info + 8);
    headers.info.biPlanes = read_u16le(info + 12);
    headers.info.biBitCount = read_u16le(info + 14);

    if (headers.file.bfType != 0x4D42) fail("Error: bmp magic not BM.\n");
    if (static_cast<int32_t>(headers.file.bfSize) < bmp_headers_size)
        fail("Error: bmp file size field is too small.\n");
    return headers;
}

int64_t pixel_byte_count(const bmpheader& file) {
    return static_cast<int64_t>(static_cast<int32_t>(file.bfSize)) - bmp_headers_size;
}

void check_bmp(const bmpheader& file, const bmpinfo& info, const bgra_image& img) {
    if (file.bfOffBits != bmp_headers_size) trace("Warning: bmp header offset not the same as header struct sizes.\n");
    if (info.biSize != 40) trace("Warning: bmpinfo size not same as struct.\n");
    if (info.biWidth != img.width || info.biHeight != img.height || info.biPlanes != 1)
        fail("Error: bmp header does not match BGRA header/format requirements.\n");
    if (info.biBitCount != 32 && info.biBitCount != 24) fail("Error: only 24 and 32-bit bmps are handled.\n");
}

// stride * H is at most W * H * 4, which the entry's checks keep below
// 2^31: every size fits its 32-bit field.
bmp_layout export_layout(int32_t width, int32_t height, uint32_t length) {
    int64_t columns = width, rows = height;
    bmp_layout layout{width, height, 24, (columns * 3 + 3) / 4 * 4, 0, 0, 0, 0};
    if (columns >= 1 && columns <= 3 && rows > 0) {
        layout.bits = 32;
        layout.stride = columns * 4;
        layout.trailer = columns * 4 * rows + 4 == static_cast<int64_t>(length) - bgra_header_size ? 8 : 4;
    }
    layout.padding = layout.stride - columns * (layout.bits / 8);
    layout.image_size = layout.stride * rows;
    layout.file_size = bmp_headers_size + layout.image_size + layout.trailer;
    return layout;
}

void encode_bmp_header(const bmp_layout& layout, uint8_t* out) {
    std::fill_n(out, bmp_headers_size, uint8_t{0});
    out[0] = 'B';
    out[1] = 'M';
    write_u32le(out + 2, static_cast<uint32_t>(layout.file_size));
    write_u32le(out + 10, bmp_headers_size);
    uint8_t* info = out + 14;
    write_u32le(info, 40);
    write_u32le(info + 4, static_cast<uint32_t>(layout.width));
    write_u32le(info + 8, static_cast<uint32_t>(layout.height));
    write_u16le(info + 12, 1);
    write_u16le(info + 14, layout.bits);
    write_u32le(info + 20, static_cast<uint32_t>(layout.image_size));
    write_u32le(info + 24, 2835);
    write_u32le(info + 28, 2835);
}

}  // namespace velmorin
