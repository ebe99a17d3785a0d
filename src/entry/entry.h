// Image entries: the stored BGRA header and its pixel payload.
#pragma once

#include <cstdint>

#include "base/base.h"
#include "cli/cli.h"

namespace velmorin {

constexpr int64_t bgra_header_size = 16;

struct bgra_image {
    uint32_t magic;
    uint32_t unknown;  // never interpreted, never rewritten
    int32_t width;
    int32_t height;
    int32_t bgra_datasize;  // width * height * 4
    byte_source payload;    // the entry's current pixels
};

// Reads the entry's header at `data_offset` and makes its payload available.
// Refuses an entry whose payload would reach past its own stored data.
bgra_image read_bgra(const archive_file& archive, int32_t data_offset, const dirent& entry);

// Writes `count` bytes at absolute `offset`. They are part of a payload of
// `total` bytes of which `before` were written by earlier calls, so that a
// failure reports how much of the whole payload reached the file.
void write_at(int fd, int64_t offset, const uint8_t* bytes, size_t count, int64_t before, int64_t total);

}  // namespace velmorin
