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

// The walk's trace to the target and its header line.
std::string entry_trace(const scene& s);

fixture::bytes payload_of(const fixture::bytes& archive, const scene& s);
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
