// The one failure path. A run that cannot go on says why where it finds
// out, and the failure travels up to the command line, which ends the
// process: everything on the way can undo what it started.
#pragma once

#include "base/trace.h"

namespace velmorin {

// How a run ends before its work is done: with this status, its message
// already on the error stream.
struct run_ended {
    int status;
};

// While one lives, a failure's message begins with `what` and ": ": the file
// a run over many files was at.
class failure_context {
public:
    explicit failure_context(const char* what);
    ~failure_context();
    failure_context(const failure_context&) = delete;
    failure_context& operator=(const failure_context&) = delete;

private:
    const char* previous_;
};

// Puts one message on the error stream and ends the run with status 255.
[[noreturn]] void fail(const char* fmt, ...) VELMORIN_PRINTF(1, 2);

// Ends the run with `status` and no message.
[[noreturn]] void end_run(int status);

}  // namespace velmorin
