// The tool's reader on arbitrary bytes as an audio file: either a refusal
// that says why (damaged, unreadable or unsupported), or a mono or stereo
// stream that reads to its end or to a damaged-input failure, never giving
// more frames than asked for. Never a crash.
#include <cstdlib>

#include "veltane/AudioReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  std::unique_ptr<AudioReader> reader;
  const ToolStatus opened = AudioReader::OpenMemory("fuzzed.wav", std::vector<uint8_t>(data, data + size), &reader);
  const bool refused = opened.code >= ExitCode::InputUnreadable && opened.code <= ExitCode::Unsupported;
  if (!opened.Ok()) {
    if (reader != nullptr || opened.message.empty() || !refused) std::abort();
    return 0;
  }
  if (reader->Channels() < 1 || reader->Channels() > 2 || reader->SampleRate() < 1) std::abort();
  std::vector<uint8_t> pcm(4096 * reader->Channels() * reader->ChainBytes());
  // A bound on what a few kilobytes may decode to, so that a run stays short.
  for (uint64_t total = 0, got = 1; got > 0 && total < (uint64_t{1} << 24); total += got) {
    uint32_t frames = 0;
    const ToolStatus status = reader->Read(pcm.data(), 4096, &frames);
    if (status.Ok() ? frames > 4096 : status.code != ExitCode::InputCorrupt || status.message.empty()) std::abort();
    got = status.Ok() ? frames : 0;
  }
  return 0;
}
