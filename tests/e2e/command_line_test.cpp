// The command line: its forms, the usage text, and how the archive is
// opened for each.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runner.h"

using e2e::result;
using fixture::bytes;
using fixture::entry;

namespace {

const std::string usage =
    "Usage:\n"
    "\tvelmorin <game data archive> <filename to pack as> <file content to pack>\n"
    "\tvelmorin --mkxor <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --xor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --list <game data archive>\n"
    "\tvelmorin --export <game data archive> <packed filename> <output filename>\n"
    "\tvelmorin --mkpatch <game data archive> <packed filename> <filename to pack> <output filename>\n"
    "\tvelmorin --unxor <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --check <game data archive> <packed filename> <input file>\n"
    "\tvelmorin --recover <game data archive>\n"
    "\tvelmorin --export-all <game data archive> <folder>\n"
    "\tvelmorin --pack-all <game data archive> <folder>\n"
    "\tvelmorin --mkbundle <game data archive> <folder> <output filename>\n"
    "\tvelmorin --apply <game data archive> <bundle>\n"
    "\tvelmorin --remove <game data archive> <bundle>\n"
    "\tvelmorin --check <game data archive> <bundle>\n";

TEST(CommandLine, NoArgumentsAtAll) {
    SKIP_WHEN_LAUNCHED("a launcher always passes the program's name");
    e2e::scratch s;
    e2e::expect_result(e2e::run_without_argv(s.dir), 255, usage);
}

// Every argument count and the option-word rules. None of the archives named
// here exists, so a form that is accepted stops at the open.
TEST(CommandLine, FormsAndOptionWords) {
    struct form {
        std::vector<std::string> args;
        std::string err;
        int status = 255;
        std::string out = "";
    };
    const std::vector<form> forms = {
        {{"--help"}, "", 0, usage},
        {{"--version"}, "", 0, "velmorin " VELMORIN_VERSION "\n"},
        {{"--help", "a"}, usage},
        {{"-h"}, usage},
        {{"--list", "a"}, "Error opening a\n"},
        {{"--list"}, usage},
        {{"--list", "a", "b"}, "Error opening --list\n"},  // four words: a pack
        {{"--LIST", "a"}, usage},
        {{"--export", "a", "b", "c"}, "Error opening a\n"},
        {{"--export", "a", "b"}, "Error opening --export\n"},
        {{"--export", "a", "b", "c", "d"}, usage},
        {{"--mkpatch", "a", "b", "c", "d"}, "Error opening a\n"},
        {{"--unxor", "a", "b", "c"}, "Error opening a\n"},
        {{"--check", "a", "b", "c"}, "Error opening a\n"},
        {{"--check", "a", "b"}, "Error opening a\n"},  // a bundle's check
        {{"--unxor", "a", "b", "c", "d"}, usage},
        {{"--recover", "a"}, "Error opening a\n"},
        {{"--recover"}, usage},
        {{"--recover", "a", "b"}, "Error opening --recover\n"},
        {{"--recover", "a", "b", "c"}, usage},
        // The folder modes' words hold before the pack's three words.
        {{"--export-all", "a", "b"}, "Error opening a\n"},
        {{"--export-all", "a"}, usage},
        {{"--Export-all", "a", "b"}, "Error opening --Export-all\n"},
        {{"--pack-all", "a", "b"}, "Error opening a\n"},
        {{"--pack-all", "a", "b", "c"}, usage},
        // So do the bundles'.
        {{"--mkbundle", "a", "b", "c"}, "Error opening a\n"},
        {{"--mkbundle", "a", "b"}, "Error opening --mkbundle\n"},
        {{"--apply", "a", "b"}, "Error opening a\n"},
        {{"--apply", "a", "b", "c"}, usage},
        {{"--remove", "a", "b"}, "Error opening a\n"},
        {{"--Remove", "a", "b"}, "Error opening --Remove\n"},
        {{}, usage},
        {{"a"}, usage},
        {{"a", "b"}, usage},
        {{"a", "b", "c"}, "Error opening a\n"},
        // Three words are always a pack command, whatever they are.
        {{"--xor", "a", "b"}, "Error opening --xor\n"},
        {{"--mkxor", "a", "b"}, "Error opening --mkxor\n"},
        {{"--xor", "a", "b", "c"}, "Error opening a\n"},
        {{"--XOR", "a", "b", "c"}, usage},
        {{"-xor", "a", "b", "c"}, usage},
        {{"--xor ", "a", "b", "c"}, usage},
        {{"a", "--xor", "b", "c"}, usage},
        {{"--mkxor", "a", "b", "c"}, usage},
        {{"--mkxor", "a", "b", "c", "d"}, "Error opening a\n"},
        {{"--MKXOR", "a", "b", "c", "d"}, usage},
        {{"-mkxor", "a", "b", "c", "d"}, usage},
        {{"a", "--mkxor", "b", "c", "d"}, usage},
        {{"--xor", "a", "b", "c", "d"}, usage},
        {{"a", "b", "c", "d", "e", "f"}, usage},
        {{"--mkxor", "a", "b", "c", "d", "e"}, usage},
    };
    e2e::scratch s;
    for (const form& f : forms) {
        std::string words;
        for (const std::string& w : f.args) words += "[" + w + "]";
        SCOPED_TRACE(words);
        e2e::expect_result(e2e::run(f.args, s.dir), f.status, f.err, f.out);
    }
}

TEST(CommandLine, ArchiveThatCannotBeOpenedForWriting) {
    e2e::scratch s;
    mkdir(s.path("dir").c_str(), 0755);
    e2e::expect_result(e2e::run({"dir", "a", "b"}, s.dir), 255, "Error opening dir\n");
    e2e::expect_result(e2e::run({"--xor", "dir", "a", "b"}, s.dir), 255, "Error opening dir\n");
    e2e::expect_result(e2e::run({"--mkxor", "dir", "a", "b", "c"}, s.dir), 255, "Error opening dir\n");
    // Nothing is created in place of a missing archive.
    e2e::expect_result(e2e::run({"missing.dat", "a", "b"}, s.dir), 255, "Error opening missing.dat\n");
    EXPECT_FALSE(s.exists("missing.dat"));
}

// An archive the user may only read is refused in every mode that opens it
// for writing, --mkxor included, which would never write it. Run as an unprivileged user: root
// may write anything.
TEST(CommandLine, ArchiveTheUserMayNotWrite) {
    SKIP_WHEN_LAUNCHED("POSIX users and permissions");
    std::optional<std::string> as_user = e2e::unprivileged();
    if (!as_user) GTEST_SKIP() << "running as root and setpriv is not installed";
    const std::string& prefix = *as_user;
    e2e::scratch s;
    chmod(s.dir.c_str(), 0755);
    fixture::archive a = fixture::build_archive({fixture::image("img", 2, 2, 1)});
    s.write("game.dat", a.data);
    s.write("in.bmp", fixture::build_bmp(fixture::plain_bmp(2, 2, 32, 1)));
    s.write("p.xor", bytes(16, 1));
    chmod(s.path("game.dat").c_str(), 0444);
    chmod(s.path("in.bmp").c_str(), 0444);
    chmod(s.path("p.xor").c_str(), 0444);
    e2e::result probe = e2e::run_shell(prefix + "sh -c 'test -r game.dat && ! test -w game.dat'", s.dir);
    if (probe.status != 0) GTEST_SKIP() << "cannot become a user who may read but not write the archive";
    for (const std::string& args :
         {std::string("game.dat img in.bmp"), std::string("--mkxor game.dat img in.bmp /tmp/never.xor"),
          std::string("--xor game.dat img p.xor")}) {
        SCOPED_TRACE(args);
        e2e::expect_result(e2e::run_shell(prefix + "\"$VELMORIN\" " + args, s.dir), 255, "Error opening game.dat\n");
    }
    // Listing, exporting, making a checked patch and checking one only read it.
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --list game.dat", s.dir).out, "0\t16\t32\t2x2\timg\n");
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --export game.dat img /dev/null", s.dir).status, 0);
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --mkpatch game.dat img in.bmp /dev/null", s.dir).status, 0);
    EXPECT_EQ(e2e::run_shell(prefix + "\"$VELMORIN\" --check game.dat img p.xor", s.dir).out, "unchecked\n");
    EXPECT_EQ(s.read("game.dat"), a.data);
}

}  // namespace
