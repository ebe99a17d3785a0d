// Every failing or short file operation, in each mode, is reported: status
// 255 and one of the tool's messages, never a success; the archive holds its
// old bytes (a failed payload write is put back from the journal, or, when
// even that fails, by the next run), or its new ones when only its close
// failed. No journal is left behind.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "scene.h"

using e2e::scene;
using fixture::bytes;

namespace {

const std::set<std::string> read_messages = {"Error reading header.\n",
                                             "Error reading directory header.\n",
                                             "Error reading directory.\n",
                                             "Error reading filename length.\n",
                                             "Error reading filename.\n",
                                             "Error reading BGRA header.\n",
                                             "Error: Unable to read whole bgra.\n",
                                             "Error reading bmp header.\n",
                                             "Error reading bmp info header.\n",
                                             "Error: Unable to read whole bmp.\n",
                                             "Error reading bmp.\n",
                                             "Short read.\n",
                                             "Error reading the bundle.\n"};
// A mode that walks the directory twice seeks back to its header first.
const std::set<std::string> seek_messages = {"Error seeking to directory.\n", "Error: lseek() failed.\n",
                                             "Error reading header.\n"};
const std::set<std::string> close_messages = {"Critical error closing archive file\n", "Error closing out.xor\n",
                                              "Error closing out.bmp\n", "Error closing out.png\n"};
const std::string journal = "game.dat.velmorin-journal";
const std::map<std::string, std::string> journal_errors = {
    {"write", "No space left on device"}, {"read", "Input/output error"}, {"close", "Input/output error"},
    {"sync", "Input/output error"}, {"lseek", "Invalid argument"}};

// Whether the run's last line says a journal could not be made, for the
// reason the fault gives.
bool journal_refused(const std::string& message, const std::string& op) {
    auto reason = journal_errors.find(op);
    return reason != journal_errors.end() &&
           message == "Error: cannot write the journal " + journal + ": " + reason->second + "; nothing was changed.\n";
}

// What a run that made the journal but could not finish says.
bool finish_refused(const std::string& message, const std::string& op) {
    return (op == "sync" && message == "Error: cannot make game.dat durable: Input/output error; the entry was put "
                                       "back as it was.\n") ||
           (op == "unlink" && message == "Error: cannot remove the journal " + journal +
                                             ": Permission denied; the entry was put back as it was.\n");
}

struct mode_case {
    std::string label;
    std::string args;  // after the archive path and entry name are put in
    bool writes_archive;
    std::string output;  // the file the mode writes instead, if any
};

// 600 x 500 pixels: more than one band, so faults land between bands too.
scene make() { return e2e::make_scene(600, 500, fixture::plain_bmp(600, 500, 24, 3)); }

// How many of each operation the run made, and which of its closes were of
// files it never wrote to.
std::map<std::string, long> read_counts(const e2e::scratch& s, std::set<long>* input_closes) {
    std::map<std::string, long> counts;
    std::ifstream f(s.path("counts"));
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream words(line);
        std::string op;
        long n;
        words >> op;
        if (op == "input_closes")
            while (words >> n) input_closes->insert(n);
        else if (words >> n)
            counts[op] = n;
    }
    return counts;
}

void PrintTo(const mode_case& c, std::ostream* os) { *os << c.label; }

class Faults : public testing::TestWithParam<mode_case> {};

