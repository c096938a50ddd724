// The process-wide pool: buffer reuse and search order, windows, sine tables.
#include <gtest/gtest.h>

#include <cmath>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

constexpr double kTwoPi = 6.28318530717959;

// The pool is shared by every test in this program, so each test uses sizes
// no other test asks for (large enough that no leftover buffer is longer).
StreamFormat Format(PortKind kind, uint16_t channels, uint32_t size, uint32_t hasAux = 0) {
  StreamFormat format(kind);
  format.SetChannels(channels);
  kind == PortKind::Samples ? format.SetFrames(size) : format.SetFftSize(size, 0);
  format.hasAux = hasAux;
  return format;
}

TEST(ResourcePool, AReleasedBufferIsLentAgainWithItsAuxArrayAndAnEmptyFormatGetsNone) {
  ResourcePool& pool = GraphDomain::Shared().Pool();
  uint16_t first = 0, second = 0;
  SampleBuffer* a = pool.AcquireBuffer(Format(PortKind::Spectra, 1, 4094, 1), nullptr, &first);
  ASSERT_NE(a->aux, nullptr);
  EXPECT_EQ(pool.BufferAt(first), a);
  a->aux[4094 / 2] = 7.0f;  // the last of length / 2 + 1 values
  pool.ReleaseBuffer(a);
  EXPECT_EQ(pool.AcquireBuffer(Format(PortKind::Spectra, 1, 4094, 0), nullptr, &second), a);
  EXPECT_EQ(second, first);
  EXPECT_EQ(a->aux[4094 / 2], 7.0f);
  pool.ReleaseBuffer(a);
  EXPECT_EQ(pool.AcquireBuffer(Format(PortKind::Samples, 0, 1024), nullptr, &second), nullptr);
  EXPECT_EQ(second, ResourcePool::kNoIndex);
}

TEST(ResourcePool, LongerBuffersServeButNeverOnesWithMoreArraysOfEqualLength) {
  ResourcePool& pool = GraphDomain::Shared().Pool();
  constexpr uint32_t kNeed = (1u << 21) + 3;
  SampleBuffer* longer = pool.AcquireBuffer(Format(PortKind::Samples, 1, 2 * kNeed), nullptr);
  SampleBuffer* twoArrays = pool.AcquireBuffer(Format(PortKind::Spectra, 2, kNeed + 1), nullptr);
  pool.ReleaseBuffer(longer);
  pool.ReleaseBuffer(twoArrays);
  SampleBuffer* taken = pool.AcquireBuffer(Format(PortKind::Samples, 1, kNeed), nullptr);
  EXPECT_EQ(taken, longer);  // nothing of equal length was free
  SampleBuffer* oneArray = pool.AcquireBuffer(Format(PortKind::Spectra, 1, kNeed + 1), nullptr);
  EXPECT_NE(oneArray, twoArrays);
  EXPECT_EQ(oneArray->channels, 1);
  // Longer and with more arrays is the last resort.
  SampleBuffer* last = pool.AcquireBuffer(Format(PortKind::Spectra, 1, kNeed), nullptr);
  EXPECT_EQ(last, twoArrays);
  for (SampleBuffer* b : {taken, oneArray, last}) pool.ReleaseBuffer(b);
}

TEST(ResourcePool, TablesHaveTheirFormulasAndAreBuiltOnce) {
  ResourcePool& pool = GraphDomain::Shared().Pool();
  const uint16_t index = pool.GetWindow(8, WindowShape::Hann);
  EXPECT_EQ(pool.GetWindow(8, WindowShape::Hann), index);
  const float* w = pool.WindowData(index);
  for (int i = 0; i < 8; ++i) {  // centred before the middle, never 0
    EXPECT_FLOAT_EQ(w[i], static_cast<float>(0.5 * (1.0 + std::cos(kTwoPi * (i - 3) / 10.0))));
  }
  const SineTables tables = pool.GetSineTable(1024);
  EXPECT_EQ(pool.GetSineTable(1024).sine, tables.sine);
  EXPECT_EQ(tables.cosine, tables.sine + 256);  // one array serves both
  for (int i = 0; i < 770; ++i) EXPECT_NEAR(tables.sine[i], std::sin(kTwoPi * i / 1024), 1e-7) << i;
}

}  // namespace
}  // namespace veltane
