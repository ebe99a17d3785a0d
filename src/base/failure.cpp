#include "base/failure.h"

#include <cstdarg>
#include <cstring>

namespace velmorin {

[[noreturn]] void end_run(int status) { throw run_ended{status}; }

failure_context::failure_context(const char* what) : previous_(nullptr) {
    if (run_output* out = current_output()) {
        previous_ = out->context;
        out->context = what;
    }
}

failure_context::~failure_context() {
    if (run_output* out = current_output()) out->context = previous_;
}

[[noreturn]] void fail(const char* fmt, ...) {
    unmute_narration();
    if (run_output* out = current_output(); out && out->context) {
        trace_text(out->context, strlen(out->context));
        trace_text(": ", 2);
    }
    va_list args;
    va_start(args, fmt);
    trace_args(fmt, args);
    va_end(args);
    end_run(255);
}

}  // namespace velmorin