TEST_P(Faults, EveryFaultIsReported) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    const mode_case& m = GetParam();
    scene sc = make();
    e2e::scratch s;
    s.write("in.bmp", sc.bmp);
    bytes old = e2e::payload_of(sc.a.data, sc);
    bytes fresh = e2e::converted(e2e::model::pack, sc);
    bytes patch(old.size());
    for (size_t k = 0; k < old.size(); ++k) patch[k] = old[k] ^ fresh[k];
    s.write("p.xor", patch);
    s.write("c.xor", fixture::checked_patch(patch, sc.width, sc.height, old, sc.name));
    s.write("b.vmb", fixture::build_bundle({{sc.name, static_cast<uint32_t>(sc.width),
                                             static_cast<uint32_t>(sc.height), old, fresh}}));

    // A run without faults, to count the operations.
    s.write("game.dat", sc.a.data);
    e2e::result clean = e2e::run_shell(e2e::under_fault("none:0:fail", m.args), s.dir);
    ASSERT_EQ(clean.status, 0) << clean.err;
    std::set<long> input_closes;
    std::map<std::string, long> counts = read_counts(s, &input_closes);
    ASSERT_GT(counts["read"], 3);
    ASSERT_GT(counts["write"], m.writes_archive ? 1 : 0);

    bytes clean_output = m.output.empty() ? bytes{} : s.read(m.output), clean_after = s.read("game.dat");
    const bytes old_output(2 * sc.size, 0xab);
    int checked = 0;
    for (const auto& [op, total] : counts) {
        for (long n = 1; n <= total; ++n) {
            for (std::string kind : {"fail", "short", "eof"}) {
                bool whole = op == "close" || op == "sync" || op == "unlink";  // no short form
                if ((whole && kind == "short") || (op != "read" && kind == "eof")) continue;
                std::string fault = op + ":" + std::to_string(n) + ":" + kind;
                SCOPED_TRACE(fault);
                s.write("game.dat", sc.a.data);
                if (!m.output.empty()) s.write(m.output, old_output);
                e2e::result r = e2e::run_shell(e2e::under_fault(fault, m.args), s.dir);
                ++checked;
                // A journal the run could not remove or put back is the next
                // run's to put back.
                if (s.exists(journal)) {
                    EXPECT_NE(r.err.find("run \"velmorin --recover game.dat\""), std::string::npos) << r.err;
                    ASSERT_EQ(e2e::run({"--recover", "game.dat"}, s.dir).status, 0);
                    EXPECT_FALSE(s.exists(journal));
                }
                bytes after = s.read("game.dat");
                if (!m.output.empty()) {
                    // An old output is untouched by a run that stops before
                    // opening it; once opened, it ends as if emptied then:
                    // what the run wrote, and nothing else.
                    bytes out = s.read(m.output);
                    if (out != old_output) {
                        ASSERT_LE(out.size(), clean_output.size());
                        EXPECT_TRUE(std::equal(out.begin(), out.end(), clean_output.begin()));
                    }
                }
                // A file only read (an input, the archive of a mode that
                // does not write it) is closed once the run is done with it;
                // that close's result does not matter to anything the run
                // produced.
                // The folder's sync after the journal is removed: at worst a
                // crash then puts the old pixels back.
                bool last_sync = op == "sync" && n == total;
                if ((op == "close" && input_closes.count(n)) || last_sync) {
                    EXPECT_EQ(r.status, 0);
                    EXPECT_EQ(r.err, clean.err);
                    EXPECT_TRUE(after == clean_after);
                    if (!m.output.empty()) {
                        EXPECT_TRUE(s.read(m.output) == clean_output);
                    }
                    continue;
                }
                ASSERT_EQ(r.status, 255) << r.err;
                EXPECT_EQ(r.err.find("Debug: data updated."), std::string::npos);

                size_t critical = r.err.find("CRITICAL ERRROR: only wrote ");
                if (critical != std::string::npos) {
                    // A write refused, or an input unreadable after the first
                    // band went out.
                    ASSERT_TRUE(op == "write" || op == "read");
                    ASSERT_TRUE(m.writes_archive);
                    long written = std::stol(r.err.substr(critical + 28));
                    // The shim fails writes as a full disk does, reads as a bad device.
                    std::string expected =
                        "CRITICAL ERRROR: only wrote " + std::to_string(written) + " of " + std::to_string(sc.size) +
                        " bytes.\nerrno=" + (op == "write" ? "28(No space left on device)" : "5(Input/output error)") +
                        "\n";
                    EXPECT_EQ(r.err.substr(critical, expected.size()), expected);
                    if (kind != "fail" || op == "read") {
                        EXPECT_GT(written, 0);
                    }
                    // Put back as it was.
                    EXPECT_TRUE(after == sc.a.data);
                    continue;
                }
                size_t last_line = r.err.rfind('\n', r.err.size() - 2);
                std::string message = r.err.substr(last_line + 1);
                const std::set<std::string>& allowed = op == "read"    ? read_messages
                                                       : op == "lseek" ? seek_messages
                                                                       : close_messages;
                if (m.writes_archive && (journal_refused(message, op) || finish_refused(message, op))) {
                    EXPECT_TRUE(after == sc.a.data);
                    continue;
                }
                if (op == "write") {
                    EXPECT_EQ(message, "Error writing to " + m.output + "\n");
                } else {
                    EXPECT_TRUE(allowed.count(message)) << message;
                }
                if (op == "close" && m.writes_archive) {
                    // The archive was written before its close failed.
                    EXPECT_TRUE(after == e2e::with_payload(sc, fresh));
                } else {
                    EXPECT_TRUE(after == sc.a.data);
                }
            }
        }
    }
    EXPECT_GT(checked, 20);
}

