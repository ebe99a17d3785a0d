// Listing an archive's entries on standard output, one line each:
//   INDEX \t OFFSET \t LENGTH \t IMAGE \t NAME \n
// IMAGE is WxH for an entry the other modes would take as an image, - for
// any other. NAME is the stored bytes with \ tab newline and carriage return
// written \\ \t \n \r, other control bytes and 0x7f as \xhh, the rest as
// stored (so UTF-8 names stay readable).
#include "entry/entry.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

size_t escape_name(char* out, const uint8_t* name, size_t length) {
    size_t pos = 0;
    for (size_t k = 0; k < length; ++k) {
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
    directory_walk walk;
    start_walk(archive, false, &walk);
    walked_entry e;
    // Three numbers, WxH, four separators and a name of at most 511 bytes,
    // each written in at most four characters.
    char line[4 * 22 + 4 * name_capacity];
    while (next_entry(walk, &e)) {
        size_t n = format_decimal(line, e.index);
        line[n++] = '\t';
        n += format_decimal(line + n, e.data_offset);
        line[n++] = '\t';
        n += format_decimal(line + n, e.entry.length);
        line[n++] = '\t';
        bgra_image img;
        if (is_image(archive, e.data_offset, e.entry, &img)) {
            n += format_decimal(line + n, img.width);
            line[n++] = 'x';
            n += format_decimal(line + n, img.height);
        } else {
            line[n++] = '-';
        }
        line[n++] = '\t';
        n += escape_name(line + n, e.name, e.name_length);
        line[n++] = '\n';
        put_product(line, n);
    }
    flush_product();
    finish(0);
}

}  // namespace velmorin
