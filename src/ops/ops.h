// The operations, from the located entry to the end of their work. Each
// takes the archive, the entry and then its paths, and returns when it is
// done; a failure ends it with fail(), which the command line reports.
#pragma once

#include "archive/archive.h"

namespace velmorin {

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

// Writes every image entry as a PNG under `folder`, at the path the name
// <-> path rule gives its name, after checking that no file is there.
void export_all(archive_file& archive, const char* folder);

// Packs every .png and .bmp file under `folder` into the entry its path
// stands for, all or nothing.
void pack_all(archive_file& archive, const char* folder);

// Puts back what an earlier run that died was writing, from the journal it
// left beside the archive, or says there is nothing to put back.
void recover_archive(archive_file& archive);

// Says on standard output whether the checked patch at `patch_path` is
// applicable to the entry, applied, for other pixels, or raw.
void check_patch(archive_file& archive, const located_entry& target, const char* patch_path);

// Makes a bundle at `output_path` of every picture under `folder` whose
// pixels differ from its entry's.
void make_bundle(archive_file& archive, const char* folder, const char* output_path);

// Applies the bundle at `bundle_path` (or, `undo`, removes it): every record
// or none.
void apply_bundle(archive_file& archive, const char* bundle_path, bool undo);

// Says on standard output, a line for each record, whether it is
// applicable, applied, for other pixels, or missing.
void check_bundle(archive_file& archive, const char* bundle_path);

}  // namespace velmorin
