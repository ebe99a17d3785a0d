// The command line.
#pragma once

namespace velmorin {

// The whole tool: parses the command line, opens the archive, finds the
// entry and runs the chosen operation. Never returns.
[[noreturn]] void run_tool(int argc, char** argv);

}  // namespace velmorin
