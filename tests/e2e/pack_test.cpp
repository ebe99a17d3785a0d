// Packing BMP files into an archive, end to end.
#include <gtest/gtest.h>

#include "scene.h"

using e2e::scene;
using fixture::bmp_fields;
using fixture::bytes;

namespace {

const std::string merging = "24bit BMP, merging planes.\n";
const std::string updated = "Debug: data updated.\n";
const std::string not_matching = "Error: bmp header does not match BGRA header/format requirements.\n";
const std::string both_warnings =
    "Warning: bmp header offset not the same as header struct sizes.\nWarning: bmpinfo size not same as struct.\n";

struct pack_case {
    std::string label;
    std::function<scene()> make;
    std::string payload;  // hex: status 0 and this payload; "": status 255 and the archive unchanged
    std::function<std::string(const scene&)> tail;  // after the entry's trace
    std::string out;
};

void PrintTo(const pack_case& c, std::ostream* os) { *os << c.label; }

class Pack : public testing::TestWithParam<pack_case> {};

TEST_P(Pack, Case) {
    const pack_case& c = GetParam();
    scene sc = c.make();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    e2e::result r = e2e::run({"game.dat", sc.name, "in.bmp"}, s.dir);
    EXPECT_EQ(r.err, e2e::entry_trace(sc) + c.tail(sc));
    EXPECT_EQ(r.out, c.out);
    if (!c.payload.empty()) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(s.read("game.dat"), e2e::with_payload(sc, fixture::hex(c.payload)));
    } else {
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
    }
    EXPECT_EQ(s.read("in.bmp"), sc.bmp);
}

std::string done(const scene&) { return updated; }
const std::string refused = "";

using e2e::small;

// The scene with its BMP cut to `size` bytes and its magic's second byte
// made `magic` ('M' is the real one).
scene cut(scene s, size_t size, char magic) {
    s.bmp.resize(std::min(size, s.bmp.size()));
    if (s.bmp.size() > 1) s.bmp[1] = static_cast<uint8_t>(magic);
    return s;
}
std::string mismatch(const scene& s) { return e2e::sizing_mismatch(s); }

