// Applying, removing and checking a bundle: every record found by its
// entry's exact name and judged before the first byte is written; then all
// of it written under one lock and one journal, or nothing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/commit.h"
#include "base/failure.h"
#include "base/hash.h"
#include "base/progress.h"
#include "base/stdout.h"
#include "base/text.h"
#include "base/trace.h"
#include "entry/entry.h"
#include "io/input.h"
#include "ops/bands.h"
#include "ops/ops.h"
#include "ops/workers.h"
#include "patch/bundle.h"
#include "patch/patch.h"

namespace velmorin {
namespace {

enum class record_state { applicable, applied, other, missing };
const char* const state_words[] = {"applicable", "applied", "other", "missing"};

// A record and what the archive holds for it.
struct judged_record {
    record_state state = record_state::missing;
    bool damaged = false;  // its entry holds one end, and its stream does not give the other
    bool unsound = false;  // its entry holds neither, and its stream does not inflate to S bytes
    uint32_t index = 0;    // its entry's place in the directory
    located_entry entry;
    bgra_image img;
};

struct bundle_file {
    file_guard file;
    file_info info{};
    byte_source bytes;
    bundle_index index;
};

// Opens and reads the bundle at `path`: a regular file, not the archive.
void open_bundle(const archive_file& archive, const char* path, bundle_file* b) {
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    file_info seen;
    if (describe_path(path, &seen) && !seen.regular) fail("Error: %s is not a regular file; a bundle must be one.\n", path);
    if (!open_run_input(path, b->file, &b->info)) fail("Error: unable to open %s for reading.\n", path);
    if (!b->info.regular) fail("Error: %s is not a regular file; a bundle must be one.\n", path);
    if (same_file(b->info, archive.info)) fail("Error: %s is the archive itself, not a bundle.\n", path);
    b->bytes.file = b->file.f;
    b->bytes.size = b->info.size;
    b->bytes.short_message = "Error reading the bundle.\n";
    bool read_failed = false;
    bundle_verdict verdict = read_bundle(b->bytes, &b->index, &read_failed);
    if (read_failed) fail("%s", b->bytes.short_message);
    if (verdict == bundle_verdict::damaged) fail("Error: the bundle is damaged.\n");
    if (verdict == bundle_verdict::other_version)
        fail("Error: the bundle is of version %u; this velmorin reads bundles of version %u.\n",
             static_cast<unsigned>(b->index.version), static_cast<unsigned>(bundle_version));
}

// Finds each record's entry: the first of its name in directory order, an
// image of the record's size, or the record is `other` (or `missing`).
std::vector<judged_record> find_entries(archive_file& archive, const bundle_index& index) {
    std::vector<judged_record> judged(index.records.size());
    std::unordered_map<std::string, size_t> by_name;
    for (size_t k = 0; k < index.records.size(); ++k) by_name.emplace(index.records[k].name, k);
    directory_walk walk;
    walked_entry e;
    header_reader headers;
    size_t found = 0;
    // Every name first: no entry's pixels may overlap any of them.
    start_walk(archive, false, &walk);
    check_names(walk);
    const directory_span whole = walked_span(walk);
    if (!seek_to(archive.handle.f, 0)) fail("Error reading header.\n");
    start_walk(archive, false, &walk);
    while (found < by_name.size() && next_entry(walk, &e)) {
        auto at = by_name.find(std::string(reinterpret_cast<const char*>(e.name), e.name_length));
        if (at == by_name.end() || judged[at->second].state != record_state::missing) continue;
        ++found;
        judged_record& j = judged[at->second];
        const bundle_record& r = index.records[at->second];
        j.state = record_state::other;
        j.index = e.index;
        j.entry = located_entry{e.entry, e.data_offset, r.name, whole};
        bool image = is_image(archive, headers, e.data_offset, e.entry, whole, &j.img);
        if (headers.unread) fail("Error reading BGRA header.\n");
        if (!image || static_cast<uint32_t>(j.img.width) != r.width || static_cast<uint32_t>(j.img.height) != r.height)
            continue;
        j.img.payload_offset = e.data_offset + bgra_header_size;
        j.state = record_state::applicable;  // for now: its pixels are still to be read
    }
    return judged;
}

// One pass over the entry's pixels and the record's stream: which end the
// entry holds, and whether the stream takes it to the other.
uint64_t judge_pixels(const bundle_file& b, const bundle_record& r, judged_record& j) {
    const bgra_image& img = j.img;
    size_t band = static_cast<size_t>(std::min<int64_t>(band_bytes, img.bgra_datasize));
    byte_buffer held = alloc_bytes(band), stream = alloc_bytes(band);
    record_inflater inflater(b.bytes, r, img.bgra_datasize);
    bool gives = true;
    pixel_hash h[2];
    start_hash(h[0]);
    start_hash(h[1]);
    for (int64_t at = 0; at < img.bgra_datasize;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(band), img.bgra_datasize - at));
        if (!read_source(img.payload, at, held.get(), n)) fail("%s", img.payload.short_message);
        feed_hash(h[0], held.get(), n);
        gives = gives && inflater.next(stream.get(), n);
        if (gives) {
            xor_into(stream.get(), held.get(), n);
            feed_hash(h[1], stream.get(), n);
        }
        at += static_cast<int64_t>(n);
    }
    gives = gives && inflater.ends();
    if (inflater.read_failed()) fail("%s", b.bytes.short_message);
    uint64_t holds = hash_value(h[0]), gave = hash_value(h[1]);
    if (holds == r.before) {
        j.state = record_state::applicable;
        j.damaged = !gives || gave != r.after;
    } else if (holds == r.after) {
        j.state = record_state::applied;
        j.damaged = !gives || gave != r.before;
    } else {
        j.state = record_state::other;
        j.unsound = !gives;
    }
    return static_cast<uint64_t>(img.bgra_datasize);
}

