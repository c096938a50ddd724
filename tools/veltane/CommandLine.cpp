// Command-line parsing of the veltane tool.
#include "veltane/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace veltane {
namespace {

constexpr const char* kVersion = VELTANE_VERSION;
// More workers than this would only fight over the disk.
constexpr unsigned kMaxJobs = 64;

ToolStatus UsageError(std::string text) { return ToolStatus::Failure(ExitCode::Usage, std::move(text)); }

// Whole-token numbers only: "2x", "", "nan" and "inf" are refused.
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

bool ParseWhole(const std::string& text, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *value = parsed;
  return true;
}

ToolStatus ParseLevel(const std::string& name, const std::string& text, double low, double high,
                      std::optional<float>* level) {
  double value = 0.0;
  if (!ParseNumber(text, &value) || value < low || value > high) {
    return UsageError(name + " takes a number from " + std::to_string(static_cast<int>(low)) +
                      " to " + std::to_string(static_cast<int>(high)) + ", not '" + text + "'.");
  }
  *level = static_cast<float>(value);
  return ToolStatus::Success();
}

bool TakesValue(std::string_view name) {
  return name == "--click-threshold" || name == "--output-hiss" || name == "--input-hiss" ||
         name == "--options" || name == "--format" || name == "--engine" || name == "--spectrogram" ||
         name == "-o" || name == "-r" || name == "-j";
}

// Switches override the bits of --options whatever their order on the line.
struct Switches {
  uint32_t set = 0;
  uint32_t cleared = 0;
  bool autoHiss = false;
  bool manualHiss = false;
  std::optional<uint32_t> options;
};

}  // namespace

