#include "base/file.h"
#include "cli/cli.h"

#ifdef _WIN32
// Windows hands the arguments over in UTF-16, so that any path can be named;
// the tool works in UTF-8 throughout.
int wmain(int argc, wchar_t** argv) { velmorin::run_tool(argc, velmorin::utf8_arguments(argc, argv)); }
#else
int main(int argc, char** argv) { velmorin::run_tool(argc, argv); }
#endif
