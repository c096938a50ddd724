// The restoration loop: reads PCM frames, runs them through a processor that
// may delay the stream and hand back output in whole chain buffers, and
// writes exactly as many frames as it read, lined up with the input.
//
// The processor's delay (its latency, asked for once after the first call,
// when the chain has wired itself for the format) is dropped from the start
// of its output, and the tail still inside it is flushed until every input
// frame has come out. The flush is the recording's own last frames played
// backwards from its end (a mirror): the restoration decides on the last
// frames as it would inside a longer recording, where silence would make the
// hiss reducer fade them out.
//
// The loop runs on one thread, or split in two stages on two threads: the
// calling thread reads, runs the first stage and writes what the second
// stage, on a thread of its own, gives back. Both forms make the same calls
// with the same frames on the same processing (only the thread differs), so
// they write the same output and report the same statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "veltane/ExitCode.h"

namespace veltane {

class Restorer {
 public:
  // Where input frames come from. Frames are interleaved PCM of the
  // Restorer's frame size.
  class Source {
   public:
    virtual ~Source() = default;
    // Up to `frames` frames into `pcm`; *got = 0 at the end of the input.
    virtual ToolStatus Read(uint8_t* pcm, uint32_t frames, uint32_t* got) = 0;
  };

  class Sink {
   public:
    virtual ~Sink() = default;
    virtual ToolStatus Write(const uint8_t* pcm, uint32_t frames) = 0;
  };

  // The processing object as the loop drives it.
  class Processor {
   public:
    virtual ~Processor() = default;
    // Takes all `frames` frames and writes at most `room` frames to `out`
    // (possibly none); returns the frames written.
    virtual uint32_t Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t room) = 0;
    // Output frame k carries input frame k - latency.
    virtual uint32_t LatencyFrames() = 0;
    // 0..100, peak since the last reading.
    virtual uint32_t ClickMeter() = 0;
  };

  struct Result {
    uint64_t frames = 0;     // frames read, and written
    uint32_t clickPeak = 0;  // highest click meter reading of the run
  };

  // Frames read and handed to the processor per call.
  static constexpr uint32_t kBlockFrames = 4096;
  // Output room beyond one block: chain buffers are never split, so the
  // room must hold every whole buffer the chain may have ready (up to 2048
  // frames each) besides the block's own worth.
  static constexpr uint32_t kSpareFrames = 16384;

  using Progress = std::function<void(uint64_t framesRead)>;
  using StopRequested = std::function<bool()>;

  // The last frames kept for the mirror: more than any processor's latency
  // and buffering, which is all the flush must cover. A recording shorter
  // than that is mirrored back and forth.
  static constexpr uint32_t kMirrorFrames = 65536;

  // frameBytes = channels x bytes per sample. Allocates its buffers here.
  explicit Restorer(uint32_t frameBytes, uint32_t blockFrames = kBlockFrames);

  // Runs the whole stream. Stops with ExitCode::Interrupted as soon as
  // `stop` says so, with the first failure of the source or the sink, or
  // with ExitCode::Internal when the processor stops producing output.
  ToolStatus Run(Source& source, Processor& processor, Sink& sink, Result* result,
                 const Progress& progress = {}, const StopRequested& stop = {});

  // Packets on their round trip between the two threads of RunStaged: each
  // holds one block's output of the first stage (a block is 93 ms of audio at
  // 44.1 kHz, a millisecond or two of work) and then the second stage's, so
  // that on a busy machine one thread descheduled for a while does not stall
  // the other at once. The reading runs ahead of the writing by at most this
  // many blocks besides the processing's own lag (less than kMirrorFrames).
  static constexpr uint32_t kStagePackets = 15;

  // The same run split over two threads. `first` takes the blocks read (or
  // mirrored) and gives frames of `stageFrameBytes` bytes, without delay;
  // `second` takes those, call for call, and gives what is written, behind
  // its LatencyFrames (asked for before the run starts: the format must be
  // set). The calling thread reads, runs `first`, writes, reports progress
  // and polls `stop`; a thread of its own (started here, with the stop
  // signals blocked so that they reach the calling thread) runs `second`.
  // Once the input has ended, each further mirrored block is fed only after
  // everything before it has been written and the output found still short,
  // so both stages see exactly the blocks the one-thread loop would give
  // them. Allocates the packets here.
  ToolStatus RunStaged(Source& source, Processor& first, uint32_t stageFrameBytes, Processor& second, Sink& sink,
                       Result* result, const Progress& progress = {}, const StopRequested& stop = {});

 private:
  // Where the reading side stands.
  struct Feed {
    uint64_t framesIn = 0;
    bool inputEnded = false;
    uint64_t flushFed = 0;   // mirrored frames fed
    uint64_t flushLimit = 0;
  };
  // Where the writing side stands.
  struct Delivery {
    uint64_t framesOut = 0;
    uint64_t toDrop = 0;  // latency frames still to drop
  };

  // The next block into `input`: read while the input lasts (*frames = 0
  // and feed->inputEnded once it has ended), the mirror afterwards.
  ToolStatus NextBlock(Source& source, const Progress& progress, Feed* feed, uint32_t* frames);
  // Drops what is left of the latency from `produced` frames at `out` and
  // writes the rest, up to `framesIn` frames in all.
  ToolStatus Deliver(const uint8_t* out, uint32_t produced, uint64_t framesIn, Sink& sink, Delivery* delivery);
  // The limit on the mirror fed past the latency: a chain that keeps
  // swallowing it long after its own delay would loop for ever.
  uint64_t FlushLimit(uint64_t latency) const { return latency + 16ull * roomFrames; }
  static ToolStatus Stalled();

  // Keeps the last kMirrorFrames frames read.
  void Remember(const uint8_t* frames, uint32_t count);
  // Fills `out` with the next `count` frames of the mirror.
  void Mirror(uint8_t* out, uint32_t count);

  uint32_t frameBytes;
  uint32_t blockFrames;
  uint32_t roomFrames;
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  std::vector<uint8_t> last;  // a ring of the last frames read
  uint64_t lastEnd = 0;       // frames ever written into `last`
  uint64_t mirrored = 0;      // frames of the mirror given so far
};

}  // namespace veltane
