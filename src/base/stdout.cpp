// Standard output and the product written there.
#include "base/stdout.h"

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/file.h"
#include "base/trace.h"

namespace velmorin {
namespace {

// Standard output outside a run is never written; a run installs its own.
run_output& output() {
    static run_output none;
    run_output* out = current_output();
    return out ? *out : none;
}

}  // namespace

void divert_stdout() { output().stdout_diverted = true; }

void flush_product() {
    run_output& out = output();
    size_t len = out.product_len;
    out.product_len = 0;
    if (out.quiet || len == 0) return;
    if (write_full(standard_stream(1), out.product, len) == static_cast<int64_t>(len)) return;
    int err = errno != 0 ? errno : EIO;
    // A cut listing must never look complete.
    if (err == EPIPE) end_run(255);
    fail("Error writing to standard output: errno=%d(%s)\n", err, strerror(err));
}

char* product_room(size_t max) {
    run_output& out = output();
    if (max > run_output::capacity - out.product_len) flush_product();
    return out.product + out.product_len;
}

void product_commit(size_t len) { output().product_len += len; }

void print_answer(const char* text) {
    flush_trace();
    size_t len = strlen(text);
    while (len > 0) {
        size_t n = len < run_output::capacity ? len : run_output::capacity;
        memcpy(product_room(n), text, n);
        product_commit(n);
        text += n;
        len -= n;
    }
    flush_product();
}

void print_stdout(const char* text) {
    if (output().muted > 0) return;
    if (output().stdout_diverted) {
        trace_text(text, strlen(text));
        return;
    }
    flush_trace();
    write_stream(1, text, strlen(text));
}

}  // namespace velmorin
