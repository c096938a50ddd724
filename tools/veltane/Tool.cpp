// The veltane command: parse, check, restore, report.
#include "veltane/Tool.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// Bypass for samples the chain does not carry: a copy, without delay.
class CopyProcessor : public Restorer::Processor {
 public:
  explicit CopyProcessor(uint32_t frameBytes) : frameBytes(frameBytes) {}
  uint32_t Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t room) override {
    const uint32_t copied = std::min(frames, room);
    std::memcpy(out, in, static_cast<size_t>(copied) * frameBytes);
    return copied;
  }
  uint32_t LatencyFrames() override { return 0; }
  uint32_t ClickMeter() override { return 0; }

 private:
  uint32_t frameBytes;
};

// "not carried ...: a, b and c."
std::string LostSentence(const std::vector<std::string>& lost) {
  std::string list;
  for (size_t i = 0; i < lost.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i];
  }
  return "not carried from INPUT into OUTPUT (its container cannot hold them, or libsndfile cannot read "
         "them): " + list + ".";
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
  // The more specific failure first: a missing INPUT is missing, whatever
  // OUTPUT is called.
  if (ToolStatus status = AudioReader::CheckInput(options.input); !status.Ok()) return status;
  if (ToolStatus status = CheckDistinct(options.input, options.output); !status.Ok()) return status;

  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<AudioReader> reader;
  if (ToolStatus status = AudioReader::Open(options.input, &reader); !status.Ok()) return status;

  AudioWriter::Target target;
  target.sampleRate = reader->SampleRate();
  target.channels = reader->Channels();
  target.chainBytes = reader->ChainBytes();
  target.frames = reader->AnnouncedFrames();
  target.metadata = &reader->Tags();
  if (ToolStatus status = AudioWriter::ChooseFormat(options.output, reader->MajorFormat() | reader->SubFormat(),
                                                    options.format, &target);
      !status.Ok()) {
    return status;
  }
  // Bypass copies 32-bit and floating-point samples as they are into a file
  // of their own format: through the chain's 24-bit PCM they would be
  // rounded and their peaks above full scale clipped.
  const int sub = reader->SubFormat();
  const bool exact = (options.options & kOptionFullBypass) != 0 && (target.format & SF_FORMAT_SUBMASK) == sub &&
                     (sub == SF_FORMAT_PCM_32 || sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE);
  if (exact) {
    reader->KeepSamplesExact();
    target.samples = sub == SF_FORMAT_PCM_32 ? AudioWriter::Target::Samples::Int32
                                             : AudioWriter::Target::Samples::Double;
  }
  std::unique_ptr<AudioWriter> writer;
  if (ToolStatus status = AudioWriter::Open(options.output, target, &writer); !status.Ok()) return status;

  const uint32_t frameBytes = reader->SampleBytes() * reader->Channels();
  // A chain of its own lock: restorations on other threads never wait for this one.
  std::unique_ptr<NoiseReducFilter> filter = CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock);
  if (filter == nullptr) return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
  FilterProcessor filtering(*filter);
  filtering.Configure(options, reader->SampleRate(), reader->Channels(), reader->ChainBytes());
  CopyProcessor copying(frameBytes);
  Restorer::Processor& processor = exact ? static_cast<Restorer::Processor&>(copying) : filtering;

  Restorer restorer(frameBytes);
  ProgressBar bar(err, environment.stderrIsTerminal && !options.quiet,
                  static_cast<uint64_t>(std::max<int64_t>(reader->AnnouncedFrames(), 0)), reader->SampleRate());
  Restorer::Result result;
  ToolStatus status = restorer.Run(
      *reader, processor, *writer, &result, [&bar](uint64_t frames) { bar.Update(frames); },
      environment.stopRequested);
  bar.Finish();
  if (!status.Ok()) return status;
  if (ToolStatus committed = writer->Commit(); !committed.Ok()) return committed;
  if (!writer->Lost().empty()) err << "veltane: warning: " << LostSentence(writer->Lost()) << "\n" << std::flush;

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
