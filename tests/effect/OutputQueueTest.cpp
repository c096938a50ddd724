// The output queue and the in-place aligner against the processed stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "effect/InPlaceAligner.h"
#include "effect/NoiseReducFilter.h"
#include "effect/OutputQueue.h"

namespace veltane {
namespace {

// Input pieces and host rooms, 24-bit mono at 96 kHz (odd frame bytes, four bands): the
// queue gives what one call with ample room gives, staying bounded; in place every frame
// comes back, that stream a fixed delay behind silence.
class Streaming : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {};

TEST_P(Streaming, QueueAndAlignerGiveTheProcessedStream) {
  const auto [piece, room] = GetParam();
  constexpr uint32_t kFrames = 24000;
  NoiseReducFilter filters[3];  // one call, queue, aligner
  for (NoiseReducFilter& filter : filters) {
    filter.SetFormat(WaveFormat{1, 1, 96000, 3 * 96000, 3, 24, 0});
    filter.SetFullBypass(0);
  }
  std::vector<uint8_t> input(3 * kFrames), reference(2 * input.size()), queued, host(3 * room);
  std::generate(input.begin(), input.end(), std::mt19937(piece));
  uint32_t produced = 2 * kFrames;
  filters[0].Process(input.data(), kFrames, reference.data(), &produced);
  reference.resize(3 * produced);
  InPlaceAligner aligner;  // works on `input` in place once the queue has read each piece
  OutputQueue queue;
  queue.Reset(3, 0);
  for (uint32_t at = 0; at < kFrames; at += piece) {
    const uint32_t count = std::min(piece, kFrames - at);
    queue.Produce(filters[1], &input[3 * at], count);
    EXPECT_LE(queue.QueuedFrames(), room + piece + OutputQueue::kSlackFrames);
    while (queue.QueuedFrames() >= (at + count < kFrames ? room : 1)) {  // at the end, all of it
      const uint32_t got = queue.Deliver(host.data(), room);
      queued.insert(queued.end(), host.begin(), host.begin() + 3 * got);
    }
    aligner.Process(filters[2], &input[3 * at], count);
  }
  EXPECT_EQ(queued, reference);
  const auto delay = static_cast<ptrdiff_t>(3 * aligner.DelayFrames());
  ASSERT_GE(aligner.DelayFrames(), InPlaceAligner::kBufferingFrames);
  EXPECT_EQ(std::count(input.begin(), input.begin() + delay, 0), delay);
  ASSERT_GE(reference.size() + delay, input.size());
  EXPECT_TRUE(std::equal(input.begin() + delay, input.end(), reference.begin()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Streaming,
                         ::testing::Combine(::testing::Values(1u, 7u, 480u, 4096u),
                                            ::testing::Values(1u, 333u, 2048u)));

}  // namespace
}  // namespace veltane
