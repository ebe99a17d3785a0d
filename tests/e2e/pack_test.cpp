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
    bool packs;  // status 0 and the payload converted; otherwise 255 and the archive unchanged
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
    if (c.packs) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(s.read("game.dat"), e2e::with_payload(sc, e2e::converted(e2e::model::pack, sc)));
    } else {
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
    }
    EXPECT_EQ(s.read("in.bmp"), sc.bmp);
}

std::string done(const scene&) { return updated; }
std::string mismatch(const scene& s) { return e2e::sizing_mismatch(s); }

INSTANTIATE_TEST_SUITE_P(
    Bmps, Pack,
    testing::Values(
        pack_case{"Exact32", [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 1)); }, true, done, ""},
        pack_case{"Merge24", [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 24, 2)); }, true, done,
                  merging},
        pack_case{"Padded24Mismatch", [] { return e2e::make_scene(5, 3, fixture::plain_bmp(5, 3, 24, 3)); }, false,
                  mismatch, ""},
        pack_case{"TwoExtraBytesCutAndReverse",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 4), [](bmp_fields& b) {
                                                 b.pixels.push_back(0xee);
                                                 b.pixels.push_back(0xef);
                                             }));
                  },
                  true, done, ""},
        pack_case{"Width1In24BitsIsExact", [] { return e2e::make_scene(1, 6, fixture::plain_bmp(1, 6, 24, 5)); }, true,
                  done, ""},
        pack_case{"Width2In24BitsIsExact", [] { return e2e::make_scene(2, 6, fixture::plain_bmp(2, 6, 24, 6)); }, true,
                  done, ""},
        pack_case{"Width3In24BitsIsExact", [] { return e2e::make_scene(3, 6, fixture::plain_bmp(3, 6, 24, 7)); }, true,
                  done, ""},
        pack_case{"OtherGeometrySameSize",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 8), [](bmp_fields& b) {
                                                 b.width = 16;
                                                 b.height = 2;
                                             }));
                  },
                  false, e2e::says(not_matching), ""},
        pack_case{"OffBitsNot54",
                  [] {
                      return e2e::make_scene(
                          8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 9), [](bmp_fields& b) { b.off_bits = 60; }));
                  },
                  true, e2e::says("Warning: bmp header offset not the same as header struct sizes.\n" + updated), ""},
        pack_case{"InfoHeader108",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 10), [](bmp_fields& b) {
                                                 b.info_size = 108;
                                             }));
                  },
                  true, e2e::says(both_warnings + updated), ""},
        pack_case{"InfoHeader124",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 11), [](bmp_fields& b) {
                                                 b.info_size = 124;
                                             }));
                  },
                  true, e2e::says(both_warnings + updated), ""},
        pack_case{"TopDown",
                  [] {
                      return e2e::make_scene(
                          8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 12), [](bmp_fields& b) { b.height = -4; }));
                  },
                  false, e2e::says(not_matching), ""},
        pack_case{"EightBitCutThenRefused",
                  [] {
                      // The palette counts as pixel bytes: more than the payload.
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 8, 13), [](bmp_fields& b) {
                                                 b.pixels.insert(b.pixels.begin(), 1024, 0x44);
                                             }));
                  },
                  false, e2e::says("Error: only 24 and 32-bit bmps are handled.\n"), ""},
        pack_case{"EightBitTooFewBytes",
                  [] {
                      return e2e::make_scene(64, 64, e2e::changed(fixture::plain_bmp(64, 64, 8, 14), [](bmp_fields& b) {
                                                 b.pixels.insert(b.pixels.begin(), 1024, 0x44);
                                             }));
                  },
                  false, mismatch, ""},
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
                  false, mismatch, ""},
        pack_case{"WrongMagic",
                  [] {
                      scene s = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 16));
                      s.bmp[1] = 'A';
                      return s;
                  },
                  false, e2e::says("Error: bmp magic not BM.\n"), ""},
        pack_case{"File53Bytes",
                  [] {
                      scene s = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 17));
                      s.bmp.resize(53);
                      s.bmp[0] = 'X';  // a short file reports the read before the magic
                      return s;
                  },
                  false, e2e::says("Error reading bmp info header.\n"), ""},
        pack_case{"File13Bytes",
                  [] {
                      scene s = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 18));
                      s.bmp.resize(13);
                      return s;
                  },
                  false, e2e::says("Error reading bmp header.\n"), ""},
        pack_case{"SizeFieldBelow54",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 19), [](bmp_fields& b) {
                                                 b.file_size = 53;
                                             }));
                  },
                  false, e2e::says("Error: bmp file size field is too small.\n"), ""},
        pack_case{"SizeFieldTopBitSet",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 20), [](bmp_fields& b) {
                                                 b.file_size = 0x80000100u;
                                             }));
                  },
                  false, e2e::says("Error: bmp file size field is too small.\n"), ""},
        pack_case{"SizeFieldBeyondFile",
                  [] {
                      return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 21), [](bmp_fields& b) {
                                                 b.file_size = 0x7fff0000u;
                                             }));
                  },
                  false, e2e::says("Error: Unable to read whole bmp.\n"), ""},
        pack_case{"OneByteShort",
                  [] {
                      scene s = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 22));
                      s.bmp.pop_back();
                      return s;
                  },
                  false, e2e::says("Error: Unable to read whole bmp.\n"), ""}),
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
