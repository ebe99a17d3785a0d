// Images of several pixel bands, with rows that do not divide a band and
// rows longer than one: the bytes read in place from regular files equal
// the bytes of the same inputs piped in (read whole), and the model's.
#include <gtest/gtest.h>

#include "scene.h"

using e2e::scene;
using fixture::bmp_fields;
using fixture::bytes;

namespace {

struct band_case {
    std::string label;
    int32_t width, height;  // of the entry
    int bits;
    int extra_bytes;     // appended to the BMP's pixels (cut and reverse)
    int32_t bmp_height;  // the BMP's biHeight
    std::string err;     // what the conversion prints on the error stream in make-XOR
    std::string out;
};

void PrintTo(const band_case& c, std::ostream* os) { *os << c.label; }

scene make(const band_case& c) {
    bmp_fields b{c.width,
                 c.bmp_height,
                 static_cast<uint16_t>(c.bits),
                 1,
                 40,
                 std::nullopt,
                 std::nullopt,
                 fixture::bmp_rows(c.width, c.height, c.bits, 99)};
    b.pixels.resize(b.pixels.size() + static_cast<size_t>(c.extra_bytes), 0x3c);
    return e2e::make_scene(c.width, c.height, b);
}

class Bands : public testing::TestWithParam<band_case> {};

TEST_P(Bands, InPlaceEqualsPiped) {
    const band_case& c = GetParam();
    scene sc = make(c);
    e2e::scratch s;
    s.write("a.dat", sc.a.data);
    s.write("b.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    const std::string name = sc.name;
    // Standard input has no path on Windows: under a launcher the "piped"
    // runs read the file too, and the model comparisons are what counts.
    const std::string in_bmp = e2e::launched() ? "< /dev/null \"$VELMORIN\" " : "cat in.bmp | \"$VELMORIN\" ";
    const std::string bmp_path = e2e::launched() ? " in.bmp" : " /dev/stdin";

    // Make-XOR, both ways.
    e2e::result made = e2e::run({"--mkxor", "a.dat", name, "in.bmp", "file.xor"}, s.dir);
    e2e::result piped = e2e::run_shell(in_bmp + "--mkxor a.dat " + name + bmp_path + " pipe.xor", s.dir);
    std::string trace = e2e::entry_trace(sc) + c.err + "Debug: datasize = " + std::to_string(sc.size) + "\n";
    for (const e2e::result& r : {made, piped}) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, trace);
        EXPECT_EQ(r.out, c.out);
    }
    bytes old = e2e::payload_of(sc.a.data, sc);
    bytes patch = s.read("file.xor");
    EXPECT_TRUE(patch == s.read("pipe.xor"));
    bytes fresh = e2e::converted(e2e::model::make_xor, sc);
    for (size_t k = 0; k < patch.size() && k < fresh.size(); ++k) patch[k] ^= old[k];
    EXPECT_TRUE(patch == fresh);

    // Apply-XOR, both ways.
    e2e::result applied = e2e::run({"--xor", "a.dat", name, "file.xor"}, s.dir);
    e2e::result applied_piped = e2e::run_shell(
        "\"$VELMORIN\" --xor b.dat " + name + (e2e::launched() ? " pipe.xor" : " /dev/stdin < pipe.xor"), s.dir);
    EXPECT_EQ(applied.status, 0);
    EXPECT_EQ(applied_piped.status, 0);
    bytes a = s.read("a.dat");
    EXPECT_TRUE(a == s.read("b.dat"));
    EXPECT_TRUE(a == e2e::with_payload(sc, fresh));

    // Pack, both ways, over the original archive. Only a BMP of the entry's
    // own geometry passes pack's header check.
    if (c.bmp_height != c.height) return;
    s.write("a.dat", sc.a.data);
    s.write("b.dat", sc.a.data);
    e2e::result packed = e2e::run({"a.dat", name, "in.bmp"}, s.dir);
    e2e::result packed_piped = e2e::run_shell(in_bmp + "b.dat " + name + bmp_path, s.dir);
    for (const e2e::result& r : {packed, packed_piped}) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, e2e::entry_trace(sc) + "Debug: data updated.\n");
    }
    a = s.read("a.dat");
    EXPECT_TRUE(a == s.read("b.dat"));
    EXPECT_TRUE(a == e2e::with_payload(sc, e2e::converted(e2e::model::pack, sc)));
}

INSTANTIATE_TEST_SUITE_P(Images, Bands,
                         testing::Values(band_case{"Exact", 1001, 800, 32, 0, 800, "Bottomup!\n", ""},
                                         band_case{"ExactTopDown", 1001, 800, 32, 0, -800, "", ""},
                                         band_case{"Merge", 1004, 800, 24, 0, 800, "", "24bit BMP, merging planes.\n"},
                                         band_case{"CutAndReverse", 1001, 800, 32, 2, 800, "", ""},
                                         band_case{"LongRowsExact", 300001, 3, 32, 0, 3, "Bottomup!\n", ""},
                                         band_case{"LongRowsMerge", 300000, 3, 24, 0, 3, "",
                                                   "24bit BMP, merging planes.\n"},
                                         band_case{"LongRowsCutAndReverse", 300001, 3, 32, 6, 3, "", ""}),
                         [](const testing::TestParamInfo<band_case>& p) { return p.param.label; });

}  // namespace
