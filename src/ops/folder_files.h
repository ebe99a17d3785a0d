// The pictures under a folder, and the entries their paths stand for by
// the name <-> path rule: what --pack-all and --mkbundle take in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"

namespace velmorin {

// A picture under the folder and the stored name it stands for.
struct folder_file {
    std::string path;
    std::string name;
};

struct folder_files {
    std::vector<folder_file> pictures;
    uint32_t ignored = 0;  // files of other kinds
};

// Every .png and .bmp file under `folder` (any letter case), names in byte
// order, depth first. Refuses a symbolic link, a picture that is not a
// file, and a path that stands for no name; `mode` is named in the refusals.
folder_files collect_folder(const std::string& folder, const char* mode);

// The entries the pictures stand for, in directory order, each with its
// picture's path: the first entry of each name, which must be an image.
// Refuses two pictures for one entry, and a picture for no image entry.
std::vector<std::pair<located_entry, std::string>> match_folder(archive_file& archive, const folder_files& files);

}  // namespace velmorin
