// Bundles: made from a folder, checked, applied and removed all or
// nothing; conflicts and partial states named; every damage refused
// before a byte is written.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "runner.h"
#include "scene.h"

using fixture::bytes;
using fixture::entry;

namespace {

std::string last_line(const e2e::result& r) { return r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1); }

// "notes", then 2 x 2 images "a" and "d/b" and a 3 x 1 "c", holding the
// patterns of the seeds given (the headers stay those of seeds 1, 2, 3).
fixture::archive game(uint32_t a, uint32_t b, uint32_t c, bool with_b = true, bool b_image = true) {
    std::vector<entry> entries = {entry{"notes", bytes(3, 'n'), std::nullopt},
                                  entry{"a", fixture::bgra_entry(2, 2, 1, fixture::pattern(16, a)), std::nullopt}};
    if (with_b && b_image) entries.push_back(entry{"d/b", fixture::bgra_entry(2, 2, 2, fixture::pattern(16, b)), std::nullopt});
    if (with_b && !b_image) entries.push_back(entry{"d/b", bytes(20, 'x'), std::nullopt});
    entries.push_back(entry{"c", fixture::bgra_entry(3, 1, 3, fixture::pattern(12, c)), std::nullopt});
    return fixture::build_archive(entries);
}

const std::string not_fit = "Error: the bundle does not fit this archive (";

// A.vmb changes a and d/b (seeds 7, 8); B.vmb changes a alone (seed 9).
struct bundles {
    e2e::scratch s;
    bundles() {
        s.write("game.dat", game(1, 2, 3).data);
        s.write("a.dat", game(7, 8, 3).data);
        s.write("b.dat", game(9, 2, 3).data);
        for (const char* n : {"a", "b"}) {
            EXPECT_EQ(e2e::run({"--export-all", std::string(n) + ".dat", std::string("mod-") + n}, s.dir).status, 0);
        }
        e2e::result made = e2e::run({"--mkbundle", "game.dat", "mod-a", "A.vmb"}, s.dir);
        EXPECT_EQ(made.err, "Made A.vmb: 2 records; 1 pictures equal to their entry left out; 0 other files ignored.\n");
        EXPECT_EQ(e2e::run({"--mkbundle", "game.dat", "mod-b", "B.vmb"}, s.dir).status, 0);
        EXPECT_EQ(e2e::run({"--export-all", "game.dat", "mod-game"}, s.dir).status, 0);
    }
};

// One archive through a modder's and a player's steps, in order.
TEST(Bundle, ApplyRemoveConflictPartial) {
    bundles b;
    const e2e::scratch& s = b.s;
    s.write("missing.dat", game(1, 2, 3, false).data);
    s.write("notimage.dat", game(1, 2, 3, true, false).data);
    s.write("mixed.dat", game(1, 8, 5).data);
    struct step {
        std::string args;
        int status;
        std::string out, err;
        bytes after;  // game.dat afterwards
    };
    const bytes before = game(1, 2, 3).data, with_a = game(7, 8, 3).data, with_b = game(9, 2, 3).data;
    const step steps[] = {
        {"--check game.dat A.vmb", 0, "applicable\ta\napplicable\td/b\n", "", before},
        {"--remove game.dat A.vmb", 255, "", "Error: the bundle is not applied to this archive; nothing was changed.\n", before},
        {"--apply game.dat A.vmb", 0, "", "Applied A.vmb to game.dat: 2 entries changed.\n", with_a},
        {"--check game.dat A.vmb", 0, "applied\ta\napplied\td/b\n", "", with_a},
        {"--apply game.dat A.vmb", 255, "", "Error: the bundle is already applied to this archive; nothing was changed.\n", with_a},
        // B changes a texture A changed: named, nothing written.
        {"--apply game.dat B.vmb", 255, "", "other\ta\n" + not_fit + "1 of 1 entries); nothing was changed.\n", with_a},
        {"--remove game.dat A.vmb", 0, "", "Removed A.vmb from game.dat: 2 entries put back.\n", before},
        {"--apply game.dat B.vmb", 0, "", "Applied B.vmb to game.dat: 1 entries changed.\n", with_b},
        {"--apply game.dat A.vmb", 255, "", "other\ta\n" + not_fit + "1 of 2 entries); nothing was changed.\n", with_b},
        {"--remove game.dat B.vmb", 0, "", "Removed B.vmb from game.dat: 1 entries put back.\n", before},
        // A applied, then one of its textures put back by hand.
        {"--apply game.dat A.vmb", 0, "", "Applied A.vmb to game.dat: 2 entries changed.\n", with_a},
        {"game.dat d/b mod-game/d/b.png", 0, "", "", game(7, 2, 3).data},
        {"--apply game.dat A.vmb", 255, "", "applied\ta\n" + not_fit + "1 of 2 entries); nothing was changed.\n",
         game(7, 2, 3).data},
        {"--remove game.dat A.vmb", 255, "", "applicable\td/b\n" + not_fit + "1 of 2 entries); nothing was changed.\n",
         game(7, 2, 3).data},
        {"--check game.dat A.vmb", 0, "applied\ta\napplicable\td/b\n", "", game(7, 2, 3).data},
        // Every state at once, and entries gone or of another kind.
        {"--check mixed.dat A.vmb", 0, "applicable\ta\napplied\td/b\n", "", game(7, 2, 3).data},
        {"--check missing.dat A.vmb", 0, "applicable\ta\nmissing\td/b\n", "", game(7, 2, 3).data},
        {"--apply notimage.dat A.vmb", 255, "", "other\td/b\n" + not_fit + "1 of 2 entries); nothing was changed.\n",
         game(7, 2, 3).data},
        {"--check game.dat B.vmb", 0, "other\ta\n", "", game(7, 2, 3).data},
    };
    for (const step& st : steps) {
        SCOPED_TRACE(st.args);
        e2e::result r = e2e::run_shell("\"$VELMORIN\" " + st.args, s.dir);
        EXPECT_EQ(r.status, st.status);
        EXPECT_EQ(r.out, st.out);
        if (st.args.rfind("game.dat d/b", 0) != 0) {
            EXPECT_EQ(r.err, st.err);
        }
        EXPECT_TRUE(s.read("game.dat") == st.after);
        EXPECT_FALSE(s.exists("game.dat.velmorin-journal"));
    }
    EXPECT_TRUE(s.read("mixed.dat") == game(1, 8, 5).data);
}

