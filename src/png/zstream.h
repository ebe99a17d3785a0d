// The zlib stream behind a PNG reader or writer: only png/ sees zlib.
#pragma once

#include <zlib.h>

#include "png/png.h"

namespace velmorin {

struct png_zstream {
    z_stream s{};
};

}  // namespace velmorin
