// Packing every picture under a folder into the entry its path stands for
// (the name <-> path rule), all or nothing: every file is matched and
// checked by pack's rules before the first byte is written, and one journal
// covers every entry, so a failure or a kill anywhere leaves the archive as
// before or as after the whole run.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/commit.h"
#include "base/failure.h"
#include "base/hash.h"
#include "base/progress.h"
#include "base/text.h"
#include "base/trace.h"
#include "folder/paths.h"
#include "ops/bands.h"
#include "ops/folder_files.h"
#include "ops/ops.h"
#include "ops/workers.h"

namespace velmorin {
namespace {

// A picture matched to its entry, and what the check found: whether its
// pixels differ from the entry's, and their hash, to know it again when it
// is read a second time to be written.
struct pack_target {
    located_entry entry;
    std::string path;
    bool differs = false;
    uint64_t pixels = 0;
    int64_t offset = 0, size = 0;  // the entry's pixels in the archive
};

// Reads the picture whole by pack's rules, beside the entry's own pixels.
uint64_t check_picture(write_plan& plan, pack_target& target) {
    failure_context in_file(target.path.c_str());
    target.pixels = beside_entry(
        plan,
        [&](int64_t, const uint8_t* fresh, const uint8_t* old, size_t n) {
            target.differs = target.differs || memcmp(old, fresh, n) != 0;
        },
        [](const char* message) { fail("%s", message); });
    target.offset = plan.img.payload_offset;
    target.size = plan.img.bgra_datasize;
    return static_cast<uint64_t>(plan.img.bgra_datasize);
}

// Every picture planned (one at a time: the archive's headers are read in
// turn) and read whole by two workers; the first refusal ends the run.
void check_pictures(archive_file& archive, std::vector<pack_target>& targets) {
    muted_narration quiet;
    progress_line progress;
    start_progress(progress, targets.size());
    worker_pool workers(progress);
    for (pack_target& target : targets) {
        std::shared_ptr<write_plan> plan;
        {
            failure_context at(target.path.c_str());
            plan = std::make_shared<write_plan>();
            plan_pack(archive, target.entry, target.path.c_str(), *plan);
        }
        workers.hand_over([plan, &target] { return check_picture(*plan, target); });
    }
    workers.finish();
    end_progress(progress);
}

// One entry's new pixels over its old ones, band by band: a band that
// holds already what would be written is left alone. The pixels must be
// those checked.
void write_entry(payload_write& out, write_plan& plan, const pack_target& target) {
    uint64_t written = beside_entry(
        plan,
        [&](int64_t, const uint8_t* fresh, const uint8_t* old, size_t n) {
            if (memcmp(old, fresh, n) == 0) return keep_at(out, n);
            write_at(out, fresh, n);
        },
        [&](const char* message) { payload_read_failed(out, message); });
    if (written != target.pixels) fail("Error: the file changed while it was packed; nothing was changed.\n");
}

}  // namespace

void pack_all(archive_file& archive, const char* typed) {
    const std::string root = folder_path(typed);
    const char* folder = root.c_str();
    if (kind_of_path(folder) != path_kind::folder && kind_of_path(folder) != path_kind::link)
        fail("Error: %s is not a folder.\n", folder);
    folder_files files = collect_folder(folder, "--pack-all");
    std::vector<pack_target> targets;
    for (auto& [entry, path] : match_folder(archive, files))
        targets.push_back(pack_target{std::move(entry), std::move(path)});
    // Every picture read whole and checked by pack's rules before the first
    // byte is written; only those that differ are journaled and written.
    if (!targets.empty()) check_pictures(archive, targets);
    journal_plan journaled;
    std::vector<const pack_target*> changing;
    for (const pack_target& t : targets) {
        if (!t.differs) continue;
        journal_entry(journaled, t.entry.directory, journal_range{t.offset, t.size, t.entry.name});
        changing.push_back(&t);
    }
    if (!changing.empty()) {
        commit_ranges(
            archive, journaled,
            [&](size_t k, payload_write& out) {
                muted_narration quiet;
                const pack_target& t = *changing[k];
                failure_context at(t.path.c_str());
                write_plan plan;
                plan_pack(archive, t.entry, t.path.c_str(), plan);
                write_entry(out, plan, t);
            },
            [] {});
    }
    trace("Packed %u files into %s: %u changed their entry, %u were equal to it and left it as it was; %u other "
          "files ignored.\n",
          static_cast<unsigned>(targets.size()), archive.path, static_cast<unsigned>(changing.size()),
          static_cast<unsigned>(targets.size() - changing.size()), files.ignored);
}

}  // namespace velmorin
