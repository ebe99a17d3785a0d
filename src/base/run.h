// How a run talks and ends: the one failure path, the buffered error stream
// that carries the trace, text on standard output, and the listing that is
// a run's product there.
#pragma once

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

// ---- ending the run -------------------------------------------------------
// A run that cannot go on says why where it finds out, and the failure
// travels up to the command line, which ends the process: everything on the
// way can undo what it started.

// How a run ends before its work is done: with this status, its message
// already on the error stream.
struct run_ended {
    int status;
};

// Puts one message on the error stream and ends the run with status 255.
[[noreturn]] void fail(const char* fmt, ...) VELMORIN_PRINTF(1, 2);

// Ends the run with `status` and no message.
[[noreturn]] void end_run(int status);

// ---- the error stream -----------------------------------------------------

// Appends formatted text to the buffered error stream.
void trace(const char* fmt, ...) VELMORIN_PRINTF(1, 2);

// "Debug: Reading dirent %d\n" without the cost of a formatted print; the
// walk prints it once per directory entry.
void trace_dirent(uint32_t index);

void flush_trace();

// Writes `value` in decimal at `out` (room for 20 characters); returns the
// count written.
size_t format_decimal(char* out, int64_t value);

// ---- standard output --------------------------------------------------------

// Writes text on standard output, after flushing what the error stream holds
// so the two keep their order when they share a file.
void print_stdout(const char* text);

// An answer a script reads (a word, the usage text, the version): written
// whole on standard output, or the run ends with status 255, as a listing
// does.
void print_answer(const char* text);

// From now on print_stdout() text goes to the error stream: standard output
// is the file the run writes its product to.
void divert_stdout();

// Standard output as the run's product (a listing): buffered, and a failed
// write ends the run with status 255, saying so on the error stream unless
// the reader has simply gone. The product is written in place: room for up
// to `max` bytes (at most 64 KiB), then the count actually written.
char* product_room(size_t max);
void product_commit(size_t len);
void flush_product();

// ---- names from files ------------------------------------------------------------

// Writes a stored name as the listing shows it: \ tab newline and carriage
// return as \\ \t \n \r, other control bytes and 0x7f as \xhh, the rest as
// stored. `out` has room for four characters a byte, and eight more.
size_t escape_name(char* out, const uint8_t* name, size_t length);

// ---- in-process runs (the fuzzer) ---------------------------------------------

// Drops everything the run would print.
void silence_output();

// Forgets what an earlier run left behind: buffered text, a diverted
// standard output.
void reset_output();

}  // namespace velmorin
