// The process around the run: closed standard streams, signals, the file
// size limit, a second run on the same archive, and outputs that are pipes or
// the run's own streams. Every expected file is computed from the inputs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "scene.h"

using e2e::scene;
using fixture::bytes;

namespace {

struct mode_run {
    std::string label;
    std::string args;
};

const mode_run modes[] = {{"pack", "game.dat tex/target.bgra in.bmp"},
                          {"mkxor", "--mkxor game.dat tex/target.bgra in.bmp out.xor"},
                          {"xor", "--xor game.dat tex/target.bgra p.xor"}};

// A 24-bit BMP over a 600 x 500 entry (several bands) or a smaller one, and
// the one line on standard output.
struct world {
    scene sc;
    bytes patch;
    e2e::scratch s;

    explicit world(int32_t width = 600, int32_t height = 500)
        : sc(e2e::make_scene(width, height, fixture::plain_bmp(width, height, 24, 3))),
          patch(fixture::pattern(sc.size, 4)) {}

    void reset() {
        s.write("game.dat", sc.a.data);
        s.write("in.bmp", sc.bmp);
        s.write("p.xor", patch);
        unlink(s.path("out.xor").c_str());
    }
    bytes archive_after(const std::string& mode) const {
        if (mode == "pack") return e2e::with_payload(sc, e2e::converted(e2e::model::pack, sc));
        if (mode == "xor") return e2e::with_payload(sc, e2e::xored(e2e::payload_of(sc.a.data, sc), 0, patch));
        return sc.a.data;
    }
    bytes new_patch() const {
        return e2e::xored(e2e::payload_of(sc.a.data, sc), 0, e2e::converted(e2e::model::make_xor, sc));
    }
    // The files as the finished run `mode` leaves them.
    void expect_done(const std::string& mode) const {
        EXPECT_TRUE(s.read("game.dat") == archive_after(mode));
        if (mode == "mkxor") {
            EXPECT_TRUE(s.read("out.xor") == new_patch());
        }
    }
    e2e::result sh(const std::string& line, int err_fd = -1) { return e2e::run_shell(line, s.dir, err_fd); }
};

// A closed descriptor 0, 1 or 2 changes nothing but what that stream shows:
// the same run with it on /dev/null gives the same status, files and output.
TEST(Environment, ClosedStandardStreams) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w;
    for (const mode_run& m : modes)
        for (int fd = 0; fd <= 2; ++fd) {
            SCOPED_TRACE(m.label + " with descriptor " + std::to_string(fd) + " closed");
            std::string run = "\"$VELMORIN\" " + m.args + " " + std::to_string(fd);
            w.reset();
            e2e::result ref = w.sh(run + (fd == 0 ? "</dev/null" : ">/dev/null"));
            ASSERT_EQ(ref.status, 0) << ref.err;
            w.expect_done(m.label);
            w.reset();
            e2e::result closed = w.sh(run + (fd == 0 ? "<&-" : ">&-"));
            EXPECT_EQ(closed.status, 0);
            EXPECT_EQ(closed.err, ref.err);
            EXPECT_EQ(closed.out, ref.out);
            w.expect_done(m.label);
        }
}

