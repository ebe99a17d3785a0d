#include "base/failure.h"
#include "base/stdout.h"
#include "base/buffers.h"
#include "io/output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmorin {
namespace {

bool is_input(const file_info& out, const archive_file& archive, const std::vector<file_info>& others) {
    return same_file(out, archive.info) ||
           std::any_of(others.begin(), others.end(), [&](const file_info& in) { return same_file(out, in); });
}

[[noreturn]] void open_failed(const char* path) {
    int err = errno;
    fail("Error %d(%s) opening %s\n", err, strerror(err), path);
}

// Cuts the output to the bytes the run wrote, before a failure, and short of
// where it would read as whole: a checked patch that failed in its check
// block must not read as the raw patch it holds.
void cut_output(const output_file& out) {
    int64_t keep = out.whole_at > 1 ? std::min(out.written, out.whole_at - 1) : out.written;
    if (out.regular) (void)!truncate_file(out.file.f, keep);
}

}  // namespace

void judge_output_streams(const file_info& info, const char* path) {
    stream_match err = is_stream(info, 2);
    // The message would land in the output itself: it is not shown.
    if (err != stream_match::no) silence_stream(2);
    if (err == stream_match::yes) fail("Error: %s is the error stream; refusing to write to it.\n", path);
    if (err == stream_match::unknown)
        fail("Error: cannot tell whether %s is the error stream; refusing to write to it.\n", path);
    if (is_stream(info, 1) != stream_match::no) divert_stdout();
}

void open_output(output_file& out, const archive_file& archive, const file_info* other_input, int64_t whole_at) {
    std::vector<file_info> others;
    if (other_input) others.push_back(*other_input);
    open_output(out, archive, others, whole_at);
}

void open_output(output_file& out, const archive_file& archive, const std::vector<file_info>& other_inputs,
                 int64_t whole_at) {
    file_info existing;
    if (describe_path(out.path, &existing) && is_input(existing, archive, other_inputs))
        fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);

    // Write-only: a FIFO then waits for its reader, as for any writer,
    // rather than taking the output at once and losing it when the run ends.
    out.file.f = create_output(out.path);
    if (!is_open(out.file.f)) open_failed(out.path);
    // Checked again once open, in case the path changed in between.
    file_info info;
    if (!describe_file(out.file.f, &info)) open_failed(out.path);
    if (is_input(info, archive, other_inputs)) fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);
    judge_output_streams(info, out.path);
    out.regular = info.regular;
    out.written = 0;
    out.whole_at = whole_at;
    int64_t keep = std::max<int64_t>(whole_at - 1, 0);
    if (out.regular && info.size > keep && !truncate_file(out.file.f, keep)) open_failed(out.path);
}

void open_new_output(output_file& out) {
    out.file.f = create_new(out.path);
    if (!is_open(out.file.f)) open_failed(out.path);
    out.regular = true;
    out.written = 0;
    out.whole_at = 1;
}

void write_output(output_file& out, const uint8_t* bytes, size_t count) {
    int64_t n = write_full(out.file.f, bytes, count);
    if (n > 0) out.written += n;
    if (n != static_cast<int64_t>(count)) {
        cut_output(out);
        fail("Error writing to %s\n", out.path);
    }
}

void output_failed(output_file& out, const char* message) {
    cut_output(out);
    fail("%s", message);
}

void close_output(output_file& out) {
    if (out.file.close_now() != 0) fail("Error closing %s\n", out.path);
}

namespace {

// Writes one band; false when it fell short.
bool write_band(band_writer& writer, int j) {
    int64_t n = write_full(writer.out->file.f, writer.slot[j].get(), writer.len[j]);
    if (n > 0) writer.out->written += n;
    return n == static_cast<int64_t>(writer.len[j]);
}

void write_bands(band_writer* writer) {
    std::unique_lock<std::mutex> held(writer->lock);
    for (int j = 0;; j ^= 1) {
        writer->changed.wait(held, [&] { return writer->full[j] || writer->closing; });
        if (!writer->full[j]) return;
        held.unlock();
        bool whole = write_band(*writer, j);
        held.lock();
        writer->full[j] = false;
        writer->failed = !whole;
        writer->changed.notify_all();
        if (writer->failed) return;
    }
}

// Lets the thread write what it holds and end.
void stop_bands(band_writer& writer) {
    if (!writer.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> held(writer.lock);
        writer.closing = true;
    }
    writer.changed.notify_all();
    writer.thread.join();
}

void check_bands(band_writer& writer) {
    {
        // Set by the writing thread under the lock.
        std::lock_guard<std::mutex> held(writer.lock);
        if (!writer.failed) return;
    }
    stop_bands(writer);
    cut_output(*writer.out);
    fail("Error writing to %s\n", writer.out->path);
}

}  // namespace

band_writer::~band_writer() { stop_bands(*this); }

band_writer::band_writer() {
    slot[0] = alloc_bytes(band_bytes);
    slot[1] = alloc_bytes(band_bytes);
}

void start_bands(band_writer& writer, output_file& out) {
    writer.out = &out;
    // Without a second thread (a limit on threads or on memory), each band
    // is written as it is handed over.
    try {
        writer.thread = std::thread(write_bands, &writer);
    } catch (const std::exception&) {
        writer.one_thread = true;
    }
}

uint8_t* band_to_fill(band_writer& writer) {
    {
        std::unique_lock<std::mutex> held(writer.lock);
        writer.changed.wait(held, [&] { return !writer.full[writer.filling] || writer.failed; });
    }
    check_bands(writer);
    return writer.slot[writer.filling].get();
}

void band_filled(band_writer& writer, size_t len) {
    if (writer.one_thread) {
        writer.len[writer.filling] = len;
        writer.failed = !write_band(writer, writer.filling);
        return;
    }
    {
        std::lock_guard<std::mutex> held(writer.lock);
        writer.len[writer.filling] = len;
        writer.full[writer.filling] = true;
        writer.filling ^= 1;
    }
    writer.changed.notify_all();
}

void finish_bands(band_writer& writer) {
    stop_bands(writer);
    check_bands(writer);
}

void bands_failed(band_writer& writer, const char* message) {
    stop_bands(writer);
    output_failed(*writer.out, message);
}

}  // namespace velmorin
