// The restoration loop against processors that behave like the chain:
// a delay, output only in whole buffers that fit the room, nothing at all
// while the pipeline fills. Whatever the delay and buffer size, the output
// must be the input, frame for frame, with its exact length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "veltane/Restorer.h"

namespace veltane {
namespace {

constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint8_t kSilence = 0x80;

class VectorSource : public Restorer::Source {
 public:
  explicit VectorSource(std::vector<uint8_t> bytes) : data(std::move(bytes)) {}
  ToolStatus Read(uint8_t* pcm, uint32_t frames, uint32_t* got) override {
    if (failAfter >= 0 && reads++ >= failAfter) return ToolStatus::Failure(ExitCode::InputCorrupt, "bad read");
    const size_t left = (data.size() - position) / kFrameBytes;
    *got = static_cast<uint32_t>(std::min<size_t>(frames, left));
    if (*got > 0) std::memcpy(pcm, data.data() + position, *got * kFrameBytes);
    position += *got * kFrameBytes;
    return ToolStatus::Success();
  }
  std::vector<uint8_t> data;
  size_t position = 0;
  int failAfter = -1;
  int reads = 0;
};

class VectorSink : public Restorer::Sink {
 public:
  ToolStatus Write(const uint8_t* pcm, uint32_t frames) override {
    if (fail) return ToolStatus::Failure(ExitCode::OutputUnwritable, "disk full");
    data.insert(data.end(), pcm, pcm + frames * kFrameBytes);
    return ToolStatus::Success();
  }
  std::vector<uint8_t> data;
  bool fail = false;
};

// Delays the stream by `latency` frames and hands it back only in whole
// buffers of `chunk` frames that fit the room. Like the real chain, it may
// learn its latency only when the first buffer wires it up.
class ChainLikeProcessor : public Restorer::Processor {
 public:
  ChainLikeProcessor(uint32_t latency, uint32_t chunk, bool latencyAfterFirstCall = false)
      : latency(latency), chunk(chunk), latencyAfterFirstCall(latencyAfterFirstCall),
        pending(static_cast<size_t>(latency) * kFrameBytes, 0xEE) {}

  uint32_t Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t room) override {
    ++calls;
    fed.insert(fed.end(), in, in + frames * kFrameBytes);
    pending.insert(pending.end(), in, in + frames * kFrameBytes);
    uint32_t produced = 0;
    while (pending.size() >= chunk * kFrameBytes && produced + chunk <= room) {
      std::copy_n(pending.begin(), chunk * kFrameBytes, out + produced * kFrameBytes);
      pending.erase(pending.begin(), pending.begin() + chunk * kFrameBytes);
      produced += chunk;
    }
    return produced;
  }
  uint32_t LatencyFrames() override { return latencyAfterFirstCall && calls == 0 ? 0 : latency; }
  uint32_t ClickMeter() override {
    const uint32_t reading = calls < meter.size() ? meter[calls] : 0;
    return reading;
  }

