// One file's restoration: check, open, restore, commit.
#include "veltane/FileRestoration.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "effect/NoiseReducFilter.h"
#include "veltane/AudioReader.h"
#include "veltane/AudioWriter.h"
#include "veltane/FilterProcessor.h"
#include "veltane/Restorer.h"
#include "veltane/SoundFormats.h"
#include "veltane/Spectrogram.h"

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

// Hands the samples on their way in or out to the picture as well. Reading
// and writing may run on two threads (a restoration in two stages): each
// direction has its own scratch, and the picture is drawn under a lock. The
// reading must never run so far ahead that the picture forgets the input
// before its output arrives.
static_assert(uint64_t{Restorer::kStagePackets + 1} * Restorer::kBlockFrames + Restorer::kMirrorFrames <=
              Spectrogram::kMaxLagFrames);
class PictureTap : public Restorer::Source, public Restorer::Sink {
 public:
  // `kind`: 1, 2 or 3 for the chain's PCM, 4 for int32, 8 for doubles.
  PictureTap(Spectrogram& picture, uint32_t kind, uint16_t channels, Restorer::Source& source, Restorer::Sink& sink)
      : picture(picture), kind(kind), channels(channels), codec(kind <= 3 ? kind : 2), source(source), sink(sink) {}

  ToolStatus Read(uint8_t* pcm, uint32_t frames, uint32_t* got) override {
    ToolStatus status = source.Read(pcm, frames, got);
    if (status.Ok()) {
      const float* samples = Decode(pcm, *got, &reading);
      std::lock_guard hold(drawing);
      picture.AddInput(samples, *got);
    }
    return status;
  }
  ToolStatus Write(const uint8_t* pcm, uint32_t frames) override {
    const float* samples = Decode(pcm, frames, &writing);
    {
      std::lock_guard hold(drawing);
      picture.AddOutput(samples, frames);
    }
    return sink.Write(pcm, frames);
  }

 private:
  struct Scratch {
    std::vector<int32_t> integers;
    std::vector<float> samples;
  };

  const float* Decode(const uint8_t* pcm, uint32_t frames, Scratch* scratch) const {
    const size_t count = static_cast<size_t>(frames) * channels;
    std::vector<float>& samples = scratch->samples;
    samples.resize(count);
    if (kind == 8) {
      const auto* reals = reinterpret_cast<const double*>(pcm);
      for (size_t i = 0; i < count; ++i) samples[i] = static_cast<float>(reals[i]);
      return samples.data();
    }
    std::vector<int32_t>& integers = scratch->integers;
    integers.resize(count);
    if (kind == 4) {
      std::memcpy(integers.data(), pcm, count * sizeof(int32_t));
    } else {
      codec.Decode(pcm, integers.data(), count);
    }
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<float>(integers[i] * 0x1p-31);
    return samples.data();
  }

  Spectrogram& picture;
  uint32_t kind;
  uint16_t channels;
  PcmCodec codec;
  Restorer::Source& source;
  Restorer::Sink& sink;
  Scratch reading;
  Scratch writing;
  std::mutex drawing;
};

// Threads for one file: as asked, else one per core.
unsigned ThreadsFor(const ToolOptions& options) {
  return options.threads != 0 ? options.threads : std::max(std::thread::hardware_concurrency(), 1u);
}

std::string Describe(const AudioReader& reader) {
  return std::to_string(reader.SampleRate()) + " Hz, " + (reader.Channels() == 1 ? "mono" : "stereo") + ", " +
         SampleFormatName(reader.SubFormat()) + " " + ContainerName(reader.MajorFormat());
}

}  // namespace

std::string LostSentence(const std::vector<std::string>& lost) {
  std::string list;
  for (size_t i = 0; i < lost.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i];
  }
  return "not carried from INPUT into OUTPUT (its container cannot hold them, or libsndfile cannot read "
         "them): " + list + ".";
}

