// Circular multi-channel float store with one writer and one reader cursor.
//
// The cursors count samples without limit (64-bit totals); positions index
// every channel array alike, so a block writes or reads the same span on each
// channel and then advances the shared cursor once. The reader may keep a
// `history` of samples behind it that the writer must not overwrite, and it
// may step back over them. Counts are samples per channel. All operations are
// called with GraphLock held; only a growing Resize allocates.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace veltane {

struct RingCursor {
  int32_t position = 0;  // index into every channel array, in [0, capacity)
  int64_t total = 0;     // samples advanced since the last reset, signed
  int32_t history = 0;   // reader only: samples kept behind the read position
};

// Up to two contiguous pieces of one channel array (two when the span wraps).
struct RingRegion {
  float* first = nullptr;
  uint32_t firstCount = 0;
  float* second = nullptr;
  uint32_t secondCount = 0;
};

class SampleRing {
 public:
  SampleRing() = default;
  SampleRing(const SampleRing&) = delete;
  SampleRing& operator=(const SampleRing&) = delete;

  // Keeps storage, contents and cursors when the request fits what is
  // allocated (only the channel count in use changes); otherwise reallocates
  // exactly the new sizes and clears the ring.
  void Resize(uint16_t channels, uint32_t capacity);
  // Positions and totals of both cursors to 0; history stays.
  void ResetCursors();
  // ResetCursors, then every in-use channel array to 0.
  void Clear();
  void SelectChannel(uint16_t channel) { current_ = channel; }

  int32_t Readable() const;  // writer.total - reader.total
  int32_t Writable() const;  // capacity - (writer - (reader - history))
  int32_t Headroom() const;  // Writable ignoring history

  // n may be negative; no effect while the capacity is 0.
  void AdvanceReader(int64_t n) { Advance(reader, n); }
  void AdvanceWriter(int64_t n) { Advance(writer, n); }

  RingRegion ReadRegion(uint32_t count) { return Region(reader.position, count); }
  RingRegion WriteRegion(uint32_t count) { return Region(writer.position, count); }

  // destination[k * stride] = sample k of the read region (times window[k]
  // when a window is given); cursors do not move.
  void Read(float* destination, uint32_t count, uint32_t stride, const float* window);
  // Sample k of the write region = source[k * stride] (times window[k]).
  void Write(const float* source, uint32_t count, uint32_t stride, const float* window);
  // Sample k of the write region += source[k * stride] (times window[k]):
  // overlap-add. Products and sums are rounded to float once.
  void Accumulate(const float* source, uint32_t count, uint32_t stride, const float* window);
  // Sets the count samples of the read region to 0.
  void ZeroAhead(uint32_t count);

  // The same on the current channel and the one after it at once, for two
  // channels interleaved in steps of `stride` floats (at least 2): channel
  // current + l goes with source or destination[k * stride + l]. A stride of
  // 2 runs in vector registers.
  void ReadPair(float* destination, uint32_t count, uint32_t stride, const float* window);
  void WritePair(const float* source, uint32_t count, uint32_t stride);
  void AccumulatePair(const float* source, uint32_t count, uint32_t stride, const float* window);

  // Channels 0 .. frameChannels - 1 at once (those in use), for frames of
  // frameChannels interleaved floats: channel c goes with destination or
  // source[k * frameChannels + c]. Leaves channel 0 selected.
  void ReadFrames(float* destination, uint32_t count, uint16_t frameChannels, const float* window);
  void WriteFrames(const float* source, uint32_t count, uint16_t frameChannels);

  uint16_t Channels() const { return channels_; }
  uint32_t Capacity() const { return capacity_; }
  uint16_t CurrentChannel() const { return current_; }
  // The current channel's array (null before the first Resize).
  float* ChannelArray() const;

  RingCursor writer;
  RingCursor reader;

 private:
  void Advance(RingCursor& cursor, int64_t n) const;
  RingRegion Region(int32_t position, uint32_t count) const { return Region(current_, position, count); }
  // Empty for a channel not in use.
  RingRegion Region(uint16_t channel, int32_t position, uint32_t count) const;

  uint16_t channels_ = 0;
  uint32_t capacity_ = 0;
  uint16_t allocatedChannels_ = 0;
  uint32_t allocatedCapacity_ = 0;
  std::vector<std::unique_ptr<float[]>> arrays_;
  uint16_t current_ = 0;
};

}  // namespace veltane
