// Numbers and names as the tool writes them, fast: a listing writes five
// numbers and a name for each of a million entries.
#include "base/text.h"

#include <bit>
#include <cstring>

namespace velmorin {
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

std::string shown_name(const std::string& name) {
    std::string out(4 * name.size() + 8, '\0');
    out.resize(escape_name(out.data(), reinterpret_cast<const uint8_t*>(name.data()), name.size()));
    return out;
}

}  // namespace velmorin
