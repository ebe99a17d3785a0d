// The command line: which mode, which paths, and the hand-over to the
// operation once the entry is found.
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "base/failure.h"
#include "base/trace.h"
#include "base/stdout.h"
#include "cli/cli.h"
#include "ops/ops.h"
#include "io/output.h"

#ifndef VELMORIN_VERSION
#define VELMORIN_VERSION "unknown"
#endif

namespace velmorin {
namespace {

enum class mode {
    pack, mkxor, xor_apply, list, export_image, mkpatch, unxor, check, recover, export_all, pack_all, mkbundle, apply,
    remove, check_bundle, help, version
};

// How the archive is opened: never created or truncated; read-write where
// the mode may write it (all the original modes open it so, --mkxor
// included), read-only for the others, so a write-protected game install
// can be read. A mode that writes pixels locks it exclusively.
enum class archive_use { none, read_only, read_write, writes_pixels };

// Each form of the command line: its option word (none for pack), its
// argument count with the program's name, where its paths stand (0: none)
// and, in the usage text, what follows the program's name.
struct form {
    const char* word;
    int argc;
    mode chosen;
    archive_use archive;
    int entry, input, output;
    const char* usage;
};

const form forms[] = {
    {nullptr, 4, mode::pack, archive_use::writes_pixels, 2, 3, 0,
     "<game data archive> <filename to pack as> <file content to pack>"},
    {"--mkxor", 6, mode::mkxor, archive_use::read_write, 3, 4, 5,
     "--mkxor <game data archive> <packed filename> <filename to pack> <output filename>"},
    {"--xor", 5, mode::xor_apply, archive_use::writes_pixels, 3, 4, 0,
     "--xor <game data archive> <packed filename> <input file>"},
    {"--list", 3, mode::list, archive_use::read_only, 0, 0, 0, "--list <game data archive>"},
    {"--export", 5, mode::export_image, archive_use::read_only, 3, 0, 4,
     "--export <game data archive> <packed filename> <output filename>"},
    {"--mkpatch", 6, mode::mkpatch, archive_use::read_only, 3, 4, 5,
     "--mkpatch <game data archive> <packed filename> <filename to pack> <output filename>"},
    {"--unxor", 5, mode::unxor, archive_use::writes_pixels, 3, 4, 0,
     "--unxor <game data archive> <packed filename> <input file>"},
    {"--check", 5, mode::check, archive_use::read_only, 3, 4, 0,
     "--check <game data archive> <packed filename> <input file>"},
    {"--recover", 3, mode::recover, archive_use::writes_pixels, 0, 0, 0, "--recover <game data archive>"},
    {"--export-all", 4, mode::export_all, archive_use::read_only, 0, 0, 3, "--export-all <game data archive> <folder>"},
    {"--pack-all", 4, mode::pack_all, archive_use::writes_pixels, 0, 3, 0, "--pack-all <game data archive> <folder>"},
    {"--mkbundle", 5, mode::mkbundle, archive_use::read_only, 0, 3, 4,
     "--mkbundle <game data archive> <folder> <output filename>"},
    {"--apply", 4, mode::apply, archive_use::writes_pixels, 0, 3, 0, "--apply <game data archive> <bundle>"},
    {"--remove", 4, mode::remove, archive_use::writes_pixels, 0, 3, 0, "--remove <game data archive> <bundle>"},
    {"--check", 4, mode::check_bundle, archive_use::read_only, 0, 3, 0, "--check <game data archive> <bundle>"},
    {"--help", 2, mode::help, archive_use::none, 0, 0, 0, nullptr},
    {"--version", 2, mode::version, archive_use::none, 0, 0, 0, nullptr},
};

std::string usage_text() {
    std::string text = "Usage:\n";
    for (const form& f : forms)
        if (f.usage) text += std::string("\tvelmorin ") + f.usage + "\n";
    return text;
}

struct command {
    const form* chosen;  // nullptr: no form matches
    const char* archive_path;
    const char* entry_name;
    const char* input_path;
    const char* output_path;
};

// A form with an option word, spelled exactly as the first argument, holds
// before the pack; otherwise four arguments are a pack.
command parse(int argc, char** argv) {
    for (bool worded : {true, false}) {
        for (const form& f : forms) {
            if (argc != f.argc || (f.word != nullptr) != worded || (f.word && strcmp(argv[1], f.word) != 0))
                continue;
            auto at = [&](int k) { return k > 0 ? argv[k] : nullptr; };
            return command{&f, at(f.archive == archive_use::none ? 0 : f.word ? 2 : 1), at(f.entry), at(f.input),
                           at(f.output)};
        }
    }
    return command{nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Before a word is said: no file the run reads may be where its words go,
// and an output that is standard output takes it over.
void check_streams(const archive_file& archive, const command& cmd) {
    refuse_input_as_stream(archive.info, archive.path);
    file_info info;
    if (cmd.input_path && describe_path(cmd.input_path, &info)) refuse_input_as_stream(info, cmd.input_path);
    if (cmd.output_path && describe_path(cmd.output_path, &info)) judge_output_streams(info, cmd.output_path);
}

// The command line's run, from the arguments to the end of the operation.
void run_command(int argc, char** argv) {
    if (!guard_process()) fail("Error: cannot open /dev/null for a closed standard stream.\n");
    command cmd = parse(argc, argv);
    if (!cmd.chosen) fail("%s", usage_text().c_str());
    mode chosen = cmd.chosen->chosen;
    if (chosen == mode::help) return print_answer(usage_text().c_str());
    if (chosen == mode::version) return print_answer("velmorin " VELMORIN_VERSION "\n");

    archive_file archive;
    archive.path = cmd.archive_path;
    archive.writes = cmd.chosen->archive == archive_use::writes_pixels;
    archive.handle.f = open_archive(cmd.archive_path, cmd.chosen->archive != archive_use::read_only);
    if (!is_open(archive.handle.f) || !describe_file(archive.handle.f, &archive.info))
        fail("Error opening %s\n", cmd.archive_path);
    check_streams(archive, cmd);

    if (chosen == mode::list) return list_entries(archive);
    if (chosen == mode::recover) return recover_archive(archive);
    if (chosen == mode::export_all) return export_all(archive, cmd.output_path);
    if (chosen == mode::pack_all) return pack_all(archive, cmd.input_path);
    if (chosen == mode::mkbundle) return make_bundle(archive, cmd.input_path, cmd.output_path);
    if (chosen == mode::apply || chosen == mode::remove)
        return apply_bundle(archive, cmd.input_path, chosen == mode::remove);
    if (chosen == mode::check_bundle) return check_bundle(archive, cmd.input_path);
    located_entry target;
    // A missing entry is neither success nor a failure of the tool.
    if (!find_entry(archive, cmd.entry_name, &target)) end_run(1);

    switch (chosen) {
        case mode::pack:
            return pack_entry(archive, target, cmd.input_path);
        case mode::mkxor:
        case mode::mkpatch:
            return make_xor(archive, target, cmd.input_path, cmd.output_path, chosen == mode::mkpatch);
        case mode::xor_apply:
        case mode::unxor:
            return apply_xor(archive, target, cmd.input_path, chosen == mode::unxor);
        case mode::check:
            return check_patch(archive, target, cmd.input_path);
        case mode::export_image:
            return export_entry(archive, target, cmd.output_path);
        default:
            end_run(255);
    }
}

}  // namespace

int run_tool(int argc, char** argv, bool quiet) {
    // What the run has to say is its own, made fresh for it.
    std::unique_ptr<run_output> out(new (std::nothrow) run_output);
    if (!out) {
        trace("Error: out of memory.\n");
        return 255;
    }
    out->quiet = quiet;
    output_scope installed(*out);
    int status = 0;
    // What the language's library throws (memory or a thread it could not
    // have) ends the run here too, with one line, never with an abort.
    try {
        run_command(argc, argv);
    } catch (const run_ended& end) {
        status = end.status;
    } catch (const std::bad_alloc&) {
        trace("Error: out of memory.\n");
        status = 255;
    } catch (const std::exception& e) {
        trace("Error: %s.\n", e.what());
        status = 255;
    }
    flush_trace();
    return status;
}

}  // namespace velmorin
