// Fuzzes the whole tool: archive, entry name, BMP or patch, and mode all
// come from the input.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input::tool_input in = fuzz_input::split_tool(data, size);
    bool xor_mode = (in.mode & 3) == fuzz_input::mode_xor;
    fuzz_run::run(in.mode, in.name, in.archive, xor_mode ? in.patch : in.bmp);
    return 0;
}
