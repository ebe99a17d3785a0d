// Packing every picture under a folder into the entry its path stands for
// (the name <-> path rule), all or nothing: every file is matched and
// checked by pack's rules before the first byte is written, and one journal
// covers every entry, so a failure or a kill anywhere leaves the archive as
// before or as after the whole run.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/commit.h"
#include "base/failure.h"
#include "base/progress.h"
#include "base/text.h"
#include "base/trace.h"
#include "folder/paths.h"
#include "ops/bands.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

// A picture under the folder and the stored name it stands for.
struct folder_file {
    std::string path;
    std::string name;
};

struct folder_files {
    std::vector<folder_file> pictures;
    uint32_t ignored = 0;  // files of other kinds
};

bool picture_suffix(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    for (char& c : suffix)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return suffix == ".png" || suffix == ".bmp";
}

// Every file under `path` (its parts below the folder in `parts`), names in
// byte order, depth first. A link is refused: it may lead anywhere.
void collect(const std::string& path, std::vector<std::string>& parts, folder_files* found) {
    std::vector<std::string> names;
    if (!list_folder(path.c_str(), &names)) fail("Error %d(%s) reading the folder %s\n", errno, strerror(errno), path.c_str());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string full = path + "/" + name;
        path_kind kind = kind_of_path(full.c_str());
        if (kind == path_kind::link)
            fail("Error: %s is a symbolic link; --pack-all does not follow links. Nothing was changed.\n", full.c_str());
        parts.push_back(name);
        if (kind == path_kind::folder) {
            collect(full, parts, found);
        } else if (!picture_suffix(name)) {
            ++found->ignored;
        } else if (kind != path_kind::file) {
            // A FIFO or a device would have the run wait, or read forever.
            fail("Error: %s is not a file; nothing was changed.\n", full.c_str());
        } else {
            folder_file f{full, {}};
            if (!name_of_path(parts, &f.name))
                fail("Error: %s stands for no entry name (a %% without two hex digits after it); nothing was "
                     "changed.\n",
                     full.c_str());
            found->pictures.push_back(std::move(f));
        }
        parts.pop_back();
    }
}

// The entries the pictures stand for, in directory order: the first entry
// of each name, which must be an image.
std::vector<std::pair<located_entry, std::string>> match(archive_file& archive, const folder_files& files) {
    std::unordered_map<std::string, const folder_file*> by_name;
    for (const folder_file& f : files.pictures) {
        auto [at, fresh] = by_name.emplace(f.name, &f);
        if (!fresh)
            fail("Error: %s and %s both stand for the entry %s; nothing was changed.\n", at->second->path.c_str(),
                 f.path.c_str(), shown_name(f.name).c_str());
    }
    std::vector<std::pair<located_entry, std::string>> found;
    directory_walk walk;
    walked_entry e;
    header_reader headers;
    std::unordered_set<std::string> seen;
    start_walk(archive, false, &walk);
    while (found.size() < by_name.size() && next_entry(walk, &e)) {
        std::string name(reinterpret_cast<const char*>(e.name), e.name_length);
        auto file = by_name.find(name);
        if (file == by_name.end() || !seen.insert(name).second) continue;
        bgra_image img;
        if (!is_image(archive, headers, e.data_offset, e.entry, walked_span(walk), &img))
            fail("Error: %s stands for %s, which is not an image entry; nothing was changed.\n",
                 file->second->path.c_str(), shown_name(name).c_str());
        found.push_back({located_entry{e.entry, e.data_offset, name, walked_span(walk)}, file->second->path});
    }
    for (const folder_file& f : files.pictures)
        if (!seen.count(f.name))
            fail("Error: %s stands for %s, which is no entry of the archive; nothing was changed.\n", f.path.c_str(),
                 shown_name(f.name).c_str());
    return found;
}

// One entry's new pixels over its old ones, band by band: a band that
// holds already what would be written is left alone. Whether any changed.
bool write_entry(payload_write& out, write_plan& plan) {
    const bgra_image& img = plan.img;
    byte_buffer old = alloc_bytes(static_cast<size_t>(std::min<int64_t>(band_bytes, img.bgra_datasize)));
    bool changed = false;
    move_bands(
        plan.source, img,
        [&](int64_t at, const uint8_t* bytes, size_t n) {
            if (!read_source(img.payload, at, old.get(), n)) payload_read_failed(out, img.payload.short_message);
            if (memcmp(old.get(), bytes, n) == 0) return keep_at(out, n);
            changed = true;
            write_at(out, bytes, n);
        },
        [&](const char* message) { payload_read_failed(out, message); });
    return changed;
}

}  // namespace

void pack_all(archive_file& archive, const char* typed) {
    const std::string root = folder_path(typed);
    const char* folder = root.c_str();
    if (kind_of_path(folder) != path_kind::folder && kind_of_path(folder) != path_kind::link)
        fail("Error: %s is not a folder.\n", folder);
    folder_files files;
    std::vector<std::string> parts;
    collect(folder, parts, &files);
    std::vector<std::pair<located_entry, std::string>> targets = match(archive, files);
    // Every picture checked by pack's rules before the first byte is written.
    journal_plan journaled;
    {
        muted_narration quiet;
        for (auto& [target, path] : targets) {
            failure_context at(path.c_str());
            write_plan plan = plan_pack(archive, target, path.c_str());
            if (journaled.ranges.empty()) journaled.directory = target.directory;
            journaled.directory.end = std::max(journaled.directory.end, target.directory.end);
            journaled.ranges.push_back(journal_range{plan.img.payload_offset, plan.img.bgra_datasize, target.name});
        }
    }
    uint32_t changed = 0;
    if (!targets.empty()) {
        progress_line progress;
        start_progress(progress, targets.size());
        uint64_t bytes = 0;
        commit_ranges(
            archive, journaled,
            [&](size_t k, payload_write& out) {
                muted_narration quiet;
                failure_context at(targets[k].second.c_str());
                write_plan plan = plan_pack(archive, targets[k].first, targets[k].second.c_str());
                changed += write_entry(out, plan) ? 1 : 0;
                bytes += static_cast<uint64_t>(plan.img.bgra_datasize);
                show_progress(progress, k + 1, bytes);
            },
            [&] { end_progress(progress); });
    }
    trace("Packed %u files into %s: %u changed their entry, %u were equal to it and left it as it was; %u other "
          "files ignored.\n",
          static_cast<unsigned>(targets.size()), archive.path, changed,
          static_cast<unsigned>(targets.size()) - changed, files.ignored);
}

}  // namespace velmorin
