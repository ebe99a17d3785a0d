// Packing a BMP or a PNG over an entry's pixels.
#include <algorithm>

#include "base/failure.h"
#include "base/trace.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/convert.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

// Closes the input and the archive, whose close must succeed for the
// pixels to count as written.
void close_packed(archive_file& archive, file_guard& input) {
    (void)input.close_now();
    if (archive.handle.close_now() != 0) fail("Critical error closing archive file\n");
    trace("Debug: data updated.\n");
}

// A PNG: checked whole first, then its rows written a band at a time over
// the entry's, which keep their fourth bytes where the PNG has no alpha.
void pack_png(archive_file& archive, const located_entry& target, const bgra_image& img,
                           file_guard& input, const file_info& info, const uint8_t* start) {
    png_pixels pixels;
    take_png(archive, input, info, start, img, &pixels);

    byte_buffer band = alloc_bytes(static_cast<size_t>(std::min(band_bytes, static_cast<int64_t>(img.bgra_datasize))));
    payload_write out = start_write(archive.handle.f, target.data_offset + bgra_header_size, img.bgra_datasize);
    for (int64_t at = 0; at < img.bgra_datasize;) {
        size_t n = span_length(img, at);
        if (const char* failed = png_span(pixels, img, at, n, band.get())) payload_read_failed(out, failed);
        write_at(out, band.get(), n);
        at += static_cast<int64_t>(n);
    }
    close_packed(archive, input);
}

}  // namespace

void pack_entry(archive_file& archive, const located_entry& target, const char* image_path) {
    // The entry is read first: one that is not an image stops the run before
    // the BMP is looked at.
    bgra_image img = read_bgra(archive, target);

    file_guard bmp;
    file_info bmp_file;
    if (!open_run_input(archive, image_path, bmp, &bmp_file)) fail("Error: unable to open %s for reading.\n", image_path);
    uint8_t start[bmp_start_size];
    if (read_full(bmp.f, start, sizeof start) != static_cast<int64_t>(sizeof start)) fail("Error reading bmp header.\n");
    if (is_png_signature(start)) return pack_png(archive, target, img, bmp, bmp_file, start);
    bmp_headers headers = read_bmp_headers(bmp.f, start);

    int64_t pixel_bytes = pixel_byte_count(headers.file);
    byte_source pixels;
    const char* short_bmp = "Error: Unable to read whole bmp.\n";
    if (!take_input(archive, bmp, bmp_file, bmp_headers_size, pixel_bytes, short_bmp, &pixels)) fail("%s", short_bmp);

    // Everything that can refuse the BMP is decided before the first write.
    uint32_t length = target.entry.length;
    pixel_plan plan =
        plan_conversion(choose_conversion(variant::pack, img, length, headers.info, pixel_bytes), img, length, headers);
    check_bmp(headers.file, headers.info, img);

    byte_buffer band = alloc_bytes(band_bytes);
    byte_buffer scratch = alloc_bytes(band_bytes);
    payload_write out = start_write(archive.handle.f, target.data_offset + bgra_header_size, plan.size);
    for (int64_t at = 0; at < plan.size;) {
        size_t n = band_length(plan, at);
        if (const char* failed = convert_band(plan, pixels, img.payload, at, n, band.get(), scratch.get()))
            payload_read_failed(out, failed);
        write_at(out, band.get(), n);
        at += static_cast<int64_t>(n);
    }
    close_packed(archive, bmp);
}

}  // namespace velmorin
