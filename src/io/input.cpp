// Reading a run's inputs: in place, or a stream whole, and the lock after.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "io/input.h"

namespace velmorin {

namespace {

// An input the run reads while it may write the archive is read in place
// when it is a regular file other than the archive itself (which is read
// whole before anything is written, so no band sees bytes already
// rewritten).
bool readable_in_place(const file_info& info, const archive_file& archive) {
    return info.regular && !same_file(info, archive.info);
}

}  // namespace

bool open_run_input(archive_file& archive, const char* path, file_guard& file, file_info* info) {
    file.f = open_input(path);
    if (!is_open(file.f) || !describe_file(file.f, info)) return false;
    // Checked again once open, in case the path changed in between.
    refuse_input_as_stream(*info, path);
    if (info->regular) lock_archive(archive);
    return true;
}

bool read_input(const archive_file& archive, const file_guard& file, const file_info& info, int64_t start,
                int64_t count, const char* short_message, byte_source* src) {
    return input_source(file.f, start, count, readable_in_place(info, archive) ? &info : nullptr, short_message, src);
}

bool take_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start, int64_t count,
                const char* short_message, byte_source* src) {
    if (!read_input(archive, file, info, start, count, short_message, src)) return false;
    lock_archive(archive);
    return true;
}

bool take_whole_input(archive_file& archive, const file_guard& file, const file_info& info, const uint8_t* start,
                      size_t start_size, byte_source* src) {
    src->short_message = "Error: damaged PNG: ends early.\n";
    if (readable_in_place(info, archive)) {
        src->file = file.f;
        src->base = 0;
        src->size = info.size;
    } else if (hold_stream(file.f, start, start_size, INT32_MAX - static_cast<int64_t>(start_size), src) < 0) {
        return false;
    }
    lock_archive(archive);
    return true;
}

}  // namespace velmorin
