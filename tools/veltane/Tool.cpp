// The veltane command: parse, check, restore, report.
#include "veltane/Tool.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "effect/NoiseReducFilter.h"
#include "veltane/AudioReader.h"
#include "veltane/AudioWriter.h"
#include "veltane/CommandLine.h"
#include "veltane/ExitCode.h"
#include "veltane/FilterProcessor.h"
#include "veltane/ProgressBar.h"
#include "veltane/Restorer.h"
#include "veltane/SoundFormats.h"

namespace veltane {
namespace {

// Writing OUTPUT over INPUT would lose the original if anything went wrong
// (and restoring a file twice is rarely meant), so the same file under any
// name (a link, another spelling of the path) is refused.
ToolStatus CheckDistinct(const std::string& input, const std::string& output) {
  struct stat inputInfo {};
  struct stat outputInfo {};
  bool same = false;
  if (::stat(input.c_str(), &inputInfo) == 0 && ::stat(output.c_str(), &outputInfo) == 0) {
    same = inputInfo.st_dev == outputInfo.st_dev && inputInfo.st_ino == outputInfo.st_ino;
  } else {
    std::error_code inputError;
    std::error_code outputError;
    const auto inputPath = std::filesystem::weakly_canonical(input, inputError);
    const auto outputPath = std::filesystem::weakly_canonical(output, outputError);
    same = !inputError && !outputError && inputPath == outputPath;
  }
  if (!same) return ToolStatus::Success();
  return ToolStatus::Failure(ExitCode::SameFile, "OUTPUT '" + output +
                                                     "' is the same file as INPUT; veltane never overwrites "
                                                     "its input, so give another OUTPUT name.");
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Describe(const AudioReader& reader) {
  return std::to_string(reader.SampleRate()) + " Hz, " + (reader.Channels() == 1 ? "mono" : "stereo") + ", " +
         SampleFormatName(reader.SubFormat()) + " " + ContainerName(reader.MajorFormat());
}

std::string Summary(const ToolOptions& options, const AudioReader& reader, const Restorer::Result& result,
                    double seconds) {
  const double duration = static_cast<double>(result.frames) / reader.SampleRate();
  const double speed = duration / std::max(seconds, 1e-6);
  std::string text = "Restored '" + options.input + "' to '" + options.output + "'.\n";
  text += std::string("  engine       ") + (options.engine == Engine::Modern ? "modern" : "classic") + "\n";
  text += "  duration     " + Fixed(duration, 2) + " s (" + Describe(reader) + ")\n";
  text += "  time taken   " + Fixed(seconds, 2) + " s, " + Fixed(speed, speed < 10.0 ? 1 : 0) +
          " times real time\n";
  text += "  click meter  peak " + std::to_string(result.clickPeak) + " of 100\n";
  return text;
}

ToolStatus Restore(const ToolOptions& options, std::ostream& out, std::ostream& err,
                   const ToolEnvironment& environment) {
  if (ToolStatus status = CheckDistinct(options.input, options.output); !status.Ok()) return status;

  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<AudioReader> reader;
  if (ToolStatus status = AudioReader::Open(options.input, &reader); !status.Ok()) return status;

  AudioWriter::Target target;
  target.sampleRate = reader->SampleRate();
  target.channels = reader->Channels();
  target.chainBytes = reader->ChainBytes();
  if (ToolStatus status = AudioWriter::ChooseFormat(options.output, reader->MajorFormat() | reader->SubFormat(),
                                                    options.format, target.chainBytes, target.sampleRate,
                                                    target.channels, &target.format);
      !status.Ok()) {
    return status;
  }
  std::unique_ptr<AudioWriter> writer;
  if (ToolStatus status = AudioWriter::Open(options.output, target, &writer); !status.Ok()) return status;

  // A chain of its own lock: restorations on other threads never wait for this one.
  std::unique_ptr<NoiseReducFilter> filter = CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock);
  if (filter == nullptr) return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
  FilterProcessor processor(*filter);
  processor.Configure(options, reader->SampleRate(), reader->Channels(), reader->ChainBytes());

  const uint32_t frameBytes = reader->ChainBytes() * reader->Channels();
  Restorer restorer(frameBytes, reader->Codec().SilenceByte());
  ProgressBar bar(err, environment.stderrIsTerminal && !options.quiet,
                  static_cast<uint64_t>(std::max<int64_t>(reader->AnnouncedFrames(), 0)));
  Restorer::Result result;
  ToolStatus status = restorer.Run(
      *reader, processor, *writer, &result, [&bar](uint64_t frames) { bar.Update(frames); },
      environment.stopRequested);
  bar.Finish();
  if (!status.Ok()) return status;
  if (ToolStatus committed = writer->Commit(); !committed.Ok()) return committed;

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!options.quiet) out << Summary(options, *reader, result, seconds) << std::flush;
  return ToolStatus::Success();
}

}  // namespace

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            const ToolEnvironment& environment) {
  CommandLine commandLine;
  ToolStatus status = ParseCommandLine(args, &commandLine);
  if (status.Ok()) {
    switch (commandLine.action) {
      case ToolAction::ShowHelp:
        out << HelpText();
        return 0;
      case ToolAction::ShowVersion:
        out << VersionText();
        return 0;
      case ToolAction::Restore:
        status = Restore(commandLine.options, out, err, environment);
        break;
    }
  }
  if (status.Ok()) return 0;
  err << "veltane: " << status.message << "\n" << std::flush;
  return static_cast<int>(status.code);
}

}  // namespace veltane
