// Packing a PNG or a BMP over an entry's pixels: everything that can refuse
// the image is decided before the first byte is written.
#include "base/failure.h"
#include "bmp/convert.h"
#include "ops/bands.h"

namespace velmorin {
namespace {

// A BMP: its headers, its pixel bytes and the size rules' plan, checked
// against the entry.
void plan_bmp(archive_file& archive, const located_entry& target, image_input& in, write_plan& plan) {
    bgra_image& img = plan.img;
    bmp_headers headers = read_bmp_headers(in.file.f, in.start);
    int64_t pixel_bytes = pixel_byte_count(headers.file);
    pixel_source& src = plan.source;
    const char* short_bmp = "Error: Unable to read whole bmp.\n";
    if (!read_input(archive, in.file, in.info, bmp_headers_size, pixel_bytes, short_bmp, &src.bytes))
        fail("%s", short_bmp);
    open_payload(archive, plan.img);
    uint32_t length = target.entry.length;
    src.kind = source_kind::bmp;
    src.plan =
        plan_conversion(choose_conversion(variant::pack, img, length, headers.info, pixel_bytes), img, length, headers);
    check_bmp(headers.file, headers.info, img);
}

}  // namespace

void plan_pack(archive_file& archive, const located_entry& target, const char* image_path, write_plan& plan) {
    plan.name = target.name;
    plan.directory = target.directory;
    plan.says_updated = true;
    // The entry is read first: one that is not an image stops the run before
    // the image is looked at.
    plan.img = read_bgra(archive, target);
    image_input in;
    if (!open_image(image_path, &in)) fail("Error: unable to open %s for reading.\n", image_path);
    read_image_start(in);
    if (in.png) {
        // Checked whole now; its rows go over the entry's, which keep their
        // fourth bytes where the PNG has no alpha.
        plan.source.kind = source_kind::png;
        plan.source.png.once = true;
        read_png(archive, in.file, in.info, in.start, plan.img, &plan.source.png);
    } else {
        plan_bmp(archive, target, in, plan);
    }
    plan.input = std::move(in.file);
}

void pack_entry(archive_file& archive, const located_entry& target, const char* image_path) {
    write_plan plan;
    plan_pack(archive, target, image_path, plan);
    apply_plan(archive, plan);
}

}  // namespace velmorin
