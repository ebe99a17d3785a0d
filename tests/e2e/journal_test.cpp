// The rollback journal: a writing run killed anywhere leaves an archive the
// next run puts back exactly as before or finds exactly as after; journals
// that cannot be trusted are refused and kept; no journal, no write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "scene.h"

using e2e::scene;
using fixture::bytes;

namespace {

const std::string journal = "game.dat.velmorin-journal";

// 600 x 500 pixels: more than one band, so kills land between bands too.
scene make() { return e2e::make_scene(600, 500, fixture::plain_bmp(600, 500, 24, 3)); }

std::map<std::string, long> op_counts(const e2e::scratch& s) {
    std::map<std::string, long> counts;
    std::ifstream f(s.path("counts"));
    std::string op;
    long n;
    while (f >> op) {
        if (op == "input_closes") break;
        if (f >> n) counts[op] = n;
    }
    return counts;
}

struct kill_case {
    std::string label;
    std::string args;
    bytes before;  // the archive as the run finds it
    bytes after;   // as the run leaves it when it finishes
    std::string entries = "tex/target.bgra";  // the entries its journal holds, in order
};

// Every writing run, killed at each of its writes, syncs, seeks and
// removals in turn. The next read-only run refuses what a kill left in the
// middle of the write, --recover puts it back, and no journal stays.
TEST(Journal, KillAnywhereLeavesBeforeOrAfter) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    scene sc = make();
    e2e::scratch s;
    bytes old = e2e::payload_of(sc.a.data, sc), fresh = e2e::converted(e2e::model::pack, sc);
    fixture::png_fields png;
    png.width = 600;
    png.height = 500;
    for (size_t k = 0; k < 600u * 500u * 4u; ++k) png.samples.push_back(static_cast<uint16_t>(k * 2654435761u >> 24));
    bytes patch(old.size());
    for (size_t k = 0; k < old.size(); ++k) patch[k] = old[k] ^ fresh[k];
    s.write("in.bmp", sc.bmp);
    s.write("in.png", fixture::build_png(png));
    s.write("c.xor", fixture::checked_patch(patch, sc.width, sc.height, old, sc.name));
    bytes packed = e2e::with_payload(sc, fresh);
    // A folder of every picture of the packed archive, with tex/other.bgra
    // (3 x 3) changed too: --pack-all writes both under one journal.
    s.write("packed.dat", packed);
    ASSERT_EQ(e2e::run({"--export-all", "packed.dat", "folder"}, s.dir).status, 0);
    fixture::png_fields other;
    other.width = other.height = 3;
    for (uint16_t k = 0; k < 36; ++k) other.samples.push_back(static_cast<uint16_t>(k * 7 + 1));
    s.write("folder/tex/other.bgra.png", fixture::build_png(other));
    bytes both = packed;
    size_t at = sc.a.at.data_offset[2] + 16;
    bytes other_old(both.begin() + static_cast<long>(at), both.begin() + static_cast<long>(at) + 36);
    bytes other_new = fixture::png_payload(other, other_old);
    ASSERT_FALSE(other_new == other_old);
    std::copy(other_new.begin(), other_new.end(), both.begin() + static_cast<long>(at));
    // The same two changes as one bundle, applied and removed.
    s.write("game.dat", sc.a.data);
    ASSERT_EQ(e2e::run({"--mkbundle", "game.dat", "folder", "b.vmb"}, s.dir).status, 0);
    const kill_case cases[] = {
        {"pack", "game.dat tex/target.bgra in.bmp", sc.a.data, packed},
        {"pack PNG", "game.dat tex/target.bgra in.png", sc.a.data,
         e2e::with_payload(sc, fixture::png_payload(png, old))},
        {"--xor", "--xor game.dat tex/target.bgra c.xor", sc.a.data, packed},
        {"--unxor", "--unxor game.dat tex/target.bgra c.xor", packed, sc.a.data},
        {"--pack-all", "--pack-all game.dat folder", sc.a.data, both, "tex/target.bgra tex/other.bgra"},
        {"--apply", "--apply game.dat b.vmb", sc.a.data, both, "tex/target.bgra tex/other.bgra"},
        {"--remove", "--remove game.dat b.vmb", both, sc.a.data, "tex/target.bgra tex/other.bgra"}};
    for (const kill_case& c : cases) {
        SCOPED_TRACE(c.label);
        s.write("game.dat", c.before);
        ASSERT_EQ(e2e::run_shell(e2e::under_fault("none:0:fail", c.args), s.dir).status, 0);
        ASSERT_TRUE(s.read("game.dat") == c.after);
        std::map<std::string, long> counts = op_counts(s);
        int put_back = 0, finished = 0;
        for (const char* op : {"write", "sync", "lseek", "unlink"}) {
            for (long n = 1; n <= counts[op]; ++n) {
                std::string fault = std::string(op) + ":" + std::to_string(n) + ":kill";
                SCOPED_TRACE(fault);
                s.write("game.dat", c.before);
                ASSERT_EQ(e2e::run_shell(e2e::under_fault(fault, c.args), s.dir).status, 128 + 9);
                e2e::result look = e2e::run({"--export", "game.dat", sc.name, "look.bmp"}, s.dir);
                // A run over a folder is refused the same way, not at its first file.
                e2e::result make = look.status != 0 && put_back == 0
                                       ? e2e::run({"--mkbundle", "game.dat", "folder", "x.vmb"}, s.dir)
                                       : e2e::result{0, "", ""};
                if (make.status != 0) {
                    EXPECT_EQ(make.err, look.err.substr(look.err.rfind('\n', look.err.size() - 2) + 1));
                }
                e2e::result recover = e2e::run({"--recover", "game.dat"}, s.dir);
                EXPECT_EQ(recover.status, 0);
                EXPECT_FALSE(s.exists(journal));
                bytes now = s.read("game.dat");
                ASSERT_TRUE(now == c.before || now == c.after);
                if (look.status != 0) {
                    // Only a journal that holds what the archive lost stops a reader.
                    EXPECT_EQ(look.err.substr(look.err.rfind('\n', look.err.size() - 2) + 1),
                              "Error: an earlier run on game.dat was interrupted while writing it; run \"velmorin "
                              "--recover game.dat\" first.\n");
                    std::string lines, name;
                    for (std::istringstream names(c.entries); names >> name;)
                        lines += "Warning: an earlier run on game.dat was interrupted; " + name +
                                 " was put back as it was.\n";
                    EXPECT_EQ(recover.err, lines);
                    EXPECT_TRUE(now == c.before);
                    ++put_back;
                } else if (now == c.after) {
                    ++finished;
                }
            }
        }
        // Kills fell in the write itself, and after it.
        EXPECT_GT(put_back, 2);
        EXPECT_GT(finished, 0);
    }
}

