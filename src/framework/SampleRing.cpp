// Circular sample store.
#include "framework/SampleRing.h"

#include <algorithm>
#include <cstddef>

#include "framework/KernelLevel.h"

namespace veltane {

void SampleRing::Resize(uint16_t channels, uint32_t capacity) {
  if (channels <= allocatedChannels_ && capacity <= allocatedCapacity_) {
    channels_ = channels;
    return;
  }
  arrays_.clear();
  for (uint16_t c = 0; c < channels; ++c) {
    arrays_.push_back(std::make_unique<float[]>(capacity));
  }
  allocatedChannels_ = channels;
  allocatedCapacity_ = capacity;
  channels_ = channels;
  capacity_ = capacity;
  Clear();
}

void SampleRing::ResetCursors() {
  writer.position = 0;
  writer.total = 0;
  reader.position = 0;
  reader.total = 0;
}

void SampleRing::Clear() {
  ResetCursors();
  for (uint16_t c = 0; c < channels_ && c < arrays_.size(); ++c) {
    std::fill_n(arrays_[c].get(), capacity_, 0.0f);
  }
}

// The counts use the low 32 bits of the totals, exact while the cursors are
// less than 2^31 apart.
int32_t SampleRing::Readable() const {
  return static_cast<int32_t>(static_cast<uint32_t>(writer.total) -
                              static_cast<uint32_t>(reader.total));
}

int32_t SampleRing::Writable() const {
  const uint32_t keptFrom = static_cast<uint32_t>(reader.total) -
                            static_cast<uint32_t>(reader.history);
  return static_cast<int32_t>(capacity_ - (static_cast<uint32_t>(writer.total) - keptFrom));
}

int32_t SampleRing::Headroom() const {
  return static_cast<int32_t>(capacity_ - static_cast<uint32_t>(Readable()));
}

void SampleRing::Advance(RingCursor& cursor, int64_t n) const {
  if (capacity_ == 0) return;
  cursor.total += n;
  const int64_t capacity = capacity_;
  int64_t position = (cursor.position + n) % capacity;
  if (position < 0) position += capacity;
  cursor.position = static_cast<int32_t>(position);
}

RingRegion SampleRing::Region(uint16_t channel, int32_t position, uint32_t count) const {
  RingRegion region;
  if (channel >= channels_ || channel >= arrays_.size() || capacity_ == 0) return region;
  float* array = arrays_[channel].get();
  count = std::min(count, capacity_);
  const uint32_t start = static_cast<uint32_t>(position);
  region.first = array + start;
  region.firstCount = std::min(capacity_ - start, count);
  if (region.firstCount < count) {
    region.second = array;
    region.secondCount = count - region.firstCount;
  }
  return region;
}

float* SampleRing::ChannelArray() const {
  return current_ < channels_ && current_ < arrays_.size() ? arrays_[current_].get() : nullptr;
}

namespace {

// The product of two floats is exact in double, so a sample times its weight
// rounded once to float (the ring's contract) is the float product itself:
// reads and writes weight in float lanes. Overlap-add forms its sum in
// double and rounds it once.

// The loops below take the ring's pieces of kLanes channels (one or two),
// the interleaved frames (`stride` floats apart) and the window or null;
// kStride > 0 fixes the stride at compile time.

// frames[k * stride + l] = channel l's ring[l][k] (times w[k]).
template <int kLanes, uint32_t kStride>
struct Scatter {
  static void Run(const float* const* ring, float* frames, size_t stride, size_t count, const float* w) {
    const size_t step = kStride != 0 ? kStride : stride;
    for (size_t k = 0; k < count; ++k) {
      for (int l = 0; l < kLanes; ++l) frames[k * step + l] = w != nullptr ? ring[l][k] * w[k] : ring[l][k];
    }
  }
};

// ring[l][k] = frames[k * stride + l] (times w[k]).
template <int kLanes, uint32_t kStride>
struct Gather {
  static void Run(float* const* ring, const float* frames, size_t stride, size_t count, const float* w) {
    const size_t step = kStride != 0 ? kStride : stride;
    for (size_t k = 0; k < count; ++k) {
      for (int l = 0; l < kLanes; ++l) ring[l][k] = w != nullptr ? frames[k * step + l] * w[k] : frames[k * step + l];
    }
  }
};

// ring[l][k] += frames[k * stride + l] (times w[k]).
template <int kLanes, uint32_t kStride>
struct GatherAdd {
  static void Run(float* const* ring, const float* frames, size_t stride, size_t count, const float* w) {
    const size_t step = kStride != 0 ? kStride : stride;
    for (size_t k = 0; k < count; ++k) {
      for (int l = 0; l < kLanes; ++l) {
        const double term = w != nullptr ? static_cast<double>(frames[k * step + l]) * w[k] : frames[k * step + l];
        ring[l][k] = static_cast<float>(ring[l][k] + term);
      }
    }
  }
};

// A loop with the strides of mono runs and stereo frames (whole, or one
// channel of them) and the window's presence fixed, so that those run in
// vector registers; a build for every instruction set.
template <template <int, uint32_t> class Loop, int kLanes>
struct StrideKernel {
  template <class Isa, class Ring, class Frames>
  static void Run(Ring ring, Frames frames, size_t stride, size_t count, const float* w) {
    if (stride == kLanes) {
      Fixed<kLanes>(ring, frames, count, w);
    } else if (kLanes == 1 && stride == 2) {
      Fixed<2>(ring, frames, count, w);
    } else {
      Loop<kLanes, 0>::Run(ring, frames, stride, count, w);
    }
  }

