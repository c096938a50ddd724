// The restoration loop: latency compensation and tail flushing.
#include "veltane/Restorer.h"

#include <algorithm>
#include <cstring>

namespace veltane {

Restorer::Restorer(uint32_t frameBytesIn, uint8_t silence, uint32_t block)
    : frameBytes(frameBytesIn),
      silenceByte(silence),
      blockFrames(std::max<uint32_t>(block, 1)),
      roomFrames(blockFrames + kSpareFrames),
      input(static_cast<size_t>(blockFrames) * frameBytes),
      output(static_cast<size_t>(roomFrames) * frameBytes) {}

ToolStatus Restorer::Run(Source& source, Processor& processor, Sink& sink, Result* result,
                         const Progress& progress, const StopRequested& stop) {
  *result = Result{};
  uint64_t framesIn = 0;
  uint64_t framesOut = 0;
  uint64_t toDrop = 0;
  bool latencyKnown = false;
  bool inputEnded = false;
  uint64_t silenceFed = 0;
  uint64_t silenceLimit = 0;

  const auto interrupted = [&stop] { return stop && stop(); };
  // A signal that breaks off a read or a write shows up as that call's
  // failure; the interruption is the real cause.
  const auto failed = [&interrupted](ToolStatus status) {
    return interrupted() ? ToolStatus::Interruption() : status;
  };

  while (!inputEnded || framesOut < framesIn) {
    if (interrupted()) return ToolStatus::Interruption();

    uint32_t frames = 0;
    if (!inputEnded) {
      if (ToolStatus status = source.Read(input.data(), blockFrames, &frames); !status.Ok()) return failed(status);
      if (frames == 0) {
        inputEnded = true;
        if (framesIn == 0) break;
        std::memset(input.data(), silenceByte, input.size());
        continue;
      }
      framesIn += frames;
      if (progress) progress(framesIn);
    } else {
      // A chain that keeps swallowing silence long after its own delay
      // has run dry would loop for ever; a few seconds' worth past the
      // latency is far more than any whole-buffer pipeline holds.
      if (silenceFed > silenceLimit) {
        return ToolStatus::Failure(ExitCode::Internal,
                                   "the restoration chain stopped producing output; OUTPUT was not written.");
      }
      frames = blockFrames;
      silenceFed += frames;
    }

    const uint32_t produced = std::min(processor.Process(input.data(), frames, output.data(), roomFrames), roomFrames);
    if (!latencyKnown) {
      toDrop = processor.LatencyFrames();
      silenceLimit = toDrop + 16ull * roomFrames;
      latencyKnown = true;
    }
    result->clickPeak = std::max(result->clickPeak, processor.ClickMeter());

    const uint32_t skipped = static_cast<uint32_t>(std::min<uint64_t>(toDrop, produced));
    toDrop -= skipped;
    const uint32_t kept = static_cast<uint32_t>(std::min<uint64_t>(produced - skipped, framesIn - framesOut));
    if (kept > 0) {
      const uint8_t* first = output.data() + static_cast<size_t>(skipped) * frameBytes;
      if (ToolStatus status = sink.Write(first, kept); !status.Ok()) return failed(status);
      framesOut += kept;
    }
  }

  result->frames = framesOut;
  return ToolStatus::Success();
}

}  // namespace veltane