ToolStatus FileRestoration::Run(const ToolOptions& options, FileObserver& observer,
                                const std::function<bool()>& stop, FileReport* report) {
  *report = FileReport{};
  // The more specific failure first: a missing INPUT is missing, whatever
  // OUTPUT is called.
  if (ToolStatus status = AudioReader::CheckInput(options.input); !status.Ok()) return status;
  if (ToolStatus status = CheckDistinct(options.input, options.output); !status.Ok()) return status;

  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<AudioReader> reader;
  if (ToolStatus status = AudioReader::Open(options.input, &reader); !status.Ok()) return status;
  observer.Opened(reader->AnnouncedFrames(), reader->SampleRate());

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
  observer.Temporary(writer->TemporaryPath());

  const uint32_t frameBytes = reader->SampleBytes() * reader->Channels();
  // A chain of its own lock: restorations on other threads never wait for this one.
  std::unique_ptr<NoiseReducFilter> filter = CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock);
  if (filter == nullptr) return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
  FilterProcessor filtering(*filter);
  filtering.Configure(options, reader->SampleRate(), reader->Channels(), reader->ChainBytes());
  // On two cores or more the modern engine runs in two stages, the
  // declicker's (`filter`) on this thread and the hiss remover's on another:
  // two objects set up alike, the first handing the second its declicked
  // stream as floats, buffer for buffer as inside one chain, so the output
  // is the same bits. The writing stays on this thread, which shares the
  // work out about evenly. The classic engine's chain, split into bands, is
  // not split; a bypass has nothing to share out.
  const bool staged = !exact && options.engine == Engine::Modern && (options.options & kOptionFullBypass) == 0 &&
                      ThreadsFor(options) >= 2;
  std::unique_ptr<NoiseReducFilter> hissFilter;
  std::optional<FilterProcessor> hissFiltering;
  if (staged) {
    hissFilter = CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock);
    if (hissFilter == nullptr) return ToolStatus::Failure(ExitCode::Internal, "out of memory.");
    hissFiltering.emplace(*hissFilter);
    hissFiltering->Configure(options, reader->SampleRate(), reader->Channels(), reader->ChainBytes());
    filter->SetStage(NoiseReducFilter::Stage::Declick);
    hissFilter->SetStage(NoiseReducFilter::Stage::Hiss);
  }
  CopyProcessor copying(frameBytes);
  Restorer::Processor& processor = exact ? static_cast<Restorer::Processor&>(copying) : filtering;

  std::unique_ptr<Spectrogram> picture;
  std::unique_ptr<PictureTap> tap;
  if (!options.spectrogram.empty()) {
    picture = std::make_unique<Spectrogram>(reader->SampleRate(), reader->Channels());
    tap = std::make_unique<PictureTap>(*picture, exact ? reader->SampleBytes() : reader->ChainBytes(),
                                       reader->Channels(), *reader, *writer);
  }
  Restorer::Source& source = tap ? static_cast<Restorer::Source&>(*tap) : *reader;
  Restorer::Sink& sink = tap ? static_cast<Restorer::Sink&>(*tap) : *writer;

  Restorer restorer(frameBytes);
  Restorer::Result result;
  const auto progress = [&observer](uint64_t frames) { observer.Progress(frames); };
  ToolStatus status =
      staged ? restorer.RunStaged(source, filtering, static_cast<uint32_t>(sizeof(float)) * reader->Channels(),
                                  *hissFiltering, sink, &result, progress, stop)
             : restorer.Run(source, processor, sink, &result, progress, stop);
  if (!status.Ok()) return status;
  if (ToolStatus committed = writer->Commit(); !committed.Ok()) return committed;
  if (picture) {
    static const std::vector<ClickMark> kNone;
    if (ToolStatus drawn = picture->Write(options.spectrogram, exact ? kNone : filtering.Clicks()); !drawn.Ok()) {
      drawn.message += " OUTPUT was written.";
      return drawn;
    }
  }

  report->frames = result.frames;
  report->sampleRate = reader->SampleRate();
  report->clickPeak = result.clickPeak;
  if (!exact) {
    report->clicks = filtering.ClicksRepaired();
    report->hissDb = staged ? hissFiltering->HissLevelDb() : filtering.HissLevelDb();
  }
  report->description = Describe(*reader);
  report->lost = writer->Lost();
  report->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return ToolStatus::Success();
}

}  // namespace veltane
