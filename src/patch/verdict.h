// Judging a patch against the entry: its check block read, the entry's
// pixels hashed with it, and the refusals of a checked patch that does not
// fit (verdict.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "entry/entry.h"
#include "patch/input.h"
#include "patch/patch.h"

namespace velmorin {

// The entry and a patch for it, read, with the patch's check block judged.
struct patch_run {
    bgra_image img;
    file_guard file;
    patch_input patch;
    check_block block;
    bool checked;  // a sound check block; otherwise a raw patch
};

// Reads the entry and the patch; a damaged check block ends the run, and so
// does a raw patch too short for the entry.
void start_patch_run(archive_file& archive, const located_entry& target, const char* path, patch_run* run);

// A checked patch against the entry: hashes of the pixels it holds, and of
// them XOR the patch.
struct entry_hashes {
    uint64_t held;
    uint64_t patched;
    std::vector<uint64_t> patch_spans;  // of the patch's bytes, span by span (each_span())
};

// One pass over the entry's pixels and the patch.
entry_hashes hash_pixels(const bgra_image& img, const byte_source& patch);

// The entry holds what the patch starts from, so XORing it must give what
// it was made to give; ends the run if not.
void check_result(uint64_t patched, uint64_t expected);

bool same_size(const check_block& block, const bgra_image& img);

// "the patch was made for NAME, a WxH image; this entry is WxH.", the name
// shown as the listing shows names.
std::string other_size(const check_block& block, const bgra_image& img);

// Decides whether a checked patch may go from `from` to `to` (before and
// after for --xor, the other way for --unxor); ends the run if not. The
// hashes of the patch's spans as this pass saw them.
std::vector<uint64_t> check_direction(const check_block& block, const bgra_image& img, const byte_source& body, uint64_t from,
                     uint64_t to, const char* already);

}  // namespace velmorin
