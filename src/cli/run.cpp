// The command line: which mode, which paths, and the hand-over to the
// operation once the entry is found.
#include <fcntl.h>

#include <cstring>

#include "cli/cli.h"
#include "ops/ops.h"

namespace velmorin {
namespace {

enum class mode { pack, mkxor, xor_apply, usage };

struct command {
    mode chosen;
    const char* archive_path;
    const char* entry_name;
    const char* input_path;
    const char* output_path;
};

// The first test that holds decides; option words count only as the first
// argument, spelled exactly.
command parse(int argc, char** argv) {
    if (argc == 4) return command{mode::pack, argv[1], argv[2], argv[3], nullptr};
    if (argc == 6 && strcmp(argv[1], "--mkxor") == 0) return command{mode::mkxor, argv[2], argv[3], argv[4], argv[5]};
    if (argc == 5 && strcmp(argv[1], "--xor") == 0) return command{mode::xor_apply, argv[2], argv[3], argv[4], nullptr};
    return command{mode::usage, nullptr, nullptr, nullptr, nullptr};
}

}  // namespace

[[noreturn]] void run_tool(int argc, char** argv) {
    guard_process();
    command cmd = parse(argc, argv);
    if (cmd.chosen == mode::usage)
        fail(
            "Usage:\n"
            "\tvelmorin <game data archive> <filename to pack as> <file content to pack>\n"
            "\tvelmorin --mkxor <game data archive> <packed filename> <filename to pack> "
            "<output filename>\n"
            "\tvelmorin --xor <game data archive> <packed filename> <input file>\n");

    // Read-write in every mode, never created or truncated.
    archive_file archive;
    archive.handle.fd = open(cmd.archive_path, O_RDWR | O_CLOEXEC);
    if (archive.handle.fd < 0 || !describe_fd(archive.handle.fd, &archive.info))
        fail("Error opening %s\n", cmd.archive_path);
    // The run's messages would be written into the archive itself.
    if (is_stream(archive.info, 1) || is_stream(archive.info, 2)) {
        silence_stream(archive.info);
        fail("Error: %s is also an output stream of this run; refusing to use it.\n", cmd.archive_path);
    }
    // One run at a time may write the archive, and none may read it meanwhile.
    lock_file(archive.handle.fd, cmd.chosen != mode::mkxor, cmd.archive_path);

    entry_match match = find_entry(archive, cmd.entry_name);
    // A missing entry is neither success nor a failure of the tool.
    if (!match.found) finish(1);

    switch (cmd.chosen) {
        case mode::pack:
            pack_entry(archive, match.data_offset, cmd.input_path, match.entry);
        case mode::mkxor:
            make_xor(cmd.output_path, archive, match.data_offset, match.entry, cmd.input_path);
        case mode::xor_apply:
            apply_xor(archive, match.data_offset, match.entry, cmd.input_path);
        case mode::usage:
            break;
    }
    finish(255);
}

}  // namespace velmorin
