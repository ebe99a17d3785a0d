// Applying, removing and checking an XOR patch.
//
// A raw patch applies wherever it is put (XOR undoes itself). A checked
// patch says what it applies to: the entry's size and the hashes of its
// pixels before and after. Before the first pixel byte is written, one pass
// over the entry's pixels and the patch hashes what the entry holds and what
// it would hold, and the patch is refused unless that is what it was made
// for.
#include "base/stdout.h"
#include "base/trace.h"
#include "ops/bands.h"
#include "ops/ops.h"
#include "patch/verdict.h"

namespace velmorin {

write_plan plan_patch(archive_file& archive, const located_entry& target, const char* patch_path, bool undo) {
    patch_run run;
    start_patch_run(archive, target, patch_path, &run);
    const check_block& block = run.block;
    write_plan plan;
    // What the checks saw of the patch: the write checks it again.
    if (run.checked && undo)
        plan.source.seen = check_direction(block, run.img, run.patch.body, block.after, block.before,
                                           "Error: the patch is not applied to this entry; nothing was changed.\n");
    else if (run.checked)
        plan.source.seen = check_direction(block, run.img, run.patch.body, block.before, block.after,
                                           "Error: the patch is already applied to this entry; nothing was changed.\n");
    plan.name = target.name;
    plan.directory = target.directory;
    plan.img = std::move(run.img);
    plan.input = std::move(run.file);
    plan.source.kind = source_kind::patched;
    plan.source.bytes = std::move(run.patch.body);
    return plan;
}

void apply_xor(archive_file& archive, const located_entry& target, const char* patch_path, bool undo) {
    write_plan plan = plan_patch(archive, target, patch_path, undo);
    apply_plan(archive, plan);
}

void check_patch(archive_file& archive, const located_entry& target, const char* patch_path) {
    patch_run run;
    start_patch_run(archive, target, patch_path, &run);
    const char* answer = run.checked ? "other\n" : "unchecked\n";
    // Why another: one line on the error stream; the answer stays one word.
    if (run.checked && !same_size(run.block, run.img)) {
        trace("other: %s\n", other_size(run.block, run.img).c_str());
    } else if (run.checked) {
        entry_hashes h = hash_pixels(run.img, run.patch.body);
        if (h.held == run.block.before) {
            check_result(h.patched, run.block.after);
            answer = "applicable\n";
        } else if (h.held == run.block.after) {
            check_result(h.patched, run.block.before);
            answer = "applied\n";
        } else {
            trace("other: this entry holds neither the pixels the patch applies to nor the ones it gives.\n");
        }
    }
    print_answer(answer);
}

}  // namespace velmorin
