// Runs the tool inside the fuzzing process on in-memory files.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.h"

namespace fuzz_run {

// Runs one command on an archive, an input file (the BMP or the patch) and,
// for --mkxor and --export, an output, all in memory. Checks what must hold
// whatever the input: a failed run leaves the archive as it was, no run
// changes its size, only pack and --xor write it, and a success on an entry
// changes only bytes of a payload the format's rules allow. Returns the exit
// status.
// With `checked_modes`, bit 3 of the mode picks --check, --mkpatch and
// --unxor for pack, --mkxor and --xor.
int run(uint8_t mode, const std::string& name, const fuzz_input::bytes& archive, const fuzz_input::bytes& input,
        bool checked_modes = false);

// Runs --check, --apply or --remove (mode % 3) of `bundle` on `archive`.
// Checks that the status is 0 or 255, that no journal is left, that a check
// or a failure leaves the archive as it was, and that a success changes
// only bytes within `pixels` (from, to) and is undone, byte for byte, by
// the mirror mode.
int run_bundle(uint8_t mode, const fuzz_input::bytes& archive, const fuzz_input::bytes& bundle,
               const std::vector<std::pair<size_t, size_t>>& pixels);

// How many runs ended with status 0, 1 and 255 so far, on standard error.
void report();

}  // namespace fuzz_run
