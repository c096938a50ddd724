// One instance of the LV2 plugin: host float audio, in blocks of any size,
// through the processing object's 24-bit path, delayed by a fixed latency
// that the plugin reports.
//
// Latency. The processing object takes the stream in 1024-frame slices and
// hands output back late, in whole chain buffers. The plugin stages input
// into slices and queues output behind a silent pre-fill, so every run()
// returns exactly as many frames as it was given. The pre-fill is the most
// the chain holds back after a slice, plus one slice less a frame; the most
// is measured on a warm-up at instantiation that runs every setting of the
// switches for a whole period of the chain's buffering. Reported latency =
// pre-fill + the chain's own delay: constant for a rate and engine. Should
// the chain ever hold back more, the shortfall is played as silence once and
// the latency grows by it.
//
// Bypass ("Enabled" at 0) plays the input delayed by the same latency, so
// switching lines up; the switch crossfades over 10 ms. The chain keeps
// running meanwhile.
//
// Engines. The plugin holds one chain per engine, both built and warmed up,
// and runs the one "Engine" chooses. A change of engine starts the stream
// afresh on the other chain: silence for the new latency, which is then
// reported; nothing is allocated.
//
// Streams. Each activation after a chain has run builds that chain anew, so
// that a stream never hears the last one (a reset of the chain keeps its
// automatic hiss estimate).
//
// Real time. Create and Activate allocate everything; Run allocates nothing,
// does no I/O and takes two locks, both the instance's own: the processing
// object's parameter lock and its chain's lock (each chain has a graph
// domain of its own, with its own buffer pool). Only the plugin's own calls
// take them, so they never wait, whatever other instances do on other
// threads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "lv2/FrameFifo.h"

namespace veltane::lv2 {

inline constexpr char kMonoUri[] = "urn:veltane:lv2:mono";
inline constexpr char kStereoUri[] = "urn:veltane:lv2:stereo";

// Control ports, first in both variants and in this order; the audio ports
// follow: inputs, then outputs, one per channel.
enum ControlPort : uint32_t {
  kEnabled,
  kBypassDeclick,
  kClickThreshold,
  kBypassDenoise,
  kOutputHissLevel,
  kAutoInputHissLevel,
  kInputHissLevel,
  kOutputClicks,
  kEngine,      // 0 classic, 1 modern
  kClickMeter,  // output, 0..100
  kLatency,     // output, frames
  kControlPortCount,
};
inline constexpr uint32_t kFirstAudioPort = kControlPortCount;

// Range and default of a control port, as the plugin's description gives them.
struct ControlRange {
  const char* symbol;
  float minimum;
  float maximum;
  float defaultValue;
};
extern const std::array<ControlRange, kControlPortCount> kControlRanges;

class VeltanePlugin {
 public:
  // Frames per slice handed to the processing object: its chain's buffer.
  static constexpr uint32_t kSliceFrames = 1024;

  // A plugin for `channels` (1 or 2) at `sampleRate` Hz, its chain built and
  // warmed up. Null for another channel count, a rate outside 1 Hz to
  // 1 MHz, or when memory runs out. Never throws.
  static std::unique_ptr<VeltanePlugin> Create(double sampleRate, uint16_t channels) noexcept;

  // `data` is the host's float for a control port, its sample array for an
  // audio port; an unknown index is ignored.
  void ConnectPort(uint32_t index, void* data);
  // Starts a new stream: a chain that has run is replaced by a new one
  // (allocates); the queues start again with the pre-fill.
  void Activate();
  // Reads the control ports, processes `frames` frames from the audio
  // inputs to the audio outputs (they may share arrays) and writes the
  // click meter and the latency.
  void Run(uint32_t frames);

  uint32_t LatencyFrames() const { return chains[engine].prefillFrames + chains[engine].latencyFrames; }

 private:
  // The settings that reach the processing object, as the controls give them.
  struct Settings {
    float clickThreshold = 0.0f;
    float outputHissLevel = 0.0f;
    float inputHissLevel = 0.0f;
    uint32_t options = 0;  // the effect's "Options" bits, full bypass never set
    bool operator==(const Settings&) const = default;
  };

  VeltanePlugin(uint16_t channels, uint32_t sampleRate);
  // A processing object with its measurements and the settings it holds.
  struct Chain {
    std::unique_ptr<NoiseReducFilter> filter;
    uint32_t prefillFrames = 0;
    uint32_t latencyFrames = 0;  // the processing object's own delay
    Settings applied;
    bool settingsApplied = false;
    bool used = false;  // has processed audio since it was built
  };

  // Sizes the buffers, builds both chains and the queues. False when memory
  // ran out.
  bool Prepare();
  // The chain for `choice` built for the plugin's format, warmed
  // up (every buffer it needs made) and back at the start of a stream. False,
  // and the chain as it was, when memory ran out.
  bool BuildChain(Engine choice);
  static void RestartStream(NoiseReducFilter& filter);
  void RestartQueues();
  float Control(uint32_t port) const;
  void ApplySettings();
  void StageInput(uint32_t offset, uint32_t frames);
  void ProcessSlice();
  void DeliverOutput(uint32_t offset, uint32_t frames);

  uint16_t channels;
  uint32_t sampleRate;
  std::array<Chain, 2> chains;  // by Engine
  uint32_t engine = static_cast<uint32_t>(Engine::Modern);  // the chain in use

  std::array<float*, kControlPortCount> controls{};
  std::array<const float*, 2> inputs{};
  std::array<float*, 2> outputs{};

  std::vector<uint8_t> staging;   // one slice of 24-bit input frames
  uint32_t stagedFrames = 0;
  std::vector<uint8_t> produced;  // what one slice brings back, 24-bit
  uint32_t producedRoomFrames = 0;
  std::unique_ptr<FrameFifo> wet;  // processed output behind the pre-fill
  std::unique_ptr<FrameFifo> dry;  // input delayed by the whole latency

  // The processed signal's share of the output is wetShare / crossfadeFrames;
  // counted in whole frames, so a crossfade does not depend on how the host
  // cuts it into blocks.
  uint32_t crossfadeFrames = 1;
  uint32_t wetShare = 0;
  bool wetShareKnown = false;  // false until the first Run after Activate
  float meter = 0.0f;         // click meter with its fall-back
  bool sliceProcessed = false;
};

}  // namespace veltane::lv2
