// The command line and the archive's directory.
#pragma once

#include <cstdint>

#include "base/base.h"

namespace velmorin {

// The open game data archive.
struct archive_file {
    fd_guard handle;
    file_info info;
    // The directory block and the names the walk read: bytes no payload may
    // overlap. Set by find_entry.
    int64_t dir_start = 0;
    int64_t dir_end = 0;
};

// The one field of a directory entry the tool uses.
struct dirent {
    uint32_t length;  // bytes of the entry's stored data
};

struct entry_match {
    bool found;
    uint32_t index;
    dirent entry;
    int64_t data_offset;  // where the entry's stored data begins: 16 plus the lengths before it
};

// Walks the directory and name table of the archive (positioned at its
// start) to the first entry whose stored name begins with `name`.
entry_match find_entry(archive_file& archive, const char* name);

// The whole tool: parses the command line, opens the archive, finds the
// entry and runs the chosen operation. Never returns.
[[noreturn]] void run_tool(int argc, char** argv);

}  // namespace velmorin
