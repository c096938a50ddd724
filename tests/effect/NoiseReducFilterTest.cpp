// The processing object: defaults, parameter mappings onto the blocks, and
// whole restorations through the chain at every rate, width and block size.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "chain/Adapter.h"
#include "chain/NoiseReducManager.h"
#include "effect/EffectParams.h"
#include "effect/NoiseReducFilter.h"
#include "spectral/FDNoiseReduc.h"
#include "support/AllocationCounter.h"
#include "support/Signals.h"

namespace veltane {
namespace {

using namespace testing;  // the signals and measurements

// The signal through a new filter (which hands the first block back unchanged), then
// restored (declick and denoise on, automatic hiss level) in host blocks of `block` frames,
// flushed with silence, the latency dropped; once warm nothing may be allocated.
std::vector<float> Restore(NoiseReducFilter& filter, const std::vector<float>& input,
                           uint16_t channels, uint32_t rate, int bytes, uint32_t block) {
  const auto frameBytes = static_cast<uint16_t>(channels * bytes);
  const auto bits = static_cast<uint16_t>(8 * bytes);
  filter.SetFormat({1, channels, rate, rate * frameBytes, frameBytes, bits, 0});
  std::vector<uint8_t> pcm = Encode(input, bytes), out((block + 4096) * frameBytes), produced;
  const size_t latency = filter.GetLatencyFrames(), wanted = pcm.size() + latency * frameBytes;
  pcm.resize(wanted + (block + 16384) * frameBytes, bytes == 1 ? 0x80 : 0);  // silence
  uint32_t got = block + 4096;  // a new object passes audio unchanged
  EXPECT_EQ(filter.Process(pcm.data(), block, out.data(), &got), 0);
  EXPECT_TRUE(got == block && std::equal(out.begin(), out.begin() + got * frameBytes, pcm.begin()));
  EXPECT_EQ(ApplyEffectParam(filter, kParamOptions, 16.0f), ParamStatus::Ok);
  produced.reserve(pcm.size() + out.size());
  bool counting = false;
  const size_t step = size_t{block} * frameBytes, warm = std::max(wanted / 2, 2 * step);
  for (size_t at = 0; produced.size() < wanted && at + step <= pcm.size(); at += step) {
    if (at >= warm && !std::exchange(counting, true)) StartCountingAllocations();
    got = block + 4096;  // a whole chain buffer always fits
    filter.Process(&pcm[at], block, out.data(), &got);
    produced.insert(produced.end(), out.begin(), out.begin() + got * frameBytes);
  }
  EXPECT_EQ(counting ? StopCountingAllocations() : 0, 0);
  produced.resize(wanted);
  produced.erase(produced.begin(), produced.begin() + static_cast<ptrdiff_t>(latency * frameBytes));
  return Decode(produced, bytes);
}

TEST(NoiseReducFilter, MapsItsParametersOntoTheBlocks) {
  NoiseReducFilter filter;
  // The output level (first the default) sets both levels while the input level is automatic.
  FDNoiseReduc& hiss = *filter.Manager().noiseReduc;
  for (auto [level, inputDb, outputDb] :
       {std::tuple{0.625f, 2.5f, -30.0f}, {0.0f, 15.0f, -80.0f}, {1.0f, -3.0f, 0.0f}}) {
    if (level != 0.625f) filter.SetOutputHissLevel(level);
    EXPECT_NEAR(hiss.inputLevelDb.load(), inputDb, 1e-5);
    EXPECT_NEAR(hiss.outputLevelDb.load(), outputDb, 1e-5);
  }
  filter.SetInputHissLevel(0.5f);  // waits for the automatic level to go off
  EXPECT_NEAR(hiss.inputLevelDb.load(), -3.0f, 1e-5);
  filter.SetAutoInputHissLevel(0);
  EXPECT_NEAR(hiss.inputLevelDb.load(), 10.0f, 1e-5);
  filter.SetBypassDenoise(0);
  filter.SetOutputClicks(1);  // forces the hiss reducer into bypass while on
  EXPECT_TRUE(hiss.IsBypassed());
  filter.SetOutputClicks(0);
  EXPECT_FALSE(hiss.IsBypassed());
  filter.SetClickThreshold(1.0f);  // the declicker keeps its floor
  EXPECT_EQ(filter.GetClickThreshold(), 2.0f);
}

// Full bypass takes every frame whatever the room: what does not fit waits and comes out
// first, at the next calls in bypass and before the chain's output once processing
// resumes; a new format drops it with the chain's contents.
TEST(NoiseReducFilter, FullBypassKeepsWhatTheRoomCannotTake) {
  NoiseReducFilter filter;
  filter.SetFormat({1, 2, 44100, 4 * 44100, 4, 16, 0});
  std::vector<uint8_t> in(4 * 5000), out(4 * 8192), got;
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const auto run = [&](uint32_t from, uint32_t frames, uint32_t room) {
    uint32_t written = room;
    filter.Process(&in[4 * from], frames, out.data(), &written);
    EXPECT_LE(written, room);
    got.insert(got.end(), out.begin(), out.begin() + 4 * written);
  };
  const std::tuple<uint32_t, uint32_t, uint32_t> calls[] = {{0, 1000, 300}, {1000, 1000, 0}, {2000, 1000, 1000},
                                                            {3000, 0, 5000}};  // first frame, frames, room
  for (auto [from, frames, room] : calls) run(from, frames, room);
  EXPECT_TRUE(got == std::vector<uint8_t>(in.begin(), in.begin() + 4 * 3000));
  got.clear();
  run(3000, 1000, 100);  // 900 frames wait
  filter.SetFullBypass(0);
  run(4000, 1000, 8192);  // they come first; the chain only fills meanwhile
  EXPECT_TRUE(got == std::vector<uint8_t>(in.begin() + 4 * 3000, in.begin() + 4 * 4000));
  filter.SetFullBypass(1);
  run(0, 1000, 100);
  filter.SetFormat({1, 1, 48000, 2 * 48000, 2, 16, 0});
  got.clear();
  run(0, 0, 8192);
  EXPECT_TRUE(got.empty());
}

// A stream at a new rate, after another stream and with a reset requested in the same
// pass, comes out as from a new object, sample for sample and to its last frame, with
// either engine: the rewiring for the rate keeps nothing back.
class NewFormat
    : public ::testing::TestWithParam<std::tuple<std::tuple<uint32_t, uint32_t, uint32_t>, Engine>> {};

TEST_P(NewFormat, StreamsAsANewObjectWould) {
  const auto [before, after, block] = std::get<0>(GetParam());
  const std::vector<uint8_t> first = Encode(MusicLike(before / 2, 1, before), 2);
  std::vector<uint8_t> second = Encode(MusicLike(after, 1, after, 5), 2);
  second.resize(second.size() + 2 * 20000);  // silence that flushes the chain
  const auto stream = [block](NoiseReducFilter& filter, const std::vector<uint8_t>& pcm) {
    std::vector<uint8_t> out(2 * (block + 20000)), all;
    for (size_t at = 0; at + 2 * block <= pcm.size(); at += 2 * block) {
      uint32_t got = block + 20000;
      filter.Process(&pcm[at], block, out.data(), &got);
      all.insert(all.end(), out.begin(), out.begin() + 2 * got);
    }
    return all;
  };
  NoiseReducFilter used, fresh;
  for (NoiseReducFilter* filter : {&used, &fresh}) {
    filter->SetFullBypass(0);
    filter->SetBypassDenoise(0);
    filter->SetEngine(std::get<1>(GetParam()));
  }
  used.SetFormat({1, 1, before, 2 * before, 2, 16, 0});
  stream(used, first);
  used.GetAdapter().RequestReset();
  used.SetFormat({1, 1, after, 2 * after, 2, 16, 0});
  fresh.SetFormat({1, 1, after, 2 * after, 2, 16, 0});
  const std::vector<uint8_t> expected = stream(fresh, second);
  ASSERT_GE(expected.size() / 2, second.size() / 2 - 20000 + fresh.GetLatencyFrames());
  EXPECT_TRUE(stream(used, second) == expected);
}

INSTANTIATE_TEST_SUITE_P(
    RatesBlocksEngines, NewFormat,
    ::testing::Combine(::testing::Values(std::tuple{44100u, 96000u, 4096u}, std::tuple{96000u, 22050u, 480u},
                                         std::tuple{22050u, 48000u, 1024u}, std::tuple{48000u, 44100u, 7u}),
                       ::testing::Values(Engine::Classic, Engine::Modern)));

// Music with clicks and hiss 30 dB below it, then hiss alone: clicks removed, hiss lowered,
// lined up with the input (a NaN inside the chain would come out as silence and fail
// these; integer output has none); the click meter reads once.
TEST(Restoration, RemovesClicksAndHissAndLinesUp) {
  constexpr uint32_t kRate = 44100, kGapBegin = 5 * kRate, kGapEnd = kGapBegin + 3 * kRate / 2;
  std::vector<float> clean = MusicLike(8 * kRate, 2, kRate, 3);
  std::fill(clean.begin() + kGapBegin * 2, clean.begin() + kGapEnd * 2, 0.0f);
  std::vector<float> degraded = clean;
  AddWhiteHiss(degraded, Rms(clean, 0, kGapBegin * 2) / std::pow(10.0, 1.5));
  std::vector<Click> clicks(24);
  for (uint32_t i = 0; i < 24; ++i) clicks[i] = {kRate + 7350 * i, 1 + 7 * i % 40};  // to 5 s
  AddClicks(degraded, 2, clicks, 0.6);
  NoiseReducFilter filter;
  const std::vector<float> restored = Restore(filter, degraded, 2, kRate, 3, 4410);
  EXPECT_NEAR(BestLag(clean, restored, 2, 16), 0, 2);
  EXPECT_GT(filter.GetClickMeter(), 0u);
  EXPECT_EQ(filter.GetClickMeter(), 0u);
  double before = 0.0, after = 0.0;
  for (const Click& click : clicks) {
    for (size_t i = 2 * (click.frame - 4); i < 2 * (click.frame + click.width + 4); ++i) {
      before += std::pow(degraded[i] - clean[i], 2);
      after += std::pow(restored[i] - clean[i], 2);
    }
  }
  // Wide gaps are bridged roughly on tonal music (about 6 dB; short ones: declicker tests).
  EXPECT_GE(10.0 * std::log10(before / after), 4.0);
  // The hiss estimate needs a few seconds; the gap comes after them.
  const size_t from = (kGapBegin + kRate / 4) * 2, to = kGapEnd * 2;
  EXPECT_GE(20.0 * std::log10(Rms(degraded, from, to) / Rms(restored, from, to)), 6.0);
}

// The statistics of a stream of white hiss at -50 dBFS with clicks at known frames: every
// click counted and marked where it is (in stream frames, also when the classic engine finds
// it in a half or quarter band), and the hiss level the reducer works with.
class Statistics : public ::testing::TestWithParam<std::tuple<Engine, double>> {};

TEST_P(Statistics, CountAndPlaceTheClicksAndGiveTheHissLevel) {
  const auto [engine, hissTolerance] = GetParam();
  constexpr uint32_t kRate = 44100;
  std::vector<float> signal(2 * 6 * kRate, 0.0f);
  AddWhiteHiss(signal, std::pow(10.0, -50.0 / 20.0));
  std::vector<Click> clicks(24);
  for (uint32_t i = 0; i < 24; ++i) clicks[i] = {kRate + 7350 * i + 31 * i, 2 + i % 5};
  AddClicks(signal, 2, clicks, 0.5);
  NoiseReducFilter filter;
  filter.SetEngine(engine);
  Restore(filter, signal, 2, kRate, 3, 4410);
  std::vector<ClickMark> marks(2048);
  marks.resize(filter.DrainClicks(marks.data(), static_cast<uint32_t>(marks.size())));
  EXPECT_EQ(filter.DrainClicks(marks.data(), 1), 0u);  // drained
  // The detector also takes a few peaks of the hiss itself for clicks (about one a second).
  EXPECT_EQ(filter.GetClicksRepaired(), marks.size());
  EXPECT_GE(marks.size(), clicks.size());
  EXPECT_LE(marks.size(), 4 * clicks.size());
  for (const Click& click : clicks) {
    EXPECT_TRUE(std::any_of(marks.begin(), marks.end(), [&click](const ClickMark& mark) {
      return mark.frame <= click.frame + click.width + 8 && click.frame <= mark.frame + mark.width + 8;
    })) << "no mark at frame " << click.frame;
  }
  EXPECT_NEAR(filter.GetHissLevelDb(), -50.0, hissTolerance);
  filter.SetFullBypass(1);
  EXPECT_TRUE(std::isnan(filter.GetHissLevelDb()));
}

// The modern hiss remover's level is that of the hiss; the classic reducer's is its own
// estimate in the band it runs on, scaled by its input level.
INSTANTIATE_TEST_SUITE_P(Engines, Statistics,
                         ::testing::Values(std::tuple{Engine::Modern, 1.5}, std::tuple{Engine::Classic, 10.0}));

// Every rate, channel count, width, host blocks of 1 to 20000 frames, both engines: nothing
// faults, nothing is allocated once warm, and the stream stays aligned to the end (a lost or
// repeated frame would shift it).
using SweepCase = std::tuple<uint32_t, uint16_t, int, uint32_t>;  // rate, channels, bytes, block
class RestorationSweep : public ::testing::TestWithParam<std::tuple<SweepCase, Engine>> {};

TEST_P(RestorationSweep, RunsAndLosesNoFrame) {
  const auto [rate, channels, bytes, block] = std::get<0>(GetParam());
  std::vector<float> x = MusicLike(rate * 3 / 2, channels, rate, rate + channels);
  AddWhiteHiss(x, 0.003);
  NoiseReducFilter filter;
  filter.SetEngine(std::get<1>(GetParam()));
  const std::vector<float> y = Restore(filter, x, channels, rate, bytes, block);
  const size_t tail = size_t{rate / 2} * channels;  // after the hiss reducer's fade-in
  EXPECT_NEAR(BestLag({x.end() - tail, x.end()}, {y.end() - tail, y.end()}, channels, 24), 0, 2);
}

INSTANTIATE_TEST_SUITE_P(RatesWidthsBlocks, RestorationSweep,
                         ::testing::Combine(::testing::ValuesIn(std::vector<SweepCase>{
                             {8000, 1, 2, 1},      {11025, 2, 1, 333},   {16000, 1, 3, 20000},
                             {22050, 2, 2, 1024},  {24000, 1, 2, 4410},  {32000, 2, 3, 7},
                             {32001, 1, 2, 1023},  {44100, 2, 2, 1},     {44100, 1, 1, 4096},
                             {48000, 2, 3, 480},   {48001, 2, 2, 2048},  {88200, 1, 2, 1025},
                             {96000, 2, 3, 10000}, {176400, 1, 1, 512},  {192000, 2, 2, 20000},
                             {384000, 2, 3, 4096}}),
                                            ::testing::Values(Engine::Classic, Engine::Modern)));

// 24-bit noise of distinct values (two-tap averaged: the spectral path clears the Nyquist
// bin) in host blocks, restoration off (only the engines' fixed paths and delays left), the
// engine switched after `switchAt` frames. What comes out is the old stream behind the old
// delay, as far as it got, then the new engine's delay and every frame handed over after the
// switch, in order: none lost, none repeated, none from the old stream after the new one has
// begun. Frames inside the old chain at the switch are dropped, as on a format change.
TEST(EngineSwitch, RestartsTheStreamLikeAFormatChange) {
  constexpr uint32_t kRate = 22050, kBlock = 1500, kFrames = 40 * kBlock;
  std::mt19937 random(5);
  std::vector<float> input(kFrames);
  int32_t last = 0;
  for (float& x : input) {
    const auto next = static_cast<int32_t>(random() % 0x200000) - 0x100000;
    x = static_cast<float>(next + last) * 0x1p-24f;
    last = next;
  }
  for (const auto& [from, to] : {std::pair{Engine::Classic, Engine::Modern}, {Engine::Modern, Engine::Classic}}) {
    for (const uint32_t switchAt : {3 * kBlock, 11 * kBlock, 20 * kBlock}) {
      SCOPED_TRACE(::testing::Message() << "switch after " << switchAt << " frames to "
                                      << (to == Engine::Modern ? "modern" : "classic"));
      NoiseReducFilter filter;
      filter.SetEngine(from);
      filter.SetFormat({1, 1, kRate, kRate * 3, 3, 24, 0});
      filter.SetFullBypass(0);
      const uint32_t before = filter.GetLatencyFrames();
      const std::vector<uint8_t> pcm = Encode(input, 3);
      std::vector<uint8_t> out((kBlock + 4096) * 3);
      std::vector<float> produced;
      size_t producedAtSwitch = 0;
      uint32_t after = 0;
      for (uint32_t at = 0; at < kFrames; at += kBlock) {
        if (at == switchAt) {
          filter.SetEngine(to);
          after = filter.GetLatencyFrames();
          producedAtSwitch = produced.size();
        }
        uint32_t got = kBlock + 4096;
        filter.Process(&pcm[at * 3], kBlock, out.data(), &got);
        const std::vector<float> frames = Decode({out.begin(), out.begin() + got * 3}, 3);
        produced.insert(produced.end(), frames.begin(), frames.end());
      }
      // The input frame that output frame j carries; none while a delay fills (the spectral
      // path's first frames fade in from its silent pre-roll).
      const auto expected = [&](size_t j) -> std::optional<float> {
        if (j < producedAtSwitch) return j < before ? std::nullopt : std::optional(input[j - before]);
        const size_t m = j - producedAtSwitch;
        return m < after ? std::nullopt : std::optional(input[switchAt + m - after]);
      };
      ASSERT_GT(produced.size(), producedAtSwitch + after + 4096);
      size_t wrong = 0;
      for (size_t j = 0; j < produced.size(); ++j) {
        if (const auto frame = expected(j)) wrong += std::abs(produced[j] - *frame) > 0x1p-12f;
      }
      EXPECT_EQ(wrong, 0u);
    }
  }
}

}  // namespace
}  // namespace veltane
