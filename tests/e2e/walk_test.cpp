// The directory walk and the lookup: its trace, its result, and every
// damaged archive it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runner.h"

using e2e::result;
using fixture::bytes;
using fixture::entry;

namespace {
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
