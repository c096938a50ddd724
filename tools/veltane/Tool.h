// The veltane command as a function: arguments in, exit code out, so that
// tests run it in-process. main() adds only the signal handling and the
// terminal check.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace veltane {

struct ToolEnvironment {
  bool stderrIsTerminal = false;       // progress bar only on a terminal
  // Polled between blocks; the executable needs none, its stop signals end
  // the process themselves (StopSignals).
  std::function<bool()> stopRequested;
};

// `args` excludes the program name. Help, version and the summary go to
// `out`; the progress bar and the one-sentence error messages to `err`.
// Returns an ExitCode value.
int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            const ToolEnvironment& environment);

}  // namespace veltane
