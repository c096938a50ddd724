// Drives the processing object for the tool.
#include "veltane/FilterProcessor.h"

namespace veltane {

void FilterProcessor::Configure(const ToolOptions& options, uint32_t sampleRate, uint16_t channels,
                                uint32_t bytesPerSample) {
  WaveFormat format;
  format.formatTag = 1;
  format.channels = channels;
  format.samplesPerSec = sampleRate;
  format.bitsPerSample = static_cast<uint16_t>(8 * bytesPerSample);
  format.blockAlign = static_cast<uint16_t>(channels * bytesPerSample);
  format.avgBytesPerSec = sampleRate * format.blockAlign;
  // The engine first: its change restarts the stream, and nothing has run yet.
  filter.SetEngine(options.engine);
  filter.SetFormat(format);

  if (options.clickThreshold) filter.SetClickThreshold(*options.clickThreshold);
  if (options.outputHissLevel) filter.SetOutputHissLevel(*options.outputHissLevel);
  if (options.inputHissLevel) filter.SetInputHissLevel(*options.inputHissLevel);
  const uint32_t bits = options.options;
  filter.SetFullBypass((bits & kOptionFullBypass) != 0 ? 1 : 0);
  filter.SetBypassDeclick((bits & kOptionBypassDeclick) != 0 ? 1 : 0);
  filter.SetBypassDenoise((bits & kOptionBypassDenoise) != 0 ? 1 : 0);
  filter.SetOutputClicks((bits & kOptionOutputClicks) != 0 ? 1 : 0);
  filter.SetAutoInputHissLevel((bits & kOptionAutoInputHiss) != 0 ? 1 : 0);
}

uint32_t FilterProcessor::Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t room) {
  uint32_t produced = room;
  (void)filter.Process(in, frames, out, &produced);
  ClickMark batch[256];
  for (uint32_t got; (got = filter.DrainClicks(batch, 256)) > 0;) clicks.insert(clicks.end(), batch, batch + got);
  return produced;
}

uint32_t FilterProcessor::LatencyFrames() { return filter.GetFullBypass() == 1 ? 0 : filter.GetLatencyFrames(); }

}  // namespace veltane
