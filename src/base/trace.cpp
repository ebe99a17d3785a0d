// The buffered error stream.
#include "base/trace.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/file.h"
#include "base/text.h"

namespace velmorin {
namespace {

run_output* installed = nullptr;

}  // namespace

output_scope::output_scope(run_output& out) : previous_(installed) { installed = &out; }

output_scope::~output_scope() { installed = previous_; }

run_output* current_output() { return installed; }

void write_stream(int stream, const char* text, size_t len) {
    if (installed && installed->quiet) return;
    (void)write_full(standard_stream(stream), text, len);
}

muted_narration::muted_narration() {
    if (installed) ++installed->muted;
}

muted_narration::~muted_narration() {
    if (installed && installed->muted > 0) --installed->muted;
}

namespace {

thread_local int voices = 0;  // failure_voice on this thread

}  // namespace

failure_voice::failure_voice() { ++voices; }

failure_voice::~failure_voice() { --voices; }

void mute_narration() {
    if (installed) ++installed->muted;
}

void unmute_narration() {
    if (installed) installed->muted = 0;
}

shared_trace::shared_trace() {
    if (installed) installed->shared = true;
}

shared_trace::~shared_trace() {
    if (installed) installed->shared = false;
}

namespace {

// The run's lock, when its threads share the trace.
std::unique_lock<std::recursive_mutex> hold_trace(run_output* out) {
    return out && out->shared ? std::unique_lock<std::recursive_mutex>(out->lock)
                              : std::unique_lock<std::recursive_mutex>();
}

}  // namespace

void trace_text(const char* text, size_t len) {
    run_output* out = installed;
    auto held = hold_trace(out);
    if (out && out->muted > 0 && voices == 0) return;
    if (out && len > run_output::capacity - out->trace_len) flush_trace();
    if (!out || len > run_output::capacity) {
        write_stream(2, text, len);
        return;
    }
    memcpy(out->trace + out->trace_len, text, len);
    out->trace_len += len;
}

void trace_args(const char* fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, fmt, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    size_t len = static_cast<size_t>(n);
    if (len < sizeof small) {
        trace_text(small, len);
    } else {
        // A long name in the message: format it once more at full length.
        std::unique_ptr<char[]> big(new (std::nothrow) char[len + 1]);
        if (big) {
            vsnprintf(big.get(), len + 1, fmt, again);
            trace_text(big.get(), len);
        } else {
            trace_text(small, sizeof small - 1);
        }
    }
    va_end(again);
}

void flush_trace() {
    run_output* out = installed;
    if (!out) return;
    auto held = hold_trace(out);
    write_stream(2, out->trace, out->trace_len);
    out->trace_len = 0;
}

void trace(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    trace_args(fmt, args);
    va_end(args);
}

void trace_dirent(uint32_t index) {
    static const char prefix[] = "Debug: Reading dirent ";
    char line[sizeof prefix + 24];
    memcpy(line, prefix, sizeof prefix - 1);
    // Printed as a signed number, like every %d of the trace.
    size_t pos = sizeof prefix - 1;
    pos += format_decimal(line + pos, static_cast<int32_t>(index));
    line[pos++] = '\n';
    trace_text(line, pos);
}

}  // namespace velmorin