// A record whose entry holds neither end: its stream must still inflate to
// exactly its S bytes, or the bundle is damaged.
uint64_t check_stream(const bundle_file& b, const bundle_record& r, judged_record& j) {
    constexpr uint64_t most = static_cast<uint64_t>(INT64_MAX) / 4;
    const uint64_t pixels = static_cast<uint64_t>(r.width) * r.height;  // at most (2^32 - 1)^2: no wrap
    if (pixels > most) {
        j.unsound = true;
        return 0;
    }
    const int64_t size = static_cast<int64_t>(pixels * 4);
    record_inflater inflater(b.bytes, r, size);
    byte_buffer band = alloc_bytes(static_cast<size_t>(std::min<int64_t>(band_bytes, std::max<int64_t>(size, 1))));
    bool whole = true;
    for (int64_t at = 0; whole && at < size;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(band_bytes, size - at));
        whole = inflater.next(band.get(), n);
        at += static_cast<int64_t>(n);
    }
    whole = whole && inflater.ends();
    if (inflater.read_failed()) fail("%s", b.bytes.short_message);
    j.unsound = !whole;
    return static_cast<uint64_t>(size);
}

// Every record judged, two at a time; a damaged one ends the run.
std::vector<judged_record> judge_bundle(archive_file& archive, const bundle_file& b) {
    std::vector<judged_record> judged = find_entries(archive, b.index);
    {
        progress_line progress;
        start_progress(progress, judged.size());
        worker_pool workers(progress);
        for (size_t k = 0; k < judged.size(); ++k) {
            judged_record& j = judged[k];
            const bundle_record& r = b.index.records[k];
            if (j.state != record_state::applicable) {
                workers.hand_over([&b, &r, &j] { return check_stream(b, r, j); });
                continue;
            }
            open_payload(archive, j.img);
            workers.hand_over([&b, &r, &j] { return judge_pixels(b, r, j); });
        }
        workers.finish();
        end_progress(progress);
    }
    for (const judged_record& j : judged)
        if (j.unsound) fail("Error: the bundle is damaged.\n");
    for (size_t k = 0; k < judged.size(); ++k)
        if (judged[k].damaged)
            fail("Error: the bundle is damaged: the record for %s does not give the pixels it was made for; nothing "
                 "was changed.\n",
                 shown_name(b.index.records[k].name).c_str());
    return judged;
}

std::string state_line(const judged_record& j, const bundle_record& r) {
    return std::string(state_words[static_cast<int>(j.state)]) + "\t" + shown_name(r.name) + "\n";
}

