// Folder mode: many files restored, several at a time, each in a worker
// process of its own, with a progress line per running file and a table at
// the end.
//
// Processes rather than threads: a file that crashes the restoration (or
// libsndfile) takes only its own worker down, each worker keeps the
// single-file form's signal handling and temporary-file cleanup unchanged,
// and the outputs cannot depend on how many run at once.
#pragma once

#include <ostream>

#include "veltane/CommandLine.h"
#include "veltane/Tool.h"

namespace veltane {

class FolderRun {
 public:
  // Restores every file of `line.folder` (set). Creates OUTDIR and its
  // subfolders as needed. Leaves existing outputs alone without --overwrite
  // (ExitCode::OutputExists). A failed file is reported on `err` with its
  // sentence and leaves no output; the others carry on. A stop (a stop
  // signal, or environment.stopRequested) ends every worker, each removing
  // its temporary file, so that only complete outputs remain. Returns the
  // most severe of the files' exit codes (see Severity). The caller's stop
  // signals are held while the workers run and the parent polls for them.
  static int Run(const CommandLine& line, std::ostream& out, std::ostream& err, const ToolEnvironment& environment);
};

}  // namespace veltane
