// Pooled buffers and shared tables.
#include "framework/ResourcePool.h"

#include <cmath>


namespace veltane {
namespace {

// The tables are defined with this rounded value of 2 pi.
constexpr double kTwoPi = 6.28318530717959;

std::unique_ptr<float[]> ZeroedFloats(size_t count) {
  // Zeroed once at creation only so that the contents are defined; a re-lent
  // buffer keeps whatever its last user wrote.
  return std::make_unique<float[]>(count);
}

}  // namespace

SampleBuffer* ResourcePool::AcquireBuffer(const StreamFormat& format, OutputPort* owner,
                                          uint16_t* index) {
  std::lock_guard hold(lock_);
  uint32_t length;
  uint16_t channelCount;
  if (format.kind == PortKind::Samples) {
    length = static_cast<uint32_t>(format.channels) * format.frames;
    channelCount = 1;
  } else {
    length = format.fftSize;
    channelCount = format.channels;
  }
  if (index != nullptr) *index = kNoIndex;
  if (length == 0 || channelCount == 0) return nullptr;

  // Three searches, the first hit wins; a free buffer of equal length but
  // more channels is deliberately not taken.
  auto find = [&](auto matches) -> int {
    for (size_t i = 0; i < buffers_.size(); ++i) {
      const SampleBuffer& b = *buffers_[i];
      if (!b.inUse && matches(b)) return static_cast<int>(i);
    }
    return -1;
  };
  int found = find([&](const SampleBuffer& b) {
    return b.length == length && b.channels == channelCount;
  });
  if (found < 0) {
    found = find([&](const SampleBuffer& b) {
      return b.length > length && b.channels == channelCount;
    });
  }
  if (found < 0) {
    found = find([&](const SampleBuffer& b) {
      return b.length > length && b.channels > channelCount;
    });
  }
  if (found < 0) {
    if (buffers_.size() >= kNoIndex) return nullptr;
    auto created = std::make_unique<SampleBuffer>();
    created->length = length;
    created->channels = channelCount;
    for (uint16_t c = 0; c < channelCount; ++c) {
      created->storage.push_back(ZeroedFloats(length));
      created->data.push_back(created->storage.back().get());
    }
    buffers_.push_back(std::move(created));
    found = static_cast<int>(buffers_.size() - 1);
  }

  SampleBuffer* buffer = buffers_[static_cast<size_t>(found)].get();
  if (format.hasAux == 1 && !buffer->hasAux) {
    buffer->auxStorage = ZeroedFloats(buffer->length / 2 + 1);
    buffer->aux = buffer->auxStorage.get();
    buffer->hasAux = true;
  }
  buffer->inUse = true;
  buffer->owner = owner;
  if (index != nullptr) *index = static_cast<uint16_t>(found);
  return buffer;
}

void ResourcePool::ReleaseBuffer(SampleBuffer* buffer) {
  if (buffer == nullptr) return;
  std::lock_guard hold(lock_);
  buffer->inUse = false;
}

uint16_t ResourcePool::GetWindow(uint32_t length, WindowShape shape) {
  std::lock_guard hold(lock_);
  for (size_t i = 0; i < windows_.size(); ++i) {
    if (windows_[i].length == length && windows_[i].shape == shape) {
      return static_cast<uint16_t>(i);
    }
  }
  if (windows_.size() >= kNoIndex) return kNoIndex;
  WindowTable table{length, shape, ZeroedFloats(length)};
  // Raised cosine of period L + 2 centred on index L/2 - 1: its zeros fall
  // just outside the table (i = -2 and i = L), so every value is positive.
  const double half = length * 0.5;
  for (uint32_t i = 0; i < length; ++i) {
    table.values[i] = static_cast<float>(
        0.5 * (1.0 + std::cos(kTwoPi * (i + 1.0 - half) / (length + 2.0))));
  }
  windows_.push_back(std::move(table));
  return static_cast<uint16_t>(windows_.size() - 1);
}

const float* ResourcePool::WindowData(uint16_t index) const {
  std::lock_guard hold(lock_);
  if (index >= windows_.size()) return nullptr;
  return windows_[index].values.get();
}

SineTables ResourcePool::GetSineTable(uint32_t n) {
  std::lock_guard hold(lock_);
  for (const SineTable& table : sines_) {
    if (table.size == n) return {table.values.get() + n / 4, table.values.get()};
  }
  const auto count = static_cast<uint32_t>(0.75 * n + 2.0);
  SineTable table{n, ZeroedFloats(count)};
  for (uint32_t i = 0; i < count; ++i) {
    table.values[i] = n != 0 ? static_cast<float>(std::sin(kTwoPi * i / n)) : 0.0f;
  }
  sines_.push_back(std::move(table));
  const float* values = sines_.back().values.get();
  return {values + n / 4, values};
}

SampleBuffer* ResourcePool::BufferAt(uint16_t index) const {
  std::lock_guard hold(lock_);
  return index < buffers_.size() ? buffers_[index].get() : nullptr;
}

}  // namespace veltane
