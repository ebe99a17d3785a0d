// The command line.
#pragma once

namespace velmorin {

// The whole tool: parses the command line, opens the archive, finds the
// entry and runs the chosen operation. Returns the run's exit status, with
// everything it had to say written out. The only place a run ends: a signal
// held back while the archive was written takes effect here, after the
// run's last word.
int run_tool(int argc, char** argv);

}  // namespace velmorin
