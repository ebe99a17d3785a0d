// Standard output: text lines, answers a script reads, and the listing that
// is a run's product there.
#pragma once

#include <cstddef>

namespace velmorin {

// Writes text on standard output, after flushing what the error stream holds
// so the two keep their order when they share a file.
void print_stdout(const char* text);

// An answer a script reads (a word, the usage text, the version): written
// whole on standard output, or the run ends with status 255, as a listing
// does.
void print_answer(const char* text);

// From now on print_stdout() text goes to the error stream: standard output
// is the file the run writes its product to.
void divert_stdout();

// Standard output as the run's product (a listing): buffered, and a failed
// write ends the run with status 255, saying so on the error stream unless
// the reader has simply gone. The product is written in place: room for up
// to `max` bytes (at most 64 KiB), then the count actually written.
char* product_room(size_t max);
void product_commit(size_t len);
void flush_product();

}  // namespace velmorin
