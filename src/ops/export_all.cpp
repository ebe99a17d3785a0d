// Exporting every image entry as a PNG under a folder, at the path the name
// <-> path rule gives its stored name. Decided whole before the first file
// is written: which entries go where, which are skipped and why, and that no
// file is there already and no folder on the way is a link.
#include <cerrno>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/hash.h"
#include "base/progress.h"
#include "base/text.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "folder/paths.h"
#include "ops/export.h"
#include "ops/export_plan.h"
#include "ops/ops.h"
#include "ops/workers.h"

namespace velmorin {
namespace {

std::string shown(const walked_entry& e) {
    return shown_name(std::string(reinterpret_cast<const char*>(e.name), e.name_length));
}

// Says why an entry that is an image is skipped.
void warn_skipped(archive_file& archive, header_reader& headers, const export_plan& plan, const walked_entry& e) {
    switch (state_of(plan, e.index)) {
    case export_state::shadowed:
        return trace("Warning: %s has the name of an earlier entry, which the name finds; skipped.\n",
                     shown(e).c_str());
    case export_state::empty: {
        bgra_image img;
        (void)is_image(archive, headers, e.data_offset, e.entry, plan.directory, &img);
        return trace("Warning: %s is %dx%d: no PNG can hold it; skipped.\n", shown(e).c_str(), img.width, img.height);
    }
    case export_state::too_long:
        return trace("Warning: %s needs a file or folder name over %d bytes, which no common file system holds; "
                     "skipped.\n",
                     shown(e).c_str(), static_cast<int>(longest_part));
    case export_state::under_a_file:
        return trace("Warning: %s would need a folder where an earlier entry's file goes, or the other way round; "
                     "skipped.\n",
                     shown(e).c_str());
    default:
        return;
    }
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
    const uint32_t written = plan.counts[static_cast<int>(export_state::written)];
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) start_progress(progress, written);
        if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
        start_walk(archive, false, &walk);
        uint32_t next = 0;
        header_reader headers;
        // The first walk goes to the end, to say why each entry skipped was.
        while ((pass == 0 || next < written) && next_entry(walk, &e)) {
            if (state_of(plan, e.index) != export_state::written) {
                if (pass == 0) warn_skipped(archive, headers, plan, e);
                continue;
            }
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
          written, folder, plan.counts[static_cast<int>(export_state::not_image)],
          plan.counts[static_cast<int>(export_state::empty)], plan.counts[static_cast<int>(export_state::shadowed)],
          plan.counts[static_cast<int>(export_state::too_long)],
          plan.counts[static_cast<int>(export_state::under_a_file)]);
}

}  // namespace velmorin
