// PNG in and out, end to end: every form read, files other tools saved,
// round trips at every width, damage refused with the archive unchanged.
#include <gtest/gtest.h>

#include "scene.h"

using e2e::scene;
using fixture::bytes;

namespace {

int channels(uint8_t type) { return type == 0 || type == 3 ? 1 : type == 4 ? 2 : type == 2 ? 3 : 4; }

// A 5 x 3 PNG (partial bytes at low depths, partial Adam7 passes) of the
// given form, its samples spread over the depth's range.
fixture::png_fields form(uint8_t type, uint8_t depth, bool interlace, bool trns) {
    fixture::png_fields f;
    f.width = 5;
    f.height = 3;
    f.colour_type = type;
    f.bit_depth = depth;
    f.interlace = interlace;
    uint32_t values = type == 3 ? std::min(1u << depth, 7u) : 1u << depth;
    for (uint32_t k = 0; k < 15u * channels(type); ++k) f.samples.push_back(static_cast<uint16_t>(k * 40503u % values));
    if (type == 3) f.palette = fixture::pattern(3 * values, 21);
    if (trns && type == 3) f.trns = bytes{0, 128, 255}, f.trns.resize(std::min(3u, values));
    for (int c = 0; trns && type != 3 && c < channels(type); ++c)  // pixel 0 is the transparent colour
        f.trns.insert(f.trns.end(), {static_cast<uint8_t>(f.samples[c] >> 8), static_cast<uint8_t>(f.samples[c])});
    return f;
}

std::string form_line(const fixture::png_fields& f) {
    static const char* names[] = {"grey", "", "RGB", "palette", "grey and alpha", "", "RGBA"};
    return "Debug: PNG " + std::to_string(f.width) + "x" + std::to_string(f.height) + ", colour type " +
           std::to_string(f.colour_type) + " (" + names[f.colour_type] + "), bit depth " + std::to_string(f.bit_depth) +
           (f.interlace ? ", interlaced.\n" : ", not interlaced.\n");
}

// Every colour type and bit depth, interlaced or not, with tRNS where it
// applies: pack and --mkxor take the pixels the samples give.
TEST(Png, EveryForm) {
    const std::pair<uint8_t, std::vector<uint8_t>> depths[] = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    scene sc = e2e::make_scene(5, 3, fixture::plain_bmp(5, 3, 24, 1));
    bytes old = e2e::payload_of(sc.a.data, sc);
    e2e::scratch s;
    for (const auto& [type, list] : depths)
        for (uint8_t depth : list)
            for (bool interlace : {false, true})
                for (bool trns : {false, true}) {
                    if (trns && (type == 4 || type == 6)) continue;
                    fixture::png_fields f = form(type, depth, interlace, trns);
                    SCOPED_TRACE(form_line(f) + (trns ? " with tRNS" : ""));
                    s.write("game.dat", sc.a.data);
                    s.write("in.png", fixture::build_png(f));
                    bytes fresh = fixture::png_payload(f, old);
                    e2e::expect_result(e2e::run({"game.dat", sc.name, "in.png"}, s.dir), 0,
                                       e2e::entry_trace(sc) + form_line(f) + "Debug: data updated.\n");
                    EXPECT_EQ(s.read("game.dat"), e2e::with_payload(sc, fresh));
                    s.write("game.dat", sc.a.data);
                    EXPECT_EQ(e2e::run({"--mkxor", "game.dat", sc.name, "in.png", "p.xor"}, s.dir).status, 0);
                    EXPECT_EQ(e2e::xored(s.read("p.xor"), 0, old), fresh);
                }
}

// Files saved by Pillow and ImageMagick, and the payloads they give, written
// out: RGBA; an 8-bit palette with tRNS; 16-bit grey, interlaced (which
// keeps the entry's alpha).
TEST(Png, SavedByOtherTools) {
    const std::pair<std::string, std::string> files[] = {
        {"89504e470d0a1a0a0000000d49484452000000040000000208060000007fa87d630000002949444154789c05c13101803000c0b030"
         "7671ef46049a103279b82a8948365cebcef73e1de39c55e807bba50c1b328047ab0000000049454e44ae426082",
         "0000ffff 00ff0080 00000000 1e140aff 3264c8ff 03020104 ffffffff 000000ff"},
        {"89504e470d0a1a0a0000000d494844520000000400000002080300000048768d5100000015504c5445ffffffff000000ff000a141e"
         "c86432ffffff000000c6eaed290000000174524e530040e6d866000000124944415408d76360646260666061606503000055001"
         "6b80667130000000049454e44ae426082",
         "0000ffff 00ff00ff ffffff00 1e140aff 3264c8ff ffffff00 ffffffff 000000ff"},
        {"89504e470d0a1a0a0000000d49484452000000040000000210000000017d54ce6a0000001c4944415408d76360606058b58a2134f"
         "4ff7f66464626a6bf7f19190139100602bb2c9f2c0000000049454e44ae426082",
         "000000e4 555555df aaaaaa4a ffffff82 0101012b 02020295 fefefee7 80808026"}};
    scene sc = e2e::holding(e2e::make_scene(4, 2, fixture::plain_bmp(4, 2, 24, 1)), e2e::old_4x2);
    e2e::scratch s;
    for (const auto& [png, payload] : files) {
        s.write("game.dat", sc.a.data);
        s.write("in.png", fixture::hex(png));
        EXPECT_EQ(e2e::run({"game.dat", sc.name, "in.png"}, s.dir).status, 0);
        EXPECT_EQ(e2e::payload_of(s.read("game.dat"), sc), fixture::hex(payload));
    }
}

// Any width: the export holds the entry's pixels as RGBA, packs back to the
// same archive and makes an all-zero patch; rows wider than a band go a
// piece at a time. An empty image is refused; one whose alpha is all 0 is
// exported with a warning.
TEST(Png, RoundTrips) {
    e2e::scratch s;
    for (int32_t width : {1, 3, 4, 5, 64, 300001, 0}) {
        SCOPED_TRACE(width);
        scene sc = e2e::make_scene(width, 3, fixture::plain_bmp(1, 1, 24, 1));
        bytes payload = e2e::payload_of(sc.a.data, sc);
        s.write("game.dat", sc.a.data);
        e2e::result r = e2e::run({"--export", "game.dat", sc.name, "out.PNG"}, s.dir);
        if (width == 0) {
            e2e::expect_result(r, 255, e2e::entry_trace(sc) +
                                           "Error: an image of 0x3 pixels cannot be a PNG; export it as a BMP.\n");
            continue;
        }
        e2e::expect_result(r, 0, e2e::entry_trace(sc));
        uint32_t w, h;
        bytes rgba = fixture::read_rgba_png(s.read("out.PNG"), &w, &h);
        bytes expected = payload;
        for (size_t k = 0; k < payload.size(); k += 4) std::swap(expected[k], expected[k + 2]);
        EXPECT_TRUE(rgba == expected);
        EXPECT_EQ(e2e::run({"game.dat", sc.name, "out.PNG"}, s.dir).status, 0);
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
        EXPECT_EQ(e2e::run({"--mkpatch", "game.dat", sc.name, "out.PNG", "p.xor"}, s.dir).status, 0);
        bytes patch = s.read("p.xor");
        EXPECT_EQ(bytes(patch.begin(), patch.begin() + static_cast<long>(payload.size())), bytes(payload.size(), 0));
    }
    scene clear = e2e::holding(e2e::make_scene(2, 1, fixture::plain_bmp(1, 1, 24, 1)), "11223300 44556600");
    s.write("game.dat", clear.a.data);
    e2e::expect_result(e2e::run({"--export", "game.dat", clear.name, "clear.png"}, s.dir), 0,
                       e2e::entry_trace(clear) +
                           "Warning: every pixel's alpha is 0, so viewers show this PNG as fully transparent; its "
                           "colours are all there.\n");
}

// The offset of the chunk of type `type` (the `nth` of them) in a PNG.
size_t chunk_at(const bytes& png, const char* type, int nth = 0) {
    for (size_t at = 8; at + 12 <= png.size();) {
        uint32_t length = static_cast<uint32_t>(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        if (std::equal(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8, type) &&
            nth-- == 0)
            return at;
        at += 12 + length;
    }
    throw std::runtime_error("no such chunk");
}

bytes with_byte(bytes b, size_t at, uint8_t x) {
    b.at(at) ^= x;
    return b;
}

// Damage of every kind is refused: pack leaves the archive as it was (the
// journal puts back what went out before the damage showed), --mkxor
// leaves no output.
TEST(Png, DamageRefused) {
    fixture::png_fields f = form(3, 4, false, true);
    bytes good = fixture::build_png(f);
    auto crc_of = [&](const char* type, int nth = 0) {
        size_t at = chunk_at(good, type, nth);
        return with_byte(good, at + 8 + (static_cast<size_t>(good[at + 2]) << 8 | good[at + 3]), 1);
    };
    bytes bad_sum = good;  // the zlib stream's own checksum, the CRC made to hold
    size_t second = chunk_at(good, "IDAT", 1), length = good[second + 3];
    bad_sum[second + 8 + length - 1] ^= 1;
    bytes fixed;
    fixed.insert(fixed.end(), bad_sum.begin(), bad_sum.begin() + static_cast<long>(second));
    fixture::png_chunk(fixed, "IDAT", bytes(bad_sum.begin() + static_cast<long>(second) + 8,
                                            bad_sum.begin() + static_cast<long>(second + 8 + length)));
    fixed.insert(fixed.end(), bad_sum.begin() + static_cast<long>(second + 12 + length), bad_sum.end());
    bytes unknown(good.begin(), good.begin() + static_cast<long>(chunk_at(good, "IDAT")));
    fixture::png_chunk(unknown, "ABCD", {1, 2});
    unknown.insert(unknown.end(), good.begin() + static_cast<long>(chunk_at(good, "IDAT")), good.end());
    fixture::png_fields past = f;
    past.samples[7] = 3;  // the palette has three entries
    past.palette.resize(9);
    fixture::png_fields past_interlaced = past;
    past_interlaced.interlace = true;
    fixture::png_fields wide = f;
    wide.width = 3;
    wide.height = 5;
    bytes long_ihdr(good.begin(), good.begin() + 8), ihdr_data(good.begin() + 16, good.begin() + 29);
    ihdr_data.push_back(0);
    fixture::png_chunk(long_ihdr, "IHDR", ihdr_data);
    long_ihdr.insert(long_ihdr.end(), good.begin() + 33, good.end());

    const std::pair<bytes, std::string> cases[] = {
        {crc_of("IHDR"), "damaged PNG: chunk CRC"},
        {crc_of("tEXt"), "damaged PNG: chunk CRC"},
        {crc_of("PLTE"), "damaged PNG: chunk CRC"},
        {crc_of("tRNS"), "damaged PNG: chunk CRC"},
        {crc_of("IDAT"), "damaged PNG: chunk CRC"},
        {crc_of("IDAT", 1), "damaged PNG: chunk CRC"},
        {crc_of("IEND"), "damaged PNG: chunk CRC"},
        {bytes(good.begin(), good.begin() + 20), "damaged PNG: ends early"},
        {bytes(good.begin(), good.begin() + static_cast<long>(second) + 10), "damaged PNG: ends early"},
        {bytes(good.begin(), good.end() - 12), "damaged PNG: ends early"},
        {fixed, "damaged PNG: bad zlib data"},
        {unknown, "damaged PNG: unknown critical chunk"},
        {fixture::build_png(past), "damaged PNG: palette index"},
        {fixture::build_png(past_interlaced), "damaged PNG: palette index"},
        {long_ihdr, "damaged PNG: IHDR length is not 13"},
        {fixture::build_png(wide), "the PNG is 3x5; the entry is 5x3"},
    };
    scene sc = e2e::make_scene(5, 3, fixture::plain_bmp(5, 3, 24, 1));
    e2e::scratch s;
    for (const auto& [png, message] : cases) {
        SCOPED_TRACE(message);
        s.write("game.dat", sc.a.data);
        s.write("in.png", png);
        e2e::result r = e2e::run({"game.dat", sc.name, "in.png"}, s.dir);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), "Error: " + message + ".\n");
        EXPECT_EQ(s.read("game.dat"), sc.a.data);
        EXPECT_EQ(e2e::run({"--mkxor", "game.dat", sc.name, "in.png", "p.xor"}, s.dir).status, 255);
        EXPECT_FALSE(s.exists("p.xor"));
    }
}

// An interlaced PNG larger than what is held in memory is held in a
// temporary file: the same pixels go in, and a PNG without alpha keeps the
// entry's fourth bytes.
TEST(Png, LargeInterlaced) {
    fixture::png_fields f;
    f.width = 1100;
    f.height = 1001;
    f.colour_type = 2;
    f.interlace = true;
    f.samples.resize(size_t{1100} * 1001 * 3);
    for (size_t k = 0; k < f.samples.size(); ++k) f.samples[k] = static_cast<uint16_t>((k * 13 + k / 3300) % 256);
    scene sc = e2e::make_scene(1100, 1001, fixture::plain_bmp(1, 1, 24, 1));
    e2e::scratch s;
    s.write("game.dat", sc.a.data);
    s.write("in.png", fixture::build_png(f));
    EXPECT_EQ(e2e::run({"game.dat", sc.name, "in.png"}, s.dir).status, 0);
    EXPECT_TRUE(s.read("game.dat") == e2e::with_payload(sc, fixture::png_payload(f, e2e::payload_of(sc.a.data, sc))));
}

}  // namespace
