// The processing object: owns the chain, holds the effect's parameters and
// runs host buffers through the chain.
//
// It runs one of two engines (see NoiseReducManager): the classic one, which
// a new object starts with and the Windows effect always uses, or the modern
// one. Every parameter setter acts on the blocks of both, so the user's
// settings hold across a switch; the getters read the engine in use.
//
// Platform-neutral: the Windows front wraps it in a COM object answering the
// private INoiseReducFilter interface; the command-line tool drives it
// directly. Locks: every parameter operation holds `lock` for its whole
// duration; SetFormat and Process do not take it (the blocks are guarded by
// the chain's lock alone, GraphLock or the object's own, see Locking), so a
// parameter change from another thread lands between block operations. When
// locks nest they are taken in the order: the caller's own lock (the effect
// object's), then `lock`, then the chain's lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "chain/NoiseReducManager.h"
#include "declick/ClickReport.h"

namespace veltane {

class Adapter;
class FDNoiseReduc;

// The first 18 bytes of a WAVEFORMATEX, as a host hands them over.
struct WaveFormat {
  uint16_t formatTag = 1;  // 1 = PCM, 0xFFFE = extensible
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t cbSize = 0;
};

class NoiseReducFilter {
 public:
  // Whose lock guards the chain. SharedLock: the process-wide GraphLock that
  // every chain built so shares (the Windows effect's). OwnLock: a graph
  // domain of the object's own, so that chains on other threads never wait
  // for this one nor it for them (the tool's workers, plugin instances).
  enum class Locking { SharedLock, OwnLock };

  // Builds the Adapter and the chain and applies the defaults: everything
  // bypassed, automatic hiss level on, click threshold 4.0, output hiss
  // level 0.625, input hiss level 0.333; the classic engine.
  explicit NoiseReducFilter(Locking locking = Locking::SharedLock);
  ~NoiseReducFilter();
  NoiseReducFilter(const NoiseReducFilter&) = delete;
  NoiseReducFilter& operator=(const NoiseReducFilter&) = delete;

  // The operations of INoiseReducFilter, in its order. Flags are 0 or 1.
  void SetBypassDeclick(uint8_t on);
  uint8_t GetBypassDeclick();
  void SetBypassDenoise(uint8_t on);
  uint8_t GetBypassDenoise();
  void SetFullBypass(uint8_t on);
  uint8_t GetFullBypass();
  // While on, the hiss reducer is forced into bypass.
  void SetOutputClicks(uint8_t on);
  uint8_t GetOutputClicks();
  // Re-applies the level that now governs the hiss reducer's input level.
  void SetAutoInputHissLevel(uint8_t on);
  uint8_t GetAutoInputHissLevel();
  void SetClickThreshold(float value);  // the declicker keeps at least 2.0
  float GetClickThreshold();
  void Reserved() {}
  void SetOutputHissLevel(float level);  // 0..1
  float GetOutputHissLevel();
  void ResetOutputHissLevel();
  void SetInputHissLevel(float level);  // 0..1; acts only with the automatic level off
  float GetInputHissLevel();
  // 0..100; reading resets the declicker's peak.
  uint32_t GetClickMeter();

  // Chooses the engine. A change rewires the chain and starts a new stream,
  // as a format change does: samples inside the chain are dropped, and the
  // next input is the first the new engine hears. Meant to be set before
  // streaming.
  void SetEngine(Engine choice);
  Engine GetEngine();

  // One stage of the modern engine split over two threads. Whole (the
  // default): host PCM in, host PCM out. Declick: host PCM in, the declicked
  // stream out as the chain's 32-bit floats (channels x 4 bytes a frame,
  // unclamped), in the declicker's 512-frame buffers, without delay. Hiss:
  // those floats in, fed to the hiss remover in the same 512-frame buffers,
  // host PCM out. A Declick object's output given to a Hiss object set up
  // alike therefore reaches the hiss remover as it would inside one chain,
  // buffer for buffer. A stage other than Whole always runs its chain (full
  // bypass copies host samples, which its float side does not carry); the
  // classic engine is not split and runs whole in every stage. A change
  // starts a new stream, as SetEngine's does: set it before streaming.
  enum class Stage : uint8_t { Whole, Declick, Hiss };
  void SetStage(Stage stage);