// Standard output or the error stream appended to the archive itself or to
// an input, or the error stream the output itself: the run refuses, and
// nothing at all reaches the archive, the input or the output. Under Wine the shell's files reach the tool as
// standard handles whose volume cannot be read.
TEST(Environment, ArchiveOrOutputAsAStream) {
    struct stream_case {
        std::string args, redirect, last_line;  // last_line "" when nothing can be said
        std::string file;                       // the output that is the error stream
    };
    const std::string archive = "Error: game.dat is also an output stream of this run; refusing to use it.\n";
    const stream_case cases[] = {
        {modes[0].args, ">>game.dat", archive, ""},
        {modes[0].args, "2>>game.dat", "", ""},
        {"--list game.dat", ">>game.dat", archive, ""},
        {"--export game.dat tex/target.bgra x.bmp", "2>>game.dat", "", ""},
        {modes[2].args, "2>>game.dat", "", ""},
        // The refusal would land in the output itself: nothing is written there.
        {"--export game.dat tex/target.bgra xw.bmp", "2>xw.bmp", "", "xw.bmp"},
        {"--mkxor game.dat tex/target.bgra in.bmp xw.xor", "2>xw.xor", "", "xw.xor"},
        // Nor may the run's words land in a file it reads.
        {"--check game.dat tex/target.bgra p.xor", ">>p.xor",
         "Error: p.xor is also an output stream of this run; refusing to use it.\n", ""},
        {modes[2].args, "2>>p.xor", "", ""},
        {modes[0].args, ">>in.bmp", "Error: in.bmp is also an output stream of this run; refusing to use it.\n", ""},
        {modes[1].args, "2>>in.bmp", "", ""},
    };
    world w(8, 4);
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.args + " " + c.redirect);
        w.reset();
        e2e::result r = w.sh("\"$VELMORIN\" " + c.args + " " + c.redirect);
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(w.s.read("game.dat") == w.sc.a.data);
        EXPECT_TRUE(w.s.read("p.xor") == w.patch);
        EXPECT_TRUE(w.s.read("in.bmp") == w.sc.bmp);
        std::string told = c.file.empty() ? r.err : [&] {
            bytes b = w.s.read(c.file);
            return std::string(b.begin(), b.end());
        }();
        EXPECT_EQ(told.substr(told.empty() ? 0 : told.rfind('\n', told.size() - 2) + 1), c.last_line);
    }
    if (e2e::launched()) return;
    // A stream whose identity cannot be read might be the archive.
    w.reset();
    e2e::result r = w.sh(e2e::under_fault("fstat:1:fail", modes[0].args) + " >out");
    e2e::expect_result(r, 255,
                       "Error: cannot tell whether an output stream of this run is game.dat; refusing to use it.\n");
    r = w.sh(e2e::under_fault("fstat:2:fail", modes[0].args) + " 2>err");
    e2e::expect_result(r, 255, "");
    EXPECT_TRUE(w.s.read("game.dat") == w.sc.a.data);
}

// Any signal that would end the run, arriving during the payload write,
// waits for the write to finish and then ends the run as it would have;
// SIGXFSZ never ends it.
TEST(Environment, SignalsDuringThePayload) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w;
    fixture::png_fields png;
    png.width = 600;
    png.height = 500;
    png.colour_type = 2;
    png.samples = std::vector<uint16_t>(600 * 500 * 3);
    for (size_t k = 0; k < png.samples.size(); ++k) png.samples[k] = static_cast<uint16_t>(k * 7 % 251);
    const mode_run png_pack{"png", "game.dat tex/target.bgra in.png"};
    const bytes png_done = e2e::with_payload(w.sc, fixture::png_payload(png, e2e::payload_of(w.sc.a.data, w.sc)));
    const int ending[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTRAP,  SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                          SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,  SIGRTMIN, SIGRTMAX};
    for (const mode_run& m : {modes[0], modes[2], png_pack}) {
        w.reset();
        w.s.write("in.png", fixture::build_png(png));
        e2e::result ref = w.sh("\"$VELMORIN\" " + m.args);
        ASSERT_EQ(ref.status, 0);
        auto expect_done = [&] {
            if (m.label == "png")
                EXPECT_TRUE(w.s.read("game.dat") == png_done);
            else
                w.expect_done(m.label);
        };
        for (int sig : ending) {
            SCOPED_TRACE(m.label + " with signal " + std::to_string(sig));
            w.reset();
            e2e::result r = w.sh(e2e::under_fault("write:2:sig" + std::to_string(sig), m.args));
            EXPECT_EQ(r.status, 128 + sig);
            EXPECT_EQ(r.err.substr(0, ref.err.size()), ref.err);  // the shell may name the signal after
            expect_done();
        }
        w.reset();
        e2e::result r = w.sh(e2e::under_fault("write:2:sigxfsz", m.args));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, ref.err);
        expect_done();
    }
}

