// Turning a BMP's pixel bytes into an entry's payload.
//
// The way is chosen from byte counts alone (the BMP's bit count plays no
// part): S is the payload size, W x H the entry's geometry, L the entry's
// stored length and P the BMP's pixel byte count.
//   1. P = L - 16   exact size: the bytes as read (make-XOR reverses the
//                   rows of a bottom-up BMP, by the BMP's own geometry)
//   2. P = W*H*3    24-bit merge: rows reversed, fourth bytes kept
//   3. S >= P       sizing mismatch: refused
//   4. P > S        cut and reverse: the first H rows of W*4 bytes, reversed
//
// The choice is made before a single pixel moves; the pixels then move a
// band at a time, each payload band produced from the source rows it needs.
#include "base/failure.h"
#include "base/trace.h"
#include "base/stdout.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/convert.h"

#include <algorithm>
#include <cstring>

namespace velmorin {

conversion_case choose_conversion(variant v, const bgra_image& img, uint32_t length, const bmpinfo& info,
                                  int64_t pixel_bytes) {
    int64_t stored = static_cast<int64_t>(length) - bgra_header_size;
    int64_t size = img.bgra_datasize;
    if (pixel_bytes == stored) {
        if (v == variant::pack || info.biHeight <= 0) return conversion_case::exact_size;
        // The reversal runs by the BMP's rows and must stay within the pixel
        // bytes while covering the whole payload. Both factors are positive
        // here; their product is compared before it is multiplied by 4.
        if (info.biWidth <= 0) return conversion_case::bmp_geometry_mismatch;
        int64_t pixels = static_cast<int64_t>(info.biHeight) * info.biWidth;
        if (pixels > stored / 4 || pixels * 4 < size) return conversion_case::bmp_geometry_mismatch;
        return conversion_case::exact_size_reversed;
    }
    if (pixel_bytes == static_cast<int64_t>(img.width) * img.height * 3) return conversion_case::merge_24bit;
    if (size >= pixel_bytes) return conversion_case::sizing_mismatch;
    return conversion_case::cut_and_reverse;
}

pixel_plan plan_conversion(conversion_case chosen, const bgra_image& img, uint32_t length, const bmp_headers& bmp) {
    int64_t size = img.bgra_datasize;
    int64_t entry_row = static_cast<int64_t>(img.width) * 4;
    switch (chosen) {
        case conversion_case::exact_size:
            return pixel_plan{pixel_move::copy, size, entry_row, img.height, entry_row};
        case conversion_case::bmp_geometry_mismatch:
            fail("Error: bmp width and height do not match its pixel data.\n");
        case conversion_case::exact_size_reversed: {
            trace("Bottomup!\n");
            int64_t row = static_cast<int64_t>(bmp.info.biWidth) * 4;
            return pixel_plan{pixel_move::reverse_rows, size, row, bmp.info.biHeight, row};
        }
        case conversion_case::merge_24bit:
            print_stdout("24bit BMP, merging planes.\n");
            return pixel_plan{pixel_move::merge_planes, size, entry_row, img.height,
                              static_cast<int64_t>(img.width) * 3};
        case conversion_case::sizing_mismatch:
            fail(
                "Header sizing mismatch.\nbmpheader.bfSize=%d\ndir[x].length=%d\nsizeof(struct bgra_header)=%d\n"
                "sizeof(bmpheader)=%d\nsizeof(bmpinfo)=%d\nbgra_datasize=%d\nbmpinfo.bfOffBits=%d\n",
                static_cast<int32_t>(bmp.file.bfSize), static_cast<int32_t>(length), 16, 14, 40, img.bgra_datasize,
                static_cast<int32_t>(bmp.file.bfOffBits));
        case conversion_case::cut_and_reverse:
            break;
    }
    return pixel_plan{pixel_move::reverse_rows, size, entry_row, img.height, entry_row};
}

size_t band_length(const pixel_plan& plan, int64_t at) {
    int64_t left = plan.size - at;
    int64_t row = plan.row_bytes;
    int64_t n;
    if (plan.move == pixel_move::copy || row <= 0)
        n = band_bytes;
    else if (row <= band_bytes)
        n = band_bytes / row * row;  // whole rows
    else
        n = std::min(band_bytes, row - at % row);  // a piece of one long row
    return static_cast<size_t>(std::min(n, left));
}

const char* convert_band(const pixel_plan& plan, const byte_source& pixels, const byte_source& payload, int64_t at,
                         size_t count, uint8_t* dst, uint8_t* scratch) {
    int64_t row = plan.row_bytes;
    int64_t n = static_cast<int64_t>(count);
    if (plan.move == pixel_move::copy) return read_source(pixels, at, dst, count) ? nullptr : pixels.short_message;

    int64_t first_row = at / row;
    int64_t column = at % row;
    bool whole_rows = column == 0 && n >= row;
    int64_t rows = whole_rows ? (n + row - 1) / row : 1;  // the last band may end inside a row
    // Payload row j comes from source row (plan.rows - 1 - j).
    int64_t source_first = plan.rows - first_row - rows;

    if (plan.move == pixel_move::reverse_rows) {
        if (!whole_rows)
            return read_source(pixels, source_first * row + column, dst, count) ? nullptr : pixels.short_message;
        if (!read_source(pixels, source_first * row, scratch, static_cast<size_t>(rows * row)))
            return pixels.short_message;
        flip_rows(scratch, static_cast<size_t>(rows), static_cast<size_t>(row), dst);
        return nullptr;
    }

    // The merge: fourth bytes come from the payload as it is.
    if (!read_source(payload, at, dst, count)) return payload.short_message;
    int64_t src_row = plan.source_row_bytes;
    if (whole_rows) {
        if (!read_source(pixels, source_first * src_row, scratch, static_cast<size_t>(rows * src_row)))
            return pixels.short_message;
        merge_planes(dst, scratch, count, static_cast<size_t>(row));
    } else {
        if (!read_source(pixels, source_first * src_row + column / 4 * 3, scratch, count / 4 * 3))
            return pixels.short_message;
        merge_planes(dst, scratch, count, count);
    }
    return nullptr;
}

}  // namespace velmorin
