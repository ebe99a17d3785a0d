// Fuzzes the BMP and patch handling against a well-formed archive whose
// image entry's geometry and stored length come from the input.
#include <cstddef>
#include <cstdint>

#include "fixture/fixture.h"
#include "fuzz_input.h"
#include "fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input::image_input in = fuzz_input::split_image(data, size);
    fixture::entry img = fixture::image("img", in.width, in.height, 5);
    img.length = static_cast<uint32_t>(static_cast<int64_t>(img.data.size()) + in.slack);
    fixture::archive a = fixture::build_archive(
        {fixture::entry{"readme", {'h', 'i'}, std::nullopt}, img, fixture::image("tail", 2, 2, 6)});
    bool checking = (in.mode & 3) == fuzz_input::mode_pack && (in.mode & fuzz_input::checked);
    bool patch_input = (in.mode & 3) == fuzz_input::mode_xor || checking;
    fuzz_run::run(in.mode, "img", a.data, patch_input ? in.patch : in.bmp, true);
    return 0;
}
