// What differs between platforms: paths of every spelling (Windows ones under
// a launcher only), and an archive larger than 4 GiB (on both).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "runner.h"

using fixture::bytes;
using fixture::entry;

namespace {

std::string windows_path(const std::string& unix_path) {
    std::string p = "Z:" + unix_path;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

// Non-ASCII names and paths longer than Windows' old 260-character limit,
// relative and absolute, reach the same files; under a launcher, so do
// backslashes, drive letters and other letter case. An output that is the
// archive by any of those spellings is refused.
TEST(Platform, PathsOfAnySpelling) {
    e2e::scratch s;
    std::string deep = "Größe";
    for (char c : std::string("abcde")) deep += "/" + std::string(60, c);
    ASSERT_EQ(system(("mkdir -p '" + s.path(deep) + "'").c_str()), 0);
    std::string name = "tex/日本.bgra";
    fixture::archive a =
        fixture::build_archive({entry{"readme", bytes(4, 'r'), std::nullopt}, fixture::image(name, 4, 2, 3)});
    std::string archive = deep + "/日本.dat";
    s.write(archive, a.data);
    std::vector<std::string> spellings = {archive, s.path(archive)};
    std::string backslashed = archive;
    for (char& c : backslashed)
        if (c == '/') c = '\\';
    if (e2e::launched())
        spellings.insert(spellings.end(), {backslashed, windows_path(s.path(archive)),
                                           "GRÖßE" + backslashed.substr(std::string("Größe").size())});
    std::string listing = "0\t16\t4\t-\treadme\n1\t20\t48\t4x2\t" + name + "\n";
    for (const std::string& path : spellings) {
        SCOPED_TRACE(path);
        e2e::expect_result(e2e::run({"--list", path}, s.dir), 0, "", listing);
        e2e::result r = e2e::run({"--export", path, name, path}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
                  "Error: " + path + " is an input file; refusing to overwrite it.\n");
    }
    std::string trace = e2e::found_trace(a, 1, name) + e2e::bgra_line(20, 3, 4, 2);
    std::string picture = spellings.back().substr(0, spellings.back().size() - 10) + "bild.bmp";
    e2e::expect_result(e2e::run({"--export", spellings.back(), name, picture}, s.dir), 0, trace);
    e2e::expect_result(e2e::run({spellings.back(), name, picture}, s.dir), 0, trace + "Debug: data updated.\n",
                       "24bit BMP, merging planes.\n");
    EXPECT_EQ(s.read(archive), a.data);
    EXPECT_TRUE(s.exists(deep + "/bild.bmp"));
    e2e::expect_result(e2e::run({"--list", "Größe/fehlt.dat"}, s.dir), 255, "Error opening Größe/fehlt.dat\n");
}

// An archive of over 4 GiB, sparse: an image at its start, the directory
// after it, then an entry 4 GiB long and one more image past it. Sizes and
// positions are 64-bit; the format's offsets stay signed 32-bit, so the
// last image is listed where its offset lies and refused by the others.
TEST(Platform, ArchiveOver4GiB) {
    e2e::scratch s;
    fixture::entry far = fixture::image("far", 2, 2, 5);
    fixture::archive a = fixture::build_archive(
        {fixture::image("near", 4, 2, 4), entry{"huge", {}, 0xfffffff0u}, entry{"far", {}, 20u}}, 0);
    uint64_t near_length = fixture::get_u32(a.data, a.at.dirent_length_at(0));
    uint64_t far_at = 16 + near_length + 0xfffffff0u;
    s.write("big.dat", a.data);
    {
        std::fstream f(s.path("big.dat"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(far_at));
        f.write(reinterpret_cast<const char*>(far.data.data()), static_cast<std::streamsize>(far.data.size()));
        ASSERT_TRUE(f.good());
    }
    e2e::expect_result(e2e::run({"--list", "big.dat"}, s.dir), 0, "",
                       "0\t16\t" + std::to_string(near_length) + "\t4x2\tnear\n1\t" + std::to_string(16 + near_length) +
                           "\t4294967280\t-\thuge\n2\t" + std::to_string(far_at) + "\t20\t-\tfar\n");
    bytes patch = fixture::pattern(32, 6);
    s.write("p.xor", patch);
    EXPECT_EQ(e2e::run({"--xor", "big.dat", "near", "p.xor"}, s.dir).status, 0);
    e2e::result r = e2e::run({"--xor", "big.dat", "far", "p.xor"}, s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), "Error: lseek() failed.\n");

    // Only the first image's pixels changed; the far end is as written.
    std::ifstream f(s.path("big.dat"), std::ios::binary);
    bytes head(a.data.size()), tail(far.data.size());
    f.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    f.seekg(static_cast<std::streamoff>(far_at));
    f.read(reinterpret_cast<char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    EXPECT_TRUE(head == e2e::xored(a.data, 32, patch));
    EXPECT_TRUE(tail == far.data);
    struct stat st;
    ASSERT_EQ(stat(s.path("big.dat").c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), far_at + far.data.size());
}

}  // namespace
