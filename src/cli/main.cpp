// The process: its arguments in, its exit status out.
#include <exception>

#include "base/file.h"
#include "base/trace.h"
#include "cli/cli.h"

#ifdef _WIN32
// Windows hands the arguments over in UTF-16, so that any path can be named;
// the tool works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv) {
    char** args;
    try {
        args = velmorin::utf8_arguments(argc, argv);
    } catch (const std::exception&) {
        velmorin::trace("Error: out of memory.\n");
        velmorin::flush_trace();
        return 255;
    }
    return velmorin::run_tool(argc, args);
}
#else
int main(int argc, char** argv) { return velmorin::run_tool(argc, argv); }
#endif
