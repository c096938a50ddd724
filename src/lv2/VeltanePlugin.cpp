// The LV2 plugin instance: staging, latency, bypass and controls around the
// processing object.
#include "lv2/VeltanePlugin.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "effect/EffectParams.h"

namespace veltane::lv2 {

// The effect's own ranges and the processing object's defaults: the tool
// starts from the same ones, restoring clicks and hiss with an automatic
// hiss level on the modern engine.
const std::array<ControlRange, kControlPortCount> kControlRanges = {{
    {"enabled", 0.0f, 1.0f, 1.0f},
    {"bypass_declick", 0.0f, 1.0f, 0.0f},
    {"click_threshold", 2.0f, 20.0f, 4.0f},
    {"bypass_denoise", 0.0f, 1.0f, 0.0f},
    {"output_hiss_level", 0.0f, 1.0f, 0.625f},
    {"auto_input_hiss_level", 0.0f, 1.0f, 1.0f},
    {"input_hiss_level", 0.0f, 1.0f, 0.333f},
    {"output_clicks", 0.0f, 1.0f, 0.0f},
    {"engine", 0.0f, 1.0f, 1.0f},
    {"click_meter", 0.0f, 100.0f, 0.0f},
    {"latency", 0.0f, 1048576.0f, 0.0f},
}};

namespace {

constexpr uint32_t kBytesPerSample = 3;
constexpr double kPcm24Scale = 8388608.0;  // 2^23: full scale of 24-bit samples
// Room beyond one slice for what the chain may return in one call (whole
// buffers, never split), and for the queues to grow should the chain hold
// back more than the warm-up showed.
constexpr uint32_t kSpareFrames = 16384;
// The chain's buffering repeats every 76800 frames (the least common multiple
// of its 1024-frame buffers and of the declickers' 600-sample blocks, at the
// rate of every band). The warm-up runs one such period with each setting of
// the three switches that change how buffers move through the chain.
constexpr uint32_t kWarmupPhaseSlices = 76800 / VeltanePlugin::kSliceFrames;
constexpr uint32_t kWarmupPhases = 8;
// The warm-up signal: hiss well below full scale with a click every
// 4099 samples, so that every block of the chain works and sizes itself.
constexpr uint32_t kWarmupClickSpacing = 4099;
constexpr int32_t kWarmupClick = 1 << 22;
constexpr float kCrossfadeSeconds = 0.01f;
constexpr float kMeterFallPerSecond = 100.0f;  // the meter's fall-back, full scale per second

// Nearest 24-bit value, clipped; NaN reads as silence.
int32_t FloatToPcm24(float value) {
  if (std::isnan(value)) return 0;
  const double scaled = std::nearbyint(static_cast<double>(value) * kPcm24Scale);
  return static_cast<int32_t>(std::clamp(scaled, -kPcm24Scale, kPcm24Scale - 1.0));
}

void StorePcm24(int32_t value, uint8_t* to) {
  const auto bits = static_cast<uint32_t>(value);
  to[0] = static_cast<uint8_t>(bits);
  to[1] = static_cast<uint8_t>(bits >> 8);
  to[2] = static_cast<uint8_t>(bits >> 16);
}

// Exact: every 24-bit value is a float.
float LoadPcm24(const uint8_t* from) {
  const auto bits = (uint32_t{from[0]} << 8) | (uint32_t{from[1]} << 16) | (uint32_t{from[2]} << 24);
  return static_cast<float>((static_cast<int32_t>(bits) >> 8) / kPcm24Scale);
}

}  // namespace

std::unique_ptr<VeltanePlugin> VeltanePlugin::Create(double rate, uint16_t channelCount) noexcept {
  if ((channelCount != 1 && channelCount != 2) || !(rate >= 1.0 && rate <= 1e6)) return nullptr;
  try {
    std::unique_ptr<VeltanePlugin> plugin(new VeltanePlugin(channelCount, static_cast<uint32_t>(std::lround(rate))));
    if (!plugin->Prepare()) return nullptr;
    return plugin;
  } catch (...) {  // out of memory, whatever shape it takes: no plugin
    return nullptr;
  }
}

VeltanePlugin::VeltanePlugin(uint16_t channelCount, uint32_t rate)
    : channels(channelCount),
      sampleRate(rate),
      crossfadeFrames(std::max<uint32_t>(1, static_cast<uint32_t>(kCrossfadeSeconds * static_cast<float>(rate)))) {}

bool VeltanePlugin::BuildChain(Engine choice) {
  // A lock and a pool of the chain's own: instances on other threads never
  // make it wait.
  std::unique_ptr<NoiseReducFilter> built = CreateNoiseReducFilter(NoiseReducFilter::Locking::OwnLock);
  if (built == nullptr) return false;
  const auto frameBytes = static_cast<uint16_t>(kBytesPerSample * channels);
  built->SetFormat({1, channels, sampleRate, sampleRate * frameBytes, frameBytes, 8 * kBytesPerSample, 0});
  built->SetEngine(choice);
  int64_t framesIn = 0;
  int64_t framesOut = 0;
  int64_t mostHeld = 0;
  uint32_t noise = 1;
  uint64_t sample = 0;
  for (uint32_t slice = 0; slice < kWarmupPhases * kWarmupPhaseSlices; ++slice) {
    if (slice % kWarmupPhaseSlices == 0) {
      // Each switch on and off, so that every path sizes its buffers (in
      // the chain's pool too) and shows what it holds back; the hiss level
      // stays fixed: the automatic estimate is the one piece of history
      // that survives a new stream (by design it carries over from one
      // stream to the next), and it must start as a new object's does.
      const uint32_t phase = slice / kWarmupPhaseSlices;
      const uint32_t bits = ((phase & 1) != 0 ? options::kBypassDeclick : 0) |
                            ((phase & 2) != 0 ? options::kBypassDenoise : 0) |
                            ((phase & 4) != 0 ? options::kOutputClicks : 0);
      (void)ApplyEffectParam(*built, kParamOptions, static_cast<float>(bits));
    }
    for (uint32_t i = 0; i < kSliceFrames * channels; ++i, ++sample) {
      noise = noise * 1664525u + 1013904223u;  // a linear congruential generator
      const int32_t value = sample % kWarmupClickSpacing == 0 ? kWarmupClick : static_cast<int32_t>(noise) >> 14;
      StorePcm24(value, &staging[kBytesPerSample * i]);
    }
    uint32_t room = producedRoomFrames;
    built->Process(staging.data(), kSliceFrames, produced.data(), &room);
    framesIn += kSliceFrames;
    framesOut += room;
    mostHeld = std::max(mostHeld, framesIn - framesOut);
  }
  RestartStream(*built);
  Chain& chain = chains[static_cast<size_t>(choice)];
  // A frame staged just after a slice went in waits for the whole next one.
  chain.prefillFrames = kSliceFrames - 1 + static_cast<uint32_t>(mostHeld);
  chain.latencyFrames = built->GetLatencyFrames();
  chain.filter = std::move(built);
  chain.settingsApplied = false;
  chain.used = false;
  return true;
}

void VeltanePlugin::RestartStream(NoiseReducFilter& filter) {
  filter.RestartStream();
  (void)filter.GetClickMeter();  // reading clears the declicker's peak
}

bool VeltanePlugin::Prepare() {
  const uint32_t frameBytes = kBytesPerSample * channels;
  staging.assign(static_cast<size_t>(kSliceFrames) * frameBytes, 0);
  producedRoomFrames = kSliceFrames + kSpareFrames;
  produced.assign(static_cast<size_t>(producedRoomFrames) * frameBytes, 0);
  uint32_t mostPrefill = 0;
  uint32_t mostLatency = 0;
  for (Engine choice : {Engine::Classic, Engine::Modern}) {
    if (!BuildChain(choice)) return false;
    const Chain& chain = chains[static_cast<size_t>(choice)];
    mostPrefill = std::max(mostPrefill, chain.prefillFrames);
    mostLatency = std::max(mostLatency, chain.prefillFrames + chain.latencyFrames);
  }
  wet = std::make_unique<FrameFifo>(channels, mostPrefill + kSliceFrames + kSpareFrames);
  dry = std::make_unique<FrameFifo>(channels, mostLatency + kSliceFrames + kSpareFrames);
  RestartQueues();
  return true;
}

void VeltanePlugin::ConnectPort(uint32_t index, void* data) {
  if (index < kControlPortCount) {
    controls[index] = static_cast<float*>(data);
  } else if (index < kFirstAudioPort + channels) {
    inputs[index - kFirstAudioPort] = static_cast<const float*>(data);
  } else if (index < kFirstAudioPort + 2u * channels) {
    outputs[index - kFirstAudioPort - channels] = static_cast<float*>(data);
  }
}

void VeltanePlugin::Activate() {
  for (Engine choice : {Engine::Classic, Engine::Modern}) {
    Chain& chain = chains[static_cast<size_t>(choice)];
    if (!chain.used) continue;
    // A new stream must not hear the last one: a new chain, built and
    // warmed up here, where allocating is allowed. Should memory run out,
    // the old chain goes on with only its automatic hiss estimate kept.
    bool built = false;
    try {
      built = BuildChain(choice);
    } catch (...) {
    }
    if (!built) RestartStream(*chain.filter);
  }
  RestartQueues();
}

void VeltanePlugin::RestartQueues() {
  stagedFrames = 0;
  wet->Clear();
  wet->PushSilence(chains[engine].prefillFrames);
  dry->Clear();
  dry->PushSilence(LatencyFrames());
  wetShareKnown = false;
  meter = 0.0f;
}

float VeltanePlugin::Control(uint32_t port) const {
  const ControlRange& range = kControlRanges[port];
  const float* value = controls[port];
  if (value == nullptr || std::isnan(*value)) return range.defaultValue;
  return std::clamp(*value, range.minimum, range.maximum);
}

void VeltanePlugin::ApplySettings() {
  const uint32_t wantedEngine = static_cast<uint32_t>(Control(kEngine) > 0.5f ? Engine::Modern : Engine::Classic);
  if (wantedEngine != engine) {
    // The other chain takes over with a stream of its own; the one left
    // gives its buffers back to the shared pool, where the other finds them.
    RestartStream(*chains[engine].filter);
    engine = wantedEngine;
    if (chains[engine].used) RestartStream(*chains[engine].filter);
    RestartQueues();
  }
  Chain& chain = chains[engine];
  Settings wanted;
  wanted.clickThreshold = Control(kClickThreshold);
  wanted.outputHissLevel = Control(kOutputHissLevel);
  wanted.inputHissLevel = Control(kInputHissLevel);
  // Toggles are on above zero.
  wanted.options = (Control(kBypassDeclick) > 0.0f ? options::kBypassDeclick : 0) |
                   (Control(kBypassDenoise) > 0.0f ? options::kBypassDenoise : 0) |
                   (Control(kOutputClicks) > 0.0f ? options::kOutputClicks : 0) |
                   (Control(kAutoInputHissLevel) > 0.0f ? options::kAutoInputHissLevel : 0);
  if (chain.settingsApplied && wanted == chain.applied) return;
  // All of them, in the order in which the tool and the effect apply a
  // settings record, so that the chain ends in the same state whichever
  // control moved: the switches interact (output clicks force the hiss
  // reducer off, the automatic level re-applies the levels).
  NoiseReducFilter& filter = *chain.filter;
  (void)ApplyEffectParam(filter, kParamClickThreshold, wanted.clickThreshold);
  (void)ApplyEffectParam(filter, kParamOutputHissLevel, wanted.outputHissLevel);
  (void)ApplyEffectParam(filter, kParamInputHissLevel, wanted.inputHissLevel);
  (void)ApplyEffectParam(filter, kParamOptions, static_cast<float>(wanted.options));
  chain.applied = wanted;
  chain.settingsApplied = true;
}

void VeltanePlugin::Run(uint32_t frames) {
  ApplySettings();
  bool connected = true;
  for (uint16_t c = 0; c < channels; ++c) connected = connected && inputs[c] != nullptr && outputs[c] != nullptr;
  sliceProcessed = false;
  if (connected) {
    if (!wetShareKnown) {
      // No crossfade into the first block of a stream.
      wetShare = Control(kEnabled) > 0.0f ? crossfadeFrames : 0;
      wetShareKnown = true;
    }
    for (uint32_t done = 0; done < frames;) {
      const uint32_t chunk = std::min(frames - done, kSliceFrames - stagedFrames);
      StageInput(done, chunk);
      if (stagedFrames == kSliceFrames) ProcessSlice();
      DeliverOutput(done, chunk);
      done += chunk;
    }
  }

  meter = std::max(0.0f, meter - kMeterFallPerSecond * static_cast<float>(frames) / static_cast<float>(sampleRate));
  if (sliceProcessed) meter = std::max(meter, static_cast<float>(chains[engine].filter->GetClickMeter()));
  if (controls[kClickMeter] != nullptr) *controls[kClickMeter] = meter;
  if (controls[kLatency] != nullptr) *controls[kLatency] = static_cast<float>(LatencyFrames());
}

void VeltanePlugin::StageInput(uint32_t offset, uint32_t frames) {
  uint8_t* to = staging.data() + static_cast<size_t>(stagedFrames) * kBytesPerSample * channels;
  for (uint32_t i = 0; i < frames; ++i) {
    for (uint16_t c = 0; c < channels; ++c, to += kBytesPerSample) StorePcm24(FloatToPcm24(inputs[c][offset + i]), to);
  }
  dry->PushFrom(frames, [&](uint16_t c, uint32_t i) { return inputs[c][offset + i]; });
  stagedFrames += frames;
}

void VeltanePlugin::ProcessSlice() {
  Chain& chain = chains[engine];
  uint32_t room = producedRoomFrames;
  chain.filter->Process(staging.data(), kSliceFrames, produced.data(), &room);
  chain.used = true;
  const uint8_t* pcm = produced.data();
  wet->PushFrom(room, [&](uint16_t c, uint32_t i) {
    return LoadPcm24(pcm + kBytesPerSample * (static_cast<size_t>(i) * channels + c));
  });
  stagedFrames = 0;
  sliceProcessed = true;
}

void VeltanePlugin::DeliverOutput(uint32_t offset, uint32_t frames) {
  const uint32_t target = Control(kEnabled) > 0.0f ? crossfadeFrames : 0;
  const uint32_t ready = std::min(frames, wet->Size());
  const auto play = [&](uint16_t c, uint32_t i, float value) { outputs[c][offset + i] = value; };
  if (wetShare == target) {
    FrameFifo& heard = target != 0 ? *wet : *dry;
    FrameFifo& unheard = target != 0 ? *dry : *wet;
    heard.PopTo(ready, play);
    unheard.Discard(ready);
  } else {
    wet->PopTo(ready, play);
    const uint32_t from = wetShare;
    const auto scale = static_cast<float>(crossfadeFrames);
    dry->PopTo(ready, [&](uint16_t c, uint32_t i, float value) {
      const uint32_t moved = std::min(i + 1, target > from ? target - from : from - target);
      const float gain = static_cast<float>(target > from ? from + moved : from - moved) / scale;
      float& out = outputs[c][offset + i];
      out = gain * out + (1.0f - gain) * value;
    });
    const uint32_t moved = std::min(ready, target > from ? target - from : from - target);
    wetShare = target > from ? from + moved : from - moved;
  }
  if (ready < frames) {
    // The chain held back more than the pre-fill covers: silence now, and
    // both paths a little later from here on.
    for (uint16_t c = 0; c < channels; ++c) std::fill(outputs[c] + offset + ready, outputs[c] + offset + frames, 0.0f);
    chains[engine].prefillFrames += frames - ready;
  }
}

}  // namespace veltane::lv2
