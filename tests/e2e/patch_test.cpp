// Applying, removing and checking XOR patches, raw and checked, end to end.
#include <gtest/gtest.h>

#include "runner.h"

using e2e::result;
using fixture::bytes;
using fixture::entry;

namespace {
// ---- applying patches ---------------------------------------------------------

struct patched {
    fixture::archive a;
    size_t payload;  // offset of the target's payload
    size_t size;     // its byte count
};

patched three_entries(int32_t w, int32_t h) {
    patched p{fixture::build_archive({entry{"readme", bytes(13, 'r'), std::nullopt}, fixture::image("img", w, h, 4),
                                      fixture::image("other", 2, 2, 8)}),
              0, static_cast<size_t>(w * h * 4)};
    p.payload = p.a.at.data_offset[1] + 16;
    return p;
}

std::string xor_trace(const patched& p, int32_t w, int32_t h) {
    return e2e::found_trace(p.a, 1, "img") + e2e::bgra_line(p.payload - 16, 4, w, h);
}

// Patches of every length against an 8 x 4 entry (128 bytes); the archive
// afterwards is the original with the patch's first 128 bytes XORed in, or
// the original itself on a refusal.
TEST(ApplyXor, PatchLengths) {
    struct patch_case {
        const char* label;
        std::optional<bytes> patch;  // none: the file does not exist
        int status;
        std::string tail;
    };
    const patch_case cases[] = {
        {"all zeros", bytes(128, 0), 0, ""},
        {"exact", fixture::pattern(128, 5), 0, ""},
        {"one byte short", fixture::pattern(127, 5), 255, "Short read.\n"},
        {"empty", bytes{}, 255, "Short read.\n"},
        {"longer: its start is used", fixture::pattern(628, 6), 0, ""},
        {"missing", std::nullopt, 255, "Unable to open p.xor for reading.\n"},
    };
    patched p = three_entries(8, 4);
    for (const patch_case& c : cases) {
        SCOPED_TRACE(c.label);
        e2e::scratch s;
        s.write("game.dat", p.a.data);
        if (c.patch) s.write("p.xor", *c.patch);
        e2e::expect_result(e2e::run({"--xor", "game.dat", "img", "p.xor"}, s.dir), c.status,
                           xor_trace(p, 8, 4) + c.tail);
        bytes applied = c.status == 0 ? bytes(c.patch->begin(), c.patch->begin() + 128) : bytes(128, 0);
        EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, applied));
    }
}

TEST(ApplyXor, TwiceRestores) {
    patched p = three_entries(8, 4);
    bytes mask = fixture::pattern(p.size, 77);
    e2e::scratch s;
    s.write("game.dat", p.a.data);
    s.write("p.xor", mask);
    e2e::expect_result(e2e::run({"--xor", "game.dat", "img", "p.xor"}, s.dir), 0, xor_trace(p, 8, 4));
    EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, mask));
    e2e::expect_result(e2e::run({"--xor", "game.dat", "img", "p.xor"}, s.dir), 0, xor_trace(p, 8, 4));
    EXPECT_EQ(s.read("game.dat"), p.a.data);
}

// A patch piped in is read whole and gives the same bytes.
TEST(ApplyXor, PatchFromAPipe) {
    SKIP_WHEN_LAUNCHED("standard input has no path on Windows");
    patched p = three_entries(8, 4);
    bytes mask = fixture::pattern(p.size, 31);
    e2e::scratch s;
    s.write("game.dat", p.a.data);
    s.write("p.xor", mask);
    e2e::expect_result(e2e::run_shell("cat p.xor | \"$VELMORIN\" --xor game.dat img /dev/stdin", s.dir), 0,
                       xor_trace(p, 8, 4));
    EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, mask));
    e2e::expect_result(e2e::run_shell("\"$VELMORIN\" --xor game.dat img /dev/stdin < /dev/null", s.dir), 255,
                       xor_trace(p, 8, 4) + "Short read.\n");
    // A checked patch's block is found at the stream's end: applied, then
    // refused as applied.
    bytes old(p.a.data.begin() + static_cast<long>(p.payload), p.a.data.begin() + static_cast<long>(p.payload + 128));
    s.write("c.xor", fixture::checked_patch(mask, 8, 4, old, "img"));
    s.write("game.dat", p.a.data);
    for (int status : {0, 255})
        EXPECT_EQ(e2e::run_shell("cat c.xor | \"$VELMORIN\" --xor game.dat img /dev/stdin", s.dir).status, status);
    EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, mask));
}