void put_u64(bytes& b, size_t at, uint64_t v) {
    for (int k = 0; k < 8; ++k) b[at + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
}

// The closing hash made to hold again over changed bytes.
bytes resealed(bytes b) {
    put_u64(b, b.size() - 16, fixture::xxh3(bytes(b.begin(), b.end() - 16)));
    return b;
}

// Cut, extended, flipped, or changed and sealed again: refused before any
// write, by --apply, --remove and --check alike.
TEST(Bundle, DamageRefused) {
    bundles b;
    const e2e::scratch& s = b.s;
    const bytes good = s.read("A.vmb");
    const std::string damaged = "Error: the bundle is damaged.\n";
    struct damage {
        std::string label;
        bytes file;
        std::string err;
    };
    std::vector<damage> cases;
    for (size_t n = 0; n < good.size(); n += n + 20 < good.size() ? 5 : 1)
        cases.push_back({"cut to " + std::to_string(n), bytes(good.begin(), good.begin() + static_cast<long>(n)), damaged});
    for (size_t n : {size_t{1}, size_t{16}}) {
        bytes longer = good;
        longer.insert(longer.end(), n, 0);
        cases.push_back({std::to_string(n) + " appended", longer, damaged});
    }
    for (size_t at = 0; at < good.size(); at += 3) {
        bytes flipped = good;
        flipped[at] ^= 0x20;
        cases.push_back({"flipped at " + std::to_string(at), flipped, damaged});
    }
    auto sealed = [&](const std::function<void(bytes&)>& change) {
        bytes c = good;
        change(c);
        return resealed(c);
    };
    // The first record: head at 16, name "a" at 50, its stream from 51.
    const size_t rec = 16;
    cases.push_back({"version 2", sealed([](bytes& c) { c[8] = 2; }), "Error: the bundle is of version 2; this velmorin reads bundles of version 1.\n"});
    cases.push_back({"field at 10", sealed([](bytes& c) { c[10] = 1; }), damaged});
    cases.push_back({"no records", sealed([](bytes& c) { c[12] = 0; }), damaged});
    cases.push_back({"three records", sealed([](bytes& c) { c[12] = 3; }), damaged});
    cases.push_back({"empty name", sealed([](bytes& c) { c[rec + 32] = 0; }), damaged});
    cases.push_back({"C one longer", sealed([](bytes& c) { c[rec + 24] += 1; }), damaged});
    cases.push_back({"N over 255", sealed([](bytes& c) { c[rec + 33] = 1; }), damaged});
    // Two records of one name.
    cases.push_back({"two records of one name", sealed([&](bytes& c) {
                         size_t first = 34 + 1 + c[rec + 24];
                         c.insert(c.begin() + rec, good.begin() + rec, good.begin() + static_cast<long>(rec + first));
                         c[12] = 3;
                     }),
                     damaged});
    cases.push_back({"after equal to before", sealed([](bytes& c) {
                         std::copy(c.begin() + rec + 8, c.begin() + rec + 16, c.begin() + rec + 16);
                     }),
                     damaged});
    const std::string record_a =
        "Error: the bundle is damaged: the record for a does not give the pixels it was made for; nothing was changed.\n";
    cases.push_back({"after changed", sealed([](bytes& c) { c[rec + 16] ^= 1; }), record_a});  // after
    cases.push_back({"stream changed", sealed([](bytes& c) { c[rec + 34 + 1 + 4] ^= 0x55; }), record_a});  // inside the stream
    // A stream that does not inflate to its S bytes, in a record whose entry
    // holds neither end (missing, or other pixels), is damage all the same.
    for (const char* name : {"zz", "c"}) {
        bytes other = fixture::build_bundle({{name, 3, 1, fixture::pattern(12, 4), fixture::pattern(12, 5)}});
        other[16 + 34 + strlen(name) + 3] ^= 0x40;
        cases.push_back({std::string("stream of ") + name, resealed(other), damaged});
    }
    for (size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE(cases[k].label + " (" + std::to_string(k) + ")");
        s.write("bad.vmb", cases[k].file);
        for (const char* mode : {"--apply", "--check", "--remove"}) {
            e2e::result r = e2e::run({mode, "game.dat", "bad.vmb"}, s.dir);
            EXPECT_EQ(r.status, 255);
            // --remove finds a's pixels before the record; its stream is only a's other end.
            if (!(std::string(mode) == "--remove" && cases[k].err == record_a)) {
                EXPECT_EQ(r.err, cases[k].err);
            }
            EXPECT_TRUE(s.read("game.dat") == game(1, 2, 3).data);
        }
    }
}

// What is not a bundle, or would overwrite an input, or has nothing in it.
TEST(Bundle, Refusals) {
    bundles b;
    const e2e::scratch& s = b.s;
    struct row {
        std::string command;
        std::string err;
        bool posix = false;
    };
    const row rows[] = {
        {"cat A.vmb | \"$VELMORIN\" --check game.dat /dev/stdin",
         "Error: /dev/stdin is not a regular file; a bundle must be one.\n", true},
        {"mkfifo f.vmb && \"$VELMORIN\" --apply game.dat f.vmb", "Error: f.vmb is not a regular file; a bundle must be one.\n",
         true},
        {"\"$VELMORIN\" --apply game.dat game.dat", "Error: game.dat is the archive itself, not a bundle.\n"},
        {"mkdir -p empty && echo x >empty/notes.txt && \"$VELMORIN\" --mkbundle game.dat empty none.vmb",
         "Error: there is no .png or .bmp file under empty; no bundle was written.\n"},
        {"\"$VELMORIN\" --mkbundle game.dat mod-a game.dat", "Error: game.dat is an input file; refusing to overwrite it.\n"},
        {"\"$VELMORIN\" --mkbundle game.dat mod-a mod-a/a.png",
         "Error: mod-a/a.png is an input file; refusing to overwrite it.\n"},
        {"\"$VELMORIN\" --mkbundle game.dat mod-game none.vmb",
         "Error: every picture under mod-game holds its entry's pixels already; no bundle was written.\n"},
        {"\"$VELMORIN\" --mkbundle game.dat missing none.vmb", "Error: missing is not a folder.\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.command);
        if (r.posix && e2e::launched()) continue;
        e2e::result run = e2e::run_shell(r.command, s.dir);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(last_line(run), r.err);
        EXPECT_TRUE(s.read("game.dat") == game(1, 2, 3).data);
    }
    EXPECT_FALSE(s.exists("none.vmb"));
}

// An entry whose pixels lie in a name of the directory past it is no image
// a bundle may write, whatever its record says.
TEST(Bundle, PixelsInALaterNameAreOther) {
    fixture::archive a = e2e::pixels_in_a_later_name();
    e2e::scratch s;
    s.write("game.dat", a.data);
    s.write("b.vmb", fixture::build_bundle({{"target", 1, 1, bytes(4, 5), bytes(4, 6)}}));
    e2e::expect_result(e2e::run({"--apply", "game.dat", "b.vmb"}, s.dir), 255,
                       "other\ttarget\n" + not_fit + "1 of 1 entries); nothing was changed.\n");
    EXPECT_TRUE(s.read("game.dat") == a.data);
}

// A --mkbundle killed at any write leaves no bundle, or one every mode
// refuses as damaged, or the whole one.
TEST(Bundle, KilledMakingLeavesNoSoundBundle) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    bundles b;
    const e2e::scratch& s = b.s;
    const bytes whole = s.read("A.vmb");
    const std::string make = "--mkbundle game.dat mod-a out.vmb";
    ASSERT_EQ(e2e::run_shell(e2e::under_fault("none:0:fail", make), s.dir).status, 0);
    ASSERT_TRUE(s.read("out.vmb") == whole);
    long writes = 0;
    {
        std::ifstream counts(s.path("counts"));
        std::string op;
        long n;
        while (counts >> op >> n)
            if (op == "write") writes = n;
    }
    ASSERT_GT(writes, 3);
    int cut = 0;
    for (long n = 1; n <= writes; ++n) {
        SCOPED_TRACE(n);
        e2e::run_shell("rm -f out.vmb", s.dir);
        ASSERT_EQ(e2e::run_shell(e2e::under_fault("write:" + std::to_string(n) + ":kill", make), s.dir).status, 128 + 9);
        if (!s.exists("out.vmb")) continue;
        if (s.read("out.vmb") == whole) continue;
        ++cut;
        e2e::result r = e2e::run({"--check", "game.dat", "out.vmb"}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Error: the bundle is damaged.\n");
    }
    EXPECT_GT(cut, 0);
}

}  // namespace