 private:
  template <uint32_t kStride, class Ring, class Frames>
  static void Fixed(Ring ring, Frames frames, size_t count, const float* w) {
    if (w != nullptr) {
      Loop<kLanes, kStride>::Run(ring, frames, kStride, count, w);
    } else {
      Loop<kLanes, kStride>::Run(ring, frames, kStride, count, nullptr);
    }
  }
};

// Runs the loop over the (one or two) pieces of the regions of kLanes
// channels at one position, each with its part of the frames and window.
template <template <int, uint32_t> class Loop, int kLanes, class RingPointer, class Frames>
void OverPieces(const RingRegion (&regions)[kLanes], Frames* frames, size_t stride, const float* window) {
  for (int piece = 0; piece < 2; ++piece) {
    const size_t offset = piece == 0 ? 0 : regions[0].firstCount;
    const size_t count = piece == 0 ? regions[0].firstCount : regions[0].secondCount;
    if (count == 0) continue;
    RingPointer pieces[kLanes];
    for (int l = 0; l < kLanes; ++l) pieces[l] = piece == 0 ? regions[l].first : regions[l].second;
    DispatchKernel<StrideKernel<Loop, kLanes>>(pieces, frames + offset * stride, stride, count,
                                               window != nullptr ? window + offset : nullptr);
  }
}

}  // namespace

void SampleRing::Read(float* destination, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[1] = {ReadRegion(count)};
  OverPieces<Scatter, 1, const float*>(regions, destination, stride, window);
}

void SampleRing::Write(const float* source, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[1] = {WriteRegion(count)};
  OverPieces<Gather, 1, float*>(regions, source, stride, window);
}

void SampleRing::Accumulate(const float* source, uint32_t count, uint32_t stride,
                            const float* window) {
  const RingRegion regions[1] = {WriteRegion(count)};
  OverPieces<GatherAdd, 1, float*>(regions, source, stride, window);
}

void SampleRing::ReadPair(float* destination, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[2] = {Region(current_, reader.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), reader.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<Scatter, 2, const float*>(regions, destination, stride, window);
}

void SampleRing::WritePair(const float* source, uint32_t count, uint32_t stride) {
  const RingRegion regions[2] = {Region(current_, writer.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), writer.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<Gather, 2, float*>(regions, source, stride, nullptr);
}

void SampleRing::AccumulatePair(const float* source, uint32_t count, uint32_t stride,
                                const float* window) {
  const RingRegion regions[2] = {Region(current_, writer.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), writer.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<GatherAdd, 2, float*>(regions, source, stride, window);
}

void SampleRing::ReadFrames(float* destination, uint32_t count, uint16_t frameChannels,
                            const float* window) {
  const uint16_t used = std::min(channels_, frameChannels);
  uint16_t c = 0;
  for (; c + 1 < used; c += 2) {
    SelectChannel(c);
    ReadPair(destination + c, count, frameChannels, window);
  }
  for (; c < used; ++c) {
    SelectChannel(c);
    Read(destination + c, count, frameChannels, window);
  }
  SelectChannel(0);
}

void SampleRing::WriteFrames(const float* source, uint32_t count, uint16_t frameChannels) {
  const uint16_t used = std::min(channels_, frameChannels);
  uint16_t c = 0;
  for (; c + 1 < used; c += 2) {
    SelectChannel(c);
    WritePair(source + c, count, frameChannels);
  }
  for (; c < used; ++c) {
    SelectChannel(c);
    Write(source + c, count, frameChannels, nullptr);
  }
  SelectChannel(0);
}

void SampleRing::ZeroAhead(uint32_t count) {
  const RingRegion r = ReadRegion(count);
  if (r.first != nullptr) std::fill_n(r.first, r.firstCount, 0.0f);
  if (r.second != nullptr) std::fill_n(r.second, r.secondCount, 0.0f);
}

}  // namespace veltane
