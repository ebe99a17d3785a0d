#include "patch/input.h"

#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "patch/patch.h"

namespace velmorin {

namespace {

// No checked patch is longer, with as much appended as the signs of a
// block are looked for in: a stream that goes on past this is raw.
constexpr int64_t longest_checked_patch = INT32_MAX + patch_tail_window;

// The last bytes of a stream, read to its end in pieces, after its first
// `size` bytes (held in `body`); the first bytes after those in `patch->after`.
void read_stream_tail(file_handle f, const byte_source& body, int64_t size, patch_input* patch) {
    const size_t keep = static_cast<size_t>(patch_tail_window);
    byte_buffer window = alloc_bytes(2 * keep);
    size_t len = 0;
    int64_t rest = 0;
    for (;;) {
        if (len > keep) {
            memmove(window.get(), window.get() + len - keep, keep);
            len = keep;
        }
        int64_t n = read_full(f, window.get() + len, keep);
        if (n > 0) {
            if (rest == 0) {
                patch->after_size = std::min<size_t>(sizeof patch->after, static_cast<size_t>(n));
                memcpy(patch->after, window.get() + len, patch->after_size);
            }
            len += static_cast<size_t>(n);
            rest += n;
        }
        // A read that fails ends the stream for this purpose: a raw patch
        // never needed these bytes.
        if (n < static_cast<int64_t>(keep)) break;
        if (size + rest > longest_checked_patch) {
            patch->total = size + rest;
            return;  // no tail: raw, whatever it ends with
        }
    }
    patch->total = size + rest;
    patch->tail_size = static_cast<size_t>(std::min<int64_t>(patch->total, patch_tail_window));
    patch->tail = alloc_bytes(patch->tail_size);
    size_t from_body = patch->tail_size > len ? patch->tail_size - len : 0;
    if (from_body > 0 && !read_source(body, size - static_cast<int64_t>(from_body), patch->tail.get(), from_body))
        fail("%s", body.short_message);
    memcpy(patch->tail.get() + from_body, window.get() + len - (patch->tail_size - from_body),
           patch->tail_size - from_body);
}

}  // namespace

void read_patch(archive_file& archive, const file_guard& file, const file_info& info, int64_t size,
                patch_input* patch) {
    patch->whole = read_input(archive, file, info, 0, size, "Short read.\n", &patch->body);
    if (info.regular) {
        patch->total = info.size;
        patch->tail_size = static_cast<size_t>(std::min<int64_t>(info.size, patch_tail_window));
        patch->tail = alloc_bytes(patch->tail_size);
        int64_t n = static_cast<int64_t>(patch->tail_size);
        if (pread_full(file.f, patch->tail.get(), patch->tail_size, info.size - n) != n) fail("Short read.\n");
        if (info.size > size) {
            patch->after_size = static_cast<size_t>(std::min<int64_t>(info.size - size, sizeof patch->after));
            int64_t m = static_cast<int64_t>(patch->after_size);
            if (pread_full(file.f, patch->after, patch->after_size, size) != m) fail("Short read.\n");
        }
    } else if (patch->whole) {
        read_stream_tail(file.f, patch->body, size, patch);
    } else {
        // The stream ended inside the first S bytes: they are all there is.
        int64_t got = std::max<int64_t>(patch->body.size, 0);
        patch->total = got;
        patch->tail_size = static_cast<size_t>(std::min<int64_t>(got, patch_tail_window));
        patch->tail = alloc_bytes(patch->tail_size);
        if (!read_source(patch->body, got - static_cast<int64_t>(patch->tail_size), patch->tail.get(), patch->tail_size))
            fail("Short read.\n");
    }
}

}  // namespace velmorin
