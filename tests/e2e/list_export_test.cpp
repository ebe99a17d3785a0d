// Listing an archive and exporting an entry as a BMP, end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include "scene.h"

using fixture::bytes;
using fixture::entry;

namespace {

std::string row(size_t index, uint64_t offset, uint32_t length, const std::string& image, const std::string& name) {
    return std::to_string(index) + "\t" + std::to_string(offset) + "\t" + std::to_string(length) + "\t" + image + "\t" +
           name + "\n";
}

struct list_case {
    std::string label;
    fixture::archive a;
    std::string out;  // "" with a failure
    std::string err;
};

std::vector<list_case> list_cases() {
    std::vector<list_case> cases;
    fixture::archive a = fixture::build_archive({entry{"readme.txt", bytes(8, 'r'), std::nullopt},
                                                 fixture::image("tex/a", 4, 2, 1), fixture::image("b", 3, 1, 2)});
    cases.push_back({"Ordinary", a,
                     row(0, 16, 8, "-", "readme.txt") + row(1, 24, 48, "4x2", "tex/a") + row(2, 72, 28, "3x1", "b"),
                     ""});
    cases.push_back({"Empty", fixture::build_archive({}), "", ""});
    a = fixture::build_archive({entry{"a\tb\\c\nd\re", {}, std::nullopt},
                                entry{std::string("\x01\x1f\x7f ~", 5), {}, std::nullopt},
                                entry{"caf\xc3\xa9/\xe6\x97\xa5.bgra", {}, std::nullopt},
                                entry{"textures/long\\name\x7f.bgra\x1f", {}, std::nullopt},
                                entry{"ab\177cdefgh", {}, std::nullopt},
                                entry{"a\tbcdefghijklmnopq", {}, std::nullopt}});
    cases.push_back({"Escapes", a,
                     row(0, 16, 0, "-", "a\\tb\\\\c\\nd\\re") + row(1, 16, 0, "-", "\\x01\\x1f\\x7f ~") +
                         row(2, 16, 0, "-", "caf\xc3\xa9/\xe6\x97\xa5.bgra") +
                         row(3, 16, 0, "-", "textures/long\\\\name\\x7f.bgra\\x1f") +
                         row(4, 16, 0, "-", "ab\\x7fcdefgh") + row(5, 16, 0, "-", "a\\tbcdefghijklmnopq"),
                     ""});
    // Entries the other modes refuse: larger than its entry, bad sizes, pixels
    // over the directory, past 2^31 (printed as summed).
    fixture::entry big = fixture::image("big", 2, 2, 3);
    big.data.resize(31);
    fixture::entry negative = fixture::image("neg", 1, 1, 4);
    fixture::put_s32(negative.data, 8, -1);
    fixture::entry pad{"pad", {}, 0x7ffffff0u};
    a = fixture::build_archive({big, negative, fixture::image("over", 2, 2, 5), pad, fixture::image("far", 1, 1, 6)},
                               2);
    fixture::put_s32(a.data, a.at.data_offset[2] + 12, 3);
    uint32_t over_length = fixture::get_u32(a.data, a.at.dirent_length_at(2));
    cases.push_back({"Unfit", a,
                     row(0, 16, 31, "-", "big") + row(1, 47, 20, "-", "neg") + row(2, 67, over_length, "-", "over") +
                         row(3, 67 + over_length, 0x7ffffff0u, "1x1", "pad") +  // far's header is at its offset
                         row(4, 67 + over_length + 0x7ffffff0ull, 20, "-", "far"),
                     ""});
    // Damage at the end of a directory whose listing would fill the output
    // buffer more than once: still no line at all.
    std::vector<entry> many;
    for (int i = 0; i < 5000; ++i) many.push_back(entry{"n" + std::to_string(10000 + i), {}, std::nullopt});
    a = fixture::build_archive(many);
    fixture::archive cut = a;
    cut.data.resize(a.at.name_table + 8 * 4999 + 2 + 1);
    fixture::put_u32(cut.data, cut.at.dir_size_at(), static_cast<uint32_t>(cut.data.size() - cut.at.dir_offset));
    cases.push_back({"NameCut", cut, "", "Error reading filename.\n"});
    fixture::put_u16(a.data, a.at.name_table + 8 * 4999, 600);
    cases.push_back({"NameTooLong", a, "",
                     "Filename length >512, probably an error since I don't think Windows likes that.\nAt any rate, "
                     "our buffers aren't big enough.\n"});
    return cases;
}

// A listing is whole or absent: a damaged archive prints its message and
// nothing on standard output.
TEST(List, Table) {
    e2e::scratch s;
    for (const list_case& c : list_cases()) {
        SCOPED_TRACE(c.label);
        s.write("game.dat", c.a.data);
        e2e::expect_result(e2e::run({"--list", "game.dat"}, s.dir), c.err.empty() ? 0 : 255, c.err, c.out);
        EXPECT_EQ(s.read("game.dat"), c.a.data);
    }
}

// An answer (a listing, --check's word, --help, --version) that cannot be
// written whole fails; a reader that has gone ends the run quietly, 255 too.
TEST(List, OutputFails) {
    e2e::scratch s;
    fixture::archive a = fixture::build_archive({fixture::image("img", 2, 2, 1)});
    s.write("game.dat", a.data);
    s.write("p.xor", bytes(16, 0));
    const std::string check_trace = e2e::found_trace(a, 0, "img") + e2e::bgra_line(16, 1, 2, 2);
    // Every answer a script reads.
    const std::pair<std::string, std::string> answers[] = {
        {"--list game.dat", ""}, {"--check game.dat img p.xor", check_trace}, {"--help", ""}, {"--version", ""}};
    for (const auto& [args, trace] : answers) {
        SCOPED_TRACE(args);
        if (!e2e::launched())  // /dev/full is a Linux device
            e2e::expect_result(e2e::run_shell("\"$VELMORIN\" " + args + " >/dev/full", s.dir), 255,
                               trace + "Error writing to standard output: errno=28(No space left on device)\n");
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        close(p[0]);
        e2e::result r = e2e::run_shell("\"$VELMORIN\" " + args, s.dir, -1, p[1]);
        close(p[1]);
        e2e::expect_result(r, 255, trace);
    }
}

// A BMP file as an editor expects it, made by the fixture writer from the
// entry's payload: bottom-up rows of blue, green, red, padded to four bytes.
// For the images larger than a band, which cannot be written out.
bytes expected_bmp(const bytes& payload, int32_t w, int32_t h) {
    size_t width = static_cast<size_t>(w), stride = (3 * width + 3) / 4 * 4;
    bytes rows;
    for (size_t r = static_cast<size_t>(h); r-- > 0;) {
        for (size_t x = 0; x < width; ++x)
            for (size_t k = 0; k < 3; ++k) rows.push_back(payload[(r * width + x) * 4 + k]);
        rows.resize(rows.size() + stride - 3 * width, 0);
    }
    return fixture::build_bmp({w, h, 24, 1, 40, std::nullopt, std::nullopt, rows});
}

// The headers' bytes that follow bfSize, and those that follow biHeight, for
// 24 and 32 bits.
const std::string offsets = "00000000 36000000 28000000";
const std::string bits24 = "0100 1800 00000000", bits32 = "0100 2000 00000000";
const std::string metres = "130b0000 130b0000 00000000 00000000";

// Every size exports to the exact file. An export of any width either packs
// back to the same archive and makes an all-zero patch, or is refused by
// both; the warning says which. The output never overwrites the archive.
TEST(Export, Table) {
    struct size_case {
        int32_t w, h;
        uint32_t slack;    // stored bytes after the pixels
        std::string file;  // hex; the entry holds the first bytes of old_4x2 ("": larger than a band)
    };
    const size_case sizes[] = {
        {4, 2, 0,
         "424d 4e000000" + offsets + "04000000 02000000" + bits24 + "18000000" + metres +
             "19d366 b47e0f c1385a 704dbe 3c7a91 05b628 6e13c8 f059a7"},
        // Padded rows: refused.
        {5, 1, 0,
         "424d 46000000" + offsets + "05000000 01000000" + bits24 + "10000000" + metres +
             "3c7a91 05b628 6e13c8 f059a7 19d366 00"},
        {6, 1, 4,
         "424d 4a000000" + offsets + "06000000 01000000" + bits24 + "14000000" + metres +
             "3c7a91 05b628 6e13c8 f059a7 19d366 b47e0f 0000"},
        // Widths below 4: 32 bits and trailing bytes, 8 when 4 would make
        // the count equal the stored length.
        {1, 1, 0, "424d 3e000000" + offsets + "01000000 01000000" + bits32 + "04000000" + metres + "3c7a91e4 00000000"},
        {3, 1, 0,
         "424d 46000000" + offsets + "03000000 01000000" + bits32 + "0c000000" + metres +
             "3c7a91e4 05b628df 6e13c84a 00000000"},
        {2, 2, 0,
         "424d 4a000000" + offsets + "02000000 02000000" + bits32 + "10000000" + metres +
             "6e13c84a f059a782 3c7a91e4 05b628df 00000000"},
        {2, 2, 4,
         "424d 4e000000" + offsets + "02000000 02000000" + bits32 + "10000000" + metres +
             "6e13c84a f059a782 3c7a91e4 05b628df 00000000 00000000"},
        {0, 0, 0, "424d 36000000" + offsets + "00000000 00000000" + bits24 + "00000000" + metres},
        {0, 5, 0, "424d 36000000" + offsets + "00000000 05000000" + bits24 + "00000000" + metres},
        {6, 0, 0, "424d 36000000" + offsets + "06000000 00000000" + bits24 + "00000000" + metres},
        {300, 1200, 0, ""},
        {262200, 1, 0, ""}};
    const std::string padded =
        "Warning: the width is not a multiple of 4, so the rows are padded and pack cannot "
        "take this BMP back.\n";
    const std::string narrow =
        "Warning: the width is less than 4: pack takes this 32-bit BMP back unchanged, but "
        "scrambles one that an image editor saves at this width.\n";
    e2e::scratch s;
    for (const size_case& c : sizes) {
        auto [w, h, slack, file] = c;
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + "+" + std::to_string(slack));
        bytes old = fixture::hex(e2e::old_4x2);
        fixture::entry img =
            file.empty() ? fixture::image("tex/img", w, h, 9)
                         : entry{"tex/img", fixture::bgra_entry(w, h, 9, bytes(old.begin(), old.begin() + 4 * w * h)),
                                 std::nullopt};
        img.data.resize(img.data.size() + slack, 0x3c);
        fixture::archive a =
            fixture::build_archive({entry{"readme", bytes(5, 'r'), std::nullopt}, img, fixture::image("x", 1, 1, 2)});
        s.write("game.dat", a.data);
        std::string trace = e2e::found_trace(a, 1, "tex/img") + e2e::bgra_line(21, 9, w, h);
        bool empty = w == 0 || h == 0, packs_back = !empty && (w < 4 || w % 4 == 0);
        std::string warning = empty ? "Warning: the image is empty (" + std::to_string(w) + "x" + std::to_string(h) +
                                          "), so the BMP holds no pixels; image editors may not open it.\n"
                              : w < 4 ? narrow
                              : w % 4 ? padded
                                      : "";
        e2e::expect_result(e2e::run({"--export", "game.dat", "tex/img", "out.bmp"}, s.dir), 0, trace + warning);
        bytes payload(a.data.begin() + 37, a.data.begin() + 37 + 4 * w * h);
        EXPECT_TRUE(s.read("out.bmp") == (file.empty() ? expected_bmp(payload, w, h) : fixture::hex(file)));
        EXPECT_EQ(s.read("game.dat"), a.data);
        if (empty) continue;
        e2e::result packed = e2e::run({"game.dat", "tex/img", "out.bmp"}, s.dir);
        e2e::result patched = e2e::run({"--mkxor", "game.dat", "tex/img", "out.bmp", "p.xor"}, s.dir);
        EXPECT_EQ(s.read("game.dat"), a.data);
        EXPECT_EQ(packed.status, packs_back ? 0 : 255);
        EXPECT_EQ(patched.status, packs_back ? 0 : 255);
        if (packs_back) {
            EXPECT_EQ(s.read("p.xor"), bytes(payload.size(), 0));
        } else {
            EXPECT_NE(packed.err.find("Header sizing mismatch."), std::string::npos);
        }
    }
    ASSERT_EQ(link(s.path("game.dat").c_str(), s.path("hard.dat").c_str()), 0);
    for (const std::string& out : {std::string("game.dat"), std::string("./hard.dat")}) {
        e2e::result r = e2e::run({"--export", "game.dat", "tex/img", out}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
                  "Error: " + out + " is an input file; refusing to overwrite it.\n");
    }
}

}  // namespace
