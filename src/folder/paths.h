// The name <-> path rule of the folder modes: where under a folder an
// entry's picture goes, and which entry a file under it stands for. The
// same on every system, so that a folder made on one works on the other.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmorin {

// The longest part a common file system holds, in bytes.
constexpr size_t longest_part = 255;

// The parts of the path, relative to the folder, that a stored name is
// written at: the name split at each "/", each part escaped, ".png" after
// the last. A name with an empty part, or a part that is "." or "..", is
// one part, every "/" in it escaped.
std::vector<std::string> path_of_name(std::string_view name);

// The stored name a file stands for, from its path's parts relative to the
// folder, the last with its ".png" or ".bmp" (any letter case); false when
// it stands for none (another suffix, or a "%" without two hex digits).
bool name_of_path(const std::vector<std::string>& parts, std::string* name);

// The folder as typed, without the slashes that may end it; "/" stays. (A
// backslash is part of a name on POSIX; Windows takes "mod\/x" as "mod\x".)
std::string folder_path(std::string_view typed);

}  // namespace velmorin
