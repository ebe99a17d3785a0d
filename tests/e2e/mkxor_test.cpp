// Making XOR patches, end to end, and the round trip through --xor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scene.h"

using e2e::scene;
using fixture::bmp_fields;
using fixture::bytes;

namespace {

std::string datasize(const scene& s) { return "Debug: datasize = " + std::to_string(s.size) + "\n"; }

bytes xor_of(const bytes& a, const bytes& b) {
    bytes out(a.size());
    for (size_t k = 0; k < a.size(); ++k) out[k] = a[k] ^ b.at(k);
    return out;
}

// ---- every conversion case, and the round trip ------------------------------

struct round_trip_case {
    std::string label;
    std::function<scene()> make;
    std::string before_datasize;  // on the error stream
    std::string out;
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

    bytes old = e2e::payload_of(sc.a.data, sc);
    bytes fresh = e2e::converted(e2e::model::make_xor, sc);
    EXPECT_EQ(s.read("p.xor"), xor_of(old, fresh));

    e2e::result once = e2e::run({"--xor", "game.dat", sc.name, "p.xor"}, s.dir);
    EXPECT_EQ(once.status, 0);
    EXPECT_EQ(s.read("game.dat"), e2e::with_payload(sc, fresh));
    e2e::result twice = e2e::run({"--xor", "game.dat", sc.name, "p.xor"}, s.dir);
    EXPECT_EQ(twice.status, 0);
    EXPECT_EQ(s.read("game.dat"), sc.a.data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundTrip,
    testing::Values(round_trip_case{"ExactBottomUp",
                                    [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 1)); },
                                    "Bottomup!\n", ""},
                    round_trip_case{"ExactTopDown",
                                    [] {
                                        return e2e::make_scene(8, 4,
                                                               e2e::changed(fixture::plain_bmp(8, 4, 32, 2),
                                                                            [](bmp_fields& b) { b.height = -4; }));
                                    },
                                    "", ""},
                    round_trip_case{"ExactOtherGeometry",
                                    [] {
                                        return e2e::make_scene(
                                            8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 3), [](bmp_fields& b) {
                                                b.width = 16;
                                                b.height = 2;
                                            }));
                                    },
                                    "Bottomup!\n", ""},
                    round_trip_case{"ExactRowsBeyondPayload",
                                    [] {
                                        // The BMP's rows cover more than the payload: its first bytes are used.
                                        return e2e::make_scene(6, 4,
                                                               e2e::changed(fixture::plain_bmp(7, 4, 32, 4),
                                                                            [](bmp_fields& b) { b.width = 7; }),
                                                               16 + 7 * 4 * 4);
                                    },
                                    "Bottomup!\n", ""},
                    round_trip_case{"Merge24", [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 24, 5)); },
                                    "", "24bit BMP, merging planes.\n"},
                    round_trip_case{"CutAndReverse",
                                    [] {
                                        return e2e::make_scene(
                                            8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 6), [](bmp_fields& b) {
                                                b.pixels.push_back(1);
                                                b.pixels.push_back(2);
                                            }));
                                    },
                                    "", ""},
                    round_trip_case{"LargeInfoHeaderNoWarnings",
                                    [] {
                                        return e2e::make_scene(8, 4,
                                                               e2e::changed(fixture::plain_bmp(8, 4, 32, 7),
                                                                            [](bmp_fields& b) { b.info_size = 124; }));
                                    },
                                    "", ""}),
    [](const testing::TestParamInfo<round_trip_case>& p) { return p.param.label; });

TEST(MakeXor, ReversedRowsEqualToPayloadGiveZeroPatch) {
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 10));
    bytes old = e2e::payload_of(sc.a.data, sc);
    bytes rows(old.size());
    for (size_t r = 0; r < 4; ++r)
        std::copy(old.begin() + static_cast<long>(r * 32), old.begin() + static_cast<long>(r * 32 + 32),
                  rows.begin() + static_cast<long>((3 - r) * 32));
    sc.bmp = fixture::build_bmp(bmp_fields{8, 4, 32, 1, 40, std::nullopt, std::nullopt, rows});
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    EXPECT_EQ(e2e::run({"--mkxor", "game.dat", sc.name, "in.bmp", "p.xor"}, s.dir).status, 0);
    EXPECT_EQ(s.read("p.xor"), bytes(sc.size, 0));
}

TEST(MakeXor, MergeLeavesFourthBytesZero) {
    scene sc = e2e::make_scene(12, 5, fixture::plain_bmp(12, 5, 24, 11));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    EXPECT_EQ(e2e::run({"--mkxor", "game.dat", sc.name, "in.bmp", "p.xor"}, s.dir).status, 0);
    bytes patch = s.read("p.xor");
    ASSERT_EQ(patch.size(), sc.size);
    size_t nonzero = 0;
    for (size_t k = 0; k < patch.size(); ++k) {
        if (k % 4 == 3)
            EXPECT_EQ(patch[k], 0) << "byte " << k;
        else
            nonzero += patch[k] != 0;
    }
    EXPECT_GT(nonzero, 0u);
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

INSTANTIATE_TEST_SUITE_P(
    Bmps, Refused,
    testing::Values(
        refusal_case{"MissingBmp",
                     [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 20)); },
                     {"none.bmp", "p.xor"},
                     e2e::says("Error reading bmp header.\n"),
                     false},
        refusal_case{"OutputInMissingDirectory",
                     [] { return e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 21)); },
                     {"in.bmp", "nodir/p.xor"},
                     e2e::says("Error 2(No such file or directory) opening nodir/p.xor\n"),
                     false},
        refusal_case{"PixelsPastEnd",
                     [] {
                         return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 22), [](bmp_fields& b) {
                                                    b.file_size = 54 + 129;
                                                }));
                     },
                     {"in.bmp", "p.xor"},
                     e2e::says("Error reading bmp.\n"),
                     true},
        refusal_case{"SizingMismatch",
                     [] {
                         return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 23), [](bmp_fields& b) {
                                                    b.pixels.resize(100);
                                                }));
                     },
                     {"in.bmp", "p.xor"},
                     [](const scene& s) { return e2e::sizing_mismatch(s); },
                     true},
        refusal_case{"BottomUpWidthZero",
                     [] {
                         return e2e::make_scene(
                             8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 24), [](bmp_fields& b) { b.width = 0; }));
                     },
                     {"in.bmp", "p.xor"},
                     e2e::says("Error: bmp width and height do not match its pixel data.\n"),
                     true},
        refusal_case{"BottomUpRowsBeyondPixels",
                     [] {
                         return e2e::make_scene(
                             8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 25), [](bmp_fields& b) { b.height = 5; }));
                     },
                     {"in.bmp", "p.xor"},
                     e2e::says("Error: bmp width and height do not match its pixel data.\n"),
                     true},
        refusal_case{"BottomUpRowsShortOfPayload",
                     [] {
                         return e2e::make_scene(8, 4, e2e::changed(fixture::plain_bmp(8, 4, 32, 26), [](bmp_fields& b) {
                                                    b.width = 4;
                                                    b.height = 7;
                                                }));
                     },
                     {"in.bmp", "p.xor"},
                     e2e::says("Error: bmp width and height do not match its pixel data.\n"),
                     true}),
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
