// Listing an archive's entries on standard output, one line each:
//   INDEX \t OFFSET \t LENGTH \t IMAGE \t NAME \n
// IMAGE is WxH for an entry the other modes would take as an image, - for
// any other. NAME is the stored bytes with \ tab newline and carriage return
// written \\ \t \n \r, other control bytes and 0x7f as \xhh, the rest as
// stored (so UTF-8 names stay readable).
#include <cstring>

#include "base/failure.h"
#include "base/stdout.h"
#include "base/text.h"
#include "entry/entry.h"
#include "ops/ops.h"

namespace velmorin {

void list_entries(archive_file& archive) {
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
        if (is_image(archive, headers, e.data_offset, e.entry, walked_span(walk), &img)) {
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
}

}  // namespace velmorin