// Writes every record's stream into its entry, under one journal, in
// directory order; `gives` is the hash each entry must then hold.
void write_bundle(archive_file& archive, const bundle_file& b, const std::vector<judged_record>& judged, bool undo) {
    std::vector<size_t> order(judged.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return judged[x].index < judged[y].index; });
    journal_plan journaled;
    for (size_t k : order)
        journal_entry(journaled, judged[k].entry.directory,
                      journal_range{judged[k].img.payload_offset, judged[k].img.bgra_datasize, judged[k].entry.name});
    commit_ranges(
        archive, journaled,
        [&](size_t n, payload_write& out) {
            const judged_record& j = judged[order[n]];
            const bundle_record& r = b.index.records[order[n]];
            // A failure half-way through many says which entry it was writing.
            const std::string shown = shown_name(r.name);
            failure_context writing(order.size() > 1 ? shown.c_str() : nullptr);
            const bgra_image& img = j.img;
            size_t band = static_cast<size_t>(std::min<int64_t>(band_bytes, img.bgra_datasize));
            byte_buffer held = alloc_bytes(band), stream = alloc_bytes(band);
            record_inflater inflater(b.bytes, r, img.bgra_datasize);
            pixel_hash h;
            start_hash(h);
            const char* changed = "Error: the bundle changed while it was applied; nothing was changed.\n";
            for (int64_t at = 0; at < img.bgra_datasize;) {
                size_t len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(band), img.bgra_datasize - at));
                if (!read_source(img.payload, at, held.get(), len)) payload_read_failed(out, img.payload.short_message);
                if (!inflater.next(stream.get(), len)) {
                    if (inflater.read_failed()) payload_read_failed(out, b.bytes.short_message);
                    fail("%s", changed);
                }
                bool same = all_zero(stream.get(), len);
                xor_into(held.get(), stream.get(), len);
                feed_hash(h, held.get(), len);
                if (same) keep_at(out, len);
                else write_at(out, held.get(), len);
                at += static_cast<int64_t>(len);
            }
            bool ends = inflater.ends();
            if (!ends && inflater.read_failed()) payload_read_failed(out, b.bytes.short_message);
            if (!ends || hash_value(h) != (undo ? r.before : r.after)) fail("%s", changed);
        },
        [] {});
}

}  // namespace

void check_bundle(archive_file& archive, const char* bundle_path) {
    bundle_file b;
    open_bundle(archive, bundle_path, &b);
    std::vector<judged_record> judged = judge_bundle(archive, b);
    std::string lines;
    for (size_t k = 0; k < judged.size(); ++k) lines += state_line(judged[k], b.index.records[k]);
    print_answer(lines.c_str());
}

void apply_bundle(archive_file& archive, const char* bundle_path, bool undo) {
    bundle_file b;
    open_bundle(archive, bundle_path, &b);
    std::vector<judged_record> judged = judge_bundle(archive, b);
    const record_state wanted = undo ? record_state::applied : record_state::applicable;
    const record_state done = undo ? record_state::applicable : record_state::applied;
    auto all = [&](record_state s) {
        return std::all_of(judged.begin(), judged.end(), [s](const judged_record& j) { return j.state == s; });
    };
    if (all(done))
        fail(undo ? "Error: the bundle is not applied to this archive; nothing was changed.\n"
                  : "Error: the bundle is already applied to this archive; nothing was changed.\n");
    if (!all(wanted)) {
        unsigned misfits = 0;
        for (size_t k = 0; k < judged.size(); ++k) {
            if (judged[k].state == wanted) continue;
            ++misfits;
            trace("%s", state_line(judged[k], b.index.records[k]).c_str());
        }
        fail("Error: the bundle does not fit this archive (%u of %u entries); nothing was changed.\n", misfits,
             static_cast<unsigned>(judged.size()));
    }
    write_bundle(archive, b, judged, undo);
    trace(undo ? "Removed %s from %s: %u entries put back.\n" : "Applied %s to %s: %u entries changed.\n", bundle_path,
          archive.path, static_cast<unsigned>(judged.size()));
}

}  // namespace velmorin