INSTANTIATE_TEST_SUITE_P(
    Bmps, Pack,
    testing::Values(
        // Rows in the file's order, as read.
        pack_case{"Exact32", [] { return small(); }, e2e::pixels_16, done, ""},
        // Rows reversed, each pixel's fourth byte kept.
        pack_case{"Merge24",
                  [] {
                      return e2e::holding(e2e::make_scene(4, 2, e2e::literal_bmp(4, 2, 24, e2e::pixels_24)),
                                          e2e::old_4x2);
                  },
                  "0c0d0ee4 0f1011df 1213144a 15161782 0001022b 03040595 060708e7 090a0b26", done, merging},
        pack_case{"Padded24Mismatch", [] { return e2e::make_scene(5, 3, fixture::plain_bmp(5, 3, 24, 3)); }, refused,
                  mismatch, ""},
        // The first two rows of 8 bytes, reversed; the last two bytes dropped.
        pack_case{"TwoExtraBytesCutAndReverse", [] { return small(e2e::extra_pixels("eeef")); },
                  "08090a0b0c0d0e0f 0001020304050607", done, ""},
        // Padded 24-bit rows of exactly four bytes a pixel: taken as read.
        pack_case{"Width1In24BitsIsExact",
                  [] { return e2e::make_scene(1, 2, e2e::literal_bmp(1, 2, 24, "00010200 03040500")); },
                  "00010200 03040500", done, ""},
        pack_case{
            "Width2In24BitsIsExact",
            [] { return e2e::make_scene(2, 2, e2e::literal_bmp(2, 2, 24, "000102030405 0000 060708090a0b 0000")); },
            "0001020304050000 060708090a0b0000", done, ""},
        pack_case{"Width3In24BitsIsExact",
                  [] {
                      return e2e::make_scene(
                          3, 2, e2e::literal_bmp(3, 2, 24, "000102030405060708 000000 090a0b0c0d0e0f1011 000000"));
                  },
                  "000102030405060708000000 090a0b0c0d0e0f1011000000", done, ""},
        pack_case{"OtherGeometrySameSize", [] { return small(e2e::bmp_geometry(4, 1)); },
                  refused, e2e::says(not_matching), ""},
        pack_case{"OffBitsNot54", [] { return small([](bmp_fields& b) { b.off_bits = 60; }); }, e2e::pixels_16,
                  e2e::says("Warning: bmp header offset not the same as header struct sizes.\n" + updated), ""},
        // Pixels taken from byte 54: the rest of the larger header (the
        // fixture fills it with 0xc0 + offset % 61) comes first, cut and
        // reversed.
        pack_case{"InfoHeader108", [] { return small([](bmp_fields& b) { b.info_size = 108; }); },
                  "c1c2c3c4c5c6c7c8 f6f7f8f9fafbfcc0", e2e::says(both_warnings + updated), ""},
        pack_case{"InfoHeader124", [] { return small([](bmp_fields& b) { b.info_size = 124; }); },
                  "c1c2c3c4c5c6c7c8 f6f7f8f9fafbfcc0", e2e::says(both_warnings + updated), ""},
        pack_case{"TopDown", [] { return small([](bmp_fields& b) { b.height = -2; }); }, refused,
                  e2e::says(not_matching), ""},
        pack_case{"EightBitCutThenRefused",
                  [] {
                      // The palette counts as pixel bytes: more than the payload.
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 8, 13), [](bmp_fields& b) {
                                                 b.pixels.insert(b.pixels.begin(), 1024, 0x44);
                                             }));
                  },
                  refused, e2e::says("Error: only 24 and 32-bit bmps are handled.\n"), ""},
        pack_case{"EightBitTooFewBytes",
                  [] {
                      return e2e::make_scene(64, 64, e2e::changed(fixture::plain_bmp(64, 64, 8, 14), [](bmp_fields& b) {
                                                 b.pixels.insert(b.pixels.begin(), 1024, 0x44);
                                             }));
                  },
                  refused, mismatch, ""},
        pack_case{"MismatchPrintsSigned",
                  [] {
                      return e2e::make_scene(8, 4,
                                             e2e::changed(fixture::plain_bmp(8, 4, 32, 15),
                                                          [](bmp_fields& b) {
                                                              b.pixels.resize(100);
                                                              b.off_bits = 0x80000000u;
                                                          }),
                                             0x80000010u);
                  },
                  refused, mismatch, ""},
        pack_case{"WrongMagic", [] { return cut(small(), 54, 'A'); }, refused, e2e::says("Error: bmp magic not BM.\n"),
                  ""},
        // A short file reports the read before the magic.
        pack_case{"File53Bytes", [] { return cut(small(), 53, 'X'); }, refused,
                  e2e::says("Error reading bmp info header.\n"), ""},
        pack_case{"File13Bytes", [] { return cut(small(), 13, 'M'); }, refused,
                  e2e::says("Error reading bmp header.\n"), ""},
        pack_case{"SizeFieldBelow54", [] { return small([](bmp_fields& b) { b.file_size = 53; }); }, refused,
                  e2e::says("Error: bmp file size field is too small.\n"), ""},
        pack_case{"SizeFieldTopBitSet", [] { return small([](bmp_fields& b) { b.file_size = 0x80000100u; }); }, refused,
                  e2e::says("Error: bmp file size field is too small.\n"), ""},
        pack_case{"SizeFieldBeyondFile", [] { return small([](bmp_fields& b) { b.file_size = 0x7fff0000u; }); },
                  refused, e2e::says("Error: Unable to read whole bmp.\n"), ""},
        pack_case{"OneByteShort", [] { return cut(small(), 54 + 15, 'M'); }, refused,
                  e2e::says("Error: Unable to read whole bmp.\n"), ""}),
    [](const testing::TestParamInfo<pack_case>& p) { return p.param.label; });

TEST(PackEntry, TwiceGivesTheSamePayload) {
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 30));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    bytes expected = e2e::with_payload(sc, bytes(sc.bmp.begin() + 54, sc.bmp.end()));
    for (int round = 0; round < 2; ++round) {
        e2e::result r = e2e::run({"game.dat", sc.name, "in.bmp"}, s.dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, e2e::entry_trace(sc) + updated);
        EXPECT_EQ(s.read("game.dat"), expected);
    }
}

TEST(PackEntry, MissingBmpAfterTheEntry) {
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 31));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    e2e::result r = e2e::run({"game.dat", sc.name, "none.bmp"}, s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, e2e::entry_trace(sc) + "Error: unable to open none.bmp for reading.\n");
    EXPECT_EQ(s.read("game.dat"), sc.a.data);
}

TEST(PackEntry, NotAnImageStopsBeforeTheBmp) {
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 32));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    e2e::result r = e2e::run({"game.dat", "readme.txt", "none.bmp"}, s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, e2e::found_trace(sc.a, 0, "readme.txt") + "Target file is not a BGRA?\n");
}

}  // namespace
