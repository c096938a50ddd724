// Command-line parsing of the veltane tool: options to settings, nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chain/NoiseReducManager.h"
#include "veltane/ExitCode.h"

namespace veltane {

// The effect's "Options" bits, which the switches set and clear.
inline constexpr uint32_t kOptionFullBypass = 1;
inline constexpr uint32_t kOptionBypassDeclick = 2;
inline constexpr uint32_t kOptionBypassDenoise = 4;
inline constexpr uint32_t kOptionOutputClicks = 8;
inline constexpr uint32_t kOptionAutoInputHiss = 16;
inline constexpr uint32_t kOptionsMax = 31;
// Unlike a new effect object, the tool restores unless told otherwise:
// declick and denoise on, automatic hiss level.
inline constexpr uint32_t kToolDefaultOptions = kOptionAutoInputHiss;

// Sample format of OUTPUT: the input's own unless --format names one.
enum class OutputSampleFormat { KeepInput, Pcm8, Pcm16, Pcm24 };

struct ToolOptions {
  std::string input;
  std::string output;
  // Unset levels stay at the processing object's defaults.
  std::optional<float> clickThreshold;    // 2..20
  std::optional<float> outputHissLevel;   // 0..1
  std::optional<float> inputHissLevel;    // 0..1
  uint32_t options = kToolDefaultOptions;  // "Options" bits, 0..31
  Engine engine = Engine::Modern;  // the tool's own default; the effect keeps classic
  OutputSampleFormat format = OutputSampleFormat::KeepInput;
  bool quiet = false;
  // Threads for the one file; 0: one per core. Two or more split the modern
  // engine's chain over two threads, the declicker on one and the hiss
  // remover on the other: the output is the same bits as on one. More than
  // two gain nothing; the classic engine and a bypass run on one.
  unsigned threads = 0;
  // A PNG of the input's, the output's and the removed part's spectrograms;
  // empty for none. In folder mode a name that each file's picture builds on.
  std::string spectrogram;
};

// Folder mode: many INPUTs (or a tree) into OUTDIR, several at a time.
struct FolderOptions {
  std::vector<std::string> inputs;  // INPUT..., empty with a tree
  std::string tree;                 // INDIR of -r, whose subfolders OUTDIR mirrors
  std::string outDir;
  unsigned jobs = 0;  // files restored at once; 0: one per core
  bool overwrite = false;
};

enum class ToolAction { Restore, ShowHelp, ShowVersion };

struct CommandLine {
  ToolAction action = ToolAction::Restore;
  ToolOptions options;  // input and output unset in folder mode
  std::optional<FolderOptions> folder;  // set by -o OUTDIR
};

// Parses the arguments after the program name. --help and --version win
// over everything else on the line. Usage errors come back with
// ExitCode::Usage and one sentence naming the offending argument.
ToolStatus ParseCommandLine(const std::vector<std::string>& args, CommandLine* result);

std::string HelpText();
std::string VersionText();

}  // namespace veltane
