// The export's PNG writer, for the modes that export (export.cpp).
#pragma once

#include <functional>

#include "entry/entry.h"
#include "io/output.h"

namespace velmorin {

// Writes the entry's pixels (width and height not 0) to `out` as an 8-bit
// RGBA PNG, opening it with `open` once everything the writing needs is had.
// Whether any pixel's alpha is not 0.
bool write_png(const bgra_image& img, output_file& out, const std::function<void(output_file&)>& open);

}  // namespace velmorin
