#include "cli/cli.h"

int main(int argc, char** argv) { velmorin::run_tool(argc, argv); }