ToolStatus ParseCommandLine(const std::vector<std::string>& args, CommandLine* result) {
  *result = CommandLine{};
  ToolOptions& options = result->options;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      result->action = ToolAction::ShowHelp;
      return ToolStatus::Success();
    }
    if (arg == "--version") {
      result->action = ToolAction::ShowVersion;
      return ToolStatus::Success();
    }
  }

  Switches switches;
  std::vector<std::string> files;
  FolderOptions folder;
  bool folderMode = false;
  const char* folderOnly = nullptr;  // a folder-mode option given, for the message without -o
  bool onlyFiles = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyFiles || arg.size() < 2 || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyFiles = true;
      continue;
    }

    std::string name = arg;
    std::optional<std::string> value;
    if (const size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    if (TakesValue(name)) {
      if (!value) {
        if (i + 1 >= args.size()) return UsageError(name + " needs a value.");
        value = args[++i];
      }
    } else if (value) {
      return UsageError(name + " takes no value.");
    }

    if (name == "--click-threshold") {
      if (ToolStatus s = ParseLevel(name, *value, 2.0, 20.0, &options.clickThreshold); !s.Ok()) return s;
    } else if (name == "--output-hiss") {
      if (ToolStatus s = ParseLevel(name, *value, 0.0, 1.0, &options.outputHissLevel); !s.Ok()) return s;
    } else if (name == "--input-hiss") {
      if (ToolStatus s = ParseLevel(name, *value, 0.0, 1.0, &options.inputHissLevel); !s.Ok()) return s;
    } else if (name == "--options") {
      long bits = 0;
      if (!ParseWhole(*value, &bits) || bits < 0 || bits > static_cast<long>(kOptionsMax)) {
        return UsageError("--options takes a whole number from 0 to 31, not '" + *value + "'.");
      }
      switches.options = static_cast<uint32_t>(bits);
    } else if (name == "--format") {
      if (*value == "pcm8") {
        options.format = OutputSampleFormat::Pcm8;
      } else if (*value == "pcm16") {
        options.format = OutputSampleFormat::Pcm16;
      } else if (*value == "pcm24") {
        options.format = OutputSampleFormat::Pcm24;
      } else {
        return UsageError("--format takes pcm8, pcm16 or pcm24, not '" + *value + "'.");
      }
    } else if (name == "--engine") {
      if (*value == "modern") {
        options.engine = Engine::Modern;
      } else if (*value == "classic") {
        options.engine = Engine::Classic;
      } else {
        return UsageError("--engine takes modern or classic, not '" + *value + "'.");
      }
    } else if (name == "--bypass") {
      switches.set |= kOptionFullBypass;
    } else if (name == "--no-declick") {
      switches.set |= kOptionBypassDeclick;
    } else if (name == "--no-denoise") {
      switches.set |= kOptionBypassDenoise;
    } else if (name == "--output-clicks") {
      switches.set |= kOptionOutputClicks;
    } else if (name == "--auto-hiss") {
      switches.autoHiss = true;
    } else if (name == "--manual-hiss") {
      switches.manualHiss = true;
    } else if (name == "--quiet" || name == "-q") {
      options.quiet = true;
    } else if (name == "--spectrogram") {
      if (value->empty()) return UsageError("--spectrogram needs a file name.");
      options.spectrogram = *value;
    } else if (name == "-o") {
      if (value->empty()) return UsageError("-o needs a folder name.");
      folder.outDir = *value;
      folderMode = true;
    } else if (name == "-r") {
      if (value->empty()) return UsageError("-r needs a folder name.");
      folder.tree = *value;
      folderOnly = "-r";
    } else if (name == "-j") {
      long jobs = 0;
      if (!ParseWhole(*value, &jobs) || jobs < 1 || jobs > static_cast<long>(kMaxJobs)) {
        return UsageError("-j takes a whole number from 1 to " + std::to_string(kMaxJobs) + ", not '" + *value +
                          "'.");
      }
      // Files at once in folder mode, threads for the one file otherwise.
      folder.jobs = static_cast<unsigned>(jobs);
      options.threads = static_cast<unsigned>(jobs);
    } else if (name == "--overwrite") {
      folder.overwrite = true;
      folderOnly = "--overwrite";
    } else {
      return UsageError("unknown option '" + arg + "' (see veltane --help).");
    }
  }

  if (switches.autoHiss && switches.manualHiss) {
    return UsageError("--auto-hiss and --manual-hiss contradict each other.");
  }
  if (switches.autoHiss && options.inputHissLevel) {
    return UsageError("--input-hiss selects the manual hiss level, so it cannot go with --auto-hiss.");
  }
  // A given input hiss level is meant to be used, hence manual.
  if (switches.manualHiss || options.inputHissLevel) switches.cleared |= kOptionAutoInputHiss;
  if (switches.autoHiss) switches.set |= kOptionAutoInputHiss;
  options.options = (switches.options.value_or(kToolDefaultOptions) | switches.set) & ~switches.cleared;

  if (folderMode) {
    if (!folder.tree.empty() && !files.empty()) {
      return UsageError("give either INPUT files or -r INDIR, not both (see veltane --help).");
    }
    if (folder.tree.empty() && files.empty()) {
      return UsageError("expected INPUT files or -r INDIR before -o OUTDIR (see veltane --help).");
    }
    folder.inputs = std::move(files);
    result->folder = std::move(folder);
    return ToolStatus::Success();
  }
  if (folderOnly != nullptr) return UsageError(std::string(folderOnly) + " goes with -o OUTDIR (see veltane --help).");
  if (files.size() != 2) {
    return UsageError(files.size() < 2 ? "expected an INPUT and an OUTPUT file (see veltane --help)."
                                       : "expected only an INPUT and an OUTPUT file, got " +
                                             std::to_string(files.size()) + " names.");
  }
  options.input = files[0];
  options.output = files[1];
  return ToolStatus::Success();
}

