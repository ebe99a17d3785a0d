#include "ops/bands.h"

#include "base/progress.h"

#include <algorithm>

#include "archive/commit.h"
#include "base/failure.h"
#include "base/trace.h"
#include "patch/patch.h"

namespace velmorin {

bool open_image(const char* path, image_input* in) {
    in->opened = open_run_input(path, in->file, &in->info);
    return in->opened;
}

void read_image_start(image_input& in) {
    if (read_full(in.file.f, in.start, sizeof in.start) != static_cast<int64_t>(sizeof in.start))
        fail("Error reading bmp header.\n");
    in.png = in.opened && is_png_signature(in.start);
}

size_t band_at(const pixel_source& src, const bgra_image& img, int64_t at) {
    switch (src.kind) {
        case source_kind::bmp:
            return band_length(src.plan, at);
        default:
            return span_length(img, at);
    }
}

const char* fill_band(pixel_source& src, const bgra_image& img, int64_t at, size_t n, uint8_t* out,
                      uint8_t* scratch) {
    switch (src.kind) {
        case source_kind::bmp:
            return convert_band(src.plan, src.bytes, img.payload, at, n, out, scratch);
        case source_kind::png:
            return png_span(src.png, img, at, n, out);
        default:
            if (!read_source(img.payload, at, out, n)) return img.payload.short_message;
            if (!read_source(src.bytes, at, scratch, n)) return src.bytes.short_message;
            // A patch another program changed since it was checked.
            if (!src.seen.empty() && hash_bytes(scratch, n) != src.seen[src.next_span++])
                fail("Error: the patch changed while it was applied; nothing was changed.\n");
            xor_into(out, scratch, n);
            return nullptr;
    }
}

band_buffers make_band_buffers(const pixel_source& src, const bgra_image& img) {
    // The conversion's scratch may hold a whole band of the BMP's bytes.
    size_t n = static_cast<size_t>(std::min(band_bytes, static_cast<int64_t>(img.bgra_datasize)));
    if (src.kind == source_kind::bmp) return band_buffers{alloc_bytes(band_bytes), alloc_bytes(band_bytes)};
    return band_buffers{alloc_bytes(n), alloc_bytes(src.kind == source_kind::png ? 0 : n)};
}

void journal_entry(journal_plan& plan, const directory_span& directory, journal_range range) {
    if (plan.ranges.empty()) plan.directory = directory;
    plan.directory.start = std::min(plan.directory.start, directory.start);
    plan.directory.end = std::max(plan.directory.end, directory.end);
    plan.ranges.push_back(std::move(range));
}

void commit_ranges(archive_file& archive, const journal_plan& journaled,
                   const std::function<void(size_t, payload_write&)>& write_range, const std::function<void()>& after) {
    held_signals held;
    progress_line progress;
    // A progress line for a run over many entries.
    if (journaled.ranges.size() > 1) start_progress(progress, journaled.ranges.size());
    payload_write out = start_write(archive, journaled);
    try {
        uint64_t bytes = 0;
        for (size_t k = 0; k < journaled.ranges.size(); ++k) {
            if (k > 0) start_range(out, k);
            write_range(k, out);
            bytes += static_cast<uint64_t>(journaled.ranges[k].length);
            show_progress(progress, k + 1, bytes);
        }
    } catch (...) {
        abandon_write(out);
        throw;
    }
    end_progress(progress);
    finish_write(out);
    if (archive.handle.close_now() != 0) fail("Critical error closing archive file\n");
    after();
}

void apply_plan(archive_file& archive, write_plan& plan) {
    const bgra_image& img = plan.img;
    journal_plan journaled{plan.directory, {journal_range{img.payload_offset, img.bgra_datasize, plan.name}}};
    commit_ranges(
        archive, journaled,
        [&](size_t, payload_write& out) {
            move_bands(
                plan.source, img, [&](int64_t, const uint8_t* bytes, size_t n) { write_at(out, bytes, n); },
                [&](const char* message) { payload_read_failed(out, message); });
        },
        [&] {
            // The input's close says nothing about the pixels written.
            (void)plan.input.close_now();
            if (plan.says_updated) trace("Debug: data updated.\n");
        });
}

}  // namespace velmorin
