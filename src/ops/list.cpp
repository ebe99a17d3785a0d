// Listing an archive's entries on standard output, one line each:
//   INDEX \t OFFSET \t LENGTH \t IMAGE \t NAME \n
// IMAGE is WxH for an entry the other modes would take as an image, - for
// any other. NAME is the stored bytes with \ tab newline and carriage return
// written \\ \t \n \r, other control bytes and 0x7f as \xhh, the rest as
// stored (so UTF-8 names stay readable).
#include <cstring>

#include "entry/entry.h"
#include "ops/ops.h"

namespace velmorin {
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

}  // namespace

[[noreturn]] void list_entries(archive_file& archive) {
    // The whole directory is read once before a line is printed: a damaged
    // one prints its message and no listing at all.
    directory_walk walk;
    walked_entry e;
    start_walk(archive, false, &walk);
    check_names(walk);
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    header_reader headers;
    // Three numbers, WxH, four separators and a name of at most 511 bytes,
    // each written in at most four characters.
    constexpr size_t longest_line = 4 * 22 + 4 * name_capacity + 8;
    while (next_entry(walk, &e)) {
        char* line = product_room(longest_line);
        size_t n = format_decimal(line, e.index);
        line[n++] = '\t';
        n += format_decimal(line + n, e.data_offset);
        line[n++] = '\t';
        n += format_decimal(line + n, e.entry.length);
        line[n++] = '\t';
        bgra_image img;
        if (is_image(archive, headers, e.data_offset, e.entry, &img)) {
            n += format_decimal(line + n, img.width);
            line[n++] = 'x';
            n += format_decimal(line + n, img.height);
        } else {
            line[n++] = '-';
        }
        line[n++] = '\t';
        n += escape_name(line + n, e.name, e.name_length);
        line[n++] = '\n';
        product_commit(n);
    }
    flush_product();
    finish(0);
}

}  // namespace velmorin
