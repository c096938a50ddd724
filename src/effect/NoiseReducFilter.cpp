// The processing object. For now the chain is a single "Through" block; the
// restoration chain replaces it as its blocks land.
#include "effect/NoiseReducFilter.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "chain/Adapter.h"
#include "framework/GraphLock.h"
#include "framework/Through.h"

namespace veltane {

NoiseReducFilter::NoiseReducFilter() {
  adapter = std::make_unique<Adapter>();
  manager = std::make_unique<Through>("NoiseReduc Manager");
  adapter->AttachChain(manager.get(), 0, 0);
  SetClickThreshold(4.0f);
  SetOutputHissLevel(0.625f);
  SetInputHissLevel(0.333f);
  fullBypass = 1;
  SetBypassDeclick(1);
  SetBypassDenoise(1);
  SetAutoInputHissLevel(1);
}

NoiseReducFilter::~NoiseReducFilter() {
  GraphLockHolder hold;
  manager.reset();
  adapter.reset();
}

void NoiseReducFilter::SetBypassDeclick(uint8_t on) {
  std::lock_guard guard(lock);
  bypassDeclick = on;
}

uint8_t NoiseReducFilter::GetBypassDeclick() {
  std::lock_guard guard(lock);
  return bypassDeclick;
}

void NoiseReducFilter::SetBypassDenoise(uint8_t on) {
  std::lock_guard guard(lock);
  bypassDenoise = on;
}

uint8_t NoiseReducFilter::GetBypassDenoise() {
  std::lock_guard guard(lock);
  return bypassDenoise;
}

void NoiseReducFilter::SetFullBypass(uint8_t on) {
  std::lock_guard guard(lock);
  fullBypass = on;
}

uint8_t NoiseReducFilter::GetFullBypass() {
  std::lock_guard guard(lock);
  return fullBypass;
}

void NoiseReducFilter::SetOutputClicks(uint8_t on) {
  std::lock_guard guard(lock);
  outputClicks = on;
}

uint8_t NoiseReducFilter::GetOutputClicks() {
  std::lock_guard guard(lock);
  return outputClicks;
}

void NoiseReducFilter::SetAutoInputHissLevel(uint8_t on) {
  std::lock_guard guard(lock);
  autoInputHissLevel = on;
}

uint8_t NoiseReducFilter::GetAutoInputHissLevel() {
  std::lock_guard guard(lock);
  return autoInputHissLevel;
}

void NoiseReducFilter::SetClickThreshold(float value) {
  std::lock_guard guard(lock);
  clickThreshold = std::max(value, 2.0f);
}

float NoiseReducFilter::GetClickThreshold() {
  std::lock_guard guard(lock);
  return clickThreshold;
}

void NoiseReducFilter::SetOutputHissLevel(float level) {
  std::lock_guard guard(lock);
  outputHissLevel = level;
}

float NoiseReducFilter::GetOutputHissLevel() {
  std::lock_guard guard(lock);
  return outputHissLevel;
}

void NoiseReducFilter::ResetOutputHissLevel() { SetOutputHissLevel(0.625f); }

void NoiseReducFilter::SetInputHissLevel(float level) {
  std::lock_guard guard(lock);
  inputHissLevel = level;
}

float NoiseReducFilter::GetInputHissLevel() {
  std::lock_guard guard(lock);
  return inputHissLevel;
}

uint32_t NoiseReducFilter::GetClickMeter() {
  std::lock_guard guard(lock);
  return 0;
}

void NoiseReducFilter::SetFormat(const WaveFormat& format) {
  channels = format.channels;
  sampleRate = format.samplesPerSec;
  bytesPerSample = format.bitsPerSample >> 3;
  adapter->SetHostRate(static_cast<float>(format.samplesPerSec));
  adapter->SetHostChannels(format.channels);
}

int NoiseReducFilter::Process(const uint8_t* in, uint32_t frames, uint8_t* out,
                              uint32_t* outFrames) {
  if (adapter && fullBypass != 1) {
    switch (bytesPerSample) {
      case 2:
        adapter->TransformPcm16(in, frames, out, outFrames);
        break;
      case 3:
        adapter->TransformPcm24(in, frames, out, outFrames);
        break;
      case 1:
        adapter->TransformPcm8(in, frames, out, outFrames);
        break;
      default:
        if (outFrames != nullptr) *outFrames = 0;
        break;
    }
    return outFrames == nullptr || *outFrames == 0 ? 1 : 0;
  }
  const size_t bytes = static_cast<size_t>(channels) * bytesPerSample * frames;
  if (bytes > 0 && in != out) std::memmove(out, in, bytes);
  if (outFrames != nullptr) *outFrames = frames;
  return 0;
}

uint32_t NoiseReducFilter::GetLatencyFrames() { return 0; }

std::unique_ptr<NoiseReducFilter> CreateNoiseReducFilter() noexcept {
  try {
    return std::make_unique<NoiseReducFilter>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace veltane
