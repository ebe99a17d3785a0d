// The command line.
#pragma once

namespace velmorin {

// The whole tool: parses the command line, opens the archive, finds the
// entry and runs the chosen operation. Returns the run's exit status, with
// everything it had to say written out. The only place a run ends.
// `quiet`: it says nothing (a run inside another program, the fuzzer).
int run_tool(int argc, char** argv, bool quiet = false);

}  // namespace velmorin
