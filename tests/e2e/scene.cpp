#include "scene.h"

#include <algorithm>
#include <stdexcept>

namespace e2e {

using fixture::bytes;

scene make_scene(int32_t width, int32_t height, const fixture::bmp_fields& bmp, std::optional<uint32_t> length) {
    scene s;
    s.name = "tex/target.bgra";
    s.width = width;
    s.height = height;
    s.size = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    fixture::entry target = fixture::image(s.name, width, height, 0x77);
    target.length = length;
    s.a = fixture::build_archive({fixture::entry{"readme.txt", bytes(13, 'r'), std::nullopt}, target,
                                  fixture::image("tex/other.bgra", 3, 3, 8)});
    s.length = length ? *length : static_cast<uint32_t>(16 + s.size);
    s.payload = s.a.at.data_offset[1] + 16;
    s.bmp = fixture::build_bmp(bmp);
    return s;
}

const std::string old_2x2 = "3c7a91e4 05b628df 6e13c84a f059a782";
const std::string old_4x2 = old_2x2 + "19d3662b b47e0f95 c1385ae7 704dbe26";
const std::string pixels_16 = "00010203 04050607 08090a0b 0c0d0e0f";
const std::string pixels_24 = pixels_16 + "10111213 14151617";

fixture::bmp_fields literal_bmp(int32_t width, int32_t height, int bits, const std::string& pixels) {
    return {width, height, static_cast<uint16_t>(bits), 1, 40, std::nullopt, std::nullopt, fixture::hex(pixels)};
}

scene holding(scene s, const std::string& payload) {
    s.a.data = with_payload(s, fixture::hex(payload));
    return s;
}

std::function<void(fixture::bmp_fields&)> bmp_geometry(int32_t width, int32_t height) {
    return [=](fixture::bmp_fields& b) {
        b.width = width;
        b.height = height;
    };
}

std::function<void(fixture::bmp_fields&)> extra_pixels(const std::string& digits) {
    return [=](fixture::bmp_fields& b) {
        fixture::bytes extra = fixture::hex(digits);
        b.pixels.insert(b.pixels.end(), extra.begin(), extra.end());
    };
}

scene small(const std::function<void(fixture::bmp_fields&)>& change) {
    return holding(make_scene(2, 2, changed(literal_bmp(2, 2, 32, pixels_16), change)), old_2x2);
}

std::string entry_trace(const scene& s) {
    return found_trace(s.a, 1, s.name) + bgra_line(s.payload - 16, 0x77, s.width, s.height);
}

bytes payload_of(const bytes& archive, const scene& s) {
    return bytes(archive.begin() + static_cast<long>(s.payload),
                 archive.begin() + static_cast<long>(s.payload + s.size));
}

bytes with_payload(const scene& s, const bytes& payload) {
    bytes out = s.a.data;
    std::copy(payload.begin(), payload.end(), out.begin() + static_cast<long>(s.payload));
    return out;
}

bytes converted(model m, const scene& s) {
    int64_t bf_size = static_cast<int32_t>(fixture::get_u32(s.bmp, 2));
    int32_t bi_width = static_cast<int32_t>(fixture::get_u32(s.bmp, 18));
    int32_t bi_height = static_cast<int32_t>(fixture::get_u32(s.bmp, 22));
    size_t p = static_cast<size_t>(bf_size - 54);
    bytes pixels(s.bmp.begin() + 54, s.bmp.begin() + 54 + static_cast<long>(p));
    size_t w = static_cast<size_t>(s.width), h = static_cast<size_t>(s.height);
    bytes old = payload_of(s.a.data, s);

    if (p == s.length - 16) {
        if (m == model::pack || bi_height <= 0)
            return bytes(pixels.begin(), pixels.begin() + static_cast<long>(s.size));
        size_t row = static_cast<size_t>(bi_width) * 4, rows = static_cast<size_t>(bi_height);
        bytes flipped(rows * row);
        for (size_t r = 0; r < rows; ++r)
            std::copy_n(pixels.begin() + static_cast<long>(r * row), row,
                        flipped.begin() + static_cast<long>((rows - 1 - r) * row));
        return bytes(flipped.begin(), flipped.begin() + static_cast<long>(s.size));
    }
    if (p == w * h * 3) {
        bytes out = old;
        for (size_t r = 0; r < h; ++r)
            for (size_t k = 0; k < w; ++k)
                for (size_t c = 0; c < 3; ++c) out[(h - 1 - r) * w * 4 + 4 * k + c] = pixels[r * w * 3 + 3 * k + c];
        return out;
    }
    if (p <= s.size) throw std::logic_error("the rules refuse this BMP");
    bytes out(s.size);
    for (size_t r = 0; r < h; ++r)
        std::copy_n(pixels.begin() + static_cast<long>(r * w * 4), w * 4,
                    out.begin() + static_cast<long>((h - 1 - r) * w * 4));
    return out;
}

std::string sizing_mismatch(const scene& s) {
    return "Header sizing mismatch.\nbmpheader.bfSize=" +
           std::to_string(static_cast<int32_t>(fixture::get_u32(s.bmp, 2))) +
           "\ndir[x].length=" + std::to_string(static_cast<int32_t>(s.length)) +
           "\nsizeof(struct bgra_header)=16\nsizeof(bmpheader)=14\nsizeof(bmpinfo)=40\nbgra_datasize=" +
           std::to_string(s.size) +
           "\nbmpinfo.bfOffBits=" + std::to_string(static_cast<int32_t>(fixture::get_u32(s.bmp, 10))) + "\n";
}

fixture::bmp_fields changed(fixture::bmp_fields b, const std::function<void(fixture::bmp_fields&)>& change) {
    change(b);
    return b;
}

std::function<std::string(const scene&)> says(const std::string& text) {
    return [text](const scene&) { return text; };
}

// The target's header and pixels lie in the name of the entry after it,
// which the lookup never reads, past a directory block that holds the
// entry table only: the data offset (183) is where that name's bytes begin.
fixture::archive pixels_in_a_later_name() {
    fixture::bytes header = fixture::bgra_entry(1, 1, 0, fixture::bytes(4, 5));
    std::string name(header.begin(), header.end());
    fixture::archive a = fixture::build_archive(
        {fixture::entry{"pad", fixture::bytes(4, 9), std::nullopt}, fixture::image("target", 1, 1, 2),
         fixture::entry{name + "tail", {}, 0u}});
    fixture::put_u32(a.data, a.at.dirent_length_at(0), static_cast<uint32_t>(a.at.name_table + 5 + 8 + 2 - 16));
    fixture::put_u32(a.data, a.at.dir_size_at(), 32 + 32 * 3);
    return a;
}

}  // namespace e2e
