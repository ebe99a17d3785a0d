#include "fuzz_input.h"

#include <algorithm>

namespace fuzz_input {
namespace {

struct reader {
    const uint8_t* p;
    size_t left;
};

uint8_t take_byte(reader& r) {
    if (r.left == 0) return 0;
    --r.left;
    return *r.p++;
}

bytes take(reader& r, size_t n) {
    n = std::min(n, r.left);
    bytes out(r.p, r.p + n);
    r.p += n;
    r.left -= n;
    return out;
}

bytes take_counted(reader& r) {
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) n |= static_cast<uint32_t>(take_byte(r)) << (8 * k);
    return take(r, n);
}

void put(bytes& out, const uint8_t* p, size_t n) {
    // Byte by byte: GCC 12 warns falsely about a range insert here.
    out.reserve(out.size() + n);
    for (size_t k = 0; k < n; ++k) out.push_back(p[k]);
}

void put_counted(bytes& out, const bytes& b) {
    uint32_t n = static_cast<uint32_t>(b.size());
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(n >> (8 * k)));
    put(out, b.data(), b.size());
}

}  // namespace

tool_input split_tool(const uint8_t* data, size_t size) {
    reader r{data, size};
    tool_input in;
    in.mode = take_byte(r);
    bytes name = take(r, take_byte(r));
    in.name.assign(name.begin(), std::find(name.begin(), name.end(), 0));
    in.archive = take_counted(r);
    in.bmp = take_counted(r);
    in.patch = take(r, r.left);
    return in;
}

bytes join_tool(const tool_input& in) {
    bytes out{in.mode, static_cast<uint8_t>(in.name.size())};
    put(out, reinterpret_cast<const uint8_t*>(in.name.data()), in.name.size());
    put_counted(out, in.archive);
    put_counted(out, in.bmp);
    put(out, in.patch.data(), in.patch.size());
    return out;
}

image_input split_image(const uint8_t* data, size_t size) {
    reader r{data, size};
    image_input in;
    in.mode = take_byte(r);
    in.width = take_byte(r);
    in.height = take_byte(r);
    in.slack = static_cast<int8_t>(take_byte(r));
    in.bmp = take_counted(r);
    in.patch = take(r, r.left);
    return in;
}

bytes join_image(const image_input& in) {
    bytes out{in.mode, in.width, in.height, static_cast<uint8_t>(in.slack)};
    put_counted(out, in.bmp);
    put(out, in.patch.data(), in.patch.size());
    return out;
}

}  // namespace fuzz_input
