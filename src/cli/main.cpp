#include <exception>
#include <new>

#include "base/file.h"
#include "base/run.h"
#include "cli/cli.h"

namespace {

// The tool's own failures end the run where they are met; what the
// language's library throws (memory or a thread it could not have) ends it
// here, with one line, never with an abort.
template <typename Run>
[[noreturn]] void run_caught(Run run) {
    try {
        run();
    } catch (const std::bad_alloc&) {
        velmorin::fail("Error: out of memory.\n");
    } catch (const std::exception& e) {
        velmorin::fail("Error: %s.\n", e.what());
    }
    velmorin::finish(255);
}

}  // namespace

#ifdef _WIN32
// Windows hands the arguments over in UTF-16, so that any path can be named;
// the tool works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv) {
    run_caught([&] { velmorin::run_tool(argc, velmorin::utf8_arguments(argc, argv)); });
}
#else
int main(int argc, char** argv) {
    run_caught([&] { velmorin::run_tool(argc, argv); });
}
#endif
