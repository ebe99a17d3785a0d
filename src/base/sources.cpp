// Byte sources.
#include "base/buffers.h"
#include "base/sources.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <new>

#include "base/failure.h"

namespace velmorin {

namespace {

// A stream is held in memory up to this many bytes; a longer one goes to a
// temporary file.
constexpr int64_t stream_in_memory = int64_t{4} << 20;

[[noreturn]] void temporary_failed() {
    int err = errno != 0 ? errno : EIO;
    fail("Error: cannot keep a stream input in a temporary file: errno=%d(%s)\n", err, strerror(err));
}

// Goes on reading the stream into a temporary file, after the `have` bytes
// held in `buf` (of `capacity`), up to `limit` bytes in all.
int64_t spill(file_handle f, byte_buffer& buf, size_t capacity, int64_t have, int64_t limit, byte_source* src) {
    src->held = file_guard(open_temporary());
    file_handle t = src->held.f;
    if (!is_open(t) || write_full(t, buf.get(), static_cast<size_t>(have)) != have) temporary_failed();
    for (int64_t total = have;;) {
        size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(capacity), limit - total));
        int64_t n = want > 0 ? read_full(f, buf.get(), want) : 0;
        if (n > 0 && write_full(t, buf.get(), static_cast<size_t>(n)) != n) temporary_failed();
        if (n > 0) total += n;
        if (n < static_cast<int64_t>(want) || want == 0) {
            buf.reset();
            src->file = t;
            src->base = 0;
            src->size = total;
            return total;
        }
    }
}

}  // namespace

int64_t hold_stream(file_handle f, const uint8_t* start, size_t start_size, int64_t want, byte_source* src) {
    int64_t limit = static_cast<int64_t>(start_size) + std::max<int64_t>(want, 0);
    int64_t in_memory = std::min(limit, static_cast<int64_t>(start_size) + stream_in_memory);
    size_t capacity = static_cast<size_t>(std::min<int64_t>(in_memory, 64 * 1024 + static_cast<int64_t>(start_size)));
    byte_buffer buf = alloc_bytes(capacity);
    if (start_size > 0) memcpy(buf.get(), start, start_size);
    int64_t have = static_cast<int64_t>(start_size);
    for (;;) {
        int64_t n = read_full(f, buf.get() + have, capacity - static_cast<size_t>(have));
        if (n < 0 && have == static_cast<int64_t>(start_size)) {
            src->size = have;
            src->bytes = std::move(buf);
            return -1;
        }
        if (n > 0) have += n;
        if (n < 0 || have < static_cast<int64_t>(capacity) || have == limit) break;
        if (have == in_memory) return spill(f, buf, capacity, have, limit, src) - static_cast<int64_t>(start_size);
        size_t grown = static_cast<size_t>(std::min<int64_t>(in_memory, static_cast<int64_t>(capacity) * 2));
        byte_buffer bigger = alloc_bytes(grown);
        memcpy(bigger.get(), buf.get(), static_cast<size_t>(have));
        buf = std::move(bigger);
        capacity = grown;
    }
    src->bytes = std::move(buf);
    src->size = have;
    return have - static_cast<int64_t>(start_size);
}

bool hold_copy(const byte_source& from, int64_t size, byte_source* copy) {
    copy->size = size;
    copy->short_message = from.short_message;
    if (size <= stream_in_memory) {
        copy->bytes = alloc_bytes(static_cast<size_t>(size));
        return read_source(from, 0, copy->bytes.get(), static_cast<size_t>(size));
    }
    copy->held = file_guard(open_temporary());
    copy->file = copy->held.f;
    copy->base = 0;
    if (!is_open(copy->file)) temporary_failed();
    byte_buffer band = alloc_bytes(static_cast<size_t>(band_bytes));
    for (int64_t at = 0; at < size; at += band_bytes) {
        size_t n = static_cast<size_t>(std::min(band_bytes, size - at));
        if (!read_source(from, at, band.get(), n)) return false;
        if (write_full(copy->file, band.get(), n) != static_cast<int64_t>(n)) temporary_failed();
    }
    return true;
}

void write_held(byte_source& copy, int64_t offset, const uint8_t* bytes, size_t count) {
    if (copy.bytes) {
        memcpy(copy.bytes.get() + offset, bytes, count);
        return;
    }
    if (!seek_to(copy.file, offset) || write_full(copy.file, bytes, count) != static_cast<int64_t>(count))
        temporary_failed();
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
    return hold_stream(f, nullptr, 0, count, src) == count;
}

}  // namespace velmorin
