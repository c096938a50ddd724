// The process-wide pool: buffer reuse and search order, windows, sine tables.
#include <gtest/gtest.h>

#include <cmath>

#include "framework/OutputPort.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

// The pool is shared by every test in this program, so each test uses sizes
// no other test asks for (large enough that no leftover buffer is longer).
StreamFormat SamplesFormat(uint16_t channels, uint32_t frames) {
  StreamFormat format(PortKind::Samples);
  format.SetChannels(channels);
  format.SetFrames(frames);
  return format;
}

StreamFormat SpectraFormat(uint16_t channels, uint32_t size, uint32_t hasAux = 0) {
  StreamFormat format(PortKind::Spectra);
  format.SetChannels(channels);
  format.SetFftSize(size, 0);
  format.hasAux = hasAux;
  return format;
}

TEST(ResourcePool, AReleasedBufferIsLentAgainForTheSameFormat) {
  ResourcePool& pool = ResourcePool::Instance();
  const StreamFormat format = SamplesFormat(2, 3001);
  uint16_t first = 0;
  SampleBuffer* a = pool.AcquireBuffer(format, nullptr, &first);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->length, 6002u);
  EXPECT_EQ(a->channels, 1);
  EXPECT_EQ(pool.BufferAt(first), a);
  pool.ReleaseBuffer(a);
  uint16_t second = 0;
  EXPECT_EQ(pool.AcquireBuffer(format, nullptr, &second), a);
  EXPECT_EQ(second, first);
  pool.ReleaseBuffer(a);
  pool.ReleaseBuffer(nullptr);  // ignored
}

TEST(ResourcePool, AnEmptyFormatGetsNoBuffer) {
  uint16_t index = 0;
  EXPECT_EQ(ResourcePool::Instance().AcquireBuffer(SamplesFormat(0, 1024), nullptr, &index), nullptr);
  EXPECT_EQ(index, ResourcePool::kNoIndex);
}

TEST(ResourcePool, LongerBuffersServeButNeverOnesWithMoreArraysOfEqualLength) {
  ResourcePool& pool = ResourcePool::Instance();
  constexpr uint32_t kNeed = (1u << 21) + 3;
  SampleBuffer* longer = pool.AcquireBuffer(SamplesFormat(1, 2 * kNeed), nullptr);
  SampleBuffer* twoArrays = pool.AcquireBuffer(SpectraFormat(2, kNeed + 1), nullptr);
  pool.ReleaseBuffer(longer);
  pool.ReleaseBuffer(twoArrays);

  SampleBuffer* taken = pool.AcquireBuffer(SamplesFormat(1, kNeed), nullptr);
  EXPECT_EQ(taken, longer);  // nothing of equal length was free
  SampleBuffer* oneArray = pool.AcquireBuffer(SpectraFormat(1, kNeed + 1), nullptr);
  EXPECT_NE(oneArray, twoArrays);
  EXPECT_EQ(oneArray->channels, 1);
  EXPECT_FALSE(twoArrays->inUse);
  // Longer and with more arrays is the last resort.
  SampleBuffer* last = pool.AcquireBuffer(SpectraFormat(1, kNeed), nullptr);
  EXPECT_EQ(last, twoArrays);
  for (SampleBuffer* b : {taken, oneArray, last}) pool.ReleaseBuffer(b);
}

TEST(ResourcePool, AuxArraysComeWithTheFormatAndStay) {
  ResourcePool& pool = ResourcePool::Instance();
  OutputPort* owner = reinterpret_cast<OutputPort*>(0x1234);
  SampleBuffer* buffer = pool.AcquireBuffer(SpectraFormat(1, 4094, 1), owner);
  ASSERT_TRUE(buffer->hasAux);
  ASSERT_NE(buffer->aux, nullptr);
  EXPECT_EQ(buffer->owner, owner);
  buffer->aux[4094 / 2] = 7.0f;  // the last of length / 2 + 1 values
  float* aux = buffer->aux;
  pool.ReleaseBuffer(buffer);
  SampleBuffer* again = pool.AcquireBuffer(SpectraFormat(1, 4094, 0), nullptr);
  EXPECT_EQ(again, buffer);
  EXPECT_EQ(again->aux, aux);
  EXPECT_EQ(again->aux[4094 / 2], 7.0f);
  pool.ReleaseBuffer(again);
}

TEST(ResourcePool, HannWindowIsBuiltOnceAndCentredBeforeTheMiddle) {
  ResourcePool& pool = ResourcePool::Instance();
  const uint16_t index = pool.GetWindow(8, WindowShape::Hann);
  EXPECT_EQ(pool.GetWindow(8, WindowShape::Hann), index);
  const float* w = pool.WindowData(index);
  ASSERT_NE(w, nullptr);
  for (int i = 0; i < 8; ++i) {
    EXPECT_FLOAT_EQ(w[i], static_cast<float>(0.5 * (1.0 + std::cos(6.28318530717959 * (i - 3) / 10.0))));
    EXPECT_GT(w[i], 0.0f);
  }
  EXPECT_EQ(w[3], 1.0f);
  EXPECT_EQ(pool.WindowData(ResourcePool::kNoIndex), nullptr);
}

TEST(ResourcePool, SineTableSharesOneArrayForSineAndCosine) {
  ResourcePool& pool = ResourcePool::Instance();
  const SineTables tables = pool.GetSineTable(1024);
  EXPECT_EQ(tables.cosine, tables.sine + 256);
  EXPECT_EQ(pool.GetSineTable(1024).sine, tables.sine);
  for (int i = 0; i < 770; ++i) {
    EXPECT_NEAR(tables.sine[i], std::sin(6.28318530717959 * i / 1024), 1e-7) << i;
  }
  for (int i = 0; i <= 513; ++i) {
    EXPECT_NEAR(tables.cosine[i], std::cos(6.28318530717959 * i / 1024), 1e-7) << i;
  }
}

}  // namespace
}  // namespace veltane
