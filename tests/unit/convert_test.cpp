// Pixel conversion: the pure row functions, the choice of case, and bands.
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/convert.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fixture/fixture.h"

namespace {

using fixture::bytes;
using velmorin::conversion_case;
using velmorin::variant;

// Three-byte pixels 00 01 02, 03 04 05, ... into the entry's rows, the last
// first; each pixel's fourth byte stays. Widths around the four-pixel steps
// of the fast path, and its tail.
TEST(MergePlanes, ReversesRowsAndKeepsFourthBytes) {
    struct merge {
        size_t width, height;
        std::string old, expected;
    };
    const merge cases[] = {
        {1, 3, "a0a1a2a3 b0b1b2b3 c0c1c2c3", "060708a3 030405b3 000102c3"},
        {7, 1, std::string(56, 'e'), "000102ee 030405ee 060708ee 090a0bee 0c0d0eee 0f1011ee 121314ee"},
        {10, 1, std::string(80, 'e'),
         "000102ee 030405ee 060708ee 090a0bee 0c0d0eee 0f1011ee 121314ee 151617ee 18191aee 1b1c1dee"},
        {6, 2, std::string(96, 'e'),
         "121314ee 151617ee 18191aee 1b1c1dee 1e1f20ee 212223ee 000102ee 030405ee 060708ee 090a0bee 0c0d0eee 0f1011ee"},
    };
    for (const merge& m : cases) {
        SCOPED_TRACE(std::to_string(m.width) + "x" + std::to_string(m.height));
        bytes src(m.width * 3 * m.height), dst = fixture::hex(m.old);
        for (size_t k = 0; k < src.size(); ++k) src[k] = static_cast<uint8_t>(k);
        velmorin::merge_planes(dst.data(), src.data(), dst.size(), m.width * 4);
        EXPECT_EQ(dst, fixture::hex(m.expected));
    }
}

TEST(MergePlanes, WidthZeroCopiesNothing) {
    bytes dst(8, 0x5a), src(8, 0x11);
    velmorin::merge_planes(dst.data(), src.data(), 0, 0);
    velmorin::merge_planes(dst.data(), src.data(), 0, 16);
    EXPECT_EQ(dst, bytes(8, 0x5a));
}

// Pixels 00 01 02 03, 04 05 06 07, ... as three bytes each, at lengths
// around the four-pixel steps of both fast paths; nothing is written past
// the 3 * pixels bytes.
TEST(StripFourthBytes, KeepsThreeBytesOfEachPixel) {
    const std::pair<size_t, std::string> cases[] = {
        {0, ""},
        {1, "000102"},
        {5, "000102 040506 08090a 0c0d0e 101112"},
        {6, "000102 040506 08090a 0c0d0e 101112 141516"},
        {11, "000102 040506 08090a 0c0d0e 101112 141516 18191a 1c1d1e 202122 242526 28292a"}};
    for (const auto& [pixels, expected] : cases) {
        bytes src(4 * pixels), dst(3 * pixels + 8, 0xee);
        for (size_t k = 0; k < src.size(); ++k) src[k] = static_cast<uint8_t>(k);
        velmorin::strip_fourth_bytes(dst.data(), src.data(), pixels);
        EXPECT_EQ(dst, fixture::hex(expected + "eeeeeeeeeeeeeeee")) << pixels << " pixels";
    }
}

TEST(FlipRows, ReversesRowOrder) {
    const bytes src = {1, 2, 3, 4, 5, 6};
    struct flip {
        size_t rows, row_bytes;
        bytes expected;
    };
    for (const flip& f : {flip{1, 6, {1, 2, 3, 4, 5, 6}}, flip{2, 3, {4, 5, 6, 1, 2, 3}},
                          flip{3, 2, {5, 6, 3, 4, 1, 2}}, flip{6, 1, {6, 5, 4, 3, 2, 1}}, flip{0, 4, {}}}) {
        bytes dst(f.rows * f.row_bytes);
        velmorin::flip_rows(src.data(), f.rows, f.row_bytes, dst.data());
        EXPECT_EQ(dst, f.expected);
    }
}

// The case follows from byte counts alone, in a fixed order.
TEST(ChooseConversion, Table) {
    struct row {
        const char* label;
        variant v;
        int32_t w, h;
        uint32_t length;
        int32_t bi_width, bi_height;
        int64_t pixel_bytes;
        conversion_case expected;
    };
    const variant P = variant::pack, X = variant::make_xor;
    const row rows[] = {
        {"exact pack", P, 8, 4, 16 + 128, 8, 4, 128, conversion_case::exact_size},
        {"exact pack ignores bmp geometry", P, 8, 4, 16 + 128, -1, 99, 128, conversion_case::exact_size},
        {"exact bigger entry", P, 8, 4, 16 + 200, 8, 4, 200, conversion_case::exact_size},
        {"exact make-xor bottom-up", X, 8, 4, 16 + 128, 8, 4, 128, conversion_case::exact_size_reversed},
        {"exact make-xor other geometry", X, 8, 4, 16 + 128, 16, 2, 128, conversion_case::exact_size_reversed},
        {"exact make-xor top-down", X, 8, 4, 16 + 128, 8, -4, 128, conversion_case::exact_size},
        {"exact make-xor zero height", X, 8, 4, 16 + 128, 0, 0, 128, conversion_case::exact_size},
        {"make-xor width zero", X, 8, 4, 16 + 128, 0, 4, 128, conversion_case::bmp_geometry_mismatch},
        {"make-xor width negative", X, 8, 4, 16 + 128, -8, 4, 128, conversion_case::bmp_geometry_mismatch},
        {"make-xor rows beyond bytes", X, 8, 4, 16 + 128, 8, 5, 128, conversion_case::bmp_geometry_mismatch},
        {"make-xor rows short of payload", X, 8, 4, 16 + 128, 8, 3, 128, conversion_case::bmp_geometry_mismatch},
        {"make-xor rows overflow 32 bits", X, 8, 4, 16 + 128, 0x10000, 0x10000, 128,
         conversion_case::bmp_geometry_mismatch},
        {"make-xor rows overflow 64 bits", X, 8, 4, 16 + 128, INT32_MAX, INT32_MAX, 128,
         conversion_case::bmp_geometry_mismatch},
        {"merge", P, 8, 4, 16 + 128, 8, 4, 96, conversion_case::merge_24bit},
        {"merge make-xor", X, 8, 4, 16 + 128, 8, 4, 96, conversion_case::merge_24bit},
        {"exact wins over merge", P, 0, 0, 16, 0, 0, 0, conversion_case::exact_size},
        {"merge of nothing", P, 0, 5, 20, 0, 5, 0, conversion_case::merge_24bit},
        {"mismatch below", P, 8, 4, 16 + 128, 8, 4, 100, conversion_case::sizing_mismatch},
        {"mismatch equal outside exact", P, 8, 4, 16 + 130, 8, 4, 128, conversion_case::sizing_mismatch},
        {"cut and reverse", P, 8, 4, 16 + 128, 8, 4, 130, conversion_case::cut_and_reverse},
        {"cut and reverse make-xor", X, 8, 4, 16 + 128, 8, 4, 130, conversion_case::cut_and_reverse},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        velmorin::bgra_image img{};
        img.width = r.w;
        img.height = r.h;
        img.bgra_datasize = r.w * r.h * 4;
        velmorin::bmpinfo info{40, r.bi_width, r.bi_height, 1, 32};
        EXPECT_EQ(velmorin::choose_conversion(r.v, img, r.length, info, r.pixel_bytes), r.expected);
    }
}

// Converting band by band gives the bytes the whole-buffer functions give,
// for rows shorter and longer than a band and payloads of many bands.
TEST(BandConversion, MatchesWholeBuffers) {
    using velmorin::pixel_move;
    struct geometry {
        const char* label;
        pixel_move move;
        int64_t row, rows, size;
    };
    const int64_t band = velmorin::band_bytes;
    const geometry cases[] = {
        {"copy", pixel_move::copy, 4 * 333, 4001, 4 * 333 * 4001},
        {"reverse small rows", pixel_move::reverse_rows, 4 * 333, 4001, 4 * 333 * 4001},
        {"reverse rows longer than a band", pixel_move::reverse_rows, band + 4 * 1001, 3, (band + 4 * 1001) * 3},
        {"reverse ending inside a row", pixel_move::reverse_rows, 4 * 1000, 900, 4 * 1000 * 700 + 4 * 37},
        {"reverse long rows ending inside one", pixel_move::reverse_rows, 2 * band + 8, 3, 2 * (2 * band + 8) + 12},
        {"merge small rows", pixel_move::merge_planes, 4 * 333, 4001, 4 * 333 * 4001},
        {"merge rows longer than a band", pixel_move::merge_planes, band + 4 * 1001, 3, (band + 4 * 1001) * 3},
    };
    for (const geometry& g : cases) {
        SCOPED_TRACE(g.label);
        int64_t source_row = g.move == pixel_move::merge_planes ? g.row / 4 * 3 : g.row;
        velmorin::pixel_plan plan{g.move, g.size, g.row, g.rows, source_row};
        velmorin::byte_source pixels, payload;
        bytes src = fixture::pattern(static_cast<size_t>(source_row * g.rows), 3);
        bytes old = fixture::pattern(static_cast<size_t>(g.size), 4);
        pixels.bytes = velmorin::alloc_bytes(src.size());
        memcpy(pixels.bytes.get(), src.data(), src.size());
        pixels.size = static_cast<int64_t>(src.size());
        payload.bytes = velmorin::alloc_bytes(old.size());
        memcpy(payload.bytes.get(), old.data(), old.size());
        payload.size = static_cast<int64_t>(old.size());

        bytes expected;
        if (g.move == pixel_move::copy) {
            expected.assign(src.begin(), src.begin() + g.size);
        } else if (g.move == pixel_move::reverse_rows) {
            expected.resize(src.size());
            velmorin::flip_rows(src.data(), static_cast<size_t>(g.rows), static_cast<size_t>(g.row), expected.data());
            expected.resize(static_cast<size_t>(g.size));
        } else {
            expected = old;
            velmorin::merge_planes(expected.data(), src.data(), expected.size(), static_cast<size_t>(g.row));
        }

        bytes got(static_cast<size_t>(g.size));
        bytes band_buf(static_cast<size_t>(band)), scratch(static_cast<size_t>(band));
        int bands = 0;
        for (int64_t at = 0; at < g.size; ++bands) {
            size_t n = velmorin::band_length(plan, at);
            ASSERT_GT(n, 0u);
            ASSERT_LE(static_cast<int64_t>(n), band);
            ASSERT_EQ(velmorin::convert_band(plan, pixels, payload, at, n, band_buf.data(), scratch.data()), nullptr);
            memcpy(got.data() + at, band_buf.data(), n);
            at += static_cast<int64_t>(n);
        }
        EXPECT_GE(bands, 3);
        EXPECT_TRUE(got == expected);
    }
}

}  // namespace
