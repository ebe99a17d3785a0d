// The folder modes: --export-all writes every image entry under a folder by
// the name <-> path rule, and refuses before writing anything when a file is
// already there, a folder on the way is a link, or two paths differ only in
// letter case; --pack-all takes such a folder back, all or nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "runner.h"

using fixture::bytes;
using fixture::entry;

namespace {

std::set<std::string> files_under(const std::string& dir) {
    std::set<std::string> out;
    if (!std::filesystem::is_directory(dir)) return out;
    for (const auto& f : std::filesystem::recursive_directory_iterator(dir))
        if (f.is_regular_file()) out.insert(f.path().string().substr(dir.size() + 1));
    return out;
}

// The RGBA rows a PNG of the image entry must hold.
bytes rgba_of(const entry& e) {
    bytes out(e.data.begin() + 16, e.data.end());
    for (size_t k = 0; k + 3 < out.size(); k += 4) std::swap(out[k], out[k + 2]);
    return out;
}

std::string last_line(const e2e::result& r) { return r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1); }

TEST(Folder, ExportAllWritesEveryImageByTheRule) {
    const std::vector<std::pair<entry, std::string>> images = {
        {fixture::image("tex/a.bgra", 3, 2, 1), "tex/a.bgra.png"},
        {fixture::image("con", 1, 1, 2), "%63on.png"},
        {fixture::image("x:y*", 2, 1, 3), "x%3Ay%2A.png"},
        {fixture::image("a//b", 1, 2, 4), "a%2F%2Fb.png"},
        {fixture::image("../up", 1, 1, 5), "..%2Fup.png"},
        {fixture::image("\xff/dir./n", 2, 2, 6), "%FF/dir%2E/n.png"},
        {fixture::image("\xc3\xa9t\xc3\xa9/ok", 1, 1, 7), "\xc3\xa9t\xc3\xa9/ok.png"},
        // Past Windows' old 260-character limit.
        {fixture::image(std::string(200, 'd') + "/" + std::string(100, 'f'), 1, 1, 11),
         std::string(200, 'd') + "/" + std::string(100, 'f') + ".png"}};
    std::vector<entry> entries{entry{"readme.txt", bytes(9, 'r'), std::nullopt}};
    for (const auto& [e, path] : images) entries.push_back(e);
    entries.push_back(fixture::image("con", 1, 1, 8));                                   // shadowed
    entries.push_back(entry{"empty", fixture::bgra_entry(0, 4, 0, {}), std::nullopt});  // no PNG holds it
    entries.push_back(fixture::image(std::string(300, 'L'), 1, 1, 9));                   // too long a part
    entries.push_back(fixture::image("tex/a.bgra.png/under", 1, 1, 10));                 // under a file
    fixture::archive a = fixture::build_archive(entries);
    e2e::scratch s;
    s.write("game.dat", a.data);

    e2e::result r = e2e::run({"--export-all", "game.dat", "out"}, s.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Warning: con has the name of an earlier entry, which the name finds; skipped.\n"
              "Warning: empty is 0x4: no PNG can hold it; skipped.\n"
              "Warning: " + std::string(300, 'L') +
                  " needs a file or folder name over 255 bytes, which no common file system holds; skipped.\n"
                  "Warning: tex/a.bgra.png/under would need a folder where an earlier entry's file goes, or the other "
                  "way round; skipped.\n"
                  "Exported 8 images to out; skipped 1 entries that are not images, 1 empty, 1 shadowed by an "
                  "earlier name, 1 with too long a name, 1 under another entry's file.\n");
    std::set<std::string> expected;
    for (const auto& [e, path] : images) {
        expected.insert(path);
        SCOPED_TRACE(path);
        uint32_t width = 0, height = 0;
        bytes rgba = fixture::read_rgba_png(s.read("out/" + path), &width, &height);
        EXPECT_EQ(width, fixture::get_u32(e.data, 8));
        EXPECT_EQ(height, fixture::get_u32(e.data, 12));
        EXPECT_TRUE(rgba == rgba_of(e));
    }
    EXPECT_EQ(files_under(s.path("out")), expected);
    EXPECT_EQ(s.read("game.dat"), a.data);
    // And back: every picture equals its entry, so nothing is written.
    e2e::expect_result(e2e::run({"--pack-all", "game.dat", "out"}, s.dir), 0,
                       "Packed 8 files into game.dat: 0 changed their entry, 8 were equal to it and left it as it "
                       "was; 0 other files ignored.\n");
    EXPECT_EQ(s.read("game.dat"), a.data);
}