std::string HelpText() {
  return R"(Usage: veltane [options] INPUT OUTPUT
       veltane [options] INPUT... -o OUTDIR
       veltane [options] -r INDIR -o OUTDIR

Removes clicks and hiss from a mono or stereo recording. Reads and writes WAV,
FLAC and AIFF (and whatever else libsndfile reads). 8-, 16- and 24-bit PCM is
restored as it is; 32-bit and floating-point input is restored at 24 bits and
written back in its own format; ADPCM and GSM input is written as 16-bit PCM.
OUTPUT has the container its name ends in (.wav, .flac, .aif, .aiff), or
INPUT's, and exactly INPUT's length; a WAV past 4 GiB is written as RF64, an
AIFF or AU past 4 GiB is refused. An INPUT shorter than its header announces
is refused as damaged; one from a pipe that announces no length is read to
its end.

Metadata: text tags, broadcast information (bext), cue points and, between
files of one family (WAV, AIFF, CAF), other chunks such as iXML are carried
into OUTPUT as far as its container holds them; one warning names anything
INPUT has that OUTPUT lacks (FLAC pictures, tags libsndfile does not know, ...).

Restoration (by default clicks and hiss are removed, hiss level automatic):
  --engine E            modern (default): full band at every rate; or
                        classic: exactly what the Windows effect does
  --click-threshold X   click detection threshold, 2 to 20 (default 4);
                        lower finds more clicks
  --output-hiss X       how much hiss to leave, 0 to 1 (default 0.625)
  --input-hiss X        manual hiss level of the input, 0 to 1 (default
                        0.333); implies --manual-hiss
  --auto-hiss           estimate the hiss level from the recording (default)
  --manual-hiss         use the --input-hiss level instead
  --no-declick          leave clicks alone
  --no-denoise          leave hiss alone
  --output-clicks       output only what the click remover takes out
  --bypass              copy the audio unchanged (32-bit and float samples
                        exactly, unless --format asks for PCM)
  --options N           all five switches as the effect's "Options" value,
                        0 to 31: 1 bypass, 2 no declick, 4 no denoise,
                        8 output clicks, 16 automatic hiss level (default 16);
                        the switches above override its bits
  -j N                  threads for the file (default: one per core); with 2
                        or more the modern engine removes clicks on one core
                        and hiss on another, giving the same output bits as
                        with -j 1; the classic engine and --bypass use one

Output:
  --format F            sample format of OUTPUT: pcm8, pcm16 or pcm24
                        (default: INPUT's)
  --spectrogram P.png   after the run, a picture of INPUT's, OUTPUT's and the
                        removed part's spectrograms and the repaired clicks
  -q, --quiet           no progress bar and no summary
  -h, --help            show this text
  --version             show the version

Exit codes:
  0  restored            5  INPUT is damaged or not audio
  1  internal failure    6  unsupported format (more than two channels, ...)
  2  bad arguments       7  OUTPUT cannot be written
  3  INPUT is missing    8  OUTPUT is the same file as INPUT
  4  INPUT unreadable    9  interrupted
                        10 OUTPUT exists (folder mode, without --overwrite)
A failed or interrupted run leaves no OUTPUT behind.

Folders: with -o OUTDIR each INPUT is restored to OUTDIR under its own name;
-r INDIR restores every audio file below INDIR (by its name's ending: .wav,
.flac, .aif, .aiff, ...; hidden files skipped) into the same subfolders of
OUTDIR. OUTDIR and its subfolders are created as needed.
  -o OUTDIR             the folder the restored files go to
  -r INDIR              restore the whole tree below INDIR
  -j N                  files restored at once (default: one per core)
  --overwrite           replace outputs that exist (default: leave them,
                        and report the file with exit code 10)
  --spectrogram P.png   one picture per file: P-NAME.png beside P.png, NAME
                        being the output's path below OUTDIR with '/' as '-'
Every file gets its own process: a file that fails (or crashes) is reported
and leaves no output, and the others carry on. A progress line shows per
running file on a terminal, and a table of every file at the end. The exit
code is the most severe of the files' codes, in this order: 9 (interrupted),
1, 7, 6, 5, 4, 3, 8, 10 (OUTPUT exists), 0. Ctrl-C stops every file and
leaves only complete outputs.
)";
}

std::string VersionText() { return std::string("veltane ") + kVersion + "\n"; }

}  // namespace veltane
