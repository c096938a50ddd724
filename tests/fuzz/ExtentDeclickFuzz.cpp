// The modern declicker fed arbitrary samples (any float bits, or 16-bit
// steps with loud spikes) in any buffer size and channel count, with the
// threshold, bypass and "Output Clicks" switched between buffers. Every
// sample that comes out is finite, the stream comes out whole once silence
// flushes it, and where bypass held for the whole stream it comes out as
// it went in (non-finite samples as silence).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "declick/ExtentDeclick.h"
#include "support/TestBlocks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  fuzz::FuzzInput in{data, data + size};
  const auto channels = static_cast<uint16_t>(1 + in.Byte() % 3);
  const uint32_t frames = 1 + in.U16() % 3000;
  const float rate = in.Byte() % 2 ? 44100.0f : 8000.0f + 400.0f * static_cast<float>(in.Byte());
  const bool anyFloat = in.Byte() % 2 == 1;  // else 16-bit steps
  const uint8_t switches = in.Byte();          // bit 0: bypass throughout; the others vary per buffer

  // At least a few blocks' worth: the fuzzer's samples are repeated.
  std::vector<float> samples;
  while (!in.Empty() && samples.size() < 4096) {
    float value = static_cast<int16_t>(in.U16()) / 32768.0f;
    if (anyFloat) {
      const uint32_t bits = in.U32();
      std::memcpy(&value, &bits, sizeof value);
    }
    samples.push_back(value);
  }
  if (samples.empty()) samples.push_back(0.0f);
  const size_t total = std::max<size_t>(12000, samples.size()) * channels;
  std::vector<float> stream(total);
  for (size_t i = 0; i < total; ++i) stream[i] = samples[i % samples.size()];

  testing::FeedBlock feed(channels, frames, rate);
  ExtentDeclick declick("Modern Declick");
  testing::CollectBlock collect;
  Connect(&feed, 0, &declick, 0);
  Connect(&declick, 0, &collect, 0);
  const bool bypassed = switches & 1;
  declick.SetBypass(bypassed);
  std::vector<float> flushed = stream;
  flushed.resize(total + size_t{8192} * channels, 0.0f);
  feed.QueueSignal(flushed);
  for (uint32_t run = 0; feed.Pending() > 0 || feed.Output(0)->ready || run % 64 != 0; ++run) {
    if (!bypassed && run % 3 == 0) {
      declick.SetBypass((switches >> (1 + run % 5) & 1) && run % 7 == 0);
      declick.SetOutputClicks(switches >> 6 & 1);
      declick.SetThreshold(static_cast<float>(switches % 23));
    }
    feed.Run();
  }

  const std::vector<float>& out = collect.samples;
  bool holds = out.size() >= total;
  for (size_t i = 0; holds && i < out.size(); ++i) holds = std::isfinite(out[i]);
  for (size_t i = 0; holds && bypassed && i < total; ++i) {
    const float expected = std::isfinite(stream[i]) && (i % channels) < 2 ? stream[i] : 0.0f;
    holds = out[i] == expected;
  }
  if (!holds) std::abort();
  return 0;
}
