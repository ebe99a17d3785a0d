// Exporting every image entry as a PNG under a folder, at the path the name
// <-> path rule gives its stored name. Decided whole before the first file
// is written: which entries go where, which are skipped and why, and that no
// file is there already and no folder on the way is a link.
#include <cerrno>
#include <memory>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/failure.h"
#include "base/hash.h"
#include "base/progress.h"
#include "base/text.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "folder/paths.h"
#include "ops/export.h"
#include "ops/ops.h"
#include "ops/workers.h"

namespace velmorin {
namespace {

uint64_t hash_text(std::string_view text) {
    return hash_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The path with its ASCII letters folded to lower case, as Windows and
// macOS compare names.
uint64_t hash_folded(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return hash_text(text);
}

std::string shown(const walked_entry& e) {
    return shown_name(std::string(reinterpret_cast<const char*>(e.name), e.name_length));
}

// What the run writes, and what it skips.
struct export_plan {
    std::vector<uint32_t> chosen;  // the entries written, in directory order
    uint32_t not_images = 0, empty = 0, shadowed = 0, too_long = 0, under_a_file = 0;
    directory_span directory{0, 0};
};

// The paths taken so far: by exact bytes, and folded, each with the first
// entry that took it.
struct taken_paths {
    std::unordered_set<uint64_t> names;      // every stored name seen
    std::unordered_set<uint64_t> files;      // file paths, exact
    std::unordered_set<uint64_t> folders;    // folder paths, exact
    std::unordered_map<uint64_t, std::pair<uint64_t, uint32_t>> folded;  // folded -> exact, entry
};

[[noreturn]] void refuse_case(archive_file& archive, uint32_t first, const walked_entry& e);

// Records the entry's file path and every folder on its way; false when
// another entry's file is one of its folders or its file is another's folder
// (the later one is skipped). Refuses paths that differ only in letter case.
bool take_path(archive_file& archive, taken_paths& taken, const std::vector<std::string>& parts,
               const walked_entry& e) {
    std::string path;
    std::vector<uint64_t> prefixes;
    for (size_t k = 0; k < parts.size(); ++k) {
        path += (k ? "/" : "") + parts[k];
        uint64_t exact = hash_text(path);
        bool file = k + 1 == parts.size();
        if ((file && taken.folders.count(exact)) || (!file && taken.files.count(exact))) return false;
        auto [at, fresh] = taken.folded.try_emplace(hash_folded(path), exact, e.index);
        if (!fresh && at->second.first != exact) refuse_case(archive, at->second.second, e);
        prefixes.push_back(exact);
    }
    taken.files.insert(prefixes.back());
    prefixes.pop_back();
    taken.folders.insert(prefixes.begin(), prefixes.end());
    return true;
}

// The stored name of entry `index`, walked to without a word.
std::string name_at(archive_file& archive, uint32_t index) {
    directory_walk walk;
    walked_entry e;
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    while (next_entry(walk, &e))
        if (e.index == index) return std::string(reinterpret_cast<const char*>(e.name), e.name_length);
    return std::string();
}

void refuse_case(archive_file& archive, uint32_t first, const walked_entry& e) {
    std::string later = shown(e);
    fail("Error: %s and %s would be written to paths that differ only in letter case, which Windows and macOS take "
         "for one; nothing was written.\n",
         shown_name(name_at(archive, first)).c_str(), later.c_str());
}

// One entry of the first walk: counted, skipped with a warning, or chosen.
void plan_entry(archive_file& archive, header_reader& headers, const walked_entry& e, taken_paths& taken,
                export_plan& plan) {
    bool first_of_name =
        taken.names.insert(hash_bytes(e.name, e.name_length)).second;
    bgra_image img;
    if (!is_image(archive, headers, e.data_offset, e.entry, plan.directory, &img)) return void(++plan.not_images);
    if (!first_of_name) {
        trace("Warning: %s has the name of an earlier entry, which the name finds; skipped.\n", shown(e).c_str());
        return void(++plan.shadowed);
    }
    if (img.width == 0 || img.height == 0) {
        trace("Warning: %s is %dx%d: no PNG can hold it; skipped.\n", shown(e).c_str(), img.width, img.height);
        return void(++plan.empty);
    }
    std::vector<std::string> parts = path_of_name(std::string_view(reinterpret_cast<const char*>(e.name), e.name_length));
    for (const std::string& part : parts)
        if (part.size() > longest_part) {
            trace("Warning: %s needs a file or folder name over %d bytes, which no common file system holds; "
                  "skipped.\n",
                  shown(e).c_str(), static_cast<int>(longest_part));
            return void(++plan.too_long);
        }
    if (!take_path(archive, taken, parts, e)) {
        trace("Warning: %s would need a folder where an earlier entry's file goes, or the other way round; "
              "skipped.\n",
              shown(e).c_str());
        return void(++plan.under_a_file);
    }
    plan.chosen.push_back(e.index);
}

export_plan plan_export(archive_file& archive) {
    export_plan plan;
    directory_walk walk;
    walked_entry e;
    start_walk(archive, false, &walk);
    check_names(walk);
    plan.directory = walked_span(walk);
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    header_reader headers;
    taken_paths taken;
    while (next_entry(walk, &e)) plan_entry(archive, headers, e, taken, plan);
    return plan;
}

std::string path_under(const std::string& folder, const std::vector<std::string>& parts, size_t count) {
    std::string path = folder;
    for (size_t k = 0; k < count; ++k) path += "/" + parts[k];
    return path;
}

// Nothing is there yet where a file goes, and no folder on the way is a
// link or a file; the first that is refuses the run.
void check_place(const std::string& folder, const std::vector<std::string>& parts) {
    for (size_t k = 1; k <= parts.size(); ++k) {
        std::string path = path_under(folder, parts, k);
        path_kind kind = kind_of_path(path.c_str());
        // Looked at to the end: a path too long for the system shows now.
        if (kind == path_kind::none) continue;
        if (kind == path_kind::unknown) {
            int err = errno;
            fail("Error: cannot look at %s: %s; nothing was written.\n", path.c_str(), strerror(err));
        }
        if (kind == path_kind::link)
            fail("Error: %s is a symbolic link; refusing to write through it. Nothing was written.\n", path.c_str());
        if (k == parts.size() || kind != path_kind::folder)
            fail("Error: %s is there already; --export-all never writes over a file, and nothing was written.\n",
                 path.c_str());
    }
}

void make_folders(const std::string& folder, const std::vector<std::string>& parts) {
    for (size_t k = 1; k < parts.size(); ++k) {
        std::string path = path_under(folder, parts, k);
        if (!make_folder(path.c_str()) && kind_of_path(path.c_str()) != path_kind::folder) {
            int err = errno;
            fail("Error %d(%s) making the folder %s\n", err, strerror(err), path.c_str());
        }
    }
}

// One picture to write, made ready by the walk: its pixels open, its path.
struct export_job {
    bgra_image img;
    std::vector<std::string> parts;
};

uint64_t export_one(const std::string& folder, export_job& job) {
    make_folders(folder, job.parts);
    std::string path = path_under(folder, job.parts, job.parts.size());
    output_file out{path.c_str(), {}, false, 0};
    (void)write_png(job.img, out, [](output_file& o) { open_new_output(o); });
    return static_cast<uint64_t>(job.img.bgra_datasize);
}

}  // namespace

void export_all(archive_file& archive, const char* typed) {
    const std::string root = folder_path(typed);
    const char* folder = root.c_str();
    path_kind top = kind_of_path(folder);
    if (top != path_kind::none && top != path_kind::folder && top != path_kind::link)
        fail("Error: %s is not a folder.\n", folder);
    export_plan plan = plan_export(archive);
    // Every place is checked before the first file is written.
    directory_walk walk;
    walked_entry e;
    progress_line progress;
    std::unique_ptr<worker_pool> workers;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) start_progress(progress, plan.chosen.size());
        if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
        start_walk(archive, false, &walk);
        size_t next = 0;
        header_reader headers;
        while (next < plan.chosen.size() && next_entry(walk, &e)) {
            if (e.index != plan.chosen[next]) continue;
            ++next;
            std::vector<std::string> parts =
                path_of_name(std::string_view(reinterpret_cast<const char*>(e.name), e.name_length));
            if (pass == 0) {
                check_place(folder, parts);
                continue;
            }
            auto job = std::make_shared<export_job>(export_job{{}, std::move(parts)});
            (void)is_image(archive, headers, e.data_offset, e.entry, plan.directory, &job->img);
            job->img.payload_offset = e.data_offset + bgra_header_size;
            // Under the lock (and past any journal's refusal) before the folder is made.
            open_payload(archive, job->img);
            if (top == path_kind::none && !make_folder(folder) && kind_of_path(folder) != path_kind::folder)
                fail("Error %d(%s) making the folder %s\n", errno, strerror(errno), folder);
            top = path_kind::folder;
            if (!workers) workers = std::make_unique<worker_pool>(progress);
            workers->hand_over([&root, job] { return export_one(root, *job); });
        }
        if (pass == 1 && workers) workers->finish();
    }
    end_progress(progress);
    trace("Exported %u images to %s; skipped %u entries that are not images, %u empty, %u shadowed by an earlier "
          "name, %u with too long a name, %u under another entry's file.\n",
          static_cast<unsigned>(plan.chosen.size()), folder, plan.not_images, plan.empty, plan.shadowed, plan.too_long,
          plan.under_a_file);
}

}  // namespace velmorin
