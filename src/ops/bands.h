// The one way a mode's new pixels move: from a source, band by band, in
// order, to wherever the mode puts them (the entry's pixels in the archive,
// or a patch file).
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/commit.h"
#include "base/buffers.h"
#include "base/hash.h"
#include "base/sources.h"
#include "bmp/convert.h"
#include "entry/entry.h"
#include "io/input.h"
#include "ops/ops.h"
#include "png/source.h"

namespace velmorin {

// An image input (pack, --mkxor, --mkpatch) and what it is: the one place
// that tells a PNG (by its signature) from a BMP (anything else).
struct image_input {
    file_guard file;
    file_info info{};
    bool opened = false;
    uint8_t start[png_signature_size];  // its first bytes
    bool png = false;
};

// Opens the image at `path` (open_run_input()); false when it cannot be.
[[nodiscard]] bool open_image(const char* path, image_input* in);

// Reads its first bytes ("Error reading bmp header." when it holds fewer)
// and tells what it is.
void read_image_start(image_input& in);

// Where the new pixels come from. A plain value: a mode's plan holds one.
enum class source_kind {
    bmp,      // a BMP's pixel bytes, converted by the size rules (plan)
    png,      // a PNG, read a second time (png)
    patched,  // the entry's own pixels XOR a patch's first S bytes (bytes)
};

struct pixel_source {
    source_kind kind = source_kind::bmp;
    pixel_plan plan{};
    byte_source bytes;  // the BMP's pixel bytes, or the patch
    png_pixels png;
    std::vector<uint64_t> seen;  // a checked patch: its spans' hashes when it was checked
    size_t next_span = 0;
};

// The length of the band that starts at `at` (at most band_bytes).
size_t band_at(const pixel_source& src, const bgra_image& img, int64_t at);

// The new pixels [at, at + n) of the entry `img`, into `out`; `scratch`
// holds a band. nullptr, or the message of what could not be read.
const char* fill_band(pixel_source& src, const bgra_image& img, int64_t at, size_t n, uint8_t* out,
                      uint8_t* scratch);

// A band's buffers for the source.
struct band_buffers {
    byte_buffer bytes;
    byte_buffer scratch;
};
band_buffers make_band_buffers(const pixel_source& src, const bgra_image& img);

// Every band of the new pixels, in order, to put(at, bytes, n); a band that
// cannot be had goes to failed(message), which ends the run.
template <typename Put, typename Failed>
void move_bands(pixel_source& src, const bgra_image& img, Put&& put, Failed&& failed) {
    band_buffers b = make_band_buffers(src, img);
    for (int64_t at = 0; at < img.bgra_datasize;) {
        size_t n = band_at(src, img, at);
        if (const char* message = fill_band(src, img, at, n, b.bytes.get(), b.scratch.get())) failed(message);
        put(at, b.bytes.get(), n);
        at += static_cast<int64_t>(n);
    }
}

// ---- the writing modes: decide, then apply ------------------------------------

// What a run that writes the entry's pixels will write, decided before its
// first byte: the entry as it is, the input the new pixels come from, and
// how they come. Every refusal is made while it is planned.
struct write_plan {
    std::string name;            // the entry's full stored name
    directory_span directory{0, 0};  // the directory bytes read to find it
    bgra_image img;
    file_guard input;
    pixel_source source;
    bool says_updated = false;  // pack ends with "Debug: data updated."
};

// Pack: the image (a PNG, or a BMP) at `image_path` over the entry's pixels,
// planned into `plan`, which is not to be moved then (its PNG reader points
// into it).
void plan_pack(archive_file& archive, const located_entry& target, const char* image_path, write_plan& plan);

// --xor (or, `undo`, --unxor): the patch at `patch_path` XORed into them.
write_plan plan_patch(archive_file& archive, const located_entry& target, const char* patch_path, bool undo);

// The plan's new pixels band by band beside the entry's own, to
// put(at, fresh, old, n) (`old` may be changed); a band that cannot be had
// goes to failed(message), which ends the run. The hash of the new pixels.
template <typename Put, typename Failed>
uint64_t beside_entry(write_plan& plan, Put&& put, Failed&& failed) {
    const bgra_image& img = plan.img;
    byte_buffer old = alloc_bytes(static_cast<size_t>(std::min<int64_t>(band_bytes, img.bgra_datasize)));
    pixel_hash h;
    start_hash(h);
    move_bands(
        plan.source, img,
        [&](int64_t at, const uint8_t* fresh, size_t n) {
            feed_hash(h, fresh, n);
            if (!read_source(img.payload, at, old.get(), n)) failed(img.payload.short_message);
            put(at, fresh, old.get(), n);
        },
        failed);
    return hash_value(h);
}

// Adds an entry's range to a journal's plan, with the directory bytes read
// to find it.
void journal_entry(journal_plan& plan, const directory_span& directory, journal_range range);

// Writes the ranges of `journaled` in place under one journal, with the
// signals that would stop the run held: `write_range(k, out)` writes range
// k's payload through `out`. Whatever stops it, what went out is put back;
// otherwise the archive is made durable and closed, the journal removed,
// and `after` runs, the signals still held. Over more than one range, a
// progress line shows on a terminal.
void commit_ranges(archive_file& archive, const journal_plan& journaled,
                   const std::function<void(size_t, payload_write&)>& write_range, const std::function<void()>& after);

// Writes the plan's pixels over the entry's, and closes the archive.
void apply_plan(archive_file& archive, write_plan& plan);

}  // namespace velmorin
