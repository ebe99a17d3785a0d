#include "patch/verdict.h"

#include <algorithm>

#include "base/buffers.h"
#include "base/failure.h"
#include "base/text.h"
#include "base/trace.h"

namespace velmorin {
namespace {

// The entry's pixels and the patch, a band at a time.
struct bands {
    byte_buffer pixels;
    byte_buffer mask;
};

bands make_bands(int64_t size) {
    size_t capacity = static_cast<size_t>(std::min(band_bytes, size));
    return bands{alloc_bytes(capacity), alloc_bytes(capacity)};
}

}  // namespace

entry_hashes hash_pixels(const bgra_image& img, const byte_source& patch) {
    bands b = make_bands(img.bgra_datasize);
    pixel_hash held, patched;
    start_hash(held);
    start_hash(patched);
    std::vector<uint64_t> spans;
    each_span(img, false, [&](int64_t at, int64_t count) {
        size_t n = static_cast<size_t>(count);
        if (!read_source(img.payload, at, b.pixels.get(), n)) fail("%s", img.payload.short_message);
        if (!read_source(patch, at, b.mask.get(), n)) fail("%s", patch.short_message);
        spans.push_back(hash_bytes(b.mask.get(), n));
        feed_hash(held, b.pixels.get(), n);
        xor_into(b.pixels.get(), b.mask.get(), n);
        feed_hash(patched, b.pixels.get(), n);
    });
    return entry_hashes{hash_value(held), hash_value(patched), std::move(spans)};
}

// Reads the entry and the patch; a damaged check block ends the run, and so
// does a raw patch too short for the entry.
void start_patch_run(archive_file& archive, const located_entry& target, const char* path, patch_run* run) {
    run->img = read_bgra(archive, target);
    file_info info;
    if (!open_run_input(path, run->file, &info)) fail("Unable to open %s for reading.\n", path);
    read_patch(archive, run->file, info, run->img.bgra_datasize, &run->patch);
    open_payload(archive, run->img);
    const patch_input& patch = run->patch;
    patch_end end{patch.total, patch.tail.get(), patch.tail_size, patch.after, patch.after_size};
    check_verdict verdict = judge_patch(end, run->img.width, run->img.height, &run->block);
    if (verdict == check_verdict::damaged) fail("Error: the patch's check block is damaged.\n");
    if (verdict == check_verdict::other_version)
        fail("Error: the patch's check block has version %u; this velmorin reads version 1.\n", run->block.version);
    if (verdict == check_verdict::raw && !patch.whole) fail("%s", patch.body.short_message);
    run->checked = verdict == check_verdict::sound;
}

// The entry holds what the patch starts from, so XORing it must give what
// it was made to give.
void check_result(uint64_t patched, uint64_t expected) {
    if (patched != expected)
        fail("Error: the patch is damaged: it does not give the pixels it was made for; nothing was changed.\n");
}

bool same_size(const check_block& block, const bgra_image& img) {
    return block.width == img.width && block.height == img.height;
}


// "the patch was made for NAME, a WxH image; this entry is WxH."
std::string other_size(const check_block& block, const bgra_image& img) {
    return "the patch was made for " + shown_name(block.name) + ", a " + std::to_string(block.width) + "x" +
           std::to_string(block.height) + " image; this entry is " + std::to_string(img.width) + "x" +
           std::to_string(img.height) + ".";
}

// Decides whether a checked patch may go from `from` to `to` (before and
// after for --xor, the other way for --unxor); ends the run if not.
std::vector<uint64_t> check_direction(const check_block& block, const bgra_image& img, const byte_source& body, uint64_t from,
                     uint64_t to, const char* already) {
    if (!same_size(block, img)) fail("Error: %s\n", other_size(block, img).c_str());
    entry_hashes h = hash_pixels(img, body);
    if (h.held == from)
        check_result(h.patched, to);
    else if (h.held == to)
        fail("%s", already);
    else
        fail("Error: this entry holds other pixels than the patch was made for; nothing was changed.\n");
    trace("Debug: the patch's checks passed.\n");
    return std::move(h.patch_spans);
}


}  // namespace velmorin
