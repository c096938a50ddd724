// The processing object as the restoration loop drives it, set up from the
// tool's options.
#pragma once

#include <cstdint>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "veltane/CommandLine.h"
#include "veltane/Restorer.h"

namespace veltane {

class FilterProcessor : public Restorer::Processor {
 public:
  // Does not take ownership; `filter` must outlive this object.
  explicit FilterProcessor(NoiseReducFilter& filter) : filter(filter) {}

  // Gives the filter the stream's format, then the levels that were given
  // and all five switches, in the order in which the effect applies a
  // settings record (threshold, output hiss, input hiss, "Options" bits).
  void Configure(const ToolOptions& options, uint32_t sampleRate, uint16_t channels, uint32_t bytesPerSample);

  uint32_t Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t room) override;
  // None in full bypass, where the filter only copies.
  uint32_t LatencyFrames() override;
  uint32_t ClickMeter() override { return filter.GetClickMeter(); }

  // The filter's statistics: clicks repaired and the hiss level (dBFS, NaN
  // for none) so far, and every repaired click's mark, drained after each
  // Process (the only allocation here, outside the chain).
  uint64_t ClicksRepaired() { return filter.GetClicksRepaired(); }
  float HissLevelDb() { return filter.GetHissLevelDb(); }
  const std::vector<ClickMark>& Clicks() const { return clicks; }

 private:
  NoiseReducFilter& filter;
  std::vector<ClickMark> clicks;
};

}  // namespace veltane
