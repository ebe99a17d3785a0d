// Reading an image entry's header and pixels: every refusal, and the
// offsets and sizes that must never aim a write elsewhere, end to end.
#include <gtest/gtest.h>

#include "runner.h"
#include "scene.h"

using e2e::result;
using fixture::bytes;
using fixture::entry;

namespace {

// ---- reading the entry ------------------------------------------------------

// Each case builds an archive whose entry "target" the --xor run reads with
// an all-zero patch of ample size; the archive must come out unchanged.
struct entry_case {
    std::string label;
    fixture::archive (*build)();
    std::string tail;  // what follows the walk's trace
    int status;
};

void PrintTo(const entry_case& c, std::ostream* os) { *os << c.label; }

class EntryRead : public testing::TestWithParam<entry_case> {};

TEST_P(EntryRead, ReportsAndLeavesArchive) {
    const entry_case& c = GetParam();
    fixture::archive a = c.build();
    e2e::scratch s;
    s.write("game.dat", a.data);
    s.write("zero.xor", bytes(64 * 32 * 4 + 100, 0));
    result r = e2e::run({"--xor", "game.dat", "target", "zero.xor"}, s.dir);
    size_t index = static_cast<size_t>(fixture::model_walk(a.data, "target").index);
    e2e::expect_result(r, c.status, e2e::found_trace(a, index, "target") + c.tail);
    EXPECT_EQ(s.read("game.dat"), a.data);
}

bytes header_with(const char magic[4], int32_t w, int32_t h) {
    bytes d = fixture::bgra_entry(w, h, 0, {});
    std::copy(magic, magic + 4, d.begin());
    return d;
}

fixture::archive single(const bytes& data, std::optional<uint32_t> length = std::nullopt) {
    return fixture::build_archive({entry{"target", data, length}});
}

// An archive whose target entry starts `from_end` bytes before the end of
// the file (past it when negative), by way of the first entry's length.
fixture::archive target_near_end(long from_end) {
    fixture::archive a =
        fixture::build_archive({entry{"pad", bytes(4, 9), std::nullopt}, fixture::image("target", 2, 2, 1)});
    long offset = static_cast<long>(a.data.size()) - from_end;
    fixture::put_u32(a.data, a.at.dirent_length_at(0), static_cast<uint32_t>(offset - 16));
    return a;
}

// An image "a", an entry "b" and the target, with the two lengths before the
// target chosen to put its data offset somewhere extreme.
fixture::archive target_after(uint32_t a_length, uint32_t b_length) {
    fixture::entry a = fixture::image("a", 1, 1, 3);
    a.length = a_length;
    return fixture::build_archive({a, entry{"b", bytes(4, 2), b_length}, fixture::image("target", 1, 1, 2)});
}

// The target's pixels run `into` bytes into the directory that follows it.
fixture::archive payload_into_directory(int32_t into) {
    fixture::archive a = fixture::build_archive({fixture::image("target", 4, 4, 6)}, 0);
    fixture::put_s32(a.data, 16 + 12, 4 + into / 16);
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntryRead,
    testing::Values(
        entry_case{"FirstEntryHeaderLine", [] { return single(fixture::bgra_entry(64, 32, 0, bytes(64 * 32 * 4, 7))); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 64, height 32\n", 0},
        entry_case{"LaterEntryOffset",
                   [] {
                       return fixture::build_archive({entry{"a", bytes(20, 1), std::nullopt},
                                                      entry{"b", bytes(7, 2), std::nullopt},
                                                      fixture::image("target", 3, 5, 0xcafe)});
                   },
                   "bgra_hdr at 43: magic 0x41524742, unknown 0xcafe, width 3, height 5\n", 0},
        entry_case{"LengthsNotContents",
                   [] {
                       // Offsets follow the dirent lengths, whatever the entries hold.
                       return fixture::build_archive({entry{"a", bytes(10, 1), 30u}, entry{"b", bytes(20, 2), 0u},
                                                      fixture::image("target", 1, 1, 2)});
                   },
                   "bgra_hdr at 46: magic 0x41524742, unknown 0x2, width 1, height 1\n", 0},
        entry_case{"MagicPermuted", [] { return single(header_with("ABGR", 1, 1)); }, "Target file is not a BGRA?\n",
                   255},
        entry_case{"MagicRGBA", [] { return single(header_with("RGBA", 1, 1)); }, "Target file is not a BGRA?\n", 255},
        entry_case{"MagicLowerCase", [] { return single(header_with("bgra", 1, 1)); }, "Target file is not a BGRA?\n",
                   255},
        entry_case{"MagicOneBitOff", [] { return single(header_with("BGRC", 1, 1)); }, "Target file is not a BGRA?\n",
                   255},
        entry_case{"WidthZero", [] { return single(fixture::bgra_entry(0, 9, 5, {})); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x5, width 0, height 9\n", 0},
        entry_case{"HeightZero", [] { return single(fixture::bgra_entry(9, 0, 0, {})); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 9, height 0\n", 0},
        entry_case{"ShortHeader", [] { return target_near_end(8); }, "Error reading BGRA header.\n", 255},
        entry_case{"OffsetAtEnd", [] { return target_near_end(0); }, "Error reading BGRA header.\n", 255},
        entry_case{"OffsetPastEnd", [] { return target_near_end(-1000); }, "Error reading BGRA header.\n", 255},
        entry_case{"NegativeOffset",
                   [] {
                       return fixture::build_archive({entry{"a", bytes(4, 1), 0x7ffffff0u},
                                                      entry{"b", bytes(4, 2), 0x100u},
                                                      fixture::image("target", 1, 1, 2)});
                   },
                   "Error: lseek() failed.\n", 255},
        // Lengths add up in 64 bits; an offset past 2^31 - 1 is never
        // wrapped onto another place in the file.
        entry_case{"OffsetOfMinusOneIn32Bits", [] { return target_after(0xffffffefu, 0); }, "Error: lseek() failed.\n",
                   255},
        entry_case{"OffsetOf2To31", [] { return target_after(0x7ffffff0u, 0); }, "Error: lseek() failed.\n", 255},
        entry_case{"OffsetWrapsOntoFirstEntry", [] { return target_after(0xffffffffu, 1); },
                   "Error: lseek() failed.\n", 255},
        entry_case{"PayloadEndsAtDirectory", [] { return payload_into_directory(0); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x6, width 4, height 4\n", 0},
        entry_case{"PayloadOverDirectory", [] { return payload_into_directory(16); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x6, width 4, height 5\n"
                   "Error: BGRA data overlaps the archive directory.\n",
                   255},
        entry_case{"PayloadOverALaterName", e2e::pixels_in_a_later_name,
                   "bgra_hdr at 183: magic 0x41524742, unknown 0x0, width 1, height 1\n"
                   "Error: BGRA data overlaps the archive directory.\n",
                   255},
        entry_case{"NegativeWidth", [] { return single(fixture::bgra_entry(-2, 3, 0, bytes(64, 0))); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width -2, height 3\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"BothNegative", [] { return single(fixture::bgra_entry(-2, -3, 0, bytes(64, 0))); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width -2, height -3\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"BothMostNegative",
                   [] { return single(fixture::bgra_entry(INT32_MIN, INT32_MIN, 0, bytes(64, 0))); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width -2147483648, height -2147483648\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"BothLargest", [] { return single(fixture::bgra_entry(INT32_MAX, INT32_MAX, 0, {}), 0xffffffffu); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 2147483647, height 2147483647\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"SizeBeyond31Bits", [] { return single(fixture::bgra_entry(32768, 16384, 0, {}), 0xffffffffu); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 32768, height 16384\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"SizeWrapsTo32Bits", [] { return single(fixture::bgra_entry(65536, 16384, 0, {}), 0xffffffffu); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 65536, height 16384\n"
                   "Error: bad BGRA width or height.\n",
                   255},
        entry_case{"DataLargerThanEntry", [] { return single(fixture::bgra_entry(2, 2, 0, bytes(16, 3)), 31u); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 2, height 2\n"
                   "Error: BGRA data is larger than its archive entry.\n",
                   255},
        entry_case{"LengthBelowHeader", [] { return single(fixture::bgra_entry(0, 0, 0, {}), 15u); },
                   "bgra_hdr at 16: magic 0x41524742, unknown 0x0, width 0, height 0\n"
                   "Error: BGRA data is larger than its archive entry.\n",
                   255},
        entry_case{"PayloadPastEnd",
                   [] {
                       fixture::archive a = fixture::build_archive(
                           {entry{"dir", bytes(3, 1), std::nullopt}, fixture::image("target", 4, 4, 6)}, 0);
                       a.data.pop_back();
                       return a;
                   },
                   "bgra_hdr at 128: magic 0x41524742, unknown 0x6, width 4, height 4\n"
                   "Error: Unable to read whole bgra.\n",
                   255}),
    [](const testing::TestParamInfo<entry_case>& p) { return p.param.label; });

}  // namespace
