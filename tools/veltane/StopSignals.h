// How the veltane executable ends on SIGINT, SIGTERM and SIGHUP: at once, in
// whatever it is doing (opening a pipe that has no writer, waiting for a
// stalled one, processing, writing, syncing), with exit code 9, its message,
// and no temporary file left behind.
//
// A library call blocked on a pipe cannot be made to return, so the handler
// itself removes the registered temporary file and ends the process; the
// file is registered and unregistered under a Hold, so the handler never
// sees it half made or already renamed. Process-wide state; the tests that
// run the tool in-process install nothing and stop it by polling instead.
#pragma once

#include <signal.h>

#include <string>

namespace veltane {

class StopSignals {
 public:
  // Catches the three stop signals, except one ignored when the process
  // started (nohup, a shell's background job), which stays ignored.
  // `onTerminal`: stderr is a terminal, whose progress line the message
  // must not run into. `silent`: no message (a folder-mode worker, whose
  // parent reports for it).
  static void Install(bool onTerminal, bool silent = false);

  // While one exists the stop signals wait; one that arrived meanwhile
  // acts when the last Hold ends.
  class Hold {
   public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Whether a stop signal waits to act.
    static bool StopPending();
    // Takes the waiting stop signals, so that they do not act when the
    // last Hold ends; whether there were any.
    static bool TakePending();

   private:
    sigset_t previous;
  };

  // The temporary file to remove on a stop signal; empty for none. Call
  // under a Hold. `done`: OUTPUT is in place, so a later stop no longer
  // says that it was not written.
  static void SetTemporaryFile(const std::string& path, bool done = false);
};

}  // namespace veltane
