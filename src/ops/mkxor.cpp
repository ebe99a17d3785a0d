// Making an XOR patch: the entry's pixels XOR the converted BMP, written to
// a file of its own. The archive is only read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bmp/bmp.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

bool is_input(const file_info& out, const archive_file& archive, const file_info& bmp) {
    return same_file(out, archive.info) || same_file(out, bmp);
}

// The output is written in place, over what it held, rather than emptied
// when opened: emptying an existing patch of hundreds of megabytes costs more
// than writing it. It still ends exactly as if emptied first: an existing
// output is cut to one byte short of the new patch before writing, so it
// reaches its full size only with the last byte (a run stopped half-way,
// even by a signal, leaves a short file that --xor refuses), and a failure
// cuts it to what the run wrote. An output that is one of the inputs, by
// whatever path, is refused before it is opened.
struct output_file {
    const char* path;
    fd_guard fd;
    bool regular;
};

[[noreturn]] void open_failed(const char* path) {
    int err = errno;
    fail("Error %d(%s) opening %s\n", err, strerror(err), path);
}

// `size`: the bytes the run will write, or -1 when it is known to end before
// writing, in which case the output is emptied as opening it for output does.
void open_output(output_file& out, const archive_file& archive, const file_info& bmp, int64_t size) {
    struct stat st;
    if (stat(out.path, &st) == 0 && is_input(file_info{false, false, 0, st.st_dev, st.st_ino}, archive, bmp))
        fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);

    // Write-only: a FIFO then waits for its reader, as for any writer,
    // rather than taking the patch at once and losing it when the run ends.
    out.fd.fd = open(out.path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (out.fd.fd < 0) open_failed(out.path);
    // Checked again once open, in case the path changed in between.
    file_info info;
    if (!describe_fd(out.fd.fd, &info)) open_failed(out.path);
    if (is_input(info, archive, bmp)) fail("Error: %s is an input file; refusing to overwrite it.\n", out.path);
    // The run's messages would land in the middle of the patch.
    if (is_stream(info, 2)) fail("Error: %s is the error stream; refusing to write the patch there.\n", out.path);
    // Standard output carries the patch, so its one line of text goes to the
    // error stream instead.
    if (is_stream(info, 1)) divert_stdout();
    out.regular = info.regular;
    int64_t keep = std::max<int64_t>(size - 1, 0);
    if (out.regular && info.size > keep && ftruncate(out.fd.fd, static_cast<off_t>(keep)) != 0)
        open_failed(out.path);
}

// Cuts the output to the `written` bytes the run wrote, before a failure.
void cut_output(const output_file& out, int64_t written) {
    if (out.regular) (void)!ftruncate(out.fd.fd, static_cast<off_t>(written));
}

}  // namespace

[[noreturn]] void make_xor(const char* output_path, archive_file& archive, int64_t data_offset, const dir_entry& entry,
                           const char* bmp_path) {
    bgra_image img = read_bgra(archive, data_offset, entry);

    // A BMP that cannot be opened shows up as the header read failing.
    fd_guard bmp(open(bmp_path, O_RDONLY | O_CLOEXEC));
    bmp_headers headers = read_bmp_headers(bmp.fd);
    file_info bmp_file;
    if (!describe_fd(bmp.fd, &bmp_file)) fail("Error reading bmp.\n");

    // Whether the run gets as far as writing follows from the BMP's size and
    // headers; it is known before the output is opened, and reported after.
    int64_t pixel_bytes = pixel_byte_count(headers.file);
    byte_source pixels;
    bool have_pixels = input_source(bmp.fd, bmp_headers_size, pixel_bytes, bmp_file.regular ? &bmp_file : nullptr,
                                    "Error reading bmp.\n", &pixels);
    bool writes =
        have_pixels && !refused(choose_conversion(variant::make_xor, img, entry.length, headers.info, pixel_bytes));

    output_file out{output_path, {}, false};
    open_output(out, archive, bmp_file, writes ? img.bgra_datasize : -1);
    if (!have_pixels) fail("Error reading bmp.\n");
    pixel_plan plan = convert_pixels(variant::make_xor, img, entry.length, headers, pixel_bytes);
    trace("Debug: datasize = %d\n", img.bgra_datasize);

    byte_buffer band = alloc_bytes(band_bytes);
    byte_buffer scratch = alloc_bytes(band_bytes);
    byte_buffer old = alloc_bytes(band_bytes);
    for (int64_t at = 0; at < plan.size;) {
        size_t n = band_length(plan, at);
        // A failure from here on leaves the output partly written, as any
        // failure after it was opened does; the archive is never written.
        const char* failed = convert_band(plan, pixels, img.payload, at, n, band.get(), scratch.get());
        if (!failed && !read_source(img.payload, at, old.get(), n)) failed = img.payload.short_message;
        if (failed) {
            cut_output(out, at);
            fail("%s", failed);
        }
        xor_into(old.get(), band.get(), n);
        int64_t written = write_full(out.fd.fd, old.get(), n);
        if (written != static_cast<int64_t>(n)) {
            cut_output(out, at + std::max<int64_t>(written, 0));
            fail("Error writing to %s\n", output_path);
        }
        at += written;
    }

    if (out.fd.close_now() != 0) fail("Error closing %s\n", output_path);
    finish(0);
}

}  // namespace velmorin
