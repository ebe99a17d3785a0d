// A progress line on the error stream, for the runs that take minutes over
// a whole archive: shown only on a terminal, rewritten in place at most a
// few times a second, and erased at the end.
#pragma once

#include <chrono>
#include <cstdint>

namespace velmorin {

struct progress_line {
    bool shown = false;
    bool drawn = false;
    uint64_t total = 0;
    std::chrono::steady_clock::time_point last{};
    progress_line() = default;
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;
    ~progress_line();  // erases the line however the run ends
};

// Starts a line for `total` entries, when the error stream is a terminal.
void start_progress(progress_line& line, uint64_t total);

// Says that `done` entries and `bytes` bytes are done.
void show_progress(progress_line& line, uint64_t done, uint64_t bytes);

// Erases the line.
void end_progress(progress_line& line);

}  // namespace velmorin
