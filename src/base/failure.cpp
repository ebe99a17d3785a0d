#include "base/failure.h"

#include <cstdarg>

namespace velmorin {

[[noreturn]] void end_run(int status) { throw run_ended{status}; }

[[noreturn]] void fail(const char* fmt, ...) {
    unmute_narration();
    va_list args;
    va_start(args, fmt);
    trace_args(fmt, args);
    va_end(args);
    end_run(255);
}

}  // namespace velmorin
