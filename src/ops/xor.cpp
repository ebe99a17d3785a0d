// Applying an XOR patch.
//
// A patch file is raw bytes, nothing else: byte n is the old payload byte n
// XOR the new one. Applying it twice gives the old payload back.
#include <algorithm>

#include "entry/entry.h"
#include "ops/ops.h"
#include "ops/patch.h"

namespace velmorin {

[[noreturn]] void apply_xor(archive_file& archive, const located_entry& target, const char* patch_path) {
    bgra_image img = read_bgra(archive, target);

    file_guard patch;
    file_info patch_file;
    if (!open_run_input(archive, patch_path, patch, &patch_file)) fail("Unable to open %s for reading.\n", patch_path);
    byte_source patch_bytes;
    if (!take_input(archive, patch, patch_file, 0, img.bgra_datasize, "Short read.\n", &patch_bytes))
        fail("%s", patch_bytes.short_message);

    int64_t size = img.bgra_datasize;
    size_t capacity = static_cast<size_t>(std::min(band_bytes, size));
    byte_buffer pixels = alloc_bytes(capacity);
    byte_buffer mask = alloc_bytes(capacity);
    payload_write out = start_write(archive.handle.f, target.data_offset + bgra_header_size, size);
    for (int64_t at = 0; at < size; at += band_bytes) {
        size_t n = static_cast<size_t>(std::min(band_bytes, size - at));
        if (!read_source(img.payload, at, pixels.get(), n)) payload_read_failed(out, img.payload.short_message);
        if (!read_source(patch_bytes, at, mask.get(), n)) payload_read_failed(out, patch_bytes.short_message);
        xor_into(pixels.get(), mask.get(), n);
        write_at(out, pixels.get(), n);
    }

    if (archive.handle.close_now() != 0) fail("Critical error closing archive file\n");
    finish(0);
}

}  // namespace velmorin
