// Making XOR patches, end to end, and the round trip through --xor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scene.h"

using e2e::scene;
using e2e::small;
using fixture::bmp_fields;
using fixture::bytes;

namespace {

std::string datasize(const scene& s) { return "Debug: datasize = " + std::to_string(s.size) + "\n"; }

// ---- every conversion case, and the round trip ------------------------------

struct round_trip_case {
    std::string label;
    std::function<scene()> make;
    std::string before_datasize;  // on the error stream
    std::string out;
    std::string patch;  // hex
};

void PrintTo(const round_trip_case& c, std::ostream* os) { *os << c.label; }

class RoundTrip : public testing::TestWithParam<round_trip_case> {};

TEST_P(RoundTrip, PatchAppliesAndUndoes) {
    const round_trip_case& c = GetParam();
    scene sc = c.make();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    e2e::result r = e2e::run({"--mkxor", "game.dat", sc.name, "in.bmp", "p.xor"}, s.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, e2e::entry_trace(sc) + c.before_datasize + datasize(sc));
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(s.read("game.dat"), sc.a.data);
    EXPECT_EQ(s.read("in.bmp"), sc.bmp);

    bytes patch = fixture::hex(c.patch);
    EXPECT_EQ(s.read("p.xor"), patch);
    // --mkpatch: the same run and bytes, then a check block.
    e2e::result checked = e2e::run({"--mkpatch", "game.dat", sc.name, "in.bmp", "c.xor"}, s.dir);
    bytes block = s.read("c.xor");
    size_t block_size = 48 + sc.name.size();
    e2e::expect_result(checked, 0,
                       r.err + "Debug: check block = " + std::to_string(block_size) + " bytes, " +
                           std::to_string(patch.size() + block_size) + " in all\n",
                       r.out);
    EXPECT_EQ(block.size(), patch.size() + block_size);
    EXPECT_TRUE(block.size() > patch.size() && std::equal(patch.begin(), patch.end(), block.begin()));
    bytes fresh = e2e::xored(e2e::payload_of(sc.a.data, sc), 0, patch);

    e2e::result once = e2e::run({"--xor", "game.dat", sc.name, "p.xor"}, s.dir);
    EXPECT_EQ(once.status, 0);
    EXPECT_EQ(s.read("game.dat"), e2e::with_payload(sc, fresh));
    e2e::result twice = e2e::run({"--xor", "game.dat", sc.name, "p.xor"}, s.dir);
    EXPECT_EQ(twice.status, 0);
    EXPECT_EQ(s.read("game.dat"), sc.a.data);
}

// The patch is the old payload XOR the converted pixels, written out here:
// old_2x2 or old_4x2 XOR pixels_16 or pixels_24 as each case takes them.
INSTANTIATE_TEST_SUITE_P(
    Cases, RoundTrip,
    testing::Values(
        // Rows of 8 bytes, reversed.
        round_trip_case{"ExactBottomUp", [] { return small(); }, "Bottomup!\n", "",
                        "34739bef09bb26d0 6e12ca49f45ca185"},
        // As read.
        round_trip_case{"ExactTopDown", [] { return small([](bmp_fields& b) { b.height = -2; }); }, "", "",
                        "3c7b93e701b32ed8 661ac241fc54a98d"},
        // Reversed by the BMP's own rows: four of 4 bytes.
        round_trip_case{"ExactOtherGeometry", [] { return small(e2e::bmp_geometry(1, 4)); },
                        "Bottomup!\n", "", "30779feb0dbf22d4 6a16ce4df058a581"},
        // The BMP's two rows of 12 bytes cover more than the payload: the
        // first 16 bytes of them reversed.
        round_trip_case{"ExactRowsBeyondPayload",
                        [] {
                            return e2e::holding(
                                e2e::make_scene(2, 2, e2e::literal_bmp(3, 2, 32, e2e::pixels_24), 16 + 24),
                                e2e::old_2x2);
                        },
                        "Bottomup!\n", "", "30779feb15a73acc 7a06de5df058a581"},
        // Rows reversed; the fourth bytes keep the entry's, so they XOR to 0.
        round_trip_case{"Merge24",
                        [] {
                            return e2e::holding(e2e::make_scene(4, 2, e2e::literal_bmp(4, 2, 24, e2e::pixels_24)),
                                                e2e::old_4x2);
                        },
                        "", "24bit BMP, merging planes.\n",
                        "30779f00 0aa63900 7c00dc00 e54fb000 19d26400 b77a0a00 c73f5200 7947b500"},
        round_trip_case{"CutAndReverse", [] { return small(e2e::extra_pixels("0102")); },
                        "", "", "34739bef09bb26d0 6e12ca49f45ca185"},
        // The rest of the header (0xc0 + offset % 61) taken as pixels, as
        // pack does, without pack's warnings.
        round_trip_case{"LargeInfoHeaderNoWarnings", [] { return small([](bmp_fields& b) { b.info_size = 124; }); }, "",
                        "", "fdb85220c070ef17 98e430b30aa25b42"}),
    [](const testing::TestParamInfo<round_trip_case>& p) { return p.param.label; });

// The check block --mkpatch appends, written out: 2 x 2, the hashes of the
// pixels before and after, version 1, the name, the block's hash, its size
// and the magic.
TEST(MakePatch, CheckBlockBytes) {
    scene sc = small();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    EXPECT_EQ(e2e::run({"--mkpatch", "game.dat", sc.name, "in.bmp", "c.xor"}, s.dir).status, 0);
    EXPECT_EQ(s.read("c.xor"), fixture::hex("34739bef09bb26d0 6e12ca49f45ca185 02000000 02000000 95eff845553610ab "
                                            "90abe1ff94ee5650 0100 0f00 7465782f7461726765742e62677261 "
                                            "cf4e81e7ed71f949 3f000000 564d585041544348"));
    EXPECT_EQ(e2e::run({"--check", "game.dat", sc.name, "c.xor"}, s.dir).out, "applicable\n");
}

// ---- refusals -----------------------------------------------------------------

struct refusal_case {
    std::string label;
    std::function<scene()> make;
    std::vector<std::string> files;  // BMP and output path arguments
    std::function<std::string(const scene&)> tail;
    bool output_left_empty;  // the output was opened (emptied) before the failure
};

void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.label; }