// Every file is matched and read whole before anything is written: a
// damaged second picture stops the run before the journal is begun.
TEST(Folder, PackAllAllOrNothing) {
    fixture::archive a = fixture::build_archive({entry{"notes", bytes(3, 'n'), std::nullopt},
                                                 fixture::image("a", 2, 2, 1), fixture::image("d/b", 2, 2, 2)});
    fixture::archive other = fixture::build_archive({entry{"notes", bytes(3, 'n'), std::nullopt},
                                                     fixture::image("a", 2, 2, 7), fixture::image("d/b", 2, 2, 8)});
    // Its pixels under the first archive's headers, which pack never writes.
    fixture::archive packed = fixture::build_archive(
        {entry{"notes", bytes(3, 'n'), std::nullopt},
         entry{"a", fixture::bgra_entry(2, 2, 1, fixture::pattern(16, 7)), std::nullopt},
         entry{"d/b", fixture::bgra_entry(2, 2, 2, fixture::pattern(16, 8)), std::nullopt}});
    e2e::scratch s;
    s.write("other.dat", other.data);
    ASSERT_EQ(e2e::run({"--export-all", "other.dat", "good"}, s.dir).status, 0);
    struct row {
        std::string label;
        std::string setup;  // shell lines that change the folder "in", a copy of "good"
        std::string message;
    };
    const row rows[] = {
        {"all good, other files ignored", "echo x >in/notes.txt",
         "Packed 2 files into game.dat: 2 changed their entry, 0 were equal to it and left it as it was; 1 other "
         "files ignored.\n"},
        {"damaged half-way", "head -c 60 good/d/b.png >in/d/b.png", "in/d/b.png: Error: damaged PNG: ends early.\n"},
        {"empty", ": >in/a.png", "in/a.png: Error reading bmp header.\n"},
        {"two files for one entry", "cp in/a.png in/a.bmp",
         "Error: in/a.bmp and in/a.png both stand for the entry a; nothing was changed.\n"},
        {"the same but for letter case", "cp in/a.png in/a.PNG",
         "Error: in/a.PNG and in/a.png both stand for the entry a; nothing was changed.\n"},
        {"no such entry", "cp in/a.png in/c.png", "Error: in/c.png stands for c, which is no entry of the archive; "
                                                  "nothing was changed.\n"},
        {"not an image", "cp in/a.png in/notes.png",
         "Error: in/notes.png stands for notes, which is not an image entry; nothing was changed.\n"},
        {"no name", "cp in/a.png in/%zz.png",
         "Error: in/%zz.png stands for no entry name (a % without two hex digits after it); nothing was changed.\n"},
        {"a FIFO", "mkfifo in/f.png", "Error: in/f.png is not a file; nothing was changed.\n"},
        {"a link", "ln -s ../good in/link",
         "Error: in/link is a symbolic link; --pack-all does not follow links. Nothing was changed.\n"},
        {"not a folder", "rm -r in && echo x >in", "Error: in is not a folder.\n"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        // Windows has no such links or FIFOs, and takes the two spellings for one file.
        if (e2e::launched() && (r.setup.find("ln -s") != std::string::npos || r.label.find("case") != std::string::npos ||
                                r.label == "a FIFO"))
            continue;
        s.write("game.dat", a.data);
        ASSERT_EQ(e2e::run_shell("rm -rf in && cp -r good in && " + r.setup, s.dir).status, 0);
        e2e::result run = e2e::run({"--pack-all", "game.dat", "in"}, s.dir);
        EXPECT_EQ(last_line(run), r.message);
        bool packs = r.message.rfind("Packed", 0) == 0;
        EXPECT_EQ(run.status, packs ? 0 : 255);
        EXPECT_TRUE(s.read("game.dat") == (packs ? packed.data : a.data));
        EXPECT_FALSE(s.exists("game.dat.velmorin-journal"));
    }
    if (e2e::launched()) return;  // the fault shim is preloaded into a Linux process
    ASSERT_EQ(e2e::run_shell("rm -rf in && cp -r good in && head -c 60 good/d/b.png >in/d/b.png", s.dir).status, 0);
    e2e::result run = e2e::run_shell(e2e::under_fault("sync:1:kill", "--pack-all game.dat in"), s.dir);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(last_line(run), "in/d/b.png: Error: damaged PNG: ends early.\n");
}

// Every refusal comes before the first file: the folder is as it was.
TEST(Folder, ExportAllRefusesBeforeWriting) {
    SKIP_WHEN_LAUNCHED("POSIX symbolic links");
    fixture::archive a = fixture::build_archive(
        {fixture::image("one/a", 1, 1, 1), fixture::image("two/b", 1, 1, 2), fixture::image("zz", 1, 1, 3)});
    fixture::archive cased = fixture::build_archive({fixture::image("Tex/a", 1, 1, 1), fixture::image("tex/b", 1, 1, 2)});
    struct refusal {
        std::string label;
        const fixture::archive& archive;
        std::string setup;  // a shell line run in the scratch folder first
        std::string message;
    };
    const refusal cases[] = {
        {"a file there", a, "mkdir -p out/two && echo edit >out/two/b.png",
         "Error: out/two/b.png is there already; --export-all never writes over a file, and nothing was written.\n"},
        {"a folder on the way is a link", a, "mkdir -p out elsewhere && ln -s ../elsewhere out/two",
         "Error: out/two is a symbolic link; refusing to write through it. Nothing was written.\n"},
        {"a file where a folder goes", a, "mkdir -p out && echo x >out/one",
         "Error: out/one is there already; --export-all never writes over a file, and nothing was written.\n"},
        {"the folder is a file", a, "echo x >out", "Error: out is not a folder.\n"},
        {"letter case", cased, "",
         "Error: Tex/a and tex/b would be written to paths that differ only in letter case, which Windows and macOS "
         "take for one; nothing was written.\n"}};
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.label);
        e2e::scratch s;
        s.write("game.dat", c.archive.data);
        if (!c.setup.empty()) {
            ASSERT_EQ(e2e::run_shell(c.setup, s.dir).status, 0);
        }
        std::set<std::string> before = files_under(s.path("out")), before_elsewhere = files_under(s.path("elsewhere"));
        e2e::result r = e2e::run({"--export-all", "game.dat", "out"}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(last_line(r), c.message);
        EXPECT_EQ(files_under(s.path("out")), before);
        EXPECT_EQ(files_under(s.path("elsewhere")), before_elsewhere);
    }
    // A path longer than the system takes shows before the first file, not
    // half-way through.
    e2e::scratch s;
    s.write("game.dat",
            fixture::build_archive({fixture::image("c", 1, 1, 1),
                                    fixture::image(std::string(200, 'a') + "/" + std::string(200, 'b'), 1, 1, 2)})
                .data);
    std::string deep = "out";
    for (int k = 0; k < 15; ++k) deep += "/" + std::string(250, 'p');
    ASSERT_EQ(e2e::run_shell("mkdir -p " + deep, s.dir).status, 0);
    e2e::result r = e2e::run({"--export-all", "game.dat", deep}, s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(last_line(r), "Error: cannot look at " + deep + "/" + std::string(200, 'a') + "/" + std::string(200, 'b') +
                                ".png: File name too long; nothing was written.\n");
    EXPECT_TRUE(files_under(s.path("out")).empty());
}

}  // namespace

