// Listing an archive and exporting an entry as a BMP, end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include "runner.h"

using fixture::bytes;
using fixture::entry;

namespace {

std::string row(size_t index, uint64_t offset, uint32_t length, const std::string& image, const std::string& name) {
    return std::to_string(index) + "\t" + std::to_string(offset) + "\t" + std::to_string(length) + "\t" + image +
           "\t" + name + "\n";
}

struct list_case {
    std::string label;
    fixture::archive a;
    std::string out;  // "" with a failure
    std::string err;
};

std::vector<list_case> list_cases() {
    std::vector<list_case> cases;
    fixture::archive a = fixture::build_archive(
        {entry{"readme.txt", bytes(8, 'r'), std::nullopt}, fixture::image("tex/a", 4, 2, 1), fixture::image("b", 3, 1, 2)});
    cases.push_back({"Ordinary", a,
                     row(0, 16, 8, "-", "readme.txt") + row(1, 24, 48, "4x2", "tex/a") + row(2, 72, 28, "3x1", "b"),
                     ""});
    cases.push_back({"Empty", fixture::build_archive({}), "", ""});
    a = fixture::build_archive({entry{"a\tb\\c\nd\re", {}, std::nullopt},
                                entry{std::string("\x01\x1f\x7f ~", 5), {}, std::nullopt},
                                entry{"caf\xc3\xa9/\xe6\x97\xa5.bgra", {}, std::nullopt}});
    cases.push_back({"Escapes", a,
                     row(0, 16, 0, "-", "a\\tb\\\\c\\nd\\re") + row(1, 16, 0, "-", "\\x01\\x1f\\x7f ~") +
                         row(2, 16, 0, "-", "caf\xc3\xa9/\xe6\x97\xa5.bgra"),
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
    a = fixture::build_archive({entry{"one", {}, std::nullopt}, entry{"two", {}, std::nullopt}});
    a.data.resize(a.at.name_table + 2 + 3 + 2 + 1);
    fixture::put_u32(a.data, a.at.dir_size_at(), static_cast<uint32_t>(a.data.size() - a.at.dir_offset));
    cases.push_back({"NameCut", a, "", "Error reading filename.\n"});
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

// A listing that cannot be written whole fails; a reader that has gone
// ends the run quietly.
TEST(List, OutputFails) {
    e2e::scratch s;
    s.write("game.dat", fixture::build_archive({fixture::image("img", 2, 2, 1)}).data);
    if (!e2e::launched())  // /dev/full is a Linux device
        e2e::expect_result(e2e::run_shell("\"$VELMORIN\" --list game.dat >/dev/full", s.dir), 255,
                           "Error writing to standard output: errno=28(No space left on device)\n");
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    e2e::result r = e2e::run_shell("\"$VELMORIN\" --list game.dat", s.dir, -1, p[1]);
    close(p[1]);
    e2e::expect_result(r, 255, "");
}

// A BMP file as an editor expects it, made by the fixture writer from the
// entry's payload: bottom-up rows of blue, green, red, padded to four bytes.
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

// Every size exports to the exact file; a width that is a multiple of 4
// packs back to the same archive and makes an all-zero patch; other widths
// get one warning. The output never overwrites the archive.
TEST(Export, Table) {
    const std::pair<int32_t, int32_t> sizes[] = {{8, 3}, {4, 1}, {1, 1}, {2, 5}, {3, 2}, {5, 3}, {0, 0}, {300, 1200}, {262200, 1}};
    e2e::scratch s;
    for (auto [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        fixture::archive a = fixture::build_archive(
            {entry{"readme", bytes(5, 'r'), std::nullopt}, fixture::image("tex/img", w, h, 9), fixture::image("x", 1, 1, 2)});
        s.write("game.dat", a.data);
        std::string trace = e2e::found_trace(a, 1, "tex/img") + e2e::bgra_line(21, 9, w, h);
        std::string warning = w % 4 ? "Warning: the width is not a multiple of 4, so the rows are padded and pack "
                                      "cannot take this BMP back.\n"
                                    : "";
        e2e::expect_result(e2e::run({"--export", "game.dat", "tex/img", "out.bmp"}, s.dir), 0, trace + warning);
        bytes payload(a.data.begin() + 37, a.data.begin() + 37 + 4 * w * h);
        EXPECT_TRUE(s.read("out.bmp") == expected_bmp(payload, w, h));
        EXPECT_EQ(s.read("game.dat"), a.data);
        if (w % 4 == 0) {
            EXPECT_EQ(e2e::run({"game.dat", "tex/img", "out.bmp"}, s.dir).status, 0);
            EXPECT_EQ(s.read("game.dat"), a.data);
            EXPECT_EQ(e2e::run({"--mkxor", "game.dat", "tex/img", "out.bmp", "p.xor"}, s.dir).status, 0);
            EXPECT_EQ(s.read("p.xor"), bytes(payload.size(), 0));
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
