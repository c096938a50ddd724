// Exit codes of the veltane tool and the status its units hand back.
//
// The codes are part of the tool's interface (listed in --help and the
// README): scripts tell the failures apart by them, so they never change
// meaning once released.
#pragma once

#include <iterator>
#include <string>
#include <utility>

namespace veltane {

enum class ExitCode : int {
  Ok = 0,
  Internal = 1,          // the restoration itself failed (out of memory, a stalled chain)
  Usage = 2,             // bad options or arguments
  InputMissing = 3,      // INPUT does not exist
  InputUnreadable = 4,   // INPUT exists but cannot be read (permissions, a directory)
  InputCorrupt = 5,      // INPUT is not audio libsndfile can decode, or is damaged
  Unsupported = 6,       // readable audio that veltane cannot restore or write as asked
  OutputUnwritable = 7,  // OUTPUT cannot be created or written
  SameFile = 8,          // OUTPUT names the same file as INPUT
  Interrupted = 9,       // stopped by a signal (Ctrl-C, SIGTERM, SIGHUP)
  OutputExists = 10,     // folder mode: OUTPUT is there and --overwrite was not given
};

// Folder mode ends with the most severe of its files' codes: a stopped run
// first, then failures of the machine or the tool (which may strike every
// file), then what is wrong with one INPUT, then refusals by rule.
inline int Severity(ExitCode code) {
  constexpr ExitCode kMildToSevere[] = {ExitCode::Ok,           ExitCode::OutputExists,    ExitCode::SameFile,
                                        ExitCode::InputMissing, ExitCode::InputUnreadable, ExitCode::InputCorrupt,
                                        ExitCode::Unsupported,  ExitCode::OutputUnwritable, ExitCode::Usage,
                                        ExitCode::Internal,     ExitCode::Interrupted};
  for (int rank = 0; rank < static_cast<int>(std::size(kMildToSevere)); ++rank) {
    if (kMildToSevere[rank] == code) return rank;
  }
  return 0;
}

// What a unit of the tool reports: Ok, or a failure with the one sentence
// that is shown to the user (without the "veltane: " prefix).
struct [[nodiscard]] ToolStatus {
  ExitCode code = ExitCode::Ok;
  std::string message;

  static ToolStatus Success() { return {}; }
  static ToolStatus Failure(ExitCode failureCode, std::string text) {
    return {failureCode, std::move(text)};
  }
  bool Ok() const { return code == ExitCode::Ok; }
  // A stop before OUTPUT was in place.
  static ToolStatus Interruption() {
    return Failure(ExitCode::Interrupted, "interrupted; OUTPUT was not written.");
  }
};

}  // namespace veltane
