// What differs between platforms: Windows paths (under a launcher only), and
// an archive larger than 4 GiB (on both).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Backslashes, drive letters, other letter case and non-ASCII names all
// reach the same files; an output that is the archive by any of those
// spellings is refused.
TEST(Platform, WindowsPaths) {
    if (!e2e::launched()) GTEST_SKIP() << "Windows paths: under a launcher only";
    e2e::scratch s;
    mkdir(s.path("Größe").c_str(), 0755);
    std::string name = "tex/日本.bgra";
    fixture::archive a = fixture::build_archive({entry{"readme", bytes(4, 'r'), std::nullopt}, fixture::image(name, 4, 2, 3)});
    s.write("Größe/日本.dat", a.data);
    std::string listing = "0\t16\t4\t-\treadme\n1\t20\t48\t4x2\t" + name + "\n";
    for (const std::string& archive :
         {std::string("Größe\\日本.dat"), windows_path(s.path("Größe/日本.dat")), std::string("GRÖßE\\日本.DAT")}) {
        SCOPED_TRACE(archive);
        e2e::expect_result(e2e::run({"--list", archive}, s.dir), 0, "", listing);
    }
    std::string trace = e2e::found_trace(a, 1, name) + e2e::bgra_line(20, 3, 4, 2);
    e2e::expect_result(e2e::run({"--export", "Größe\\日本.dat", name, "Größe\\bild.bmp"}, s.dir), 0, trace);
    e2e::expect_result(e2e::run({"Größe\\日本.dat", name, "Größe\\bild.bmp"}, s.dir), 0,
                       trace + "Debug: data updated.\n", "24bit BMP, merging planes.\n");
    EXPECT_EQ(s.read("Größe/日本.dat"), a.data);
    for (const std::string& out : {std::string("größe\\日本.DAT"), windows_path(s.path("Größe/日本.dat"))}) {
        SCOPED_TRACE(out);
        e2e::expect_result(e2e::run({"--export", "Größe/日本.dat", name, out}, s.dir), 255,
                           trace + "Error: " + out + " is an input file; refusing to overwrite it.\n");
    }
    e2e::expect_result(e2e::run({"--list", "Größe\\fehlt.dat"}, s.dir), 255, "Error opening Größe\\fehlt.dat\n");
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