// A journal left complete (the run killed before the archive was durable),
// then changed: each one is refused by every run that reads pixels, and
// kept, with the archive as the kill left it. A writing run that finds an
// unfinished one removes it and goes on.
TEST(Journal, UntrustedJournalsAreRefusedAndKept) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    scene sc = make();
    e2e::scratch s;
    s.write("in.bmp", sc.bmp);
    s.write("game.dat", sc.a.data);
    const std::string pack = "game.dat tex/target.bgra in.bmp";
    // The fourth sync is the archive's: the journal and its folder are durable.
    ASSERT_EQ(e2e::run_shell(e2e::under_fault("sync:4:kill", pack), s.dir).status, 128 + 9);
    const bytes left = s.read("game.dat"), complete = s.read(journal);
    ASSERT_EQ(std::string(complete.begin() + 8, complete.begin() + 16), "COMPLETE");

    auto with_hash = [](bytes j) {  // the closing hash made right again: all but the state
        bytes hashed;
        for (size_t k = 0; k + 8 < j.size(); ++k)
            if (k < 8 || k >= 16) hashed.push_back(j[k]);
        fixture::put_u64(j, j.size() - 8, fixture::xxh3(hashed));
        return j;
    };
    bytes flipped = complete, version_2 = complete, bad_state = complete, elsewhere = complete;
    flipped[complete.size() / 2] ^= 1;
    fixture::put_u64(elsewhere, 56, 16);  // the range aimed at the first entry, not the target's pixels
    fixture::put_u16(version_2, 16, 2);
    bad_state[10] ^= 1;
    const std::string kept = "; it was not applied, and is kept.\n";
    const std::string damaged = "Error: the journal " + journal + " is damaged" + kept;
    struct stale_case {
        std::string label;
        bytes journal, archive;
        std::string message;
    };
    bytes longer = left;
    longer.push_back(0);
    bytes renamed = left;
    renamed[fixture::get_u32(left, 8) + 32] ^= 1;  // a byte of the first directory entry
    const stale_case cases[] = {
        {"flipped byte", flipped, left, damaged},
        {"cut by one byte", bytes(complete.begin(), complete.end() - 1), left, damaged},
        {"cut to 12 bytes", bytes(complete.begin(), complete.begin() + 12), left, damaged},
        {"state neither", bad_state, left, damaged},
        {"range not the entry's pixels", with_hash(elsewhere), left, damaged},
        {"version 2", with_hash(version_2), left,
         "Error: the journal " + journal + " has version 2; this velmorin reads version 1. It was not applied, and "
                                           "is kept.\n"},
        {"archive grew", complete, longer,
         "Error: the journal " + journal +
             " was made for this archive as it was before it changed (another size or directory)" + kept},
        {"directory changed", complete, renamed,
         "Error: the journal " + journal +
             " was made for this archive as it was before it changed (another size or directory)" + kept}};
    for (const stale_case& c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::string& args : {pack, std::string("--export game.dat tex/target.bgra out.bmp"),
                                        std::string("--recover game.dat")}) {
            SCOPED_TRACE(args);
            s.write(journal, c.journal);
            s.write("game.dat", c.archive);
            e2e::result r = e2e::run_shell("\"$VELMORIN\" " + args, s.dir);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), c.message);
            EXPECT_TRUE(s.read(journal) == c.journal);
            EXPECT_TRUE(s.read("game.dat") == c.archive);
        }
    }
    // Without locks a journal may be a live run's: a writing run leaves it
    // alone; --recover, run knowing no other is, puts it back.
    s.write(journal, complete);
    s.write("game.dat", left);
    e2e::result unlocked = e2e::run_shell(e2e::under_fault("flock:0:fail", pack), s.dir);
    EXPECT_EQ(unlocked.status, 255);
    EXPECT_EQ(unlocked.err.substr(unlocked.err.rfind('\n', unlocked.err.size() - 2) + 1),
              "Error: the journal " + journal + " is there, and this file system has no locks: it may be another "
              "run's, still writing; if no other run is, run \"velmorin --recover game.dat\".\n");
    EXPECT_TRUE(s.read(journal) == complete);
    EXPECT_EQ(e2e::run_shell(e2e::under_fault("flock:0:fail", "--recover game.dat"), s.dir).status, 0);
    EXPECT_TRUE(s.read("game.dat") == sc.a.data);
    EXPECT_FALSE(s.exists(journal));
    // Not a file: refused at once (a FIFO would have the run wait for a writer).
    ASSERT_EQ(e2e::run_shell("mkfifo " + journal, s.dir).status, 0);
    e2e::result fifo = e2e::run_shell("timeout 10 \"$VELMORIN\" --export game.dat tex/target.bgra out.bmp", s.dir);
    EXPECT_EQ(fifo.status, 255);
    EXPECT_EQ(fifo.err.substr(fifo.err.rfind('\n', fifo.err.size() - 2) + 1), damaged);
    unlink(s.path(journal).c_str());
    // Never completed: a reader goes on, a writer removes it and writes.
    bytes pending = complete;
    const std::string state("PENDING\0", 8);
    for (size_t k = 0; k < 8; ++k) pending[8 + k] = static_cast<uint8_t>(state[k]);
    s.write(journal, pending);
    s.write("game.dat", sc.a.data);
    EXPECT_EQ(e2e::run({"--export", "game.dat", sc.name, "out.bmp"}, s.dir).status, 0);
    EXPECT_TRUE(s.exists(journal));
    e2e::result r = e2e::run_shell("\"$VELMORIN\" " + pack, s.dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("Debug: removed " + journal + ", left by a run that stopped before it wrote anything.\n"),
              std::string::npos);
    EXPECT_FALSE(s.exists(journal));
    EXPECT_TRUE(s.read("game.dat") == e2e::with_payload(sc, e2e::converted(e2e::model::pack, sc)));
    e2e::expect_result(e2e::run({"--recover", "game.dat"}, s.dir), 0,
                       "Nothing to recover: no earlier run on game.dat was interrupted while writing it.\n");
}

