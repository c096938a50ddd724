// The restoration loop: latency compensation and a mirrored tail flush.
#include "veltane/Restorer.h"

#include <algorithm>
#include <cstring>

namespace veltane {

Restorer::Restorer(uint32_t frameBytesIn, uint32_t block)
    : frameBytes(frameBytesIn),
      blockFrames(std::max<uint32_t>(block, 1)),
      roomFrames(blockFrames + kSpareFrames),
      input(static_cast<size_t>(blockFrames) * frameBytes),
      output(static_cast<size_t>(roomFrames) * frameBytes),
      last(static_cast<size_t>(kMirrorFrames) * frameBytes) {}

void Restorer::Remember(const uint8_t* frames, uint32_t count) {
  if (count > kMirrorFrames) {
    frames += static_cast<size_t>(count - kMirrorFrames) * frameBytes;
    lastEnd += count - kMirrorFrames;
    count = kMirrorFrames;
  }
  const auto at = static_cast<uint32_t>(lastEnd % kMirrorFrames);
  const uint32_t first = std::min(count, kMirrorFrames - at);
  std::memcpy(&last[static_cast<size_t>(at) * frameBytes], frames, static_cast<size_t>(first) * frameBytes);
  std::memcpy(last.data(), frames + static_cast<size_t>(first) * frameBytes,
              static_cast<size_t>(count - first) * frameBytes);
  lastEnd += count;
}

void Restorer::Mirror(uint8_t* out, uint32_t count) {
  // The kept frames, oldest first, are h[0] .. h[n-1]; the mirror runs
  // h[n-2], h[n-3], .. h[0], h[1], .. h[n-1], h[n-2], ..: reflected about
  // the last frame (not repeating it), and back at the ends.
  const uint64_t n = std::min<uint64_t>(lastEnd, kMirrorFrames);
  const uint64_t oldest = lastEnd - n;
  for (uint32_t k = 0; k < count; ++k, ++mirrored) {
    uint64_t index = n - 1;
    if (n > 1) {
      const uint64_t m = (mirrored + 1) % (2 * (n - 1));
      index = m <= n - 1 ? n - 1 - m : m - (n - 1);
    }
    const size_t slot = static_cast<size_t>((oldest + index) % kMirrorFrames);
    std::memcpy(out + static_cast<size_t>(k) * frameBytes, &last[slot * frameBytes], frameBytes);
  }
}

ToolStatus Restorer::Run(Source& source, Processor& processor, Sink& sink, Result* result,
                         const Progress& progress, const StopRequested& stop) {
  *result = Result{};
  uint64_t framesIn = 0;
  uint64_t framesOut = 0;
  uint64_t toDrop = 0;
  bool latencyKnown = false;
  bool inputEnded = false;
  uint64_t flushFed = 0;
  uint64_t flushLimit = 0;
  lastEnd = 0;
  mirrored = 0;

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
        continue;
      }
      Remember(input.data(), frames);
      framesIn += frames;
      if (progress) progress(framesIn);
    } else {
      // A chain that keeps swallowing the flush long after its own delay
      // has run dry would loop for ever; a few seconds' worth past the
      // latency is far more than any whole-buffer pipeline holds.
      if (flushFed > flushLimit) {
        return ToolStatus::Failure(ExitCode::Internal,
                                   "the restoration chain stopped producing output; OUTPUT was not written.");
      }
      frames = blockFrames;
      Mirror(input.data(), frames);
      flushFed += frames;
    }

    const uint32_t produced = std::min(processor.Process(input.data(), frames, output.data(), roomFrames), roomFrames);
    if (!latencyKnown) {
      toDrop = processor.LatencyFrames();
      flushLimit = toDrop + 16ull * roomFrames;
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
