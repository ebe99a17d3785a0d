#include "base/progress.h"

#include <cstdio>

#include "base/file.h"
#include "base/trace.h"

namespace velmorin {

namespace {

constexpr auto interval = std::chrono::milliseconds(250);
constexpr int line_width = 60;

}  // namespace

void start_progress(progress_line& line, uint64_t total) {
    run_output* out = current_output();
    line.shown = is_terminal(2) && !(out && out->quiet);
    line.total = total;
    line.last = std::chrono::steady_clock::now() - interval;
}

void show_progress(progress_line& line, uint64_t done, uint64_t bytes) {
    if (!line.shown) return;
    auto now = std::chrono::steady_clock::now();
    if (now - line.last < interval) return;
    line.last = now;
    char text[line_width + 8];
    int n = snprintf(text, sizeof text, "\r%llu of %llu entries, %llu MiB", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(line.total), static_cast<unsigned long long>(bytes >> 20));
    if (n <= 0) return;
    // What the run said so far goes out first, so the line stays the last.
    flush_trace();
    write_stream(2, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
    line.drawn = true;
}

progress_line::~progress_line() { end_progress(*this); }

void end_progress(progress_line& line) {
    if (!line.drawn) return;
    char blank[line_width + 3];
    blank[0] = '\r';
    for (int k = 1; k <= line_width; ++k) blank[k] = ' ';
    blank[line_width + 1] = '\r';
    write_stream(2, blank, line_width + 2);
    line.drawn = false;
}

}  // namespace velmorin
