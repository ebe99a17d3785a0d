#include "base/failure.h"

#include <cstdarg>
#include <cstring>

namespace velmorin {

[[noreturn]] void end_run(int status) { throw run_ended{status}; }

namespace {

// The file the thread is at, said before its failure's message.
thread_local const char* context = nullptr;

}  // namespace

failure_context::failure_context(const char* what) : previous_(context) { context = what; }

failure_context::~failure_context() { context = previous_; }

[[noreturn]] void fail(const char* fmt, ...) {
    run_output* out = current_output();
    if (out && out->shared) {
        // Of threads failing at once, one speaks: one failure, one line;
        // and the others say nothing more.
        if (out->failed.exchange(true)) end_run(255);
        mute_narration();
    } else {
        unmute_narration();
    }
    failure_voice speaking;
    if (context) {
        trace_text(context, strlen(context));
        trace_text(": ", 2);
    }
    va_list args;
    va_start(args, fmt);
    trace_args(fmt, args);
    va_end(args);
    end_run(255);
}

}  // namespace velmorin