  // Takes the host's PCM format; a changed rate rewires the chain.
  void SetFormat(const WaveFormat& format);
  // Runs `frames` interleaved host frames. *outFrames is the room at `out`
  // on entry and the frames written on return, never more than the room; a
  // null outFrames means room for `frames`. `in` may equal `out`. Every
  // frame is taken: in full bypass the frames that do not fit wait inside
  // the object (which allocates for them) and come out first at the next
  // calls, in bypass or not; a new format drops them with the chain's
  // contents. Returns 1 when the active chain produced nothing, else 0.
  int Process(const uint8_t* in, uint32_t frames, uint8_t* out, uint32_t* outFrames);
  // Starts a new stream, as a format change does: the Adapter's ring and
  // every block's history are cleared by a reset pass (the automatic hiss
  // estimates, which carry over from one stream to the next by design,
  // excepted). Takes the chain's lock.
  void RestartStream();

  // Statistics of the stream, for the tool's report and picture; any
  // thread, never waiting for the chain, never allocating.
  // Clicks repaired since the stream started: the active engine's
  // declickers' counts summed (the classic engine declicks two bands, so a
  // click repaired in both counts twice).
  uint64_t GetClicksRepaired();
  // The active hiss reducer's hiss level in dBFS (see FDNoiseReduc and
  // HissRemover); NaN when there is none (denoise off, full bypass).
  float GetHissLevelDb();
  // Moves up to `capacity` marks of repaired clicks into `marks`, oldest
  // first per declicker; returns how many. Positions and widths are in
  // input frames of the stream (a band's samples scaled by its decimation;
  // the band filters' few samples of delay are not taken out). One caller
  // drains; the declickers' queues hold 1024 marks each and drop what does
  // not fit, so drain after every Process or so.
  uint32_t DrainClicks(ClickMark* marks, uint32_t capacity);

  // Frames by which the chain delays the stream for the current format,
  // engine and wiring: output frame k carries input frame k - latency.
  uint32_t GetLatencyFrames();

  uint32_t SampleRate() const { return sampleRate; }
  uint32_t BytesPerSample() const { return bytesPerSample; }
  uint32_t Channels() const { return channels; }

  // The chain, for tests and diagnostics. Callers hold the chain's lock:
  // GraphLockHolder hold(filter.Domain()).
  NoiseReducManager& Manager() { return *manager; }
  Adapter& GetAdapter() { return *adapter; }
  GraphDomain& Domain() { return domain; }

 private:
  // Moves up to `room` waiting bypassed frames to `out`; returns how many.
  uint32_t DeliverWaiting(uint8_t* out, uint32_t room);
  // The blocks of the engine in use, which the getters read, and those of
  // both engines, which the setters write.
  // The declickers differ in type but not in their parameters' names:
  // `apply` is called with each of them, `read` with the one in use.
  template <typename Apply>
  void ForBothDeclickers(Apply apply);
  template <typename Read>
  auto ReadDeclicker(Read read);
  // The click reports of the engine in use's declickers; the second null in
  // the modern engine.
  std::array<ClickReport*, 2> ActiveClickReports();
  bool ModernActive() const;
  std::recursive_mutex lock;
  // Declared before the blocks: destroyed after them.
  std::unique_ptr<GraphDomain> ownDomain;
  GraphDomain& domain;
  std::unique_ptr<Adapter> adapter;
  std::unique_ptr<NoiseReducManager> manager;
  // The format is written by SetFormat and read by Process, both under
  // GraphLock; atomic so that the accessors above may read it from anywhere.
  std::atomic<uint32_t> sampleRate{0};
  std::atomic<uint32_t> bytesPerSample{0};
  std::atomic<uint32_t> channels{0};
  // Read by Process without `lock`.
  std::atomic<uint8_t> fullBypass{1};
  Stage stage = Stage::Whole;  // under the chain's lock
  // Bypassed frames that found no room yet, oldest first; under GraphLock.
  std::vector<uint8_t> bypassWaiting;
  uint8_t bypassDeclick = 1;
  uint8_t bypassDenoise = 1;
  uint8_t outputClicks = 0;
  uint8_t autoInputHissLevel = 1;
  float clickThreshold = 4.0f;
  float outputHissLevel = 0.625f;
  float inputHissLevel = 0.333f;
};

// Null when memory runs out.
std::unique_ptr<NoiseReducFilter> CreateNoiseReducFilter(
    NoiseReducFilter::Locking locking = NoiseReducFilter::Locking::SharedLock) noexcept;

}  // namespace veltane
