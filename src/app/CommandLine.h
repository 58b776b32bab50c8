#pragma once

#include <optional>

// The program's own arguments: --version and --help, and the commands that ask the running
// instance over the session bus (--status, --sync-now, --pause, --resume). All are answered
// before anything of the agent starts, and anything else is refused, so that a mistyped command
// never leaves a second agent running in the background.
namespace CommandLine {

// Nothing when the program should start; otherwise the exit status, the answer already printed.
std::optional<int> handle(int argc, const char* const* argv);

} // namespace CommandLine
