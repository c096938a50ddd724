// The LV2 plugin driven as a host drives it, through its descriptors: block
// sizes and control changes leave the output as it is and allocate nothing,
// bypass lines up and crossfades, a new activation forgets the last stream,
// hostile values stay out of the output, the click meter, and two instances
// on two threads.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "lv2/Descriptor.h"
#include "lv2/VeltanePlugin.h"
#include "support/AllocationCounter.h"
#include "support/Signals.h"

namespace veltane::lv2 {
namespace {

using veltane::testing::AddClicks;
using veltane::testing::AddWhiteHiss;
using veltane::testing::Click;
using veltane::testing::MusicLike;

// Control values from this frame on: the block that would cross the frame is
// cut there, as a host cuts its cycle at an automation point.
struct Change {
  uint64_t frame;
  uint32_t port;
  float value;
};

// One plugin instance with its control values and audio arrays, run over
// whole interleaved signals.
class TestHost {
 public:
  TestHost(uint16_t channelCount, double rate)
      : channels(channelCount), descriptor(Descriptor(channelCount == 1 ? 0 : 1)) {
    handle = descriptor->instantiate(descriptor, rate, "", nullptr);
    if (handle == nullptr) return;
    for (uint32_t port = 0; port < kControlPortCount; ++port) {
      controls[port] = kControlRanges[port].defaultValue;
      descriptor->connect_port(handle, port, &controls[port]);
    }
    descriptor->activate(handle);
  }
  ~TestHost() {
    if (handle != nullptr) descriptor->cleanup(handle);
  }

  bool Ok() const { return handle != nullptr; }
  void Activate() { descriptor->activate(handle); }
  uint32_t Latency() {
    descriptor->run(handle, 0);
    return static_cast<uint32_t>(controls[kLatency]);
  }

  // The plugin's output for `input`, in blocks of `block` frames (cut at
  // every change); the allocations made meanwhile into *allocations.
  std::vector<float> Run(const std::vector<float>& input, uint64_t block, const std::vector<Change>& changes = {},
                         long* allocations = nullptr) {
    std::vector<float> output(input.size());
    const uint64_t frames = input.size() / channels;
    size_t next = 0;
    for (auto& array : audio) array.resize(std::max<size_t>(array.size(), std::min(block, frames)));
    meterReadings.reserve(meterReadings.size() + frames / block + changes.size() + 1);
    if (allocations != nullptr) veltane::testing::StartCountingAllocations();
    for (uint64_t at = 0; at < frames;) {
      for (; next < changes.size() && changes[next].frame <= at; ++next) controls[changes[next].port] = changes[next].value;
      uint64_t end = std::min(at + block, frames);
      if (next < changes.size()) end = std::min(end, changes[next].frame);
      const auto n = static_cast<uint32_t>(end - at);
      // Input and output share one array per channel, in place, as many hosts run plugins.
      for (uint16_t c = 0; c < channels; ++c) {
        float* data = audio[c].data();
        for (uint32_t i = 0; i < n; ++i) data[i] = input[(at + i) * channels + c];
        descriptor->connect_port(handle, kFirstAudioPort + c, data);
        descriptor->connect_port(handle, kFirstAudioPort + channels + c, data);
      }
      descriptor->run(handle, n);
      for (uint16_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < n; ++i) output[(at + i) * channels + c] = audio[c][i];
      }
      meterReadings.push_back(controls[kClickMeter]);
      at = end;
    }
    if (allocations != nullptr) *allocations = veltane::testing::StopCountingAllocations();
    return output;
  }

  uint16_t channels;
  const LV2_Descriptor* descriptor;
  LV2_Handle handle = nullptr;
  float controls[kControlPortCount] = {};
  std::vector<float> audio[2];
  std::vector<float> meterReadings;  // after each run()
};

// A music-like recording with hiss 30 dB down and a click every 0.1 s.
std::vector<float> Recording(uint16_t channels, uint32_t rate, double seconds, uint32_t seed = 1) {
  const auto frames = static_cast<uint32_t>(seconds * rate);
  std::vector<float> x = MusicLike(frames, channels, rate, seed);
  AddWhiteHiss(x, 0.01, seed);
  std::vector<Click> clicks;
  for (uint32_t at = rate / 20; at + 64 < frames; at += rate / 10) clicks.push_back({at, 1 + at % 37});
  AddClicks(x, channels, clicks, 0.5);
  return x;
}

// Index of the first sample where the two differ, or -1.
long FirstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return -1;
}