// A patch or export killed half-way over an old output of the same size
// leaves a short file, which --xor or pack refuses, never a whole-looking mix
// of both.
TEST(Interrupted, OutputsAreLeftShort) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    scene sc = make();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.bmp", sc.bmp);
    ASSERT_EQ(e2e::run({"--export", "game.dat", sc.name, "whole.bmp"}, s.dir).status, 0);
    ASSERT_EQ(e2e::run({"--export", "game.dat", sc.name, "whole.png"}, s.dir).status, 0);
    const std::pair<std::string, std::string> runs[] = {
        {"--mkxor game.dat tex/target.bgra in.bmp out.xor", "--xor game.dat tex/target.bgra out.xor"},
        {"--export game.dat tex/target.bgra out.bmp", "game.dat tex/target.bgra out.bmp"},
        {"--export game.dat tex/target.bgra out.png", "game.dat tex/target.bgra out.png"}};
    for (const auto& [make_output, use_output] : runs) {
        SCOPED_TRACE(make_output);
        s.write("out.xor", fixture::pattern(sc.size, 8));
        s.write("out.bmp", s.read("whole.bmp"));
        s.write("out.png", s.read("whole.png"));
        e2e::result r = e2e::run_shell(e2e::under_fault("write:2:kill", make_output), s.dir);
        ASSERT_EQ(r.status, 128 + 9);
        e2e::result use = e2e::run_shell("\"$VELMORIN\" " + use_output, s.dir);
        EXPECT_EQ(use.status, 255);
        EXPECT_EQ(use.err.substr(use.err.rfind('\n', use.err.size() - 2) + 1),
                  make_output[2] == 'm'                        ? "Short read.\n"
                  : make_output.find(".png") != std::string::npos ? "Error: damaged PNG: ends early.\n"
                                                                  : "Error: Unable to read whole bmp.\n");
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
    }
    // A checked patch killed at any write, or failing at it, over a checked
    // patch for another picture: --xor refuses what is left.
    bytes old = e2e::payload_of(sc.a.data, sc);
    for (std::string fault : {"write:1:kill", "write:2:kill", "write:2:short", "write:2:fail"}) {
        SCOPED_TRACE(fault);
        s.write("game.dat", sc.a.data);
        s.write("out.xor", fixture::checked_patch(fixture::pattern(sc.size, 9), sc.width, sc.height, old, sc.name));
        const std::string make_output = "--mkpatch game.dat tex/target.bgra in.bmp out.xor";
        ASSERT_EQ(e2e::run_shell(e2e::under_fault(fault, make_output), s.dir).status,
                  fault.find("kill") != std::string::npos ? 128 + 9 : 255);
        // The last band goes out with the block, so nothing left reads as a
        // whole patch, raw or checked.
        e2e::result use = e2e::run_shell("\"$VELMORIN\" --xor game.dat tex/target.bgra out.xor", s.dir);
        EXPECT_EQ(use.status, 255);
        EXPECT_TRUE(s.read("game.dat") == sc.a.data);
    }
}

// Without a second thread (a limit on threads), an export writes the same
// file, a band at a time.
TEST(Interrupted, ExportWithoutThreads) {
    SKIP_WHEN_LAUNCHED("the fault shim is preloaded into a Linux process");
    scene sc = make();
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    for (const std::string out : {"out.bmp", "out.png"}) {
        SCOPED_TRACE(out);
        e2e::result ref = e2e::run({"--export", "game.dat", sc.name, "ref-" + out}, s.dir);
        e2e::result r =
            e2e::run_shell(e2e::under_fault("thread:0:fail", "--export game.dat tex/target.bgra " + out), s.dir);
        e2e::expect_result(r, 0, ref.err);
        EXPECT_TRUE(s.read(out) == s.read("ref-" + out));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Faults,
                         testing::Values(mode_case{"Pack", "game.dat tex/target.bgra in.bmp", true, ""},
                                         mode_case{"MakeXor", "--mkxor game.dat tex/target.bgra in.bmp out.xor", false,
                                                   "out.xor"},
                                         mode_case{"ApplyXor", "--xor game.dat tex/target.bgra p.xor", true, ""},
                                         mode_case{"Export", "--export game.dat tex/target.bgra out.bmp", false,
                                                   "out.bmp"},
                                         mode_case{"MakePatch", "--mkpatch game.dat tex/target.bgra in.bmp out.xor",
                                                   false, "out.xor"},
                                         mode_case{"ApplyChecked", "--xor game.dat tex/target.bgra c.xor", true, ""},
                                         mode_case{"ApplyBundle", "--apply game.dat b.vmb", true, ""},
                                         mode_case{"ExportPng", "--export game.dat tex/target.bgra out.png", false,
                                                   "out.png"}),
                         [](const testing::TestParamInfo<mode_case>& p) { return p.param.label; });

}  // namespace