// A file size limit below the payload's end, or below the journal's size
// (its old pixels, the entry's name and 82 bytes), is refused before the
// first byte; one at the larger of the two is enough. A patch output that
// meets the limit fails as a write and is cut to what was written.
TEST(Environment, FileSizeLimit) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w;
    size_t end = w.sc.payload + w.sc.size, journal = 82 + w.sc.name.size() + w.sc.size;
    const std::pair<size_t, std::string> below[] = {
        {end - 1, "Error: the file size limit is below the end of the entry.\n"},
        {journal - 1, "Error: the file size limit is below the size of the journal, " + std::to_string(journal) +
                          " bytes; nothing was changed.\n"}};
    for (const mode_run& m : {modes[0], modes[2]}) {
        SCOPED_TRACE(m.label);
        for (const auto& [limit, message] : below) {
            w.reset();
            e2e::result r = w.sh("prlimit --fsize=" + std::to_string(limit) + " \"$VELMORIN\" " + m.args);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
                      limit < end ? below[0].second : message);
            EXPECT_TRUE(w.s.read("game.dat") == w.sc.a.data);
        }
        w.reset();
        EXPECT_EQ(w.sh("prlimit --fsize=" + std::to_string(std::max(end, journal)) + " \"$VELMORIN\" " + m.args).status,
                  0);
        w.expect_done(m.label);
    }
    w.reset();
    e2e::result r = w.sh("prlimit --fsize=100000 \"$VELMORIN\" " + modes[1].args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.substr(r.err.size() - 25), "Error writing to out.xor\n");
    bytes out = w.s.read("out.xor"), full = w.new_patch();
    EXPECT_LE(out.size(), 100000u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), full.begin()));
}

// A run waits for another run's lock: pack and --xor for any, --mkxor only
// for a writer's, --list never. The archive is not touched while it waits.
TEST(Environment, SecondRunWaitsForTheFirst) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    struct lock_case {
        const char* holder;  // flock option of the other run
        const mode_run& mode;
        bool waits;
    };
    const lock_case cases[] = {
        {"-s", modes[0], true}, {"-s", modes[2], true}, {"-x", modes[1], true}, {"-s", modes[1], false}};
    world w;
    for (const lock_case& c : cases) {
        SCOPED_TRACE(c.mode.label + " against flock " + c.holder);
        w.reset();
        // The last run's messages must not be taken for this one's.
        for (const char* stale : {"go", "held", "err"}) unlink(w.s.path(stale).c_str());
        std::string line = std::string("flock ") + c.holder +
                           " game.dat sh -c 'touch held; until [ -e go ]; do sleep 0.01; done' &\n"
                           "until [ -e held ]; do sleep 0.01; done\n"
                           "\"$VELMORIN\" " +
                           c.mode.args +
                           " >/dev/null 2>err & tool=$!\n"
                           "until grep -qs -e waiting -e datasize -e updated err; do sleep 0.01; done\n"
                           "cmp -s game.dat untouched && echo untouched\n"
                           "touch go; wait $tool; echo $?; wait; cat err >&2\n";
        w.s.write("untouched", w.sc.a.data);
        e2e::result r = w.sh(line);
        EXPECT_EQ(r.out, "untouched\n0\n");
        EXPECT_EQ(
            r.err.find("Debug: game.dat is in use by another run; waiting for it to finish.\n") != std::string::npos,
            c.waits);
        w.expect_done(c.mode.label);
    }
    // A listing reads nothing a run writes: it takes no lock and never waits.
    w.reset();
    e2e::result r = w.sh("timeout 10 flock -x game.dat \"$VELMORIN\" --list game.dat");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\ttex/target.bgra\n"), std::string::npos);
}

const std::string mkxor = "\"$VELMORIN\" --mkxor game.dat tex/target.bgra in.bmp ";

