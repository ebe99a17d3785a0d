// Applying, removing and checking an XOR patch.
//
// A raw patch applies wherever it is put (XOR undoes itself). A checked
// patch says what it applies to: the entry's size and the hashes of its
// pixels before and after. Before the first pixel byte is written, one pass
// over the entry's pixels and the patch hashes what the entry holds and what
// it would hold, and the patch is refused unless that is what it was made
// for.
#include <algorithm>
#include <string>

#include "base/failure.h"
#include "base/trace.h"
#include "base/stdout.h"
#include "base/text.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "entry/entry.h"
#include "ops/bands.h"
#include "ops/ops.h"

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

// A checked patch against the entry: hashes of the pixels it holds, and of
// them XOR the patch.
struct patch_hashes {
    uint64_t held;
    uint64_t patched;
};

patch_hashes hash_pixels(const bgra_image& img, const byte_source& patch) {
    bands b = make_bands(img.bgra_datasize);
    pixel_hash held, patched;
    start_hash(held);
    start_hash(patched);
    for (int64_t at = 0; at < img.bgra_datasize; at += band_bytes) {
        size_t n = static_cast<size_t>(std::min(band_bytes, img.bgra_datasize - at));
        if (!read_source(img.payload, at, b.pixels.get(), n)) fail("%s", img.payload.short_message);
        if (!read_source(patch, at, b.mask.get(), n)) fail("%s", patch.short_message);
        feed_hash(held, b.pixels.get(), n);
        xor_into(b.pixels.get(), b.mask.get(), n);
        feed_hash(patched, b.pixels.get(), n);
    }
    return patch_hashes{hash_value(held), hash_value(patched)};
}

// The entry and a patch for it, read, with the patch's check block judged.
struct patch_run {
    bgra_image img;
    file_guard file;
    patch_input patch;
    check_block block;
    bool checked;  // a sound check block; otherwise a raw patch
};

// Reads the entry and the patch; a damaged check block ends the run, and so
// does a raw patch too short for the entry.
void start_patch_run(archive_file& archive, const located_entry& target, const char* path, patch_run* run) {
    run->img = read_bgra(archive, target);
    file_info info;
    if (!open_run_input(archive, path, run->file, &info)) fail("Unable to open %s for reading.\n", path);
    take_patch(archive, run->file, info, run->img.bgra_datasize, &run->patch);
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

// The name a check block holds, as the listing shows names: a name comes
// from a file, and may hold anything.
std::string shown(const std::string& name) {
    std::string out(4 * name.size() + 8, '\0');
    out.resize(escape_name(out.data(), reinterpret_cast<const uint8_t*>(name.data()), name.size()));
    return out;
}

// "the patch was made for NAME, a WxH image; this entry is WxH."
std::string other_size(const check_block& block, const bgra_image& img) {
    return "the patch was made for " + shown(block.name) + ", a " + std::to_string(block.width) + "x" +
           std::to_string(block.height) + " image; this entry is " + std::to_string(img.width) + "x" +
           std::to_string(img.height) + ".";
}

// Decides whether a checked patch may go from `from` to `to` (before and
// after for --xor, the other way for --unxor); ends the run if not.
void check_direction(const check_block& block, const bgra_image& img, const byte_source& body, uint64_t from,
                     uint64_t to, const char* already) {
    if (!same_size(block, img)) fail("Error: %s\n", other_size(block, img).c_str());
    patch_hashes h = hash_pixels(img, body);
    if (h.held == from)
        check_result(h.patched, to);
    else if (h.held == to)
        fail("%s", already);
    else
        fail("Error: this entry holds other pixels than the patch was made for; nothing was changed.\n");
    trace("Debug: the patch's checks passed.\n");
}

}  // namespace

write_plan plan_patch(archive_file& archive, const located_entry& target, const char* patch_path, bool undo) {
    patch_run run;
    start_patch_run(archive, target, patch_path, &run);
    const check_block& block = run.block;
    if (run.checked && undo)
        check_direction(block, run.img, run.patch.body, block.after, block.before,
                        "Error: the patch is not applied to this entry; nothing was changed.\n");
    else if (run.checked)
        check_direction(block, run.img, run.patch.body, block.before, block.after,
                        "Error: the patch is already applied to this entry; nothing was changed.\n");
    write_plan plan;
    plan.img = std::move(run.img);
    plan.input = std::move(run.file);
    plan.source.kind = source_kind::patched;
    plan.source.bytes = std::move(run.patch.body);
    return plan;
}

void apply_xor(archive_file& archive, const located_entry& target, const char* patch_path, bool undo) {
    write_plan plan = plan_patch(archive, target, patch_path, undo);
    apply_plan(archive, target, plan);
}

void check_patch(archive_file& archive, const located_entry& target, const char* patch_path) {
    patch_run run;
    start_patch_run(archive, target, patch_path, &run);
    const char* answer = run.checked ? "other\n" : "unchecked\n";
    // Why another: one line on the error stream; the answer stays one word.
    if (run.checked && !same_size(run.block, run.img)) {
        trace("other: %s\n", other_size(run.block, run.img).c_str());
    } else if (run.checked) {
        patch_hashes h = hash_pixels(run.img, run.patch.body);
        if (h.held == run.block.before) {
            check_result(h.patched, run.block.after);
            answer = "applicable\n";
        } else if (h.held == run.block.after) {
            check_result(h.patched, run.block.before);
            answer = "applied\n";
        } else {
            trace("other: this entry holds neither the pixels the patch applies to nor the ones it gives.\n");
        }
    }
    print_answer(answer);
}

}  // namespace velmorin
