// Standard output and the product written there.
#include "base/stdout.h"

#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/file.h"
#include "base/trace.h"

namespace velmorin {
namespace {

char product_buf[64 * 1024];
size_t product_len = 0;
bool stdout_diverted = false;

}  // namespace

void reset_output() {
    reset_trace();
    product_len = 0;
    stdout_diverted = false;
}

void divert_stdout() { stdout_diverted = true; }

void flush_product() {
    size_t len = product_len;
    product_len = 0;
    if (output_silenced() || len == 0) return;
    if (write_full(standard_stream(1), product_buf, len) == static_cast<int64_t>(len)) return;
    int err = errno != 0 ? errno : EIO;
    // A cut listing must never look complete.
    if (err == EPIPE) end_run(255);
    fail("Error writing to standard output: errno=%d(%s)\n", err, strerror(err));
}

char* product_room(size_t max) {
    if (max > sizeof product_buf - product_len) flush_product();
    return product_buf + product_len;
}

void product_commit(size_t len) { product_len += len; }

void print_answer(const char* text) {
    flush_trace();
    size_t len = strlen(text);
    while (len > 0) {
        size_t n = len < sizeof product_buf ? len : sizeof product_buf;
        memcpy(product_room(n), text, n);
        product_commit(n);
        text += n;
        len -= n;
    }
    flush_product();
}

void print_stdout(const char* text) {
    if (stdout_diverted) {
        trace_text(text, strlen(text));
        return;
    }
    flush_trace();
    write_stream(1, text, strlen(text));
}

}  // namespace velmorin
