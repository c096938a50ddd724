// The sample ring and its cursors.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "framework/SampleRing.h"
#include "support/KernelLevels.h"

namespace veltane {
namespace {

// Random writes, and reads that step back into the history, against the
// stream as written: the counts, the wrapped positions and every value read.
TEST(SampleRing, FollowsTheStreamAcrossWrapsAndStepsBack) {
  constexpr int32_t kCapacity = 64, kHistory = 8;
  SampleRing ring;
  ring.Resize(1, kCapacity);
  ring.reader.history = kHistory;
  std::mt19937 random(3);
  std::vector<float> stream;  // every value written, by writer total
  for (int step = 0; step < 3000; ++step) {
    const int64_t written = ring.writer.total, read = ring.reader.total;
    ASSERT_EQ(ring.Readable(), written - read);
    ASSERT_EQ(ring.Headroom(), kCapacity - (written - read));
    ASSERT_EQ(ring.Writable(), kCapacity - (written - (read - kHistory)));
    ASSERT_EQ(ring.reader.position, read % kCapacity) << step;
    const auto n = static_cast<uint32_t>(random() % 40);
    if (step % 2 == 0) {
      const auto count = std::min<uint32_t>(n, static_cast<uint32_t>(ring.Writable()));
      const RingRegion region = ring.WriteRegion(count);
      ASSERT_EQ(region.firstCount, std::min<uint32_t>(count, kCapacity - ring.writer.position));
      std::vector<float> values(count);
      std::iota(values.begin(), values.end(), static_cast<float>(written));
      ring.Write(values.data(), count, 1, nullptr);
      ring.AdvanceWriter(count);
      stream.insert(stream.end(), values.begin(), values.end());
    } else {
      const auto count = std::min<uint32_t>(n, static_cast<uint32_t>(ring.Readable()));
      std::vector<float> values(count);
      ring.Read(values.data(), count, 1, nullptr);
      ASSERT_TRUE(std::equal(values.begin(), values.end(), stream.begin() + read)) << step;
      ring.AdvanceReader(count);
      ring.AdvanceReader(-std::min<int64_t>(count, random() % (kHistory + 1)));
    }
  }
  ring.AdvanceReader(-ring.reader.total - 3);  // before the start, and any distance
  EXPECT_EQ(ring.reader.position, kCapacity - 3);
  ring.AdvanceWriter(kCapacity * 5 + 3);
  EXPECT_EQ(ring.writer.position, ring.writer.total % kCapacity);
}

TEST(SampleRing, WritesWithStridesAndWindowsAndAccumulatesRoundingOnce) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  SampleRing ring;
  ring.Resize(1, 4096);
  ring.AdvanceWriter(3500);  // the spans below wrap
  ring.AdvanceReader(3500);
  std::vector<float> start(2 * 1000), window(1000), source(1000), out(2 * 1000, 0.0f);
  for (auto* v : {&start, &window, &source}) {
    std::generate(v->begin(), v->end(), [&] { return value(random); });
  }
  for (float& v : source) v *= 1e-3f;
  ring.Write(start.data() + 1, 1000, 2, window.data());  // the second of two channels, weighted
  ring.Accumulate(source.data(), 1000, 1, window.data());
  ring.Read(out.data(), 1000, 2, nullptr);
  for (size_t i = 0; i < 1000; ++i) {
    const float written = start[2 * i + 1] * window[i];
    ASSERT_EQ(out[2 * i], static_cast<float>(double{written} + double{source[i]} * window[i])) << i;
    ASSERT_EQ(out[2 * i + 1], 0.0f);
  }
}

// Two channels at once, or every channel of a frame, give what the
// single-channel operations give one channel after the other, with the
// strides of stereo and of wider frames, across the wrap, at every kernel
// level.
TEST(SampleRing, PairAndFrameOperationsMatchTheSingleChannelOnes) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  const auto fill = [&](size_t count) {
    std::vector<float> v(count);
    std::generate(v.begin(), v.end(), [&] { return value(random); });
    return v;
  };
  testing::ForEachKernelLevel([&](KernelLevel) {
    for (uint16_t stride : {2, 3}) {
      constexpr uint32_t kCount = 45;  // wraps a ring of 64 that starts at 40
      const std::vector<float> frames = fill(stride * kCount), window = fill(kCount), added = fill(stride * kCount);
      SampleRing together, apart;
      for (SampleRing* ring : {&together, &apart}) {
        ring->Resize(stride, 64);
        ring->AdvanceWriter(40);
        ring->AdvanceReader(40);
      }
      together.WriteFrames(frames.data(), kCount, stride);
      together.SelectChannel(0);
      together.AccumulatePair(added.data(), kCount, stride, window.data());
      for (uint16_t c = 0; c < stride; ++c) {
        apart.SelectChannel(c);
        apart.Write(frames.data() + c, kCount, stride, nullptr);
        if (c < 2) apart.Accumulate(added.data() + c, kCount, stride, window.data());
      }
      for (SampleRing* ring : {&together, &apart}) ring->AdvanceWriter(kCount);
      std::vector<float> pair(2 * kCount), single(2 * kCount), all(stride * kCount), each(stride * kCount);
      together.SelectChannel(0);
      together.ReadPair(pair.data(), kCount, 2, window.data());
      together.ReadFrames(all.data(), kCount, stride, nullptr);
      for (uint16_t c = 0; c < stride; ++c) {
        apart.SelectChannel(c);
        if (c < 2) apart.Read(single.data() + c, kCount, 2, window.data());
        apart.Read(each.data() + c, kCount, stride, nullptr);
      }
      EXPECT_EQ(pair, single) << "stride " << stride;
      EXPECT_EQ(all, each) << "stride " << stride;
    }
  });
}

}  // namespace
}  // namespace veltane
