// What --export-all writes and what it skips, decided over the whole
// directory before the first file is written, in memory that does not grow
// with the names: names and paths are compared as hashes, in tables of a
// bounded size, one share of the hashes at a time, with half a byte kept for
// each entry.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/archive.h"

namespace velmorin {

// What becomes of an entry.
enum class export_state : uint8_t {
    not_image,
    empty,         // width or height 0
    too_long,      // a part of its path is over longest_part bytes
    written,
    shadowed,      // an earlier entry has its name
    under_a_file,  // its path and an earlier entry's are file and folder
};

struct export_plan {
    std::vector<uint8_t> states;  // two entries to a byte
    uint32_t counts[6] = {};      // entries in each state
    directory_span directory{0, 0};
};

export_state state_of(const export_plan& plan, uint32_t index);

// The bytes a share of the hashes may take: the directory is walked once
// or twice for each share.
constexpr uint64_t export_share_bytes = 12u << 20;

// Walks the directory a few times. Refuses two written paths (of files or
// folders) that differ only in ASCII letter case, naming the first such
// pair. The plan is the same whatever `share_bytes`.
export_plan plan_export(archive_file& archive, uint64_t share_bytes = export_share_bytes);

}  // namespace velmorin
