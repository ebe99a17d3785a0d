// What the tool builds on the platform's single calls, the same on every
// platform: whole-count transfers, stream identity and the lock between
// runs.
#include "base/file.h"

#include <cerrno>

#include "base/failure.h"
#include "base/trace.h"

namespace velmorin {
namespace {

// One call moves at most this much: less than any platform's limit, and
// every count stays representable.
constexpr size_t max_chunk = size_t{1} << 30;

enum class transfer { read, pread, write };

// The loop behind the three whole-count transfers: one call at least, then
// more until the count is moved, the file ends or a call fails.
int64_t move_all(transfer kind, file_handle f, uint8_t* p, size_t count, int64_t offset) {
    size_t done = 0;
    do {
        size_t want = count - done < max_chunk ? count - done : max_chunk;
        int64_t n = kind == transfer::read    ? read_some(f, p + done, want)
                    : kind == transfer::pread ? pread_some(f, p + done, want, offset + static_cast<int64_t>(done))
                                              : write_some(f, p + done, want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done == 0 ? -1 : static_cast<int64_t>(done);
        }
        if (n == 0) {
            errno = 0;  // the file ended: no error to tell
            break;
        }
        done += static_cast<size_t>(n);
    } while (done < count);
    return static_cast<int64_t>(done);
}

}  // namespace

int64_t read_full(file_handle f, void* buf, size_t count) {
    return move_all(transfer::read, f, static_cast<uint8_t*>(buf), count, 0);
}

int64_t pread_full(file_handle f, void* buf, size_t count, int64_t offset) {
    return move_all(transfer::pread, f, static_cast<uint8_t*>(buf), count, offset);
}

int64_t write_full(file_handle f, const void* buf, size_t count) {
    // Writing only reads the buffer; the shared loop takes it without const.
    return move_all(transfer::write, f, static_cast<uint8_t*>(const_cast<void*>(buf)), count, 0);
}

stream_match is_stream(const file_info& f, int stream) {
    file_handle s = standard_stream(stream);
    file_info info;
    if (!is_open(s) || f.character) return stream_match::no;
    if (!describe_file(s, &info)) return stream_match::unknown;
    return same_file(f, info) ? stream_match::yes : stream_match::no;
}

void refuse_input_as_stream(const file_info& f, const char* path) {
    stream_match out = is_stream(f, 1);
    stream_match err = is_stream(f, 2);
    if (out == stream_match::no && err == stream_match::no) return;
    if (out != stream_match::no) silence_stream(1);
    if (err != stream_match::no) silence_stream(2);
    if (out == stream_match::yes || err == stream_match::yes)
        fail("Error: %s is also an output stream of this run; refusing to use it.\n", path);
    fail("Error: cannot tell whether an output stream of this run is %s; refusing to use it.\n", path);
}

bool lock_file(file_handle f, bool exclusive, const char* path) {
    lock_result first = try_lock_file(f, exclusive, false);
    if (first != lock_result::held_by_another) return first == lock_result::taken;
    trace("Debug: %s is in use by another run; waiting for it to finish.\n", path);
    flush_trace();
    return try_lock_file(f, exclusive, true) == lock_result::taken;
}

file_guard::~file_guard() {
    if (is_open(f)) close_file(f);
}

file_guard& file_guard::operator=(file_guard&& other) noexcept {
    if (this != &other) {
        if (is_open(f)) close_file(f);
        f = other.f;
        other.f = file_handle{};
    }
    return *this;
}

int file_guard::close_now() {
    int result = close_file(f);
    f = file_handle{};
    return result;
}

}  // namespace velmorin
