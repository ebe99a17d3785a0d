// Damaged inputs of every kind, run through the real binary: every byte of a
// valid archive and BMP replaced, the size and offset fields flipped bit by
// bit, every file cut at every length. Whatever the damage, the run ends
// with 0, 1 or 255, never with a sanitizer report; a failed run leaves the
// archive as it was, and a successful one changes only the payload that the
// format's rules give for the entry, computed from the input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "scene.h"

using e2e::scene;
using fixture::bytes;

namespace {

enum file_kind { archive_file, bmp_file, patch_file };

struct mutation {
    file_kind file;
    bytes data;  // the damaged file
    int mode;    // 0 pack, 1 --mkxor, 2 --xor
    std::string label;
};

const std::vector<std::string> commands[] = {{"game.dat", "tex/target.bgra", "in.bmp"},
                                             {"--mkxor", "game.dat", "tex/target.bgra", "in.bmp", "out.xor"},
                                             {"--xor", "game.dat", "tex/target.bgra", "p.xor"}};

// What a run may do to the archive: nothing, or (status 0, not --mkxor)
// change bytes inside the payload the format's own rules locate.
std::string judge(const mutation& m, const e2e::result& r, const bytes& before, const bytes& after) {
    if (r.status != 0 && r.status != 1 && r.status != 255) return "status " + std::to_string(r.status);
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
        return "sanitizer report";
    if (r.status == 1 && r.err.find("not found in archive.\n") == std::string::npos)
        return "status 1 without not-found";
    if (r.status != 0) return after == before ? "" : "archive changed";
    return fixture::check_write(before, after, "tex/target.bgra", m.mode != 1);
}

std::vector<mutation> mutations(const scene& sc, const bytes& patch) {
    std::vector<mutation> out;
    int rotate = 0;
    auto add = [&](file_kind f, bytes data, std::string label, int modes) {
        // Spread the runs over the modes a file takes part in.
        int mode = modes == 3 ? rotate++ % 3 : modes == 2 ? rotate++ % 2 : 2;
        out.push_back(mutation{f, std::move(data), mode, std::move(label)});
    };
    const bytes* originals[] = {&sc.a.data, &sc.bmp, &patch};
    const int modes_of[] = {3, 2, 1};
    for (file_kind f : {archive_file, bmp_file}) {
        const bytes& orig = *originals[f];
        for (size_t i = 0; i < orig.size(); ++i)
            for (uint8_t v : {uint8_t{0}, uint8_t{0xff}})
                if (orig[i] != v) {
                    bytes d = orig;
                    d[i] = v;
                    add(f, d, "byte " + std::to_string(i) + "=" + std::to_string(v), modes_of[f]);
                }
    }
    // Size and offset fields, every bit.
    std::vector<std::pair<size_t, size_t>> archive_fields = {
        {8, 4}, {sc.a.at.dir_size_at(), 4}, {sc.a.at.entry_count_at(), 4}};
    for (size_t e = 0; e < 3; ++e) archive_fields.push_back({sc.a.at.dirent_length_at(e), 4});
    archive_fields.push_back({sc.a.at.name_table, 2});
    archive_fields.push_back({sc.payload - 8, 8});  // width and height
    const std::vector<std::pair<size_t, size_t>> bmp_fields = {{2, 4},  {10, 4}, {14, 4}, {18, 4},
                                                               {22, 4}, {26, 2}, {28, 2}};
    // The archive's fields decide where each mode reads and writes: every
    // flip runs in every mode.
    for (file_kind f : {archive_file, bmp_file})
        for (auto [at, width] : f == archive_file ? archive_fields : bmp_fields)
            for (size_t bit = 0; bit < 8 * width; ++bit)
                for (int round = 0; round < (f == archive_file ? 3 : 1); ++round) {
                    bytes d = *originals[f];
                    d[at + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
                    add(f, d, "flip " + std::to_string(at) + "." + std::to_string(bit), modes_of[f]);
                }
    for (file_kind f : {archive_file, bmp_file, patch_file}) {
        const bytes& orig = *originals[f];
        for (size_t len = 0; len < orig.size(); ++len)
            add(f, bytes(orig.begin(), orig.begin() + static_cast<long>(len)), "cut " + std::to_string(len),
                modes_of[f]);
    }
    return out;
}

TEST(Mutation, DamagedInputsNeverHarm) {
    SKIP_WHEN_LAUNCHED("two thousand runs: the Linux build only");
    // A 24-bit BMP whose width is a multiple of 4: the merge reads the
    // payload, so every kind of read takes part.
    scene sc = e2e::make_scene(4, 3, fixture::plain_bmp(4, 3, 24, 11));
    bytes patch = fixture::pattern(sc.size, 12);
    std::vector<mutation> all = mutations(sc, patch);
    ASSERT_GT(all.size(), 1000u);
    printf("%zu damaged inputs\n", all.size());

    std::atomic<size_t> next{0};
    std::mutex report;
    std::vector<std::string> problems;
    int statuses[3] = {0, 0, 0};
    auto worker = [&] {
        e2e::scratch s;
        for (size_t i; (i = next++) < all.size();) {
            const mutation& m = all[i];
            const bytes& archive = m.file == archive_file ? m.data : sc.a.data;
            s.write("game.dat", archive);
            s.write("in.bmp", m.file == bmp_file ? m.data : sc.bmp);
            s.write("p.xor", m.file == patch_file ? m.data : patch);
            // Leaks at exit are the fuzzers' business; checking them here
            // would triple the time of a sanitizer build's runs.
            e2e::result r = e2e::run(commands[m.mode], s.dir, {"ASAN_OPTIONS=detect_leaks=0"});
            std::string problem = judge(m, r, archive, s.read("game.dat"));
            std::lock_guard<std::mutex> lock(report);
            ++statuses[r.status == 0 ? 0 : r.status == 1 ? 1 : 2];
            if (!problem.empty())
                problems.push_back(std::string(m.file == archive_file ? "archive"
                                               : m.file == bmp_file   ? "bmp"
                                                                      : "patch") +
                                   " " + m.label + " mode " + std::to_string(m.mode) + ": " + problem + "\n" + r.err);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    for (const std::string& p : problems) ADD_FAILURE() << p;
    // The damage must reach every outcome, or the test proves little.
    EXPECT_GT(statuses[0], 50);
    EXPECT_GT(statuses[1], 5);
    EXPECT_GT(statuses[2], 500);
}

}  // namespace
