// Making a bundle from a folder laid out by the name <-> path rule: one
// record for each picture whose pixels, converted by pack's rules, differ
// from its entry's. Two workers each read a picture beside its entry and
// compress the XOR of the two; the records go out in directory order. The
// archive is only read.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/hash.h"
#include "base/progress.h"
#include "base/trace.h"
#include "folder/paths.h"
#include "io/output.h"
#include "ops/bands.h"
#include "ops/folder_files.h"
#include "ops/ops.h"
#include "ops/workers.h"
#include "patch/bundle.h"
#include "patch/patch.h"

namespace velmorin {
namespace {

// A picture made into its record: its compressed stream in a temporary
// file, when its pixels differ from the entry's.
struct bundle_piece {
    located_entry entry;
    std::string path;
    write_plan plan;
    bundle_record record;
    bool differs = false;
    file_guard stream;
    std::atomic<bool> ready{false};
};

[[noreturn]] void temporary_write_failed() {
    int err = errno != 0 ? errno : EIO;
    fail("Error: cannot write a temporary file: errno=%d(%s)\n", err, strerror(err));
}

void keep_stream(bundle_piece& p, const uint8_t* bytes, size_t n) {
    if (write_full(p.stream.f, bytes, n) != static_cast<int64_t>(n)) temporary_write_failed();
    p.record.stream_size += static_cast<int64_t>(n);
}

// A record's stream begun at the first band that differs, `at`: its
// temporary file opened, and the zeros before it compressed.
std::unique_ptr<record_deflater> start_stream(bundle_piece& p, int64_t at) {
    p.stream = file_guard(open_temporary());
    if (!is_open(p.stream.f)) temporary_write_failed();
    auto deflater =
        std::make_unique<record_deflater>([&p](const uint8_t* bytes, size_t count) { keep_stream(p, bytes, count); });
    std::vector<uint8_t> zeros(static_cast<size_t>(std::min<int64_t>(band_bytes, std::max<int64_t>(at, 1))));
    for (int64_t done = 0; done < at;) {
        size_t k = static_cast<size_t>(std::min<int64_t>(at - done, static_cast<int64_t>(zeros.size())));
        deflater->feed(zeros.data(), k);
        done += static_cast<int64_t>(k);
    }
    return deflater;
}

// Reads the picture beside the entry's pixels; from the first band that
// differs, compresses their XOR (the bands before it are zeros).
uint64_t make_piece(bundle_piece& p) {
    failure_context in_file(p.path.c_str());
    const bgra_image& img = p.plan.img;
    pixel_hash before;
    start_hash(before);
    std::unique_ptr<record_deflater> deflater;
    uint64_t after = beside_entry(
        p.plan,
        [&](int64_t at, const uint8_t* fresh, uint8_t* old, size_t n) {
            feed_hash(before, old, n);
            xor_into(old, fresh, n);
            if (!deflater && all_zero(old, n)) return;
            if (!deflater) deflater = start_stream(p, at);
            deflater->feed(old, n);
        },
        [](const char* message) { fail("%s", message); });
    p.differs = deflater != nullptr;
    if (deflater) deflater->finish();
    p.record = bundle_record{static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), hash_value(before),
                             after, 0, p.record.stream_size, p.entry.name};
    p.ready.store(true, std::memory_order_release);
    return static_cast<uint64_t>(img.bgra_datasize);
}

// The records made so far, one after another in a temporary file, and the
// count of them.
struct bundle_body {
    file_guard file = file_guard(open_temporary());
    int64_t size = 0;
    uint32_t count = 0;
    byte_buffer buf = alloc_bytes(256 * 1024);
};

void add_to_body(bundle_body& body, bundle_piece& p) {
    std::vector<uint8_t> head = encode_record_head(p.record);
    if (write_full(body.file.f, head.data(), head.size()) != static_cast<int64_t>(head.size()))
        temporary_write_failed();
    for (int64_t at = 0; at < p.record.stream_size;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(p.record.stream_size - at, 256 * 1024));
        if (pread_full(p.stream.f, body.buf.get(), n, at) != static_cast<int64_t>(n) ||
            write_full(body.file.f, body.buf.get(), n) != static_cast<int64_t>(n))
            temporary_write_failed();
        at += static_cast<int64_t>(n);
    }
    body.size += static_cast<int64_t>(head.size()) + p.record.stream_size;
    ++body.count;
    (void)p.stream.close_now();
}

