// Buffers and byte sources.
#include "base/bytes.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "base/run.h"

namespace velmorin {

byte_buffer alloc_bytes(size_t count) {
    byte_buffer buf(new (std::nothrow) uint8_t[count == 0 ? 1 : count]);
    if (!buf) fail("Error: out of memory.\n");
    return buf;
}

byte_buffer read_growing(file_handle f, int64_t want, int64_t* got) {
    size_t target = static_cast<size_t>(want < 0 ? 0 : want);
    size_t capacity = target < 64 * 1024 ? target : 64 * 1024;
    byte_buffer buf = alloc_bytes(capacity);
    size_t have = 0;
    for (;;) {
        int64_t n = read_full(f, buf.get() + have, capacity - have);
        if (n < 0) {
            if (have == 0) {
                *got = -1;
                return buf;
            }
            break;
        }
        have += static_cast<size_t>(n);
        if (have < capacity || have == target) break;
        size_t grown = capacity > target / 2 ? target : capacity * 2;
        byte_buffer bigger = alloc_bytes(grown);
        memcpy(bigger.get(), buf.get(), have);
        buf = std::move(bigger);
        capacity = grown;
    }
    *got = static_cast<int64_t>(have);
    return buf;
}

bool read_source(const byte_source& src, int64_t offset, uint8_t* dst, size_t count) {
    int64_t n = static_cast<int64_t>(count);
    if (offset < 0 || n > src.size - offset) {
        errno = EINVAL;
        return false;
    }
    if (src.bytes) {
        if (count != 0) memcpy(dst, src.bytes.get() + offset, count);
        return true;
    }
    return pread_full(src.file, dst, count, src.base + offset) == n;
}

bool input_source(file_handle f, int64_t start, int64_t count, const file_info* in_place, const char* short_message,
                  byte_source* src) {
    src->short_message = short_message;
    src->size = count;
    if (in_place) {
        src->file = f;
        src->base = start;
        return count <= in_place->size - start;
    }
    int64_t got = 0;
    src->bytes = read_growing(f, count, &got);
    if (got == count) return true;
    src->size = got < 0 ? 0 : got;
    return false;
}

}  // namespace velmorin
