// Fuzzes the bundle reader and the bundle modes: the first byte picks
// --check, --apply or --remove, the rest is the bundle, run on one archive
// of three images (its entries' pixels are what a bundle may change).
#include <cstddef>
#include <cstdint>

#include "fixture/fixture.h"
#include "fuzz_run.h"

namespace {

struct target {
    fixture::archive a;
    std::vector<std::pair<size_t, size_t>> pixels;
};

const target& the_archive() {
    static const target* t = [] {
        auto* made = new target;
        made->a = fixture::bundle_fuzz_archive();
        for (size_t k : {size_t{1}, size_t{2}, size_t{3}}) {
            size_t at = made->a.at.data_offset[k] + 16;
            made->pixels.push_back({at, at + (k == 3 ? 12 : 16)});
        }
        return made;
    }();
    return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    fuzz_run::run_bundle(data[0], the_archive().a.data, fuzz_input::bytes(data + 1, data + size), the_archive().pixels);
    return 0;
}
