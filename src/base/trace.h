// The error stream, which carries the trace: everything the tool narrates,
// often a line per directory entry, collected in one buffer and written in
// large pieces (when the buffer fills, before anything goes to standard
// output, and when the run ends).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <mutex>

// printf-style checking of the tool's message formats, where the compiler
// offers it.
#if defined(__GNUC__)
#define VELMORIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VELMORIN_PRINTF(fmt, args)
#endif

namespace velmorin {

// Everything a run has to say, held by the run for its length: the error
// stream's buffer and standard output's. A run makes one and installs it
// (output_scope); the functions below write to the installed one. Outside a
// run, trace text goes straight to the error stream.
struct run_output {
    static constexpr size_t capacity = 64 * 1024;
    char trace[capacity];
    size_t trace_len = 0;
    char product[capacity];
    size_t product_len = 0;
    bool stdout_diverted = false;  // standard output is the run's product file
    bool quiet = false;            // in-process runs (the fuzzer): say nothing
    std::atomic<int> muted{0};     // narration dropped (a mode over many entries); a failure still speaks
    bool shared = false;           // threads of the run may say things at once: `lock` orders them
    std::atomic<bool> failed{false};  // while shared: a failure was said, and the others keep still
    std::recursive_mutex lock;
};

// While one lives, the run's threads may trace at once.
class shared_trace {
public:
    shared_trace();
    ~shared_trace();
    shared_trace(const shared_trace&) = delete;
    shared_trace& operator=(const shared_trace&) = delete;
};

// While one lives, what the run narrates (trace, text lines on standard
// output) is dropped; the message of a failure is not.
class muted_narration {
public:
    muted_narration();
    ~muted_narration();
    muted_narration(const muted_narration&) = delete;
    muted_narration& operator=(const muted_narration&) = delete;
};

// A failure's message is said whatever was muted.
void unmute_narration();

// From now on, what the run narrates is dropped (its threads failed).
void mute_narration();

// While one lives, what this thread says is said even while narration is
// muted: a failure's message, when threads of the run fail at once.
class failure_voice {
public:
    failure_voice();
    ~failure_voice();
    failure_voice(const failure_voice&) = delete;
    failure_voice& operator=(const failure_voice&) = delete;
};

// Installs `out` as the run's output while it lives, and puts back what was
// installed before.
class output_scope {
public:
    explicit output_scope(run_output& out);
    ~output_scope();
    output_scope(const output_scope&) = delete;
    output_scope& operator=(const output_scope&) = delete;

private:
    run_output* previous_;
};

// The installed run's output; nullptr outside a run.
run_output* current_output();

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

}  // namespace velmorin
