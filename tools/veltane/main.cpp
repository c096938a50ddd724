// veltane: restores a recording file from the command line.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "veltane/Tool.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) { stopSignal = signal; }

// The first Ctrl-C ends the run cleanly (no OUTPUT, temporary file gone);
// the handler then reverts to the default, so a second one stops at once.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // Past the file size limit a write should fail (EFBIG) like one to a full
  // disk, so that the run ends with its message and removes its temporary
  // file, rather than being killed half-way through.
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  CatchStopSignals();
  std::vector<std::string> args(argv + 1, argv + argc);
  veltane::ToolEnvironment environment;
  environment.stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
  environment.stopRequested = [] { return stopSignal != 0; };
  return veltane::RunTool(args, std::cout, std::cerr, environment);
}