// No journal, no write: an archive whose name leaves no room for the
// journal's, or a folder the user may not write to (the archive itself
// writable), refuses a writing run, with the archive untouched; a reading
// run goes on.
TEST(Journal, NoRoomForIt) {
    SKIP_WHEN_LAUNCHED("POSIX users and permissions");
    scene sc = e2e::make_scene(8, 4, fixture::plain_bmp(8, 4, 32, 5));
    e2e::scratch s;
    const std::string long_name(250, 'g');
    s.write(long_name, sc.a.data);
    s.write("in.bmp", sc.bmp);
    EXPECT_EQ(e2e::run({"--export", long_name, sc.name, "out.bmp"}, s.dir).status, 0);
    e2e::result too_long = e2e::run({long_name, sc.name, "in.bmp"}, s.dir);
    EXPECT_EQ(too_long.err.substr(too_long.err.rfind('\n', too_long.err.size() - 2) + 1),
              "Error: cannot write the journal " + long_name + ".velmorin-journal: File name too long; nothing was "
              "changed.\n");
    EXPECT_TRUE(s.read(long_name) == sc.a.data);

    std::optional<std::string> as_user = e2e::unprivileged();
    if (!as_user) GTEST_SKIP() << "running as root and setpriv is not installed";
    const std::string& prefix = *as_user;
    s.write("game.dat", sc.a.data);
    chmod(s.dir.c_str(), 0755);
    chmod(s.path("game.dat").c_str(), 0666);
    chmod(s.path("in.bmp").c_str(), 0644);
    if (e2e::run_shell(prefix + "sh -c 'test -w game.dat && ! test -w .'", s.dir).status != 0)
        GTEST_SKIP() << "cannot become a user who may write the archive but not its folder";
    e2e::result r = e2e::run_shell(prefix + "\"$VELMORIN\" game.dat tex/target.bgra in.bmp", s.dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
              "Error: cannot write the journal " + journal + ": Permission denied; nothing was changed.\n");
    EXPECT_TRUE(s.read("game.dat") == sc.a.data);
    EXPECT_FALSE(s.exists(journal));
}

}  // namespace

