// Reading a run's inputs: in place, or a stream whole.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "io/input.h"

namespace velmorin {

namespace {

// Whether the input is read in place. The archive itself as an input is
// not: its bytes are read whole, under the lock its pixels are read under.
bool read_in_place(archive_file& archive, const file_info& info) {
    if (same_file(info, archive.info)) {
        lock_archive(archive);
        return false;
    }
    return info.regular;
}

}  // namespace

bool open_run_input(const char* path, file_guard& file, file_info* info) {
    file.f = open_input(path);
    if (!is_open(file.f) || !describe_file(file.f, info)) return false;
    // Checked again once open, in case the path changed in between.
    refuse_input_as_stream(*info, path);
    return true;
}

bool read_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start, int64_t count,
                const char* short_message, byte_source* src) {
    return input_source(file.f, start, count, read_in_place(archive, info) ? &info : nullptr, short_message, src);
}

bool read_whole_input(archive_file& archive, const file_guard& file, const file_info& info, const uint8_t* start,
                      size_t start_size, byte_source* src) {
    src->short_message = "Error: damaged PNG: ends early.\n";
    if (read_in_place(archive, info)) {
        src->file = file.f;
        src->base = 0;
        src->size = info.size;
        return true;
    }
    return hold_stream(file.f, start, start_size, INT32_MAX - static_cast<int64_t>(start_size), src) >= 0;
}

}  // namespace velmorin
