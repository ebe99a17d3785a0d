// Numbers and names as the tool writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmorin {

// Writes `value` in decimal at `out` (room for 20 characters); returns the
// count written.
size_t format_decimal(char* out, int64_t value);

// Writes a stored name as the listing shows it: \ tab newline and carriage
// return as \\ \t \n \r, other control bytes and 0x7f as \xhh, the rest as
// stored. `out` has room for four characters a byte, and eight more.
size_t escape_name(char* out, const uint8_t* name, size_t length);

// A name from a file (a check block, a journal) as the listing shows names:
// it may hold anything.
std::string shown_name(const std::string& name);

}  // namespace velmorin
