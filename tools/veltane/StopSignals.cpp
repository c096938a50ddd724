// Stop signals: clean up and end at once.
#include "veltane/StopSignals.h"

#include <unistd.h>

#include <cstring>

namespace veltane {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Read by the handler: plain storage, written only while the signals wait.
char temporaryFile[4096];
bool outputDone = false;
bool terminal = false;
bool silence = false;

void Say(const char* text) {
  // Nothing to do if stderr is gone; the exit code still tells.
  if (::write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
}

void OnStop(int) {
  if (temporaryFile[0] != '\0') ::unlink(temporaryFile);
  if (silence) ::_exit(9);
  if (terminal) Say("\n");
  Say(outputDone ? "veltane: interrupted after OUTPUT was written.\n"
                 : "veltane: interrupted; OUTPUT was not written.\n");
  ::_exit(9);
}

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kStopSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void StopSignals::Install(bool onTerminal, bool silent) {
  terminal = onTerminal;
  silence = silent;
  struct sigaction action {};
  action.sa_handler = OnStop;
  // A second stop signal waits while the first cleans up, and the handler
  // never returns, so it never runs.
  action.sa_mask = StopSet();
  for (int signal : kStopSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

StopSignals::Hold::Hold() {
  const sigset_t set = StopSet();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous);
}

StopSignals::Hold::~Hold() { ::pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

bool StopSignals::Hold::StopPending() {
  sigset_t pending;
  sigemptyset(&pending);
  if (::sigpending(&pending) != 0) return false;
  for (int signal : kStopSignals) {
    if (sigismember(&pending, signal) == 1) return true;
  }
  return false;
}

bool StopSignals::Hold::TakePending() {
  const sigset_t set = StopSet();
  const struct timespec now {};
  bool taken = false;
  while (::sigtimedwait(&set, nullptr, &now) > 0) taken = true;
  return taken;
}

void StopSignals::SetTemporaryFile(const std::string& path, bool done) {
  const size_t length = path.size() < sizeof temporaryFile ? path.size() : 0;
  std::memcpy(temporaryFile, path.data(), length);
  temporaryFile[length] = '\0';
  outputDone = done;
}

}  // namespace veltane
