// The tool's reader on arbitrary bytes as an audio file: either a clear
// refusal (a damaged, unreadable or unsupported input, with its sentence) or
// a mono or stereo stream that reads to its end or to a damaged-input
// failure. Never a crash, never more frames than asked for.
#include <cstdlib>
#include <memory>
#include <vector>

#include "veltane/AudioReader.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  std::unique_ptr<AudioReader> reader;
  const ToolStatus opened = AudioReader::OpenMemory("fuzzed.wav", std::vector<uint8_t>(data, data + size), &reader);
  if (!opened.Ok()) {
    Check(reader == nullptr && !opened.message.empty());
    Check(opened.code == ExitCode::InputCorrupt || opened.code == ExitCode::Unsupported ||
          opened.code == ExitCode::InputUnreadable);
    return 0;
  }
  Check(reader->Channels() >= 1 && reader->Channels() <= 2 && reader->SampleRate() >= 1);
  Check(reader->ChainBytes() >= 1 && reader->ChainBytes() <= 3);
  constexpr uint32_t kFrames = 4096;
  std::vector<uint8_t> pcm(kFrames * reader->Channels() * reader->ChainBytes());
  // A bound on what a few kilobytes may decode to, so a run stays short.
  for (uint64_t total = 0; total < (uint64_t{1} << 24);) {
    uint32_t got = 0;
    const ToolStatus status = reader->Read(pcm.data(), kFrames, &got);
    if (!status.Ok()) {
      Check(status.code == ExitCode::InputCorrupt && !status.message.empty());
      break;
    }
    Check(got <= kFrames);
    if (got == 0) break;
    total += got;
  }
  return 0;
}