struct Variant {
  uint16_t channels;
  uint32_t rate;
};

class PluginVariantTest : public ::testing::TestWithParam<Variant> {};

// 1, 64, 1000 and 4096 frames per run() with every control moved between
// blocks give what one long block per setting gives, and allocate nothing,
// from the first run() after activation on.
TEST_P(PluginVariantTest, BlockSizesAndControlChangesLeaveTheOutputAndAllocateNothing) {
  const auto [channels, rate] = GetParam();
  const std::vector<float> input = Recording(channels, rate, 2.0);
  const std::vector<Change> changes = {
      {rate / 4, kClickThreshold, 7.5f},  {rate / 4, kOutputHissLevel, 0.2f},  {rate / 2, kBypassDenoise, 1.0f},
      {rate / 2 + 333, kEnabled, 0.0f},   {3 * rate / 4, kEnabled, 1.0f},     {3 * rate / 4, kOutputClicks, 1.0f},
      {rate + 1, kOutputClicks, 0.0f},    {rate + 1, kBypassDenoise, 0.0f},   {rate + 1, kAutoInputHissLevel, 0.0f},
      {5 * rate / 4, kInputHissLevel, 0.7f}, {3 * rate / 2, kBypassDeclick, 1.0f},
      {3 * rate / 2 + 77, kEngine, 0.0f},    {7 * rate / 4, kEngine, 1.0f},
  };
  TestHost reference(channels, rate);
  ASSERT_TRUE(reference.Ok());
  const std::vector<float> expected = reference.Run(input, input.size(), changes);
  const uint32_t latency = reference.Latency();
  for (uint32_t block : {1u, 64u, 1000u, 4096u}) {
    TestHost host(channels, rate);
    long allocations = -1;
    EXPECT_EQ(FirstDifference(host.Run(input, block, changes, &allocations), expected), -1) << block << " frames";
    EXPECT_EQ(allocations, 0) << block << " frames";
    EXPECT_EQ(host.Latency(), latency) << "the chain held back more than the pre-fill";
  }
}

// Bypassed, the output is the input delayed by the reported latency, exactly;
// switched on, it crossfades into what a plugin on all along gives, never
// leaving the span between the two.
TEST_P(PluginVariantTest, BypassIsTheInputDelayedByTheLatencyAndCrossfades) {
  const auto [channels, rate] = GetParam();
  const std::vector<float> input = Recording(channels, rate, 1.5);
  TestHost on(channels, rate);
  TestHost switched(channels, rate);
  const uint32_t latency = switched.Latency();
  ASSERT_EQ(on.Latency(), latency);
  ASSERT_GT(latency, 0u);
  const uint64_t switchAt = rate;
  const uint64_t crossfade = rate / 100;
  const std::vector<float> processed = on.Run(input, 512);
  const std::vector<float> output =
      switched.Run(input, 512, {{0, kEnabled, 0.0f}, {switchAt, kEnabled, 1.0f}});
  const uint64_t frames = input.size() / channels;
  for (uint64_t k = 0; k < frames; ++k) {
    for (uint16_t c = 0; c < channels; ++c) {
      const size_t i = k * channels + c;
      const float dry = k < latency ? 0.0f : input[i - latency * channels];
      if (k < switchAt) {
        ASSERT_EQ(output[i], dry) << "frame " << k;
      } else if (k >= switchAt + crossfade) {
        ASSERT_EQ(output[i], processed[i]) << "frame " << k;
      } else {
        ASSERT_GE(output[i], std::min(dry, processed[i]) - 1e-6f) << "frame " << k;
        ASSERT_LE(output[i], std::max(dry, processed[i]) + 1e-6f) << "frame " << k;
      }
    }
  }
}

// A second activation starts a new stream: the same input gives the same
// output again, the automatic hiss level learned anew.
TEST_P(PluginVariantTest, ActivationForgetsTheLastStream) {
  const auto [channels, rate] = GetParam();
  const std::vector<float> input = Recording(channels, rate, 1.0, 5);
  TestHost host(channels, rate);
  const std::vector<float> first = host.Run(input, 1000);
  host.Activate();
  EXPECT_EQ(FirstDifference(host.Run(input, 1000), first), -1);
}