namespace {

// --export-all killed at each of its writes leaves whole PNGs, at most one
// cut short for each of its two workers, and nothing else.
TEST(Folder, ExportAllKilledLeavesWholePictures) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    std::vector<entry> entries;
    for (int k = 0; k < 6; ++k) entries.push_back(fixture::image("d" + std::to_string(k % 2) + "/p" + std::to_string(k), 300, 200, k + 1));
    fixture::archive a = fixture::build_archive(entries);
    e2e::scratch s;
    s.write("game.dat", a.data);
    ASSERT_EQ(e2e::run({"--export-all", "game.dat", "ref"}, s.dir).status, 0);
    std::set<std::string> whole = files_under(s.path("ref"));
    for (int n = 1; n <= 40; n += 3) {
        SCOPED_TRACE(n);
        ASSERT_EQ(e2e::run_shell("rm -rf out", s.dir).status, 0);
        e2e::run_shell(e2e::under_fault("write:" + std::to_string(n) + ":kill", "--export-all game.dat out"), s.dir);
        int cut = 0;
        for (const std::string& f : files_under(s.path("out"))) {
            ASSERT_TRUE(whole.count(f)) << f;
            if (s.read("out/" + f) != s.read("ref/" + f)) ++cut;
        }
        EXPECT_LE(cut, 2);
    }
}

}  // namespace

namespace {

// On a terminal the run shows a progress line and erases it before its
// summary; elsewhere (every other test) its error stream holds no such line.
TEST(Folder, ProgressOnlyOnATerminal) {
    SKIP_WHEN_LAUNCHED("a POSIX terminal");
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script (util-linux) is not installed";
    fixture::archive a = fixture::build_archive(
        {fixture::image("a", 2, 2, 1), fixture::image("b", 2, 2, 2), fixture::image("c", 2, 2, 3)});
    e2e::scratch s;
    s.write("game.dat", a.data);
    e2e::result r =
        e2e::run_shell("export VELMORIN; script -qc '\"$VELMORIN\" --export-all game.dat out' /dev/null", s.dir);
    EXPECT_NE(r.out.find(" of 3 entries, 0 MiB\r"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string(60, ' ') + "\rExported 3 images to out;"), std::string::npos) << r.out;
}

}  // namespace
