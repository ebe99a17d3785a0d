// Making an XOR patch: the entry's pixels XOR the PNG's or the converted
// BMP's, written to a file of its own, and for a checked patch the check block after it, from
// hashes taken on the way. The archive is only read.
#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "base/trace.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "bmp/convert.h"
#include "ops/bands.h"
#include "patch/input.h"
#include "patch/patch.h"
#include "ops/ops.h"
#include "io/output.h"

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

// A checked patch's last band, kept back to go out in one write with the
// check block: a run stopped between the two would leave the whole raw
// patch, which reads as one.
struct last_band {
    byte_buffer bytes;  // room for a band and the largest check block
    size_t size = 0;
};

// Writes the patch a band at a time: the new pixels XOR the entry's. A
// failure leaves the output partly written, as any failure after it was
// opened does; the archive is never written.
patch_hashes write_patch(output_file& out, pixel_source& src, const bgra_image& img, bool hashed, last_band* last) {
    size_t band = static_cast<size_t>(std::min(band_bytes, static_cast<int64_t>(img.bgra_datasize)));
    byte_buffer old = alloc_bytes(band);
    if (hashed) last->bytes = alloc_bytes(band + static_cast<size_t>(largest_check_block));
    pixel_hash hashes[2];
    start_hash(hashes[0]);
    start_hash(hashes[1]);
    move_bands(
        src, img,
        [&](int64_t at, const uint8_t* fresh, size_t n) {
            if (!read_source(img.payload, at, old.get(), n)) output_failed(out, img.payload.short_message);
            if (!hashed || at + static_cast<int64_t>(n) < img.bgra_datasize)
                return put_band(out, old.get(), fresh, n, hashed, hashes);
            feed_hash(hashes[0], old.get(), n);
            feed_hash(hashes[1], fresh, n);
            xor_into(old.get(), fresh, n);
            std::copy_n(old.get(), n, last->bytes.get());
            last->size = n;
        },
        [&](const char* message) { output_failed(out, message); });
    return patch_hashes{hash_value(hashes[0]), hash_value(hashes[1])};
}

// The check block after the patch, for a checked one, in one write with the
// patch's last band.
void put_check_block(output_file& out, const bgra_image& img, const located_entry& target, patch_hashes hashes,
                     last_band& last) {
    check_block block{img.width, img.height, hashes.before, hashes.after, 1, target.name};
    size_t size = encode_check_block(block, last.bytes.get() + last.size);
    trace("Debug: check block = %d bytes, %d in all\n", static_cast<int>(size),
          static_cast<int>(static_cast<int64_t>(img.bgra_datasize) + static_cast<int64_t>(size)));
    write_output(out, last.bytes.get(), last.size + size);
}

// A BMP: whether the run gets as far as writing follows from its size and
// headers; it is known before the output is opened, and reported after.
void open_for_bmp(archive_file& archive, const located_entry& target, bgra_image& img, image_input& in,
                  output_file& out, pixel_source& src) {
    bmp_headers headers = read_bmp_headers(in.file.f, in.start);
    if (!in.opened) fail("Error reading bmp.\n");
    int64_t pixel_bytes = pixel_byte_count(headers.file);
    bool have_pixels =
        read_input(archive, in.file, in.info, bmp_headers_size, pixel_bytes, "Error reading bmp.\n", &src.bytes);
    if (have_pixels) open_payload(archive, img);
    uint32_t length = target.entry.length;
    conversion_case chosen = choose_conversion(variant::make_xor, img, length, headers.info, pixel_bytes);
    bool writes = have_pixels && !refused(chosen);
    open_output(out, archive, &in.info, writes ? img.bgra_datasize : -1);
    if (!have_pixels) fail("Error reading bmp.\n");
    src.kind = source_kind::bmp;
    src.plan = plan_conversion(chosen, img, length, headers);
}

}  // namespace

void make_xor(archive_file& archive, const located_entry& target, const char* image_path, const char* output_path,
              bool checked) {
    bgra_image img = read_bgra(archive, target);
    // An image that cannot be opened shows up as the header read failing.
    image_input in;
    (void)open_image(image_path, &in);
    read_image_start(in);
    pixel_source src;
    output_file out{output_path, {}, false, 0};
    if (in.png) {
        // Checked whole before the output is opened.
        src.kind = source_kind::png;
        read_png(archive, in.file, in.info, in.start, img, &src.png);
        open_output(out, archive, &in.info, img.bgra_datasize);
    } else {
        open_for_bmp(archive, target, img, in, out, src);
    }
    trace("Debug: datasize = %d\n", img.bgra_datasize);
    last_band last;
    patch_hashes hashes = write_patch(out, src, img, checked, &last);
    if (checked) put_check_block(out, img, target, hashes, last);
    close_output(out);
}

}  // namespace velmorin