// The archive named as its own patch: the patch is the archive as it was
// before the run, however the payload's bytes overlap it (the image spans
// more than one buffer of pixels).
TEST(ApplyXor, ArchiveAsItsOwnPatch) {
    patched p = three_entries(600, 500);
    e2e::scratch s;
    s.write("game.dat", p.a.data);
    e2e::expect_result(e2e::run({"--xor", "game.dat", "img", "game.dat"}, s.dir), 0, xor_trace(p, 600, 500));
    bytes mask(p.a.data.begin(), p.a.data.begin() + static_cast<long>(p.size));
    EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, mask));
}

// ---- checked patches ----------------------------------------------------------

// A checked patch for "img" applied and removed; refused for other pixels, a
// repeat, another size or version, a damaged body or any damaged field of
// its check block; --check's answers; a raw patch in the new modes.
TEST(CheckedPatch, Table) {
    patched p = three_entries(8, 4);
    const bytes original = p.a.data;
    bytes old(original.begin() + static_cast<long>(p.payload), original.begin() + static_cast<long>(p.payload + 128));
    bytes mask = fixture::pattern(128, 41);
    bytes good = fixture::checked_patch(mask, 8, 4, old, "img");
    const bytes applied = e2e::xored(original, p.payload, mask), other = e2e::xored(original, p.payload, {1});
    auto damaged = [&](size_t at) {  // a bit flipped, in the check block from 128 on
        bytes b = good;
        b.at(at) ^= 0x10;
        return b;
    };
    bytes version2 = mask, block = fixture::check_block({8, 4, fixture::xxh3(old), fixture::xxh3(applied), 2, "img"});
    version2.insert(version2.end(), block.begin(), block.end());
    const std::string passed = "Debug: the patch's checks passed.\n", broken = "Error: the patch's check block is damaged.\n",
                      others = "Error: this entry holds other pixels than the patch was made for; nothing was changed.\n";
    struct row {
        std::string label, mode;
        const bytes* before;  // the archive
        bytes patch;
        int status;
        std::string tail, out;
        const bytes* after;
    };
    const row rows[] = {
        {"apply", "--xor", &original, good, 0, passed, "", &applied},
        {"remove", "--unxor", &applied, good, 0, passed, "", &original},
        {"applied twice", "--xor", &applied, good, 255,
         "Error: the patch is already applied to this entry; nothing was changed.\n", "", &applied},
        {"removed twice", "--unxor", &original, good, 255,
         "Error: the patch is not applied to this entry; nothing was changed.\n", "", &original},
        {"another version of the game", "--xor", &other, good, 255, others, "", &other},
        {"removed from another version", "--unxor", &other, good, 255, others, "", &other},
        {"damaged body", "--xor", &original, damaged(5), 255,
         "Error: the patch is damaged: it does not give the pixels it was made for; nothing was changed.\n", "",
         &original},
        {"same bytes, other size", "--xor", &original, fixture::checked_patch(mask, 4, 8, old, "tex/big"), 255,
         "Error: the patch was made for tex/big, a 4x8 image; this entry is 8x4.\n", "", &original},
        {"larger entry", "--xor", &original, fixture::checked_patch(fixture::pattern(256, 3), 16, 4, bytes(256), "x"),
         255, "Error: the patch was made for x, a 16x4 image; this entry is 8x4.\n", "", &original},
        {"version 2", "--xor", &original, version2, 255,
         "Error: the patch's check block has version 2; this velmorin reads version 1.\n", "", &original},
        {"width", "--xor", &original, damaged(128), 255, broken, "", &original},
        {"height", "--xor", &original, damaged(132), 255, broken, "", &original},
        {"before", "--xor", &original, damaged(136), 255, broken, "", &original},
        {"after", "--xor", &original, damaged(144), 255, broken, "", &original},
        {"version", "--xor", &original, damaged(152), 255, broken, "", &original},
        {"name length", "--xor", &original, damaged(154), 255, broken, "", &original},
        {"name", "--xor", &original, damaged(156), 255, broken, "", &original},
        {"block hash", "--xor", &original, damaged(159), 255, broken, "", &original},
        {"block size", "--xor", &original, damaged(167), 255, broken, "", &original},
        {"magic", "--xor", &original, damaged(171), 255, broken, "", &original},
        {"raw removed", "--unxor", &applied, mask, 0, "", "", &original},
        {"check applicable", "--check", &original, good, 0, "", "applicable\n", &original},
        {"check applied", "--check", &applied, good, 0, "", "applied\n", &applied},
        {"check other pixels", "--check", &other, good, 0,
         "other: this entry holds neither the pixels the patch applies to nor the ones it gives.\n", "other\n", &other},
        {"check other size", "--check", &original, fixture::checked_patch(mask, 4, 8, old, "img"), 0,
         "other: the patch was made for img, a 4x8 image; this entry is 8x4.\n", "other\n", &original},
        // A name from the file is shown as the listing shows names.
        {"name escaped", "--xor", &original, fixture::checked_patch(mask, 4, 8, old, std::string("a\nError: \x1b[2J\0z", 15)),
         255, "Error: the patch was made for a\\nError: \\x1b[2J\\x00z, a 4x8 image; this entry is 8x4.\n", "", &original},
        {"check raw", "--check", &original, mask, 0, "", "unchecked\n", &original},
        {"check damaged", "--check", &original, damaged(128), 255, broken, "", &original},
        {"check raw short", "--check", &original, fixture::pattern(127, 1), 255, "Short read.\n", "", &original},
    };
    e2e::scratch s;
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        s.write("game.dat", *r.before);
        s.write("p.xor", r.patch);
        e2e::expect_result(e2e::run({r.mode, "game.dat", "img", "p.xor"}, s.dir), r.status,
                           xor_trace(p, 8, 4) + r.tail, r.out);
        EXPECT_EQ(s.read("game.dat"), *r.after);
    }
}

