// Making an XOR patch: the entry's pixels XOR the converted BMP, written to
// a file of its own. The archive is only read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bmp/bmp.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

bool is_input(const file_info& out, const file_info& archive, int bmp_fd) {
    if (same_file(out, archive)) return true;
    if (bmp_fd < 0) return false;
    file_info bmp = describe_fd(bmp_fd);
    return same_file(out, bmp);
}

// Opening the output truncates it, so an output that is one of the inputs,
// by whatever path, is refused first.
int open_output(const char* path, const archive_file& archive, int bmp_fd) {
    struct stat st;
    if (stat(path, &st) == 0 && is_input(file_info{false, 0, st.st_dev, st.st_ino}, archive.info, bmp_fd))
        fail("Error: %s is an input file; refusing to overwrite it.\n", path);

    // Opened without truncating and checked again, in case the path changed
    // in between; only then emptied.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        int err = errno;
        fail("Error %d(%s) opening %s\n", err, strerror(err), path);
    }
    file_info out = describe_fd(fd);
    if (is_input(out, archive.info, bmp_fd)) {
        close(fd);
        fail("Error: %s is an input file; refusing to overwrite it.\n", path);
    }
    if (out.regular && out.size != 0 && ftruncate(fd, 0) != 0) {
        int err = errno;
        close(fd);
        fail("Error %d(%s) opening %s\n", err, strerror(err), path);
    }
    return fd;
}

}  // namespace

[[noreturn]] void make_xor(const char* output_path, archive_file& archive, int32_t data_offset, const dirent& entry,
                           const char* bmp_path) {
    bgra_image img = read_bgra(archive, data_offset, entry);

    // A BMP that cannot be opened shows up as the header read failing.
    fd_guard bmp(open(bmp_path, O_RDONLY | O_CLOEXEC));
    bmp_headers headers = read_bmp_headers(bmp.fd);

    fd_guard out(open_output(output_path, archive, bmp.fd));

    file_info bmp_info = describe_fd(bmp.fd);
    int64_t pixel_bytes = pixel_byte_count(headers.file);
    byte_source pixels = input_source(bmp.fd, bmp_headers_size, pixel_bytes, bmp_info.regular, "Error reading bmp.\n");

    pixel_plan plan = convert_pixels(variant::make_xor, img, entry.length, headers, pixel_bytes);
    trace("Debug: datasize = %d\n", img.bgra_datasize);

    byte_buffer band = alloc_bytes(band_bytes);
    byte_buffer scratch = alloc_bytes(band_bytes);
    byte_buffer old = alloc_bytes(band_bytes);
    for (int64_t at = 0; at < plan.size;) {
        size_t n = band_length(plan, at);
        // A failure here leaves the output partly written, as any failure
        // after it was opened does; the archive is never written.
        if (const char* failed = convert_band(plan, pixels, img.payload, at, n, band.get(), scratch.get()))
            fail("%s", failed);
        if (!read_source(img.payload, at, old.get(), n)) fail("%s", img.payload.short_message);
        for (size_t k = 0; k < n; ++k) old[k] ^= band[k];
        if (write_full(out.fd, old.get(), n) != static_cast<int64_t>(n)) fail("Error writing to %s\n", output_path);
        at += static_cast<int64_t>(n);
    }

    if (out.close_now() != 0) fail("Error closing %s\n", output_path);
    finish(0);
}

}  // namespace velmorin