namespace {

// A checked patch changed by another program while --xor runs (the run
// stopped at each of its reads in turn, the patch's last byte flipped, the
// run let go): whatever the moment, the run either applies the patch it
// checked, or refuses with the archive as it was.
TEST(Journal, PatchChangedWhileApplied) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    scene sc = make();
    e2e::scratch s;
    bytes old = e2e::payload_of(sc.a.data, sc), fresh = e2e::converted(e2e::model::pack, sc);
    bytes patch(old.size());
    for (size_t k = 0; k < old.size(); ++k) patch[k] = old[k] ^ fresh[k];
    const bytes checked = fixture::checked_patch(patch, sc.width, sc.height, old, sc.name);
    const std::string args = "--xor game.dat tex/target.bgra c.xor";
    s.write("game.dat", sc.a.data);
    s.write("c.xor", checked);
    ASSERT_EQ(e2e::run_shell(e2e::under_fault("none:0:fail", args), s.dir).status, 0);
    long reads = op_counts(s)["read"];
    int caught = 0;
    for (long n = 1; n <= reads; ++n) {
        SCOPED_TRACE(n);
        s.write("game.dat", sc.a.data);
        s.write("c.xor", checked);
        e2e::result r = e2e::run_shell(
            e2e::under_fault("read:" + std::to_string(n) + ":sig19", args) +
                " & tool=$!\n"
                "until [ \"$(cut -d' ' -f3 /proc/$tool/stat)\" = T ]; do sleep 0.01; done\n"
                "printf '\\001' | dd of=c.xor bs=1 seek=" +
                std::to_string(patch.size() - 1) +
                " conv=notrunc status=none\n"
                "kill -CONT $tool; wait $tool",
            s.dir);
        bytes now = s.read("game.dat");
        if (r.status == 0) {
            EXPECT_TRUE(now == e2e::with_payload(sc, fresh));
            continue;
        }
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(now == sc.a.data);
        EXPECT_FALSE(s.exists(journal));
        if (r.err.find("Error: the patch changed while it was applied; nothing was changed.\n") != std::string::npos)
            ++caught;
    }
    EXPECT_GT(caught, 0);
}

}  // namespace

