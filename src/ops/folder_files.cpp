#include "ops/folder_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "base/failure.h"
#include "base/text.h"
#include "entry/entry.h"
#include "folder/paths.h"

namespace velmorin {
namespace {

bool picture_suffix(const std::string& name) {
    if (name.size() < 4) return false;
    std::string suffix = name.substr(name.size() - 4);
    for (char& c : suffix)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return suffix == ".png" || suffix == ".bmp";
}

// Every file under `path` (its parts below the folder in `parts`), names in
// byte order, depth first. A link is refused: it may lead anywhere.
void collect(const std::string& path, const char* mode, std::vector<std::string>& parts, folder_files* found) {
    std::vector<std::string> names;
    if (!list_folder(path.c_str(), &names)) fail("Error %d(%s) reading the folder %s\n", errno, strerror(errno), path.c_str());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string full = path + "/" + name;
        path_kind kind = kind_of_path(full.c_str());
        if (kind == path_kind::link)
            fail("Error: %s is a symbolic link; %s does not follow links. Nothing was changed.\n", full.c_str(), mode);
        parts.push_back(name);
        if (kind == path_kind::folder) {
            collect(full, mode, parts, found);
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

}  // namespace

std::vector<std::pair<located_entry, std::string>> match_folder(archive_file& archive, const folder_files& files) {
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
        bool image = is_image(archive, headers, e.data_offset, e.entry, walked_span(walk), &img);
        if (headers.unread) fail("Error reading BGRA header.\n");
        if (!image)
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

folder_files collect_folder(const std::string& folder, const char* mode) {
    folder_files files;
    std::vector<std::string> parts;
    collect(folder, mode, parts, &files);
    return files;
}

}  // namespace velmorin
