// Circular sample store.
#include "framework/SampleRing.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>

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

// to[k * stride + l] = lane l's from[k] (times w[k]), l < kLanes: one or two
// channels into interleaved frames. kStride > 0 fixes the stride.
template <int kLanes, uint32_t kStride>
inline void Scatter(const float* const* from, size_t count, float* to, size_t stride, const float* w) {
  const size_t step = kStride != 0 ? kStride : stride;
  for (size_t k = 0; k < count; ++k) {
    for (int l = 0; l < kLanes; ++l) to[k * step + l] = w != nullptr ? from[l][k] * w[k] : from[l][k];
  }
}

// Lane l's to[k] = from[k * stride + l] (times w[k]).
template <int kLanes, uint32_t kStride>
inline void Gather(const float* from, size_t stride, size_t count, float* const* to, const float* w) {
  const size_t step = kStride != 0 ? kStride : stride;
  for (size_t k = 0; k < count; ++k) {
    for (int l = 0; l < kLanes; ++l) to[l][k] = w != nullptr ? from[k * step + l] * w[k] : from[k * step + l];
  }
}

// Lane l's to[k] += from[k * stride + l] (times w[k]).
template <int kLanes, uint32_t kStride>
inline void GatherAdd(const float* from, size_t stride, size_t count, float* const* to, const float* w) {
  const size_t step = kStride != 0 ? kStride : stride;
  for (size_t k = 0; k < count; ++k) {
    for (int l = 0; l < kLanes; ++l) {
      const double term = w != nullptr ? static_cast<double>(from[k * step + l]) * w[k] : from[k * step + l];
      to[l][k] = static_cast<float>(to[l][k] + term);
    }
  }
}

// The loops with the window's presence and the strides of mono runs and
// stereo frames fixed, so that those run in vector registers; a build for
// every instruction set.
template <int kLanes>
struct ScatterKernel {
  template <class Isa>
  static void Run(const float* const* from, size_t count, float* to, size_t stride, const float* w) {
    if (stride == kLanes) {
      w != nullptr ? Scatter<kLanes, kLanes>(from, count, to, stride, w)
                   : Scatter<kLanes, kLanes>(from, count, to, stride, nullptr);
    } else {
      Scatter<kLanes, 0>(from, count, to, stride, w);
    }
  }
};

template <int kLanes>
struct GatherKernel {
  template <class Isa>
  static void Run(const float* from, size_t stride, size_t count, float* const* to, const float* w) {
    if (stride == kLanes) {
      w != nullptr ? Gather<kLanes, kLanes>(from, stride, count, to, w)
                   : Gather<kLanes, kLanes>(from, stride, count, to, nullptr);
    } else {
      Gather<kLanes, 0>(from, stride, count, to, w);
    }
  }
};

template <int kLanes>
struct GatherAddKernel {
  template <class Isa>
  static void Run(const float* from, size_t stride, size_t count, float* const* to, const float* w) {
    if (stride == kLanes) {
      w != nullptr ? GatherAdd<kLanes, kLanes>(from, stride, count, to, w)
                   : GatherAdd<kLanes, kLanes>(from, stride, count, to, nullptr);
    } else {
      GatherAdd<kLanes, 0>(from, stride, count, to, w);
    }
  }
};

// Runs Kernel<kLanes> over the two pieces of the regions of kLanes channels
// at one position: Run(ring pieces, count, interleaved + k0 * stride, ...,
// window + k0) for each piece, k0 being where the piece starts in the span.
template <template <int> class Kernel, int kLanes, class RingPointer, class Interleaved>
void OverPieces(const RingRegion (&regions)[kLanes], Interleaved* interleaved, size_t stride,
                const float* window) {
  for (int piece = 0; piece < 2; ++piece) {
    const size_t offset = piece == 0 ? 0 : regions[0].firstCount;
    const size_t count = piece == 0 ? regions[0].firstCount : regions[0].secondCount;
    if (count == 0) continue;
    RingPointer pieces[kLanes];
    for (int l = 0; l < kLanes; ++l) pieces[l] = piece == 0 ? regions[l].first : regions[l].second;
    const float* w = window != nullptr ? window + offset : nullptr;
    if constexpr (std::is_const_v<Interleaved>) {
      DispatchKernel<Kernel<kLanes>>(interleaved + offset * stride, stride, count, pieces, w);
    } else {
      DispatchKernel<Kernel<kLanes>>(pieces, count, interleaved + offset * stride, stride, w);
    }
  }
}

}  // namespace

void SampleRing::Read(float* destination, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[1] = {ReadRegion(count)};
  OverPieces<ScatterKernel, 1, const float*>(regions, destination, stride, window);
}

void SampleRing::Write(const float* source, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[1] = {WriteRegion(count)};
  OverPieces<GatherKernel, 1, float*>(regions, source, stride, window);
}

void SampleRing::Accumulate(const float* source, uint32_t count, uint32_t stride,
                            const float* window) {
  const RingRegion regions[1] = {WriteRegion(count)};
  OverPieces<GatherAddKernel, 1, float*>(regions, source, stride, window);
}

void SampleRing::ReadPair(float* destination, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion regions[2] = {Region(current_, reader.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), reader.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<ScatterKernel, 2, const float*>(regions, destination, stride, window);
}

void SampleRing::WritePair(const float* source, uint32_t count, uint32_t stride) {
  const RingRegion regions[2] = {Region(current_, writer.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), writer.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<GatherKernel, 2, float*>(regions, source, stride, nullptr);
}

void SampleRing::AccumulatePair(const float* source, uint32_t count, uint32_t stride,
                                const float* window) {
  const RingRegion regions[2] = {Region(current_, writer.position, count),
                                 Region(static_cast<uint16_t>(current_ + 1), writer.position, count)};
  if (regions[1].first == nullptr) return;
  OverPieces<GatherAddKernel, 2, float*>(regions, source, stride, window);
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
