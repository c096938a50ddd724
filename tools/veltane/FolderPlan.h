// Folder mode's list of work: which INPUT goes to which OUTPUT (and
// picture), decided before anything is restored.
#pragma once

#include <string>
#include <vector>

#include "veltane/CommandLine.h"
#include "veltane/ExitCode.h"

namespace veltane {

struct FolderJob {
  std::string input;
  std::string output;
  std::string name;     // OUTPUT's path below OUTDIR, as the table shows it
  std::string picture;  // empty without --spectrogram
};

class FolderPlan {
 public:
  // INPUT... each into OUTDIR under its own file name; or every audio file
  // below INDIR (by its name's ending, hidden files and folders and OUTDIR
  // itself skipped) into the same subfolders of OUTDIR, in name order. Two
  // INPUTs with one OUTPUT name are a usage error; a missing or unreadable
  // INDIR fails the whole run. Creates nothing.
  static ToolStatus Make(const FolderOptions& folder, const std::string& spectrogram, std::vector<FolderJob>* jobs);

  // Whether the tree walk takes a file of this name.
  static bool IsAudioName(const std::string& fileName);
};

}  // namespace veltane
