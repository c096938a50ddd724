// Circular sample store.
#include "framework/SampleRing.h"

#include <algorithm>

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

RingRegion SampleRing::Region(int32_t position, uint32_t count) const {
  RingRegion region;
  float* array = ChannelArray();
  if (array == nullptr || capacity_ == 0) return region;
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

void SampleRing::Read(float* destination, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion r = ReadRegion(count);
  const float* pieces[2] = {r.first, r.second};
  const uint32_t counts[2] = {r.firstCount, r.secondCount};
  uint32_t k = 0;
  for (int p = 0; p < 2; ++p) {
    const float* src = pieces[p];
    if (window != nullptr) {
      for (uint32_t i = 0; i < counts[p]; ++i, ++k) {
        destination[static_cast<size_t>(k) * stride] =
            static_cast<float>(static_cast<double>(src[i]) * window[k]);
      }
    } else if (stride == 1) {
      std::copy_n(src, counts[p], destination + k);
      k += counts[p];
    } else {
      for (uint32_t i = 0; i < counts[p]; ++i, ++k) {
        destination[static_cast<size_t>(k) * stride] = src[i];
      }
    }
  }
}

void SampleRing::Write(const float* source, uint32_t count, uint32_t stride, const float* window) {
  const RingRegion r = WriteRegion(count);
  float* pieces[2] = {r.first, r.second};
  const uint32_t counts[2] = {r.firstCount, r.secondCount};
  uint32_t k = 0;
  for (int p = 0; p < 2; ++p) {
    float* dst = pieces[p];
    if (window != nullptr) {
      for (uint32_t i = 0; i < counts[p]; ++i, ++k) {
        dst[i] = static_cast<float>(static_cast<double>(source[static_cast<size_t>(k) * stride]) *
                                    window[k]);
      }
    } else if (stride == 1) {
      std::copy_n(source + k, counts[p], dst);
      k += counts[p];
    } else {
      for (uint32_t i = 0; i < counts[p]; ++i, ++k) {
        dst[i] = source[static_cast<size_t>(k) * stride];
      }
    }
  }
}

void SampleRing::Accumulate(const float* source, uint32_t count, uint32_t stride,
                            const float* window) {
  const RingRegion r = WriteRegion(count);
  float* pieces[2] = {r.first, r.second};
  const uint32_t counts[2] = {r.firstCount, r.secondCount};
  uint32_t k = 0;
  for (int p = 0; p < 2; ++p) {
    float* dst = pieces[p];
    const float* src = source + static_cast<size_t>(k) * stride;
    const float* w = window != nullptr ? window + k : nullptr;
    // One loop per case, so that each runs without a test per sample.
    if (w != nullptr) {
      for (uint32_t i = 0; i < counts[p]; ++i) {
        dst[i] = static_cast<float>(dst[i] + static_cast<double>(src[static_cast<size_t>(i) * stride]) * w[i]);
      }
    } else {
      for (uint32_t i = 0; i < counts[p]; ++i) {
        dst[i] = static_cast<float>(dst[i] + static_cast<double>(src[static_cast<size_t>(i) * stride]));
      }
    }
    k += counts[p];
  }
}

void SampleRing::ZeroAhead(uint32_t count) {
  const RingRegion r = ReadRegion(count);
  if (r.first != nullptr) std::fill_n(r.first, r.firstCount, 0.0f);
  if (r.second != nullptr) std::fill_n(r.second, r.secondCount, 0.0f);
}

}  // namespace veltane
