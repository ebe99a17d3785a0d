// The command line: which mode, which paths, and the hand-over to the
// operation once the entry is found.
#include <cstring>
#include <exception>
#include <new>

#include "cli/cli.h"
#include "ops/ops.h"
#include "ops/output.h"

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
    if (cmd.chosen == mode::usage) fail("%s", usage_text);
    if (cmd.chosen == mode::help || cmd.chosen == mode::version) {
        return print_answer(cmd.chosen == mode::help ? usage_text : "velmorin " VELMORIN_VERSION "\n");
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
    check_streams(archive, cmd);

    if (cmd.chosen == mode::list) return list_entries(archive);
    located_entry target;
    // A missing entry is neither success nor a failure of the tool.
    if (!find_entry(archive, cmd.entry_name, &target)) end_run(1);

    switch (cmd.chosen) {
        case mode::pack:
            return pack_entry(archive, target, cmd.input_path);
        case mode::mkxor:
        case mode::mkpatch:
            return make_xor(archive, target, cmd.input_path, cmd.output_path, cmd.chosen == mode::mkpatch);
        case mode::xor_apply:
        case mode::unxor:
            return apply_xor(archive, target, cmd.input_path, cmd.chosen == mode::unxor);
        case mode::check:
            return check_patch(archive, target, cmd.input_path);
        case mode::export_bmp:
            return export_entry(archive, target, cmd.output_path);
        default:
            end_run(255);
    }
}

}  // namespace

int run_tool(int argc, char** argv) {
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
    release_signals();
    return status;
}

}  // namespace velmorin