INSTANTIATE_TEST_SUITE_P(Rates, PluginVariantTest,
                         ::testing::Values(Variant{2, 44100}, Variant{1, 44100}, Variant{2, 32000},
                                           Variant{1, 96000}),
                         [](const auto& info) {
                           return (info.param.channels == 1 ? "Mono" : "Stereo") + std::to_string(info.param.rate);
                         });

// NaN, infinite and huge samples and controls, controls left unconnected and
// unknown ports: the output stays finite and within full scale, and a format
// the plugin cannot serve gives no instance.
TEST(PluginTest, HostileValuesStayOutOfTheOutput) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> input = Recording(2, 44100, 1.0);
  for (size_t i = 0; i < input.size(); i += 97) input[i] = std::array{kNan, kInf, -kInf, 1e30f, 1e-40f}[i % 5];
  TestHost host(2, 44100);
  const std::vector<Change> changes = {{0, kClickThreshold, kNan},   {0, kOutputHissLevel, -kInf},
                                       {0, kInputHissLevel, 1e9f},   {0, kAutoInputHissLevel, kNan},
                                       {0, kEnabled, kNan},          {22050, kClickThreshold, -5.0f}};
  host.descriptor->connect_port(host.handle, 99, nullptr);  // no such port
  for (float v : host.Run(input, 300, changes)) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << v;

  const LV2_Descriptor* stereo = Descriptor(1);
  LV2_Handle bare = stereo->instantiate(stereo, 48000, "", nullptr);
  ASSERT_NE(bare, nullptr);
  std::vector<float> left(64, 0.25f), right(64, -0.25f);
  for (uint32_t c = 0; c < 2; ++c) {
    stereo->connect_port(bare, kFirstAudioPort + c, c == 0 ? left.data() : right.data());
    stereo->connect_port(bare, kFirstAudioPort + 2 + c, c == 0 ? left.data() : right.data());
  }
  stereo->activate(bare);
  stereo->run(bare, 64);  // every control at its default, no output written
  stereo->cleanup(bare);

  for (double rate : {0.0, -44100.0, 2e6, static_cast<double>(kNan)}) {
    EXPECT_EQ(stereo->instantiate(stereo, rate, "", nullptr), nullptr) << rate;
  }
  EXPECT_EQ(Descriptor(2), nullptr);
}

// Silence reads 0; clicks raise the meter; a second of silence after them
// brings it back to 0.
TEST(PluginTest, ClickMeterRisesWithClicksAndFallsBack) {
  constexpr uint32_t kRate = 44100;
  std::vector<float> input(4 * kRate, 0.0f);
  std::vector<Click> clicks;
  for (uint32_t at = kRate; at < 2 * kRate; at += kRate / 10) clicks.push_back({at, 4});
  AddClicks(input, 1, clicks, 0.6);
  TestHost host(1, kRate);
  host.Run(input, 441);
  const std::vector<float>& meter = host.meterReadings;  // one per 10 ms
  EXPECT_EQ(*std::max_element(meter.begin(), meter.begin() + 90), 0.0f);
  EXPECT_GE(*std::max_element(meter.begin() + 100, meter.begin() + 250), 10.0f);
  EXPECT_EQ(meter.back(), 0.0f);
}

// Two instances run by two threads at once (taking turns on the shared graph
// lock) give what each gives alone.
TEST(PluginThreadsTest, TwoInstancesOnTwoThreadsKeepTheirOwnStreams) {
  const std::vector<float> stereoInput = Recording(2, 48000, 1.5, 2);
  const std::vector<float> monoInput = Recording(1, 44100, 1.5, 3);
  const std::vector<float> stereoAlone = TestHost(2, 48000).Run(stereoInput, 256);
  const std::vector<float> monoAlone = TestHost(1, 44100).Run(monoInput, 100);
  TestHost stereo(2, 48000);
  TestHost mono(1, 44100);
  std::vector<float> stereoTogether, monoTogether;
  std::thread other([&] { stereoTogether = stereo.Run(stereoInput, 256); });
  monoTogether = mono.Run(monoInput, 100);
  other.join();
  EXPECT_EQ(FirstDifference(stereoTogether, stereoAlone), -1);
  EXPECT_EQ(FirstDifference(monoTogether, monoAlone), -1);
}

}  // namespace
}  // namespace veltane::lv2
