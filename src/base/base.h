// Shared plumbing of the tool: the one failure path, the buffered error
// stream that carries the trace, little-endian field decoders, whole-count
// I/O helpers and byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/file.h"

// printf-style checking of the tool's message formats, where the compiler
// offers it.
#if defined(__GNUC__)
#define VELMORIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VELMORIN_PRINTF(fmt, args)
#endif

namespace velmorin {

// ---- ending the run -------------------------------------------------------

// Prints one message on the error stream and ends the run with status 255.
[[noreturn]] void fail(const char* fmt, ...) VELMORIN_PRINTF(1, 2);

// Ends the run with the given status after flushing the error stream.
[[noreturn]] void finish(int status);

// In the fuzzing build, ending the run throws this instead of exiting.
struct run_ended {
    int status;
};

// ---- output streams -------------------------------------------------------

// Appends formatted text to the buffered error stream.
void trace(const char* fmt, ...) VELMORIN_PRINTF(1, 2);

// "Debug: Reading dirent %d\n" without the cost of a formatted print; the
// walk prints it once per directory entry.
void trace_dirent(uint32_t index);

// Writes `value` in decimal at `out` (room for 20 characters); returns the
// count written.
size_t format_decimal(char* out, int64_t value);

// Writes text on standard output, after flushing what the error stream holds
// so the two keep their order when they share a file.
void print_stdout(const char* text);

void flush_trace();

// Standard output as the run's product (a listing): buffered, and a failed
// write ends the run with status 255, saying so on the error stream unless
// the reader has simply gone.
// The product is written in place: room for up to `max` bytes (at most
// 64 KiB), then the count actually written.
char* product_room(size_t max);
void product_commit(size_t len);
void flush_product();

// From now on print_stdout() text goes to the error stream: standard output
// is the file the run writes its product to.
void divert_stdout();

// Drops everything the run would print (the fuzzer runs the tool in-process).
void silence_output();

// ---- little-endian fields -------------------------------------------------

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

// Whether `f` is the file behind standard output (1) or the error stream (2):
// `unknown` when the stream's identity cannot be read, which callers never
// take for "no". A character device never counts: what reaches it is not
// stored.
enum class stream_match { no, yes, unknown };
stream_match is_stream(const file_info& f, int stream);

// Takes an advisory lock on the file for the rest of the run: shared for a
// run that only reads it, exclusive for one that writes. When another run
// holds it, says so on the error stream and waits. A file system without
// locks does not stop the run.
void lock_file(file_handle f, bool exclusive, const char* path);

// Closes a file when its holder goes out of scope; close_now() closes it
// early and hands back the result.
struct file_guard {
    file_handle f;
    file_guard() = default;
    explicit file_guard(file_handle h) : f(h) {}
    file_guard(const file_guard&) = delete;
    file_guard& operator=(const file_guard&) = delete;
    ~file_guard();
    int close_now();
};

// ---- memory ---------------------------------------------------------------

// Pixels move through buffers of this size, whatever the image's size. A
// multiple of four, so that a band never splits a pixel.
constexpr int64_t band_bytes = 1 << 20;

using byte_buffer = std::unique_ptr<uint8_t[]>;

// Uninitialised bytes; "Error: out of memory.\n" when they cannot be had.
byte_buffer alloc_bytes(size_t count);

// Reads up to `want` bytes from the file's current position into a
// buffer that grows with what actually arrives, so a lying size field costs
// no more memory than the file holds. Stores the count read in *got.
byte_buffer read_growing(file_handle f, int64_t want, int64_t* got);

// A run of bytes an operation reads from: either read in place from a
// regular file, starting at `base`, or held whole in memory (pipes and other
// files that cannot be read in place). `size` bytes are known to be there.
struct byte_source {
    file_handle file;
    int64_t base = 0;
    byte_buffer bytes;
    int64_t size = 0;
    const char* short_message = "";  // printed when the bytes are not there after all
};

// Copies `count` bytes from `offset` within the source; false when they
// cannot be had (the file shrank under us or the device failed), with errno
// telling why. The caller decides what that failure means at its point.
[[nodiscard]] bool read_source(const byte_source& src, int64_t offset, uint8_t* dst, size_t count);

// The `count` bytes of an input file that start at `start`, where its
// position stands now: in place when `in_place` is given (a regular file
// the run does not write, as described), after checking the file holds them;
// otherwise read whole now. False when the file holds fewer; the caller
// reports `short_message`, which later reads report too.
[[nodiscard]] bool input_source(file_handle f, int64_t start, int64_t count, const file_info* in_place,
                                const char* short_message, byte_source* src);

// dst[k] ^= src[k] for `count` bytes.
void xor_into(uint8_t* dst, const uint8_t* src, size_t count);

}  // namespace velmorin