class Refused : public testing::TestWithParam<refusal_case> {};

TEST_P(Refused, ArchiveUntouched) {
    const refusal_case& c = GetParam();
    scene sc = c.make();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    // An old patch in the way is emptied, as opening it for output does.
    if (c.output_left_empty) s.write(c.files[1], bytes(3 * sc.size, 0xab));
    e2e::result r = e2e::run({"--mkxor", "game.dat", sc.name, c.files[0], c.files[1]}, s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, e2e::entry_trace(sc) + c.tail(sc));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(s.read("game.dat"), sc.a.data);
    EXPECT_EQ(s.read("in.bmp"), sc.bmp);
    if (c.output_left_empty) {
        EXPECT_EQ(s.read(c.files[1]), bytes{});
        // Such a leftover is refused when applied.
        e2e::result apply = e2e::run({"--xor", "game.dat", sc.name, c.files[1]}, s.dir);
        EXPECT_EQ(apply.status, 255);
        EXPECT_EQ(apply.err, e2e::entry_trace(sc) + "Short read.\n");
    } else {
        EXPECT_FALSE(s.exists(c.files[1]));
    }
}

const std::string geometry = "Error: bmp width and height do not match its pixel data.\n";

INSTANTIATE_TEST_SUITE_P(
    Bmps, Refused,
    testing::Values(
        refusal_case{"MissingBmp", [] { return small(); }, {"none.bmp", "p.xor"},
                     e2e::says("Error reading bmp header.\n"), false},
        refusal_case{"OutputInMissingDirectory", [] { return small(); }, {"in.bmp", "nodir/p.xor"},
                     e2e::says("Error 2(No such file or directory) opening nodir/p.xor\n"), false},
        refusal_case{"PixelsPastEnd", [] { return small([](bmp_fields& b) { b.file_size = 54 + 17; }); },
                     {"in.bmp", "p.xor"}, e2e::says("Error reading bmp.\n"), true},
        refusal_case{"SizingMismatch", [] { return small([](bmp_fields& b) { b.pixels.resize(10); }); },
                     {"in.bmp", "p.xor"}, [](const scene& s) { return e2e::sizing_mismatch(s); }, true},
        refusal_case{"BottomUpWidthZero", [] { return small(e2e::bmp_geometry(0, 2)); }, {"in.bmp", "p.xor"},
                     e2e::says(geometry), true},
        refusal_case{"BottomUpRowsBeyondPixels", [] { return small(e2e::bmp_geometry(2, 3)); }, {"in.bmp", "p.xor"},
                     e2e::says(geometry), true},
        refusal_case{"BottomUpRowsShortOfPayload", [] { return small(e2e::bmp_geometry(1, 3)); },
                     {"in.bmp", "p.xor"}, e2e::says(geometry), true}),
    [](const testing::TestParamInfo<refusal_case>& p) { return p.param.label; });

// The output named as one of the inputs, however spelled: refused before
// anything is opened for writing.
TEST(MakeXor, OutputThatIsAnInput) {
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 30));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    mkdir(s.path("sub").c_str(), 0755);
    ASSERT_EQ(symlink("game.dat", s.path("archive-link").c_str()), 0);
    ASSERT_EQ(link(s.path("game.dat").c_str(), s.path("archive-hard").c_str()), 0);
    ASSERT_EQ(symlink("in.bmp", s.path("bmp-link").c_str()), 0);
    ASSERT_EQ(link(s.path("in.bmp").c_str(), s.path("bmp-hard").c_str()), 0);
    for (const std::string& out :
         std::vector<std::string>{"game.dat", "./game.dat", "sub/../game.dat", "archive-link", "archive-hard", "in.bmp",
                                  "./in.bmp", "bmp-link", "bmp-hard", s.path("game.dat")}) {
        SCOPED_TRACE(out);
        e2e::result r = e2e::run({"--mkxor", "game.dat", sc.name, "in.bmp", out}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, e2e::entry_trace(sc) + "Error: " + out + " is an input file; refusing to overwrite it.\n");
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
        EXPECT_EQ(s.read("in.bmp"), sc.bmp);
    }
}

TEST(MakeXor, NewOutputFollowsUmaskAndOldOutputIsReplaced) {
    SKIP_WHEN_LAUNCHED("POSIX file modes");
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 31));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    const char* line = "umask 027; \"$VELMORIN\" --mkxor game.dat tex/target.bgra in.bmp new.xor";
    ASSERT_EQ(e2e::run_shell(line, s.dir).status, 0);
    struct stat st;
    ASSERT_EQ(stat(s.path("new.xor").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    s.write("old.xor", bytes(sc.size * 3, 0xab));
    ASSERT_EQ(e2e::run({"--mkxor", "game.dat", sc.name, "in.bmp", "old.xor"}, s.dir).status, 0);
    EXPECT_EQ(s.read("old.xor"), s.read("new.xor"));
}

}  // namespace