namespace {

// Pack reads a PNG once, writing as it goes: damage found after pixels went
// out is refused with the same line, the entry put back byte for byte.
TEST(Journal, PngDamagedHalfWayIsPutBack) {
    scene sc = make();
    e2e::scratch s;
    fixture::png_fields png;
    png.width = 600;
    png.height = 500;
    for (size_t k = 0; k < 600u * 500u * 4u; ++k) png.samples.push_back(static_cast<uint16_t>(k * 40503u >> 9));
    const bytes good = fixture::build_png(png);
    bytes cut(good.begin(), good.begin() + static_cast<long>(good.size() * 7 / 10));
    bytes end_crc = good;  // IEND's CRC: found after the last pixel
    end_crc[good.size() - 1] ^= 1;
    const std::pair<bytes, std::string> cases[] = {{cut, "Error: damaged PNG: ends early.\n"},
                                                   {end_crc, "Error: damaged PNG: chunk CRC.\n"}};
    for (const auto& [file, message] : cases) {
        SCOPED_TRACE(message);
        s.write("game.dat", sc.a.data);
        s.write("in.png", file);
        e2e::result r = e2e::run({"game.dat", sc.name, "in.png"}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), message);
        EXPECT_TRUE(s.read("game.dat") == sc.a.data);
        EXPECT_FALSE(s.exists(journal));
    }
}

}  // namespace

namespace {

// Ended from outside at several points of a long pack (kill -9, as Task
// Manager ends a Windows program): once --recover has looked, the archive is
// exactly as before or exactly as after, and no journal is left.
TEST(Journal, EndedFromOutside) {
    scene sc = e2e::make_scene(2048, 2048, fixture::plain_bmp(2048, 2048, 32, 7));
    e2e::scratch s;
    s.write("in.bmp", sc.bmp);
    const bytes after = e2e::with_payload(sc, e2e::converted(e2e::model::pack, sc));
    // Under Wine the write lasts about 0.05 s, and starts as late.
    for (const char* delay : {"0", "0.002", "0.005", "0.01", "0.02", "0.03", "0.04", "0.05", "0.055", "0.06",
                              "0.065", "0.07", "0.08", "0.1", "0.16"}) {
        SCOPED_TRACE(delay);
        s.write("game.dat", sc.a.data);
        e2e::run_shell("\"$VELMORIN\" game.dat tex/target.bgra in.bmp 2>/dev/null & tool=$!; sleep " +
                           std::string(delay) + "; kill -9 $tool 2>/dev/null; wait $tool",
                       s.dir);
        EXPECT_EQ(e2e::run({"--recover", "game.dat"}, s.dir).status, 0);
        bytes now = s.read("game.dat");
        EXPECT_TRUE(now == sc.a.data || now == after);
        EXPECT_FALSE(s.exists(journal));
    }
}

}  // namespace
