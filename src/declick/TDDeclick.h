// The time-domain click remover block ("TDDeclick0", "TDDeclick1").
//
// Collects each channel's samples in a ring, cuts them into 600-sample
// analysis blocks that advance by 443 samples, repairs each block with
// RepairBlock (or, in simple mode, ClipBlock) and hands on the first 443
// samples of every block. The output is the input delayed by the 157 samples
// held back plus whatever waits in the ring; no sample is lost or repeated,
// also across switches of bypass. Output buffers hold 443 frames.
//
// Threads: Process, OnReset, OnInputsChanged and Setup run inside a
// processing pass under GraphLock. The setters and ReadClickLevel may be
// called from another thread without GraphLock (the processing object calls
// them under its own lock); the fields they touch are atomics, read by
// Process once per pass (bypass) or once per channel (threshold,
// outputClicks), so a change lands at a pass or channel boundary.
//
// Channels: the block keeps arrays for two channels. A format with more
// channels is not refused here (the effect's format negotiation refuses
// it); the block declicks channels 0 and 1 and writes silence into the
// others, so nothing is ever read or written past its arrays.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "declick/ClickReport.h"
#include "declick/RepairBlock.h"
#include "framework/Block.h"
#include "framework/SampleRing.h"

namespace veltane {

class TDDeclick : public Block {
 public:
  static constexpr uint16_t kMaxChannels = 2;

  // One Samples input, one Samples output; threshold 4.5. Allocates the
  // fixed-size work arrays; the per-channel arrays come with the format.
  explicit TDDeclick(const char* name);
  ~TDDeclick() override;

  // Any thread. Values below 2.0 (and values that are not a number) store 2.0.
  void SetThreshold(float value);
  float GetThreshold() const;
  // Any thread. Non-zero is on; the getters answer 0 or 1.
  void SetBypass(uint32_t on);
  uint32_t GetBypass() const;
  // Any thread. While on, the output is repaired minus arrived samples.
  void SetOutputClicks(uint32_t on);
  uint32_t GetOutputClicks() const;
  // Any thread. The click meter, 0..100, from the largest outlier ratio since
  // the last reading; resets it.
  int32_t ReadClickLevel();

  // Statistics (see ClickReport): one click per stretch of repaired
  // samples in a block (a click repaired in both channels at once counts
  // once), marked in frames of this block's own input since the last reset,
  // at its input's rate. Simple mode (ClipBlock) reports none.
  ClickReport& Clicks() { return clicks; }

  // Under GraphLock. (Re)builds the per-channel arrays and the ring from
  // `channels` and `inputFrames`; restarts framing with a full block. Allocates.
  void Setup();

  // Under GraphLock, inside a pass. Always SelfMarked; allocates only when
  // a reset has left Setup to run.
  BlockStatus Process() override;
  void OnReset() override;
  // Not busy while the ring holds enough for a pass, even without a fresh
  // input buffer (see the source for why).
  bool IsBusy() override;
  // Takes the format, runs Setup and publishes the input format with 443
  // frames on the output.
  void OnInputsChanged() override;

  // Documented state, in this order. maxClickWidth and simpleMode are set
  // directly by the chain container under GraphLock.
  int32_t maxClickWidth = 100;    // cap on the nominal gap width
  bool simpleMode = false;        // ClipBlock instead of RepairBlock
  uint16_t channels = 0;          // of the input format
  uint32_t inputFrames = 0;       // frames per input buffer
  SampleRing ring;                // per-channel store of incoming samples
  const int32_t modelOrder = 28;  // p
  const int32_t blockLength = 600;  // N
  const int32_t maxClicks = 20;   // repairs per block and channel
  std::atomic<float> threshold{4.5f};  // outlier ratio that counts as a click; >= 2.0
  int32_t hop = 0;                // N - 2p - 101 = 443 once set up: samples handed on per pass
  int32_t fill = 0;               // new samples the next pass needs: N, then hop
  bool needsSetup = true;
  std::atomic<bool> bypass{false};
  std::atomic<bool> outputClicks{false};
  std::atomic<float> peakRatio{0.0f};  // largest outlier ratio since the last reading
  uint64_t handedOn = 0;               // samples handed on since the reset: block[0]'s place in the stream
  ClickReport clicks;
  std::vector<double> work[kMaxChannels];        // the block being repaired, per channel
  std::vector<double> unrepaired[kMaxChannels];  // the block as it arrived, per channel
  std::vector<double> rhs;
  std::vector<double> gapResidual;
  std::vector<double> autocorr;
  std::vector<double> coeffs;
  std::vector<double> residual;
  std::vector<double> toeplitzRow;
  std::vector<double> solverForward;
  std::vector<double> solverBackward;

 private:
  uint16_t RingChannels() const { return channels < kMaxChannels ? channels : kMaxChannels; }
  void TakeInput();
  void PassThrough();
  void Declick();
  // Raises peakRatio to `ratio` unless it is already higher.
  void RaiseMeter(float ratio);
  // Counts and queues this pass's repaired stretches, channels merged.
  void ReportGaps(const RepairGaps* perChannel, uint16_t count);
};

}  // namespace veltane
