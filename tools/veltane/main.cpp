// veltane: restores a recording file from the command line.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "veltane/StopSignals.h"
#include "veltane/Tool.h"

int main(int argc, char** argv) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  // First of all, so that no phase runs without it.
  veltane::StopSignals::Install(terminal);
  // Past the file size limit a write should fail (EFBIG) like one to a full
  // disk, so that the run ends with its message and removes its temporary
  // file, rather than being killed half-way through.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  veltane::ToolEnvironment environment;
  environment.stderrIsTerminal = terminal;
  return veltane::RunTool(args, std::cout, std::cerr, environment);
}