// What is left of a check block after the file was cut short (a download
// stopped, a --mkpatch killed), had bytes appended or its magic damaged is
// never taken for a raw patch: every mode refuses it, for its own entry and
// for another of another size, and the archive stays as it was. Raw patches
// with extra bytes that look like no block still apply.
TEST(CheckedPatch, DamagedIsNeverRaw) {
    patched p = three_entries(8, 4);
    bytes old(p.a.data.begin() + static_cast<long>(p.payload), p.a.data.begin() + static_cast<long>(p.payload + 128));
    const bytes good = fixture::checked_patch(fixture::pattern(128, 41), 8, 4, old, "img");  // a block of 51 bytes
    auto cut = [&](size_t n) { return bytes(good.begin(), good.end() - static_cast<long>(n)); };
    auto appended = [&](const bytes& more) {
        bytes b = good;
        b.insert(b.end(), more.begin(), more.end());
        return b;
    };
    bytes magic = good;
    magic[good.size() - 8] ^= 0x01;
    const std::pair<std::string, bytes> damage[] = {
        {"cut by 1", cut(1)},   {"cut by 7", cut(7)},   {"cut by 8", cut(8)},     {"cut by 25", cut(25)},
        {"cut by 26", cut(26)}, {"cut by 43", cut(43)}, {"cut by 44", cut(44)},   {"cut by 50", cut(50)},
        {"a newline", appended({'\n'})}, {"a zero byte", appended({0})}, {"70,000 bytes", appended(fixture::pattern(70000, 9))},
        {"magic", magic}};
    const size_t other_offset = p.a.at.data_offset[2];
    const std::string to_img = xor_trace(p, 8, 4), to_other = e2e::found_trace(p.a, 2, "other") +
                                                                e2e::bgra_line(other_offset, 8, 2, 2);
    e2e::scratch s;
    s.write("game.dat", p.a.data);
    for (const auto& [label, patch] : damage)
        for (const char* mode : {"--xor", "--unxor", "--check"})
            for (const char* name : {"img", "other"}) {
                SCOPED_TRACE(label + " " + mode + " " + name);
                s.write("p.vmx", patch);
                e2e::expect_result(e2e::run({mode, "game.dat", name, "p.vmx"}, s.dir), 255,
                                   (name == std::string("img") ? to_img : to_other) +
                                       "Error: the patch's check block is damaged.\n");
                EXPECT_EQ(s.read("game.dat"), p.a.data);
            }
    // Raw patches of the entry's size with a newline, or a zero byte, after;
    // one whose own bytes look like sizes and versions (01 00 00 00 ...).
    bytes ones(128, 0);
    for (size_t k = 0; k < ones.size(); k += 4) ones[k] = 1;
    for (auto [extra, raw] : {std::pair{uint8_t{'\n'}, fixture::pattern(128, 5)},
                              std::pair{uint8_t{0}, fixture::pattern(128, 5)}, std::pair{uint8_t{'\n'}, ones}}) {
        raw.push_back(extra);
        s.write("p.xor", raw);
        e2e::expect_result(e2e::run({"--check", "game.dat", "img", "p.xor"}, s.dir), 0, to_img, "unchecked\n");
        e2e::expect_result(e2e::run({"--xor", "game.dat", "img", "p.xor"}, s.dir), 0, to_img);
        EXPECT_EQ(s.read("game.dat"), e2e::xored(p.a.data, p.payload, bytes(raw.begin(), raw.end() - 1)));
        s.write("game.dat", p.a.data);
    }
}

}  // namespace
