// Making an XOR patch: the entry's pixels XOR the converted BMP or PNG, written to
// a file of its own, and for a checked patch the check block after it, from
// hashes taken on the way. The archive is only read.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/convert.h"
#include "ops/ops.h"
#include "ops/output.h"

namespace velmorin {
namespace {

// The hashes of the pixels before and after, for a checked patch.
struct patch_hashes {
    uint64_t before;
    uint64_t after;
};

// Hashes a band of the pixels before and after, and writes it to the patch
// as their XOR (in `old`).
void put_band(output_file& out, uint8_t* old, const uint8_t* fresh, size_t n, bool hashed, pixel_hash* hashes) {
    if (hashed) {
        feed_hash(hashes[0], old, n);
        feed_hash(hashes[1], fresh, n);
    }
    xor_into(old, fresh, n);
    write_output(out, old, n);
}

// Writes the patch for a BMP a band at a time: the converted pixels XOR the
// payload. A failure leaves the output partly written, as any failure after
// it was opened does; the archive is never written.
patch_hashes write_patch(output_file& out, const pixel_plan& plan, const byte_source& pixels,
                         const byte_source& payload, bool hashed) {
    byte_buffer band = alloc_bytes(band_bytes);
    byte_buffer scratch = alloc_bytes(band_bytes);
    byte_buffer old = alloc_bytes(band_bytes);
    pixel_hash hashes[2];
    start_hash(hashes[0]);
    start_hash(hashes[1]);
    for (int64_t at = 0; at < plan.size;) {
        size_t n = band_length(plan, at);
        const char* failed = convert_band(plan, pixels, payload, at, n, band.get(), scratch.get());
        if (!failed && !read_source(payload, at, old.get(), n)) failed = payload.short_message;
        if (failed) output_failed(out, failed);
        put_band(out, old.get(), band.get(), n, hashed, hashes);
        at += static_cast<int64_t>(n);
    }
    return patch_hashes{hash_value(hashes[0]), hash_value(hashes[1])};
}

// The same for a PNG, whose rows come in order over the entry's own.
patch_hashes write_png_patch(output_file& out, png_pixels& pixels, const bgra_image& img, bool hashed) {
    size_t capacity = static_cast<size_t>(std::min(band_bytes, static_cast<int64_t>(img.bgra_datasize)));
    byte_buffer band = alloc_bytes(capacity);
    byte_buffer old = alloc_bytes(capacity);
    pixel_hash hashes[2];
    start_hash(hashes[0]);
    start_hash(hashes[1]);
    for (int64_t at = 0; at < img.bgra_datasize;) {
        size_t n = span_length(img, at);
        const char* failed = png_span(pixels, img, at, n, band.get());
        if (!failed && !read_source(img.payload, at, old.get(), n)) failed = img.payload.short_message;
        if (failed) output_failed(out, failed);
        put_band(out, old.get(), band.get(), n, hashed, hashes);
        at += static_cast<int64_t>(n);
    }
    return patch_hashes{hash_value(hashes[0]), hash_value(hashes[1])};
}

// The check block after the patch, for a checked one.
void put_check_block(output_file& out, const bgra_image& img, const located_entry& target, patch_hashes hashes) {
    check_block block{img.width, img.height, hashes.before, hashes.after, 1, target.name};
    uint8_t encoded[largest_check_block];
    size_t size = encode_check_block(block, encoded);
    trace("Debug: check block = %d bytes, %d in all\n", static_cast<int>(size),
          static_cast<int>(static_cast<int64_t>(img.bgra_datasize) + static_cast<int64_t>(size)));
    write_output(out, encoded, size);
}

// A PNG: checked whole before the output is opened.
void make_png_patch(archive_file& archive, const located_entry& target, const bgra_image& img,
                                 file_guard& input, const file_info& info, const uint8_t* start,
                                 const char* output_path, bool checked) {
    png_pixels pixels;
    take_png(archive, input, info, start, img, &pixels);
    output_file out{output_path, {}, false, 0};
    open_output(out, archive, &info, img.bgra_datasize);
    trace("Debug: datasize = %d\n", img.bgra_datasize);
    patch_hashes hashes = write_png_patch(out, pixels, img, checked);
    if (checked) put_check_block(out, img, target, hashes);
    close_output(out);
}

}  // namespace

void make_xor(archive_file& archive, const located_entry& target, const char* image_path,
                           const char* output_path, bool checked) {
    bgra_image img = read_bgra(archive, target);

    // A BMP that cannot be opened shows up as the header read failing.
    file_guard bmp;
    file_info bmp_file;
    bool opened = open_run_input(archive, image_path, bmp, &bmp_file);
    uint8_t start[bmp_start_size];
    if (read_full(bmp.f, start, sizeof start) != static_cast<int64_t>(sizeof start)) fail("Error reading bmp header.\n");
    if (opened && is_png_signature(start)) return make_png_patch(archive, target, img, bmp, bmp_file, start, output_path, checked);
    bmp_headers headers = read_bmp_headers(bmp.f, start);
    if (!opened) fail("Error reading bmp.\n");

    // Whether the run gets as far as writing follows from the BMP's size and
    // headers; it is known before the output is opened, and reported after.
    int64_t pixel_bytes = pixel_byte_count(headers.file);
    byte_source pixels;
    bool have_pixels =
        take_input(archive, bmp, bmp_file, bmp_headers_size, pixel_bytes, "Error reading bmp.\n", &pixels);
    uint32_t length = target.entry.length;
    conversion_case chosen = choose_conversion(variant::make_xor, img, length, headers.info, pixel_bytes);
    bool writes = have_pixels && !refused(chosen);

    output_file out{output_path, {}, false, 0};
    open_output(out, archive, &bmp_file, writes ? img.bgra_datasize : -1);
    if (!have_pixels) fail("Error reading bmp.\n");
    pixel_plan plan = plan_conversion(chosen, img, length, headers);
    trace("Debug: datasize = %d\n", img.bgra_datasize);

    patch_hashes hashes = write_patch(out, plan, pixels, img.payload, checked);
    if (checked) put_check_block(out, img, target, hashes);
    close_output(out);
}

}  // namespace velmorin