  uint32_t latency;
  uint32_t chunk;
  bool latencyAfterFirstCall;
  std::deque<uint8_t> pending;
  std::vector<uint8_t> fed;  // everything the loop handed over, flush included
  std::vector<uint32_t> meter;
  size_t calls = 0;
};

std::vector<uint8_t> Ramp(size_t frames) {
  std::vector<uint8_t> bytes(frames * kFrameBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0x7F);
  return bytes;
}

using LoopCase = std::tuple<uint32_t /*latency*/, uint32_t /*chunk*/, uint32_t /*block*/, size_t /*frames*/>;

class RestorerAlignmentTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(RestorerAlignmentTest, OutputIsTheInputLinedUpAndOfTheSameLength) {
  const auto [latency, chunk, block, frames] = GetParam();
  VectorSource source(Ramp(frames));
  VectorSink sink;
  ChainLikeProcessor processor(latency, chunk, /*latencyAfterFirstCall=*/true);
  Restorer restorer(kFrameBytes, kSilence, block);
  Restorer::Result result;
  const ToolStatus status = restorer.Run(source, processor, sink, &result);
  ASSERT_TRUE(status.Ok()) << status.message;
  EXPECT_EQ(result.frames, frames);
  ASSERT_EQ(sink.data.size(), source.data.size());
  EXPECT_TRUE(sink.data == source.data);
  // The tail was flushed with silence of the stream's own kind.
  ASSERT_GE(processor.fed.size(), source.data.size());
  EXPECT_TRUE(std::all_of(processor.fed.begin() + static_cast<std::ptrdiff_t>(source.data.size()),
                          processor.fed.end(), [](uint8_t b) { return b == kSilence; }));
}

INSTANTIATE_TEST_SUITE_P(
    DelaysAndBuffers, RestorerAlignmentTest,
    ::testing::Combine(::testing::Values(0u, 1u, 1023u, 2085u, 9000u), ::testing::Values(1u, 1024u, 2048u),
                       ::testing::Values(7u, 480u, Restorer::kBlockFrames),
                       ::testing::Values(size_t{0}, size_t{1}, size_t{1000}, size_t{4096}, size_t{50001})));

TEST(RestorerTest, ReportsTheHighestClickMeterReading) {
  VectorSource source(Ramp(20000));
  VectorSink sink;
  ChainLikeProcessor processor(100, 1024);
  processor.meter = {0, 12, 57, 3, 40};
  Restorer restorer(kFrameBytes, kSilence);
  Restorer::Result result;
  ASSERT_TRUE(restorer.Run(source, processor, sink, &result).Ok());
  EXPECT_EQ(result.clickPeak, 57u);
}

TEST(RestorerTest, GivesUpOnAProcessorThatNeverProduces) {
  VectorSource source(Ramp(5000));
  VectorSink sink;
  ChainLikeProcessor processor(0, 100000);  // a buffer larger than any room it is given
  Restorer restorer(kFrameBytes, kSilence);
  Restorer::Result result;
  const ToolStatus status = restorer.Run(source, processor, sink, &result);
  EXPECT_EQ(status.code, ExitCode::Internal);
  EXPECT_NE(status.message.find("stopped producing output"), std::string::npos);
}

TEST(RestorerTest, PassesOnSourceAndSinkFailures) {
  {
    VectorSource source(Ramp(50000));
    source.failAfter = 2;
    VectorSink sink;
    ChainLikeProcessor processor(0, 1024);
    Restorer::Result result;
    const ToolStatus status = Restorer(kFrameBytes, kSilence).Run(source, processor, sink, &result);
    EXPECT_EQ(status.code, ExitCode::InputCorrupt);
    EXPECT_EQ(status.message, "bad read");
  }
  {
    VectorSource source(Ramp(50000));
    VectorSink sink;
    sink.fail = true;
    ChainLikeProcessor processor(0, 1024);
    Restorer::Result result;
    const ToolStatus status = Restorer(kFrameBytes, kSilence).Run(source, processor, sink, &result);
    EXPECT_EQ(status.code, ExitCode::OutputUnwritable);
  }
}

TEST(RestorerTest, StopsWhenAskedAndBlamesTheInterruptionForAFailedRead) {
  VectorSource source(Ramp(50000));
  VectorSink sink;
  ChainLikeProcessor processor(0, 1024);
  int polls = 0;
  Restorer::Result result;
  ToolStatus status = Restorer(kFrameBytes, kSilence).Run(source, processor, sink, &result, {},
                                                          [&polls] { return ++polls > 3; });
  EXPECT_EQ(status.code, ExitCode::Interrupted);
  EXPECT_LT(sink.data.size(), source.data.size());

  // A signal breaks off a read: the read fails, but the cause is the stop.
  VectorSource broken(Ramp(50000));
  broken.failAfter = 0;
  bool stopped = false;
  status = Restorer(kFrameBytes, kSilence).Run(broken, processor, sink, &result, {}, [&stopped] {
    const bool now = stopped;
    stopped = true;
    return now;
  });
  EXPECT_EQ(status.code, ExitCode::Interrupted);
}

TEST(RestorerTest, ReportsProgressInFramesRead) {
  VectorSource source(Ramp(10000));
  VectorSink sink;
  ChainLikeProcessor processor(0, 1024);
  std::vector<uint64_t> seen;
  Restorer::Result result;
  ASSERT_TRUE(Restorer(kFrameBytes, kSilence, 4096)
                  .Run(source, processor, sink, &result, [&seen](uint64_t frames) { seen.push_back(frames); })
                  .Ok());
  EXPECT_EQ(seen, (std::vector<uint64_t>{4096, 8192, 10000}));
}

}  // namespace
}  // namespace veltane
