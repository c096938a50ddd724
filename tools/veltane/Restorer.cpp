// The restoration loop: latency compensation and a mirrored tail flush.
#include "veltane/Restorer.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "veltane/StageHandoff.h"
#include "veltane/StopSignals.h"

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

ToolStatus Restorer::Stalled() {
  return ToolStatus::Failure(ExitCode::Internal, "the restoration chain stopped producing output; OUTPUT was not written.");
}

ToolStatus Restorer::NextBlock(Source& source, const Progress& progress, Feed* feed, uint32_t* frames) {
  *frames = 0;
  if (feed->inputEnded) {
    *frames = blockFrames;
    Mirror(input.data(), blockFrames);
    feed->flushFed += blockFrames;
    return ToolStatus::Success();
  }
  if (ToolStatus status = source.Read(input.data(), blockFrames, frames); !status.Ok()) return status;
  if (*frames == 0) {
    feed->inputEnded = true;
    return ToolStatus::Success();
  }
  Remember(input.data(), *frames);
  feed->framesIn += *frames;
  if (progress) progress(feed->framesIn);
  return ToolStatus::Success();
}

ToolStatus Restorer::Deliver(const uint8_t* out, uint32_t produced, uint64_t framesIn, Sink& sink,
                             Delivery* delivery) {
  const auto skipped = static_cast<uint32_t>(std::min<uint64_t>(delivery->toDrop, produced));
  delivery->toDrop -= skipped;
  const auto kept = static_cast<uint32_t>(std::min<uint64_t>(produced - skipped, framesIn - delivery->framesOut));
  if (kept == 0) return ToolStatus::Success();
  if (ToolStatus status = sink.Write(out + static_cast<size_t>(skipped) * frameBytes, kept); !status.Ok()) {
    return status;
  }
  delivery->framesOut += kept;
  return ToolStatus::Success();
}

ToolStatus Restorer::Run(Source& source, Processor& processor, Sink& sink, Result* result,
                         const Progress& progress, const StopRequested& stop) {
  *result = Result{};
  lastEnd = 0;
  mirrored = 0;
  Feed feed;
  Delivery delivery;
  bool latencyKnown = false;

  const auto interrupted = [&stop] { return stop && stop(); };
  // A signal that breaks off a read or a write shows up as that call's
  // failure; the interruption is the real cause.
  const auto failed = [&interrupted](ToolStatus status) {
    return interrupted() ? ToolStatus::Interruption() : status;
  };

  while (!feed.inputEnded || delivery.framesOut < feed.framesIn) {
    if (interrupted()) return ToolStatus::Interruption();
    if (feed.inputEnded && feed.flushFed > feed.flushLimit) return Stalled();
    uint32_t frames = 0;
    if (ToolStatus status = NextBlock(source, progress, &feed, &frames); !status.Ok()) return failed(status);
    if (frames == 0) {  // the input has just ended
      if (feed.framesIn == 0) break;
      continue;
    }

    const uint32_t produced = std::min(processor.Process(input.data(), frames, output.data(), roomFrames), roomFrames);
    if (!latencyKnown) {
      delivery.toDrop = processor.LatencyFrames();
      feed.flushLimit = FlushLimit(delivery.toDrop);
      latencyKnown = true;
    }
    result->clickPeak = std::max(result->clickPeak, processor.ClickMeter());
    if (ToolStatus status = Deliver(output.data(), produced, feed.framesIn, sink, &delivery); !status.Ok()) {
      return failed(status);
    }
  }

  result->frames = delivery.framesOut;
  return ToolStatus::Success();
}

ToolStatus Restorer::RunStaged(Source& source, Processor& first, uint32_t stageFrameBytes, Processor& second,
                               Sink& sink, Result* result, const Progress& progress, const StopRequested& stop) {
  *result = Result{};
  lastEnd = 0;
  mirrored = 0;
  StageHandoff handoff(kStagePackets, static_cast<size_t>(roomFrames) * stageFrameBytes,
                       static_cast<size_t>(roomFrames) * frameBytes);
  Feed feed;
  Delivery delivery;
  delivery.toDrop = second.LatencyFrames();
  feed.flushLimit = FlushLimit(delivery.toDrop);

  // The second stage, on its own thread: one call per packet, as the
  // one-thread loop makes one per block, until the calling thread closes.
  const auto runSecond = [&] {
    while (StageHandoff::Packet* packet = handoff.BeginPop()) {
      packet->returnedFrames = std::min(
          second.Process(packet->bytes.data(), packet->frames, packet->returned.data(), roomFrames), roomFrames);
      handoff.Pop();
    }
  };
  std::thread worker;
  try {
    StopSignals::Hold blocked;  // the new thread inherits the blocked stop signals
    worker = std::thread(runSecond);
  } catch (const std::system_error&) {
    return ToolStatus::Failure(ExitCode::Internal, "could not start a second thread; OUTPUT was not written.");
  }

  const auto interrupted = [&stop] { return stop && stop(); };
  const auto failed = [&interrupted](ToolStatus status) {
    return interrupted() ? ToolStatus::Interruption() : status;  // as in Run
  };
  // Writes the packets the second stage has handed back, in order: those
  // ready, and the next one while every packet is out. Past the input's end
  // it waits for all, so that the mirror is fed one block at a time, and
  // only while the output is still short, as on one thread.
  const auto writeBack = [&]() -> ToolStatus {
    for (;;) {
      const uint32_t out = handoff.Outstanding();
      const bool wait = out == handoff.Capacity() || (feed.inputEnded && out > 0);
      StageHandoff::Packet* packet = handoff.BeginTakeBack(wait);
      if (packet == nullptr) return ToolStatus::Success();
      const ToolStatus status =
          Deliver(packet->returned.data(), packet->returnedFrames, packet->framesIn, sink, &delivery);
      handoff.EndTakeBack();
      if (!status.Ok()) return status;
    }
  };
  const auto runFirst = [&]() -> ToolStatus {
    for (;;) {
      if (interrupted()) return ToolStatus::Interruption();
      if (ToolStatus status = writeBack(); !status.Ok()) return failed(status);
      if (feed.inputEnded && delivery.framesOut >= feed.framesIn) return ToolStatus::Success();
      if (feed.inputEnded && feed.flushFed > feed.flushLimit) return Stalled();
      uint32_t frames = 0;
      if (ToolStatus status = NextBlock(source, progress, &feed, &frames); !status.Ok()) return failed(status);
      if (frames == 0) continue;  // the input has just ended
      // writeBack has left a packet free, and only this thread closes.
      StageHandoff::Packet* packet = handoff.BeginPush();
      if (packet == nullptr) return Stalled();
      packet->framesIn = feed.framesIn;
      const auto room = static_cast<uint32_t>(packet->bytes.size() / std::max<uint32_t>(stageFrameBytes, 1));
      packet->frames = std::min(first.Process(input.data(), frames, packet->bytes.data(), room), room);
      result->clickPeak = std::max(result->clickPeak, first.ClickMeter());
      handoff.Push();
    }
  };
  const ToolStatus status = runFirst();
  handoff.Close();
  worker.join();

  if (!status.Ok()) return status;
  result->frames = delivery.framesOut;
  return ToolStatus::Success();
}

}  // namespace veltane
