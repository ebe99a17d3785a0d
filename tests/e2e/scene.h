// A target image entry between two other entries, and a BMP to go with it;
// plus a whole-buffer model of how BMP pixel bytes become a payload, to
// compare the tool's bytes against.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "runner.h"

namespace e2e {

struct scene {
    fixture::archive a;
    std::string name;  // the target's name
    int32_t width;
    int32_t height;
    uint32_t length;  // the target's dirent length
    size_t payload;   // offset of the target's payload
    size_t size;      // its byte count
    fixture::bytes bmp;
};

// Archive entries: "readme.txt", the target "tex/target.bgra" (unknown field
// 0x77), "tex/other.bgra".
scene make_scene(int32_t width, int32_t height, const fixture::bmp_fields& bmp,
                 std::optional<uint32_t> length = std::nullopt);

// For small scenes whose bytes a test writes out: a BMP of `bits` per pixel
// holding `pixels`, and the scene with its target holding `payload` (hex).
fixture::bmp_fields literal_bmp(int32_t width, int32_t height, int bits, const std::string& pixels);
scene holding(scene s, const std::string& payload);

// A 2 x 2 target holding old_2x2 and a 32-bit BMP of pixels_16, changed.
scene small(const std::function<void(fixture::bmp_fields&)>& change = [](fixture::bmp_fields&) {});

// Changes to a BMP: its width and height; bytes (hex) after its pixels.
std::function<void(fixture::bmp_fields&)> bmp_geometry(int32_t width, int32_t height);
std::function<void(fixture::bmp_fields&)> extra_pixels(const std::string& digits);

// Payloads of 2 x 2 and 4 x 2 images, and the first bytes of a BMP's pixels.
extern const std::string old_2x2, old_4x2, pixels_16, pixels_24;

// The walk's trace to the target and its header line.
std::string entry_trace(const scene& s);

fixture::bytes payload_of(const fixture::bytes& archive, const scene& s);

// "pad", then "target" (1 x 1), whose data offset is aimed into the name of
// the entry after it: a header and pixels there, inside the directory.
fixture::archive pixels_in_a_later_name();
fixture::bytes with_payload(const scene& s, const fixture::bytes& payload);

enum class model { pack, make_xor };

// The payload the conversion rules give for the scene's BMP, from whole
// buffers. Only for BMPs the rules accept.
fixture::bytes converted(model m, const scene& s);

// The sizing-mismatch report for the scene.
std::string sizing_mismatch(const scene& s);

// A copy of `b` with `change` made to it.
fixture::bmp_fields changed(fixture::bmp_fields b, const std::function<void(fixture::bmp_fields&)>& change);

// An expected error-stream tail that does not depend on the scene.
std::function<std::string(const scene&)> says(const std::string& text);

}  // namespace e2e
