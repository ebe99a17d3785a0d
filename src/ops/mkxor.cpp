// Making an XOR patch: the entry's pixels XOR the converted BMP, written to
// a file of its own, and for a checked patch the check block after it, from
// hashes taken on the way. The archive is only read.
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

// Writes the patch a band at a time: the converted pixels XOR the payload.
// A failure leaves the output partly written, as any failure after it was
// opened does; the archive is never written.
patch_hashes write_patch(output_file& out, const pixel_plan& plan, const byte_source& pixels,
                         const byte_source& payload, bool hashed) {
    byte_buffer band = alloc_bytes(band_bytes);
    byte_buffer scratch = alloc_bytes(band_bytes);
    byte_buffer old = alloc_bytes(band_bytes);
    pixel_hash before, after;
    start_hash(before);
    start_hash(after);
    for (int64_t at = 0; at < plan.size;) {
        size_t n = band_length(plan, at);
        const char* failed = convert_band(plan, pixels, payload, at, n, band.get(), scratch.get());
        if (!failed && !read_source(payload, at, old.get(), n)) failed = payload.short_message;
        if (failed) output_failed(out, failed);
        if (hashed) {
            feed_hash(before, old.get(), n);
            feed_hash(after, band.get(), n);
        }
        xor_into(old.get(), band.get(), n);
        write_output(out, old.get(), n);
        at += static_cast<int64_t>(n);
    }
    return patch_hashes{hash_value(before), hash_value(after)};
}

}  // namespace

[[noreturn]] void make_xor(archive_file& archive, const located_entry& target, const char* bmp_path,
                           const char* output_path, bool checked) {
    bgra_image img = read_bgra(archive, target);

    // A BMP that cannot be opened shows up as the header read failing.
    file_guard bmp;
    file_info bmp_file;
    bool opened = open_run_input(archive, bmp_path, bmp, &bmp_file);
    bmp_headers headers = read_bmp_headers(bmp.f);
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
    pixel_plan plan = convert_pixels(chosen, img, length, headers);
    trace("Debug: datasize = %d\n", img.bgra_datasize);

    patch_hashes hashes = write_patch(out, plan, pixels, img.payload, checked);
    if (checked) {
        check_block block{img.width, img.height, hashes.before, hashes.after, 1, target.name};
        uint8_t encoded[largest_check_block];
        write_output(out, encoded, encode_check_block(block, encoded));
    }
    close_output(out);
    finish(0);
}

}  // namespace velmorin
