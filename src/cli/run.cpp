// The command line: which mode, which paths, and the hand-over to the
// operation once the entry is found.
#include <cstring>

#include "cli/cli.h"
#include "ops/ops.h"

#ifndef VELMORIN_VERSION
#define VELMORIN_VERSION "unknown"
#endif

namespace velmorin {
namespace {

enum class mode { pack, mkxor, xor_apply, list, export_bmp, mkpatch, unxor, check, help, version, usage };

struct command {
    mode chosen;
    const char* archive_path;
    const char* entry_name;
    const char* input_path;
    const char* output_path;
};

const char usage_text[] =
    "Usage:\n"
    "\tvelmorin <game data archive> <filename to pack as> <file content to pack>\n"
    "\tvelmorin --mkxor <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --xor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --list <game data archive>\n"
    "\tvelmorin --export <game data archive> <packed filename> <output filename>\n"
    "\tvelmorin --mkpatch <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --unxor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --check <game data archive> <packed filename> <input file>\n";

// The first test that holds decides; option words count only as the first
// argument, spelled exactly. Four arguments are always a pack.
command parse(int argc, char** argv) {
    auto option = [&](int count, const char* word) { return argc == count && strcmp(argv[1], word) == 0; };
    if (argc == 4) return command{mode::pack, argv[1], argv[2], argv[3], nullptr};
    if (option(6, "--mkxor")) return command{mode::mkxor, argv[2], argv[3], argv[4], argv[5]};
    if (option(5, "--xor")) return command{mode::xor_apply, argv[2], argv[3], argv[4], nullptr};
    if (option(3, "--list")) return command{mode::list, argv[2], nullptr, nullptr, nullptr};
    if (option(5, "--export")) return command{mode::export_bmp, argv[2], argv[3], nullptr, argv[4]};
    if (option(6, "--mkpatch")) return command{mode::mkpatch, argv[2], argv[3], argv[4], argv[5]};
    if (option(5, "--unxor")) return command{mode::unxor, argv[2], argv[3], argv[4], nullptr};
    if (option(5, "--check")) return command{mode::check, argv[2], argv[3], argv[4], nullptr};
    if (option(2, "--help")) return command{mode::help, nullptr, nullptr, nullptr, nullptr};
    if (option(2, "--version")) return command{mode::version, nullptr, nullptr, nullptr, nullptr};
    return command{mode::usage, nullptr, nullptr, nullptr, nullptr};
}

// The run's messages or listing would be written into the archive itself. A
// stream whose identity cannot be read might be the archive: the run refuses
// rather than guess. A message that would go into the archive is not shown.
void refuse_archive_as_stream(const archive_file& archive) {
    stream_match out = is_stream(archive.info, 1);
    stream_match err = is_stream(archive.info, 2);
    if (out == stream_match::no && err == stream_match::no) return;
    if (out != stream_match::no) silence_stream(1);
    if (err != stream_match::no) silence_stream(2);
    if (out == stream_match::yes || err == stream_match::yes)
        fail("Error: %s is also an output stream of this run; refusing to use it.\n", archive.path);
    fail("Error: cannot tell whether an output stream of this run is %s; refusing to use it.\n", archive.path);
}

}  // namespace

[[noreturn]] void run_tool(int argc, char** argv) {
    if (!guard_process()) fail("Error: cannot open /dev/null for a closed standard stream.\n");
    command cmd = parse(argc, argv);
    if (cmd.chosen == mode::usage) fail("%s", usage_text);
    if (cmd.chosen == mode::help || cmd.chosen == mode::version) {
        print_stdout(cmd.chosen == mode::help ? usage_text : "velmorin " VELMORIN_VERSION "\n");
        finish(0);
    }

    // Never created or truncated; read-write where the mode may write it
    // (all the original modes open it so, --mkxor included), read-only for
    // the others, so a write-protected game install can be read.
    bool reads_only = cmd.chosen == mode::list || cmd.chosen == mode::export_bmp || cmd.chosen == mode::mkpatch ||
                      cmd.chosen == mode::check;
    archive_file archive;
    archive.path = cmd.archive_path;
    archive.writes = cmd.chosen == mode::pack || cmd.chosen == mode::xor_apply || cmd.chosen == mode::unxor;
    archive.handle.f = open_archive(cmd.archive_path, !reads_only);
    if (!is_open(archive.handle.f) || !describe_file(archive.handle.f, &archive.info))
        fail("Error opening %s\n", cmd.archive_path);
    refuse_archive_as_stream(archive);

    if (cmd.chosen == mode::list) list_entries(archive);
    located_entry target;
    // A missing entry is neither success nor a failure of the tool.
    if (!find_entry(archive, cmd.entry_name, &target)) finish(1);

    switch (cmd.chosen) {
        case mode::pack:
            pack_entry(archive, target, cmd.input_path);
        case mode::mkxor:
        case mode::mkpatch:
            make_xor(archive, target, cmd.input_path, cmd.output_path, cmd.chosen == mode::mkpatch);
        case mode::xor_apply:
        case mode::unxor:
            apply_xor(archive, target, cmd.input_path, cmd.chosen == mode::unxor);
        case mode::check:
            check_patch(archive, target, cmd.input_path);
        case mode::export_bmp:
            export_entry(archive, target, cmd.output_path);
        default:
            break;
    }
    finish(255);
}

}  // namespace velmorin
