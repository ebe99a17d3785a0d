// How a run talks and ends: the error stream, standard output and the
// listing, and the way out of a run that cannot go on.
//
// Everything the tool narrates goes to the error stream, often a line per
// directory entry, so it is collected in one buffer and written in large
// pieces: when the buffer fills, before anything goes to standard output, and
// when the run ends.
#include "base/run.h"

#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/file.h"

namespace velmorin {
namespace {

constexpr size_t trace_capacity = 64 * 1024;
char trace_buf[trace_capacity];
size_t trace_len = 0;
bool quiet = false;
bool stdout_diverted = false;
char product_buf[trace_capacity];
size_t product_len = 0;

void write_out(int stream, const char* text, size_t len) {
    if (quiet) return;
    // A failing error stream has nowhere to report to; the run goes on.
    (void)write_full(standard_stream(stream), text, len);
}

void append(const char* text, size_t len) {
    if (len > trace_capacity - trace_len) flush_trace();
    if (len > trace_capacity) {
        write_out(2, text, len);
        return;
    }
    memcpy(trace_buf + trace_len, text, len);
    trace_len += len;
}

void vtrace(const char* fmt, va_list args) {
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
        append(small, len);
    } else {
        // A long name in the message: format it once more at full length.
        std::unique_ptr<char[]> big(new (std::nothrow) char[len + 1]);
        if (big) {
            vsnprintf(big.get(), len + 1, fmt, again);
            append(big.get(), len);
        } else {
            append(small, sizeof small - 1);
        }
    }
    va_end(again);
}

}  // namespace

void silence_output() {
    trace_len = 0;
    quiet = true;
}

void reset_output() {
    trace_len = 0;
    product_len = 0;
    stdout_diverted = false;
}

void flush_trace() {
    write_out(2, trace_buf, trace_len);
    trace_len = 0;
}

void trace(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vtrace(fmt, args);
    va_end(args);
}

namespace {

const char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` backwards, ending at `end`, two digits at a time.
template <typename T>
void write_digits(char* end, T value) {
    while (value >= 100) {
        memcpy(end -= 2, digit_pairs + 2 * (value % 100), 2);
        value = static_cast<T>(value / 100);
    }
    if (value >= 10)
        memcpy(end - 2, digit_pairs + 2 * value, 2);
    else
        end[-1] = static_cast<char>('0' + value);
}

// Decimal digits in `value`: estimated from its bit length, then corrected.
size_t count_digits(uint64_t value) {
    static const uint64_t powers[] = {1,
                                      10,
                                      100,
                                      1000,
                                      10000,
                                      100000,
                                      1000000,
                                      10000000,
                                      100000000,
                                      1000000000,
                                      10000000000,
                                      100000000000,
                                      1000000000000,
                                      10000000000000,
                                      100000000000000,
                                      1000000000000000,
                                      10000000000000000,
                                      100000000000000000,
                                      1000000000000000000,
                                      10000000000000000000u};
    // The bit length times log10(2) is the count or one short of it (0 has
    // one digit, as 1 has).
    uint64_t v = value | 1;
    size_t guess = static_cast<size_t>(std::bit_width(v)) * 1233 >> 12;
    return guess + (v >= powers[guess] ? 1 : 0);
}

}  // namespace

size_t format_decimal(char* out, int64_t value) {
    // A listing prints five numbers for each of a million entries: digits
    // are counted without dividing, then written two at a time, in 32 bits
    // where the value fits.
    size_t sign = 0;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        sign = 1;
        magnitude = 0 - magnitude;
    }
    size_t digits = count_digits(magnitude);
    if (magnitude <= UINT32_MAX)
        write_digits(out + digits, static_cast<uint32_t>(magnitude));
    else
        write_digits(out + digits, magnitude);
    return sign + digits;
}

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Whether any of the eight bytes in `x` is a control byte, a backslash or
// 0x7f (the classic tests for a byte below n and for a zero byte).
bool any_escaped(uint64_t x) {
    const uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    uint64_t backslash = x ^ (ones * '\\'), del = x ^ (ones * 0x7f);
    return (((x - ones * 0x20) & ~x) | ((backslash - ones) & ~backslash) | ((del - ones) & ~del)) & highs;
}

// `out` has room for four characters a byte, and eight more.
}  // namespace

size_t escape_name(char* out, const uint8_t* name, size_t length) {
    // Most names need no escape at all: they are copied eight bytes at a
    // time up to the first byte that might.
    size_t plain = 0;
    for (uint64_t eight; plain + 8 <= length; plain += 8) {
        memcpy(&eight, name + plain, 8);
        if (any_escaped(eight)) break;
        memcpy(out + plain, &eight, 8);
    }
    // Fewer than eight left: they are checked as the eight that end the name
    // (some of them seen already).
    uint64_t last;
    if (plain < length && length >= 8 && length - plain < 8 &&
        (memcpy(&last, name + length - 8, 8), !any_escaped(last))) {
        memcpy(out + length - 8, &last, 8);
        return length;
    }
    size_t pos = plain;
    for (size_t k = plain; k < length; ++k) {
        uint8_t c = name[k];
        char named = c == '\\' ? '\\' : c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : 0;
        if (named) {
            out[pos++] = '\\';
            out[pos++] = named;
        } else if (c < 0x20 || c == 0x7f) {
            out[pos++] = '\\';
            out[pos++] = 'x';
            out[pos++] = hex_digits[c >> 4];
            out[pos++] = hex_digits[c & 15];
        } else {
            out[pos++] = static_cast<char>(c);
        }
    }
    return pos;
}

void trace_dirent(uint32_t index) {
    static const char prefix[] = "Debug: Reading dirent ";
    char line[sizeof prefix + 24];
    memcpy(line, prefix, sizeof prefix - 1);
    // Printed as a signed number, like every %d of the trace.
    size_t pos = sizeof prefix - 1;
    pos += format_decimal(line + pos, static_cast<int32_t>(index));
    line[pos++] = '\n';
    append(line, pos);
}

void divert_stdout() { stdout_diverted = true; }

void flush_product() {
    size_t len = product_len;
    product_len = 0;
    if (quiet || len == 0) return;
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
        append(text, strlen(text));
        return;
    }
    flush_trace();
    write_out(1, text, strlen(text));
}

[[noreturn]] void end_run(int status) { throw run_ended{status}; }

[[noreturn]] void fail(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vtrace(fmt, args);
    va_end(args);
    end_run(255);
}

}  // namespace velmorin
