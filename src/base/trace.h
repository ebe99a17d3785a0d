// The error stream, which carries the trace: everything the tool narrates,
// often a line per directory entry, collected in one buffer and written in
// large pieces (when the buffer fills, before anything goes to standard
// output, and when the run ends).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// printf-style checking of the tool's message formats, where the compiler
// offers it.
#if defined(__GNUC__)
#define VELMORIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VELMORIN_PRINTF(fmt, args)
#endif

namespace velmorin {

// Appends formatted text to the buffered error stream.
void trace(const char* fmt, ...) VELMORIN_PRINTF(1, 2);
void trace_args(const char* fmt, va_list args);
void trace_text(const char* text, size_t len);

// "Debug: Reading dirent %d\n" without the cost of a formatted print; the
// walk prints it once per directory entry.
void trace_dirent(uint32_t index);

void flush_trace();

// Writes text on a standard stream (1 or 2) now, unless silenced; a stream
// that fails has nowhere to report to, and the run goes on.
void write_stream(int stream, const char* text, size_t len);

// In-process runs (the fuzzer): drops everything the run would print, or
// forgets what an earlier run left in the buffer.
void silence_output();
bool output_silenced();
void reset_trace();

}  // namespace velmorin
