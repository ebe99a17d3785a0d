// The command line and the directory walk, end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runner.h"

using e2e::result;
using fixture::bytes;
using fixture::entry;

namespace {

const std::string usage =
    "Usage:\n"
    "\tvelmorin <game data archive> <filename to pack as> <file content to pack>\n"
    "\tvelmorin --mkxor <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --xor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --list <game data archive>\n"
    "\tvelmorin --export <game data archive> <packed filename> <output filename>\n"
    "\tvelmorin --mkpatch <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --unxor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --check <game data archive> <packed filename> <input file>\n";

TEST(CommandLine, NoArgumentsAtAll) {
    SKIP_WHEN_LAUNCHED("a launcher always passes the program's name");
    e2e::scratch s;
    e2e::expect_result(e2e::run_without_argv(s.dir), 255, usage);
}

// Every argument count and the option-word rules. None of the archives named
// here exists, so a form that is accepted stops at the open.
TEST(CommandLine, FormsAndOptionWords) {
    struct form {
        std::vector<std::string> args;
        std::string err;
        int status = 255;
        std::string out = "";
    };
    const std::vector<form> forms = {
        {{"--help"}, "", 0, usage},
        {{"--version"}, "", 0, "velmorin " VELMORIN_VERSION "\n"},
        {{"--help", "a"}, usage},
        {{"-h"}, usage},
        {{"--list", "a"}, "Error opening a\n"},
        {{"--list"}, usage},
        {{"--list", "a", "b"}, "Error opening --list\n"},  // four words: a pack
        {{"--LIST", "a"}, usage},
        {{"--export", "a", "b", "c"}, "Error opening a\n"},
        {{"--export", "a", "b"}, "Error opening --export\n"},
        {{"--export", "a", "b", "c", "d"}, usage},
        {{"--mkpatch", "a", "b", "c", "d"}, "Error opening a\n"},
        {{"--unxor", "a", "b", "c"}, "Error opening a\n"},
        {{"--check", "a", "b", "c"}, "Error opening a\n"},
        {{"--check", "a", "b"}, "Error opening --check\n"},
        {{"--unxor", "a", "b", "c", "d"}, usage},
        {{}, usage},
        {{"a"}, usage},
        {{"a", "b"}, usage},
        {{"a", "b", "c"}, "Error opening a\n"},
        // Three words are always a pack command, whatever they are.
        {{"--xor", "a", "b"}, "Error opening --xor\n"},
        {{"--mkxor", "a", "b"}, "Error opening --mkxor\n"},
        {{"--xor", "a", "b", "c"}, "Error opening a\n"},
        {{"--XOR", "a", "b", "c"}, usage},
        {{"-xor", "a", "b", "c"}, usage},
        {{"--xor ", "a", "b", "c"}, usage},
        {{"a", "--xor", "b", "c"}, usage},
        {{"--mkxor", "a", "b", "c"}, usage},
        {{"--mkxor", "a", "b", "c", "d"}, "Error opening a\n"},
        {{"--MKXOR", "a", "b", "c", "d"}, usage},
        {{"-mkxor", "a", "b", "c", "d"}, usage},
        {{"a", "--mkxor", "b", "c", "d"}, usage},
        {{"--xor", "a", "b", "c", "d"}, usage},
        {{"a", "b", "c", "d", "e", "f"}, usage},
        {{"--mkxor", "a", "b", "c", "d", "e"}, usage},
    };
    e2e::scratch s;
    for (const form& f : forms) {
        std::string words;
        for (const std::string& w : f.args) words += "[" + w + "]";
        SCOPED_TRACE(words);
        e2e::expect_result(e2e::run(f.args, s.dir), f.status, f.err, f.out);
    }
}

TEST(CommandLine, ArchiveThatCannotBeOpenedForWriting) {
    e2e::scratch s;
    mkdir(s.path("dir").c_str(), 0755);
    e2e::expect_result(e2e::run({"dir", "a", "b"}, s.dir), 255, "Error opening dir\n");
    e2e::expect_result(e2e::run({"--xor", "dir", "a", "b"}, s.dir), 255, "Error opening dir\n");
    e2e::expect_result(e2e::run({"--mkxor", "dir", "a", "b", "c"}, s.dir), 255, "Error opening dir\n");
    // Nothing is created in place of a missing archive.
    e2e::expect_result(e2e::run({"missing.dat", "a", "b"}, s.dir), 255, "Error opening missing.dat\n");
    EXPECT_FALSE(s.exists("missing.dat"));
}

// An archive the user may only read is refused in every mode that opens it
// for writing, --mkxor included, which would never write it. Run as an unprivileged user: root
// may write anything.
TEST(CommandLine, ArchiveTheUserMayNotWrite) {
    SKIP_WHEN_LAUNCHED("POSIX users and permissions");
    std::string prefix;
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "running as root and setpriv is not installed";
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    e2e::scratch s;
    chmod(s.dir.c_str(), 0755);
    fixture::archive a = fixture::build_archive({fixture::image("img", 2, 2, 1)});
    s.write("game.dat", a.data);
    s.write("in.bmp", fixture::build_bmp(fixture::plain_bmp(2, 2, 32, 1)));
    s.write("p.xor", bytes(16, 1));
    chmod(s.path("game.dat").c_str(), 0444);
    chmod(s.path("in.bmp").c_str(), 0444);
    chmod(s.path("p.xor").c_str(), 0444);
    e2e::result probe = e2e::run_shell(prefix + "sh -c 'test -r game.dat && ! test -w game.dat'", s.dir);
    if (probe.status != 0) GTEST_SKIP() << "cannot become a user who may read but not write the archive";
    for (const std::string& args :
         {std::string("game.dat img in.bmp"), std::string("--mkxor game.dat img in.bmp /tmp/never.xor"),
          std::string("--xor game.dat img p.xor")}) {
        SCOPED_TRACE(args);
        e2e::expect_result(e2e::run_shell(prefix + "\"$VELMORIN\" " + args, s.dir), 255, "Error opening game.dat\n");
    }
    // Listing, exporting, making a checked patch and checking one only read it.
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --list game.dat", s.dir).out, "0\t16\t32\t2x2\timg\n");
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --export game.dat img /dev/null", s.dir).status, 0);
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --mkpatch game.dat img in.bmp /dev/null", s.dir).status, 0);
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --check game.dat img p.xor", s.dir).out, "unchecked\n");
    EXPECT_EQ(s.read("game.dat"), a.data);
}

// ---- the walk -------------------------------------------------------------

// Walks that end at a match print up to the match line and, until an
// operation takes over, nothing else. A lookup is run in --xor form so the
// walk is all that happens before the entry is used.
struct walk_case {
    std::string label;
    std::vector<std::string> names;
    std::string wanted;
    int entries_read;  // dirent lines printed
    bool found;
};

void PrintTo(const walk_case& c, std::ostream* os) { *os << c.label; }

class Walk : public testing::TestWithParam<walk_case> {};

TEST_P(Walk, TraceAndResult) {
    const walk_case& c = GetParam();
    std::vector<entry> entries;
    for (const std::string& n : c.names) entries.push_back(entry{n, bytes(8, 0x11), std::nullopt});
    fixture::archive a = fixture::build_archive(entries);
    e2e::scratch s;
    s.write("game.dat", a.data);

    result r = e2e::run({"game.dat", c.wanted, "missing.bmp"}, s.dir);
    std::string expected = e2e::walk_trace(static_cast<int>(a.at.dir_offset), c.entries_read);
    if (c.found) {
        expected += "Debug: Found filename match for " + c.wanted + ".\n";
        EXPECT_EQ(r.err.substr(0, expected.size()), expected);
        EXPECT_NE(r.status, 1);
    } else {
        expected += "Debug: " + c.wanted + " not found in archive.\n";
        e2e::expect_result(r, 1, expected);
    }
    EXPECT_EQ(s.read("game.dat"), a.data);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Walk,
    testing::Values(walk_case{"NoEntries", {}, "a", 0, false},
                    walk_case{"OneEntryFound", {"a.bgra"}, "a.bgra", 1, true},
                    walk_case{"OneEntryMissing", {"a.bgra"}, "b.bgra", 1, false},
                    walk_case{"SeveralEntriesLast", {"x", "y", "zz", "w"}, "w", 4, true},
                    walk_case{"SeveralEntriesMissing", {"x", "y", "zz", "w"}, "q", 4, false},
                    walk_case{"PrefixMatchesFirst", {"abcdef", "abc"}, "abc", 1, true},
                    walk_case{"PrefixTheOtherWay", {"abc", "abcdef"}, "abc", 1, true},
                    walk_case{"LongerRequestedNameNoMatch", {"abc"}, "abcdef", 1, false},
                    walk_case{"LongerNameFoundLater", {"abc", "abcdef"}, "abcdef", 2, true},
                    walk_case{"CaseSensitive", {"ABC", "abc"}, "abc", 2, true},
                    walk_case{"EmptyNameMatchesFirst", {"x", "y"}, "", 1, true},
                    walk_case{"StoredNameOf511", {std::string(511, 'n'), "m"}, std::string(511, 'n'), 1, true},
                    walk_case{"RequestedNameOver511", {std::string(511, 'n')}, std::string(512, 'n'), 1, false}),
    [](const testing::TestParamInfo<walk_case>& p) { return p.param.label; });

// ---- archives the walk refuses ---------------------------------------------

struct damage_case {
    std::string label;
    void (*damage)(fixture::archive&);
    std::string tail;  // what follows the trace
    int entries_read;  // -1: no walk trace at all; -2: the seeking line only
};

void PrintTo(const damage_case& c, std::ostream* os) { *os << c.label; }

class Damaged : public testing::TestWithParam<damage_case> {};

TEST_P(Damaged, RefusedWithItsMessage) {
    const damage_case& c = GetParam();
    fixture::archive a =
        fixture::build_archive({entry{"first", bytes(20, 1), std::nullopt}, entry{"second", bytes(4, 2), std::nullopt},
                                entry{"third", bytes(4, 3), std::nullopt}});
    c.damage(a);
    e2e::scratch s;
    s.write("game.dat", a.data);

    result r = e2e::run({"--xor", "game.dat", "third", "patch"}, s.dir);
    std::string expected;
    int32_t dir_offset = a.data.size() >= 16 ? static_cast<int32_t>(fixture::get_u32(a.data, 8)) : 0;
    if (c.entries_read == -2)
        expected = "Debug: seeking to " + std::to_string(dir_offset) + "\n";
    else if (c.entries_read >= 0)
        expected = e2e::walk_trace(dir_offset, c.entries_read);
    e2e::expect_result(r, 255, expected + c.tail);
    EXPECT_EQ(s.read("game.dat"), a.data);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, Damaged,
    testing::Values(
        damage_case{"ShortHeader", [](fixture::archive& a) { a.data.resize(15); }, "Error reading header.\n", -1},
        damage_case{"EmptyFile", [](fixture::archive& a) { a.data.clear(); }, "Error reading header.\n", -1},
        damage_case{"DirectoryPastEnd", [](fixture::archive& a) { fixture::put_u32(a.data, 8, 1u << 30); },
                    "Error reading directory header.\n", -2},
        damage_case{"ShortDirectoryHeader", [](fixture::archive& a) { a.data.resize(a.at.dir_offset + 31); },
                    "Error reading directory header.\n", -2},
        damage_case{"NegativeDirectoryOffsetPrintsSigned",
                    [](fixture::archive& a) { fixture::put_u32(a.data, 8, 0x80000010u); },
                    "Error seeking to directory.\n", -2},
        damage_case{"DirectoryOffsetMinusOne", [](fixture::archive& a) { fixture::put_u32(a.data, 8, 0xffffffffu); },
                    "Error seeking to directory.\n", -2},
        damage_case{"DirectoryOffsetLowest", [](fixture::archive& a) { fixture::put_u32(a.data, 8, 0x80000000u); },
                    "Error seeking to directory.\n", -2},
        damage_case{"DirectorySizeBelowHeader",
                    [](fixture::archive& a) { fixture::put_u32(a.data, a.at.dir_size_at(), 31); },
                    "Error: directory size does not fit its entries.\n", 0},
        damage_case{"TooManyEntriesForSize",
                    [](fixture::archive& a) {
                        fixture::put_u32(a.data, a.at.dir_size_at(), 32 + 3 * 32);
                        fixture::put_u32(a.data, a.at.entry_count_at(), 4);
                    },
                    "Error: directory size does not fit its entries.\n", 0},
        damage_case{"EntryCountOverflowsIn32Bits",
                    [](fixture::archive& a) { fixture::put_u32(a.data, a.at.entry_count_at(), 0x08000000u); },
                    "Error: directory size does not fit its entries.\n", 0},
        damage_case{"DirectoryLargerThanFile",
                    [](fixture::archive& a) { fixture::put_u32(a.data, a.at.dir_size_at(), 0xfffffff0u); },
                    "Error reading directory.\n", 0},
        damage_case{"DirectoryOneByteShort", [](fixture::archive& a) { a.data.pop_back(); },
                    "Error reading directory.\n", 0},
        damage_case{"NameTablePastEnd",
                    [](fixture::archive& a) {
                        // The dirent table fits the block, but the names would start past the end.
                        a.data.resize(a.at.name_table);
                        fixture::put_u32(a.data, a.at.dir_size_at(),
                                         static_cast<uint32_t>(a.data.size() - a.at.dir_offset));
                    },
                    "Error reading filename length.\n", 1},
        damage_case{"NameLengthCut",
                    [](fixture::archive& a) {
                        a.data.resize(a.at.name_table + 2 + 5 + 1);
                        fixture::put_u32(a.data, a.at.dir_size_at(),
                                         static_cast<uint32_t>(a.data.size() - a.at.dir_offset));
                    },
                    "Error reading filename length.\n", 2},
        damage_case{"NameCut",
                    [](fixture::archive& a) {
                        a.data.resize(a.at.name_table + 2 + 5 + 2 + 3);
                        fixture::put_u32(a.data, a.at.dir_size_at(),
                                         static_cast<uint32_t>(a.data.size() - a.at.dir_offset));
                    },
                    "Error reading filename.\n", 2},
        damage_case{"NameOf512", [](fixture::archive& a) { fixture::put_u16(a.data, a.at.name_table + 7, 512); },
                    "Filename length >512, probably an error since I don't think Windows likes "
                    "that.\nAt any rate, our buffers aren't big enough.\n",
                    2}),
    [](const testing::TestParamInfo<damage_case>& p) { return p.param.label; });

// A directory larger than one read buffer of names and of dirents.
TEST(Walk, ManyEntries) {
    std::vector<entry> entries;
    for (int i = 0; i < 5000; ++i)
        entries.push_back(entry{"entry/" + std::to_string(i) + std::string(static_cast<size_t>(i % 40), 'p'),
                                {},
                                static_cast<uint32_t>(i)});
    fixture::archive a = fixture::build_archive(entries);
    e2e::scratch s;
    s.write("game.dat", a.data);
    std::string wanted = "entry/4999";
    result r = e2e::run({"game.dat", wanted, "y"}, s.dir);
    std::string expected =
        e2e::walk_trace(static_cast<int>(a.at.dir_offset), 5000) + "Debug: Found filename match for " + wanted + ".\n";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
}

}  // namespace
