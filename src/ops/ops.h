// The operations, from the located entry to the end of their work. Each
// takes the archive, the entry and then its paths, and returns when it is
// done; a failure ends it with fail(), which the command line reports.
#pragma once

#include <cstdint>
#include <memory>

#include "base/buffers.h"
#include "base/sources.h"
#include "archive/archive.h"
#include "bmp/bmp.h"
#include "patch/patch.h"
#include "png/png.h"
#include "entry/entry.h"

namespace velmorin {

// An input is read this far before its format is known.
static_assert(bmp_start_size == png_signature_size);

// ---- the file an operation reads (input.cpp) -----------------------------------
// An input that is a regular file is read under the archive's lock; one that
// is a stream is read whole first, and the lock is taken after it.

// Opens the input at `path`; false when it cannot be opened or examined.
// Takes the archive's lock when the input is a regular file.
[[nodiscard]] bool open_run_input(archive_file& archive, const char* path, file_guard& file, file_info* info);

// The input's `count` bytes from `start`: read in place from a regular file
// other than the archive itself (which is read whole before anything is
// written, so no band sees bytes already rewritten), otherwise read whole
// now. Then takes the archive's lock. False when the input holds fewer
// bytes; the caller reports `short_message`, which later reads report too.
[[nodiscard]] bool take_input(archive_file& archive, const file_guard& file, const file_info& info, int64_t start,
                              int64_t count, const char* short_message, byte_source* src);

// The whole input, its first `start_size` bytes already read into `start`:
// in place from a regular file other than the archive, otherwise read whole
// now (a stream to its end). Then takes the archive's lock. False when it
// cannot be read.
[[nodiscard]] bool take_whole_input(archive_file& archive, const file_guard& file, const file_info& info,
                                    const uint8_t* start, size_t start_size, byte_source* src);

// An image input (pack, --mkxor, --mkpatch) and what it is: the one place
// that tells a PNG (by its signature) from a BMP (anything else).
struct image_input {
    file_guard file;
    file_info info{};
    bool opened = false;
    uint8_t start[png_signature_size];  // its first bytes
    bool png = false;
};

// Opens the image at `path` (open_run_input()); false when it cannot be.
[[nodiscard]] bool open_image(archive_file& archive, const char* path, image_input* in);

// Reads its first bytes ("Error reading bmp header." when it holds fewer)
// and tells what it is.
void read_image_start(image_input& in);

// A patch as the run reads it: its first S bytes (S being the entry's
// payload size), its length and its last bytes, where a check block would be.
struct patch_input {
    byte_source body;
    bool whole = false;  // it holds S bytes at least
    int64_t total = 0;   // its length
    byte_buffer tail;    // its last tail_size bytes: all of them, or at least patch_tail_window
    size_t tail_size = 0;
    uint8_t after[8];    // the bytes after its first S, up to 8 of them
    size_t after_size = 0;
};

// Reads a patch for `size` pixel bytes as take_input() reads an input: a
// stream whole, and on to its end, keeping only its last bytes, unless it
// runs past any checked patch's length. Takes the archive's lock after.
void take_patch(archive_file& archive, const file_guard& file, const file_info& info, int64_t size,
                patch_input* patch);

// The pixels of a PNG input, as the entry's rows (png_input.cpp).
struct png_pixels {
    byte_source file;
    bool alpha = false;
    bool interlaced = false;
    byte_source image;                   // interlaced: the whole image, from the first reading
    std::unique_ptr<png_reader> reader;  // otherwise: the second reading, row by row
};

// Takes the PNG input (take_whole_input(), its signature read into `start`)
// and checks it against the entry: its size, then every byte of it. Says
// what it is on the error stream; ends the run if it does not do.
void take_png(archive_file& archive, const file_guard& input, const file_info& info, const uint8_t* start,
              const bgra_image& img, png_pixels* pixels);

// Rows of the entry that make a band of about band_bytes (one row at least).
int64_t rows_per_band(const bgra_image& img);

// The entry's payload goes in spans of at most a band: whole rows while a
// row fits in one, otherwise pieces of a row. The length of the span at `at`.
size_t span_length(const bgra_image& img, int64_t at);

// The `n` bytes of the entry's payload from `at` (a span; spans asked for
// in order, from 0) as the PNG has them, into `out`: over the entry's own
// bytes, whose fourth bytes stay where the PNG has no alpha. nullptr, or
// the message of what could not be read.
const char* png_span(png_pixels& pixels, const bgra_image& img, int64_t at, size_t n, uint8_t* out);

// ---- the operations ---------------------------------------------------------------

// Packs the image (a PNG, or a BMP) at `image_path` over the entry's pixels.
void pack_entry(archive_file& archive, const located_entry& target, const char* image_path);

// Writes to `output_path` the entry's pixels XOR the image's (a PNG, or a
// BMP converted), and,
// `checked`, the check block after them.
void make_xor(archive_file& archive, const located_entry& target, const char* image_path,
                           const char* output_path, bool checked);

// Lists every entry of the archive on standard output.
void list_entries(archive_file& archive);

// Writes the entry's pixels to `output_path`: a PNG when its name ends in
// .png, otherwise a BMP.
void export_entry(archive_file& archive, const located_entry& target, const char* output_path);

// XORs the patch file at `patch_path` into the entry's pixels: to apply a
// checked patch, or, `undo`, to remove it. A raw patch does the same both
// ways.
void apply_xor(archive_file& archive, const located_entry& target, const char* patch_path, bool undo);

// Says on standard output whether the checked patch at `patch_path` is
// applicable to the entry, applied, for other pixels, or raw.
void check_patch(archive_file& archive, const located_entry& target, const char* patch_path);

}  // namespace velmorin
