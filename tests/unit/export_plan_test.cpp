// --export-all's plan: what each entry becomes, the same however many
// shares the hashes are taken in.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>

#include "archive/archive.h"
#include "base/failure.h"
#include "base/trace.h"
#include "fixture/fixture.h"
#include "ops/export_plan.h"

namespace {

using velmorin::export_state;

struct planned {
    std::vector<export_state> states;
    bool refused = false;
};

planned plan_of(const fixture::archive& a, uint64_t share_bytes) {
    std::string path = testing::TempDir() + "/export_plan.dat";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(a.data.data()),
                                                static_cast<std::streamsize>(a.data.size()));
    velmorin::archive_file archive;
    archive.path = path.c_str();
    archive.handle.f = velmorin::open_input(path.c_str());
    EXPECT_TRUE(velmorin::describe_file(archive.handle.f, &archive.info));
    planned p;
    // Said to nobody: the refusals are counted, not read.
    auto out = std::make_unique<velmorin::run_output>();
    out->quiet = true;
    velmorin::output_scope installed(*out);
    try {
        velmorin::export_plan plan = velmorin::plan_export(archive, share_bytes);
        for (uint32_t k = 0; k < a.at.data_offset.size(); ++k)
            p.states.push_back(velmorin::state_of(plan, k));
    } catch (const velmorin::run_ended&) {
        p.refused = true;
    }
    return p;
}

fixture::entry empty_image(const std::string& name) {
    return fixture::entry{name, fixture::bgra_entry(0, 4, 0, {}), std::nullopt};
}

TEST(ExportPlan, EachEntryByTheRule) {
    using s = export_state;
    // The file "a.png" comes before the folder "a.png" of the later entries:
    // they are skipped, and so is one under the skipped "a.png/x" file.
    fixture::archive a = fixture::build_archive(
        {fixture::entry{"notes", fixture::bytes(3, 'n'), std::nullopt}, fixture::image("a", 1, 1, 1),
         fixture::image("a.png/x", 1, 1, 2), fixture::image("a.png/x.png/y", 1, 1, 3), fixture::image("b/c", 1, 1, 4),
         fixture::image("b/c", 1, 1, 5), fixture::image("notes", 1, 1, 6), empty_image("e"),
         fixture::image(std::string(256, 'L'), 1, 1, 7), fixture::image("b", 1, 1, 8),
         // An entry skipped for itself takes no path from a later one.
         empty_image("x"), fixture::image("x.png/y", 1, 1, 9)});
    const std::vector<s> expected = {s::not_image, s::written,  s::under_a_file, s::under_a_file,
                                     s::written,   s::shadowed, s::shadowed,     s::empty,
                                     s::too_long,  s::written,  s::empty,        s::written};
    for (uint64_t share : {velmorin::export_share_bytes, uint64_t{1}, uint64_t{40}}) {
        planned p = plan_of(a, share);
        EXPECT_FALSE(p.refused);
        EXPECT_EQ(p.states, expected) << share;
    }
}

// Names from a few parts that collide as files, folders and in letter
// case: taken in one share or in many, the plan (or the refusal) is one.
TEST(ExportPlan, SharesChangeNothing) {
    const char* parts[] = {"a", "a.png", "b", "c.png", "d"};
    std::mt19937 random(7);
    int refused = 0;
    for (int round = 0; round < 40; ++round) {
        std::vector<fixture::entry> entries;
        for (uint32_t k = 0; k < 30; ++k) {
            std::string name;
            for (auto depth = 1 + random() % 3; depth > 0; --depth)
                name += (name.empty() ? "" : "/") + std::string(parts[random() % 5]);
            entries.push_back(fixture::image(name, 1, 1, k));
        }
        // Every other round, one name in another case, where it may meet its twin.
        if (round % 2) entries.insert(entries.begin() + round % 30, fixture::image(round % 4 == 1 ? "A" : "B/C.png", 1, 1, 99));
        fixture::archive a = fixture::build_archive(entries);
        planned whole = plan_of(a, velmorin::export_share_bytes);
        for (uint64_t share : {uint64_t{16}, uint64_t{100}}) {
            planned p = plan_of(a, share);
            EXPECT_EQ(p.refused, whole.refused);
            EXPECT_EQ(p.states, whole.states);
        }
        refused += whole.refused;
    }
    // Both outcomes were met.
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 40);
}

}  // namespace
