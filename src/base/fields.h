// Fixed-layout fields: little-endian, and the big-endian ones of PNG.
#pragma once

#include <cstdint>

namespace velmorin {
// Inline: the walk decodes a few fields of every one of a million entries.

inline uint16_t read_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t read_u32le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline int32_t read_s32le(const uint8_t* p) { return static_cast<int32_t>(read_u32le(p)); }

inline void write_u16le(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void write_u32le(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

inline uint64_t read_u64le(const uint8_t* p) {
    return static_cast<uint64_t>(read_u32le(p)) | (static_cast<uint64_t>(read_u32le(p + 4)) << 32);
}

inline void write_u64le(uint8_t* p, uint64_t v) {
    write_u32le(p, static_cast<uint32_t>(v));
    write_u32le(p + 4, static_cast<uint32_t>(v >> 32));
}

// PNG's fields are big-endian.
inline uint32_t read_u32be(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline void write_u32be(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

}  // namespace velmorin