// A FIFO output waits for its reader, however late it comes, and the reader
// gets the whole patch, as a file output gets it (a patch small enough for
// the pipe's buffer would otherwise be left there and lost).
TEST(Environment, PatchToAFifo) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w(8, 4);
    w.reset();
    e2e::result r = w.sh("mkfifo fifo && { " + mkxor + "fifo & }; sleep 0.3; timeout 10 cat fifo >got; wait $!");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, e2e::entry_trace(w.sc) + "Debug: datasize = " + std::to_string(w.sc.size) + "\n");
    EXPECT_EQ(r.out, "24bit BMP, merging planes.\n");
    ASSERT_EQ(w.sh(mkxor + "file.xor").status, 0);
    EXPECT_TRUE(w.s.read("got") == w.s.read("file.xor"));
}

// Standard output gets the patch alone, its text line going to the error
// stream; the error stream is refused, silently.
TEST(Environment, PatchToAStream) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w;
    std::string trace =
        e2e::entry_trace(w.sc) + "24bit BMP, merging planes.\nDebug: datasize = " + std::to_string(w.sc.size) + "\n";
    w.reset();
    e2e::result r;
    for (const std::string& to : {std::string("| cat >got"), std::string(">got")}) {
        SCOPED_TRACE(to);
        unlink(w.s.path("got").c_str());
        r = w.sh(mkxor + "/dev/stdout " + to);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, trace);
        EXPECT_TRUE(w.s.read("got") == w.new_patch());
    }
    r = w.sh(mkxor + "/dev/stderr 2>>got");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(w.s.read("got") == w.new_patch());  // nothing was written into it, not even the refusal
    EXPECT_TRUE(w.s.read("game.dat") == w.sc.a.data);
}

// An error stream whose reader has gone does not turn a finished run into a
// failed one.
TEST(Environment, ReaderOfTheErrorStreamGone) {
    SKIP_WHEN_LAUNCHED("POSIX descriptors, signals, locks and special files");
    world w;
    for (const mode_run& m : modes) {
        SCOPED_TRACE(m.label);
        w.reset();
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        close(p[0]);
        e2e::result r = w.sh("\"$VELMORIN\" " + m.args, p[1]);
        close(p[1]);
        EXPECT_EQ(r.status, 0);
        w.expect_done(m.label);
    }
}

}  // namespace

// Two runs joined by a pipe always finish, in either order of start: the
// reader takes its stream whole before waiting for the archive's lock, which
// the writer holds until the stream is written.
TEST(Environment, RunsJoinedByAPipe) {
    SKIP_WHEN_LAUNCHED("/dev/stdout and FIFOs are POSIX paths");
    world w;
    bytes patched = e2e::with_payload(w.sc, e2e::converted(e2e::model::make_xor, w.sc));
    const std::string tool = "\"$VELMORIN\" ";
    const std::pair<std::string, const bytes*> lines[] = {
        {tool + "--export game.dat tex/target.bgra /dev/stdout | " + tool + "game.dat tex/target.bgra /dev/stdin",
         &w.sc.a.data},
        {tool + "--mkxor game.dat tex/target.bgra in.bmp /dev/stdout | " + tool +
             "--xor game.dat tex/target.bgra /dev/stdin",
         &patched},
        {"mkfifo pf; " + tool + "--mkxor game.dat tex/target.bgra in.bmp pf & " + tool +
             "--xor game.dat tex/target.bgra pf; s=$?; wait; exit $s",
         &patched},
        {"mkfifo pf; { sleep 0.3; " + tool + "--mkxor game.dat tex/target.bgra in.bmp pf; } & " + tool +
             "--xor game.dat tex/target.bgra pf; s=$?; wait; exit $s",
         &patched}};
    for (const auto& [line, archive] : lines) {
        SCOPED_TRACE(line);
        w.reset();
        unlink(w.s.path("pf").c_str());
        e2e::result r = w.sh("export VELMORIN; timeout -k 1 30 sh -c '" + line + "' 2>/dev/null");
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(w.s.read("game.dat") == *archive);
    }
}
