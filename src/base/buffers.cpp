#include "base/buffers.h"

#include <new>

#include "base/failure.h"

namespace velmorin {

byte_buffer alloc_bytes(size_t count) {
    byte_buffer buf(new (std::nothrow) uint8_t[count == 0 ? 1 : count]);
    if (!buf) fail("Error: out of memory.\n");
    return buf;
}

}  // namespace velmorin