// The pieces, in order, that are ready.
void take_ready(bundle_body& body, std::deque<std::shared_ptr<bundle_piece>>& pending) {
    while (!pending.empty() && pending.front()->ready.load(std::memory_order_acquire)) {
        if (pending.front()->differs) add_to_body(body, *pending.front());
        pending.pop_front();
    }
}

// The head, the records and the closing hash and magic, to the output.
void write_bundle_file(output_file& out, bundle_body& body) {
    uint8_t edge[bundle_head_size];
    encode_bundle_head(body.count, edge);
    pixel_hash h;
    start_hash(h);
    feed_hash(h, edge, sizeof edge);
    write_output(out, edge, sizeof edge);
    for (int64_t at = 0; at < body.size;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(body.size - at, 256 * 1024));
        if (pread_full(body.file.f, body.buf.get(), n, at) != static_cast<int64_t>(n)) {
            int err = errno;
            output_failed(out, ("Error: cannot read a temporary file: " + std::string(strerror(err)) + "\n").c_str());
        }
        feed_hash(h, body.buf.get(), n);
        write_output(out, body.buf.get(), n);
        at += static_cast<int64_t>(n);
    }
    encode_bundle_tail(hash_value(h), edge);
    write_output(out, edge, sizeof edge);
}

}  // namespace

void make_bundle(archive_file& archive, const char* typed, const char* output_path) {
    const std::string root = folder_path(typed);
    const char* folder = root.c_str();
    if (kind_of_path(folder) != path_kind::folder && kind_of_path(folder) != path_kind::link)
        fail("Error: %s is not a folder.\n", folder);
    folder_files files = collect_folder(folder, "--mkbundle");
    std::vector<std::pair<located_entry, std::string>> targets = match_folder(archive, files);
    std::vector<file_info> inputs;
    for (const folder_file& f : files.pictures) {
        file_info info;
        if (describe_path(f.path.c_str(), &info)) inputs.push_back(info);
    }
    // Refused before the work as well as when it is opened.
    file_info existing;
    if (describe_path(output_path, &existing) &&
        (same_file(existing, archive.info) ||
         std::any_of(inputs.begin(), inputs.end(), [&](const file_info& in) { return same_file(existing, in); })))
        fail("Error: %s is an input file; refusing to overwrite it.\n", output_path);
    bundle_body body;
    if (!is_open(body.file.f)) temporary_write_failed();
    {
        muted_narration quiet;
        progress_line progress;
        start_progress(progress, targets.size());
        worker_pool workers(progress);
        std::deque<std::shared_ptr<bundle_piece>> pending;
        for (auto& [entry, path] : targets) {
            auto p = std::make_shared<bundle_piece>();
            p->entry = entry;
            p->path = path;
            {
                failure_context at(path.c_str());
                plan_pack(archive, entry, path.c_str(), p->plan);
            }
            pending.push_back(p);
            workers.hand_over([p] { return make_piece(*p); });
            take_ready(body, pending);
        }
        workers.finish();
        take_ready(body, pending);
        end_progress(progress);
    }
    if (targets.empty()) fail("Error: there is no .png or .bmp file under %s; no bundle was written.\n", folder);
    if (body.count == 0)
        fail("Error: every picture under %s holds its entry's pixels already; no bundle was written.\n", folder);
    output_file out{output_path, {}, false, 0};
    open_output(out, archive, inputs, bundle_head_size + body.size + bundle_tail_size);
    write_bundle_file(out, body);
    close_output(out);
    trace("Made %s: %u records; %u pictures equal to their entry left out; %u other files ignored.\n", output_path,
          body.count, static_cast<unsigned>(targets.size()) - body.count, files.ignored);
}

}  // namespace velmorin
