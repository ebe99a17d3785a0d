#include "ops/ops.h"

namespace velmorin {

bool open_run_input(archive_file& archive, const char* path, file_guard& file, file_info* info) {
    file.f = open_input(path);
    if (!is_open(file.f) || !describe_file(file.f, info)) return false;
    if (info->regular) lock_archive(archive);
    return true;
}

bool take_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start, int64_t count,
                const char* short_message, byte_source* src) {
    bool in_place = info.regular && !same_file(info, archive.info);
    if (!input_source(file.f, start, count, in_place ? &info : nullptr, short_message, src)) return false;
    lock_archive(archive);
    return true;
}

}  // namespace velmorin
