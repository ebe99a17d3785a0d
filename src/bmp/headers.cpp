// Reading and checking BMP headers.
//
// bmpheader, 14 bytes at offset 0:
//   0   2  bfType       "BM" (0x4D42)
//   2   4  bfSize       file size; the pixels taken are bfSize - 54 bytes
//   6   4  bfReserved1, bfReserved2, not interpreted
//   10  4  bfOffBits    where the pixels start; only warned about, the
//                       pixels are always taken from byte 54
//
// bmpinfo, 40 bytes at offset 14:
//   0   4  biSize       40 for the plain header; only warned about
//   4   4  biWidth      (signed)
//   8   4  biHeight     (signed; positive for rows stored bottom-up)
//   12  2  biPlanes     must be 1
//   14  2  biBitCount   24 or 32
//   16  24 biCompression .. biClrImportant, not interpreted
#include "bmp/bmp.h"

namespace velmorin {

bmp_headers read_bmp_headers(file_handle bmp) {
    uint8_t file[14];
    uint8_t info[40];
    if (read_full(bmp, file, sizeof file) != 14) fail("Error reading bmp header.\n");
    if (read_full(bmp, info, sizeof info) != 40) fail("Error reading bmp info header.\n");

    bmp_headers h;
    h.file.bfType = read_u16le(file);
    h.file.bfSize = read_u32le(file + 2);
    h.file.bfOffBits = read_u32le(file + 10);
    h.info.biSize = read_u32le(info);
    h.info.biWidth = read_s32le(info + 4);
    h.info.biHeight = read_s32le(info + 8);
    h.info.biPlanes = read_u16le(info + 12);
    h.info.biBitCount = read_u16le(info + 14);

    if (h.file.bfType != 0x4D42) fail("Error: bmp magic not BM.\n");
    if (static_cast<int32_t>(h.file.bfSize) < bmp_headers_size) fail("Error: bmp file size field is too small.\n");
    return h;
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

}  // namespace velmorin
