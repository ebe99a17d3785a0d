// Fuzzes the whole tool: archive, entry name, BMP or patch, and mode all
// come from the input. Bits 3-7 of the mode byte, when not zero, pick a
// data offset to aim the matched entry at: the dirent length just before it
// is solved so that the offset, taken in 32 bits, lands on an extreme (past
// 2^31, on -1, onto an earlier entry, at the file's end, on the directory).
#include <cstddef>
#include <cstdint>

#include "fixture/fixture.h"
#include "fuzz_input.h"
#include "fuzz_run.h"

namespace {

void aim_offset(fuzz_input::tool_input& in) {
    unsigned pick = in.mode >> 3;
    if (pick == 0) return;
    fixture::walk_model m = fixture::model_walk(in.archive, in.name);
    if (!m.found || m.index == 0) return;
    size_t before_at = m.dirent_length_at - 32;
    int64_t others = static_cast<int64_t>(m.data_offset) - fixture::get_u32(in.archive, before_at);
    int64_t size = static_cast<int64_t>(in.archive.size());
    int64_t dir = static_cast<int64_t>(m.dir_offset), dir_end = dir + static_cast<int64_t>(m.dir_size);
    int64_t second = 16 + static_cast<int64_t>(fixture::get_u32(in.archive, m.dir_offset + 32 + 16));
    // The first ones are a single bit flip away from an unaimed mode byte.
    const int64_t targets[] = {(int64_t{1} << 32) + 16,
                               -1,
                               0,
                               int64_t{1} << 31,
                               -16,
                               15,
                               INT32_MAX,
                               dir - 16,
                               (int64_t{1} << 32) + second,
                               size - 1,
                               size,
                               size + 1,
                               size - 16,
                               size - 17,
                               dir - 17,
                               dir_end - 16,
                               dir,
                               dir - 1,
                               dir_end - 1,
                               dir_end};
    int64_t target = targets[(pick - 1) % (sizeof targets / sizeof targets[0])];
    fixture::put_u32(in.archive, before_at, static_cast<uint32_t>(target - others));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input::tool_input in = fuzz_input::split_tool(data, size);
    aim_offset(in);
    bool xor_mode = (in.mode & 3) == fuzz_input::mode_xor;
    fuzz_run::run(in.mode, in.name, in.archive, xor_mode ? in.patch : in.bmp);
    return 0;
}
