// The modern engine's click remover: finds each click's true extent and
// fills it from a clean model, on the full band, channels in lockstep.
//
// Method, per channel, on blocks of 1024 samples advancing by 512
// (ExtentDetector.h): a short AR model and each sample's interpolation error
// against a local spread (ClickStatistic.h) seed gaps, which grow to the
// click's extent and are filled from the short model. A block where any
// channel found a click is searched once more, repaired; a gap found in one
// channel of a stereo pair is repaired in the other too (a click on a record
// reaches both). Once no later block can touch a gap, it is filled for good
// from a model fitted to 20 ms of audio on either side of it, but not to
// the gap (GapInterpolator.h), of order 24 + 4 per gap sample up to 100: a
// short gap needs no long memory. Where that model is sharp enough to
// trust, the samples that arrived in the gap are then taken apart into the
// signal and the click (GapInterpolator::Separate): a low, smooth click
// over rough music leaves the music under it. The first 200 samples after
// a start or reset are never repaired, nor the edges between digital
// silence (16 exact zeros or more) and sound: an abrupt start or end is not
// a click, and a caller's flush with silence must not change the stream's
// last samples.
// Clicks inside digital silence are repaired.
//
// Timing: the block holds the stream back and hands out 512-frame buffers in
// place: output frame k is input frame k. Nothing is pre-rolled, so the block
// adds no latency. It holds back between HoldFrames() and HoldFrames() + 512
// frames beyond what the input buffers bring at once (1184 frames up to
// 51.2 kHz, 2128 from 98.4 kHz), which a caller flushes with silence. Any
// input buffer size; the output is the same for every one.
//
// Parameters (the effect's, meaning what they mean for the classic
// declicker): the click threshold t (2 to 20, lower finds more; values
// below 2 store 2) asks a seed to stand 3t standard deviations from its
// interpolation (12 at the default 4), or 2t within 100 samples of a gap,
// or 0.9 x 3t where nothing else in the searched block stands out;
// the 8 samples around it together may stand for it, at 0.6 times that in
// root mean square (a low click a few samples wide).
// Bypass hands the input on unchanged, in the same place, with nothing lost
// or repeated in either direction. "Output Clicks" hands on repaired minus
// arrived samples (the clicks taken out, inverted; exact zeros elsewhere).
// The click meter reads 25 x log2(z / 3t) for the largest z since the last
// reading: 0 below the threshold, 25 for a click twice as strong, 100 at 16
// times; reading resets it.
//
// Channels: up to two are restored; further channels come out silent (the
// fronts refuse such formats). Samples that are not finite are taken as
// silence.
//
// Threads: Process, OnReset, OnInputsChanged and IsBusy run inside a
// processing pass under GraphLock. The setters and ReadClickLevel may be
// called from any thread; they touch atomics, read once per pass.
//
// Allocation: in the constructor and when the input format changes (or a
// reset forces a new set-up); never in a steady pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "declick/ClickReport.h"
#include "declick/ExtentDetector.h"
#include "declick/GapInterpolator.h"
#include "declick/GapList.h"
#include "framework/Block.h"

namespace veltane {

class ExtentDeclick : public Block {
 public:
  static constexpr uint16_t kMaxChannels = 2;
  static constexpr int32_t kHop = ExtentDetector::kBlock / 2;
  static constexpr uint32_t kOutputFrames = kHop;
  static constexpr int32_t kFillOrder = 100;      // the final fill's largest model
  static constexpr double kFillSideSeconds = 0.020;  // audio fitted on each side of a gap
  static constexpr int32_t kMinFillSide = 256;
  static constexpr int32_t kMaxFillSide = 1968;
  static constexpr int32_t kStartSkip = 2 * kFillOrder;

  // One Samples input and one Samples output; threshold 4.
  explicit ExtentDeclick(const char* name);
  ~ExtentDeclick() override;

  // Any thread. See the header comment for what the threshold means.
  void SetThreshold(float value);
  float GetThreshold() const;
  void SetBypass(uint32_t on);
  uint32_t GetBypass() const;
  void SetOutputClicks(uint32_t on);
  uint32_t GetOutputClicks() const;
  int32_t ReadClickLevel();
  // Statistics (see ClickReport): one mark per gap as its final fill is
  // made, in frames of this block's input since the stream started. The
  // channels' gaps are linked, so the first channel's cover every click.
  ClickReport& Clicks() { return clicks_; }
  // Frames between the end of the last block searched and the last frame
  // handed out, for the current format.
  int32_t HoldFrames() const { return holdFrames_; }
  // The z a seed needs for a threshold, far from and near a gap.
  static float SeedBar(float threshold) { return 3.0f * threshold; }
  static float NearBar(float threshold) { return 2.0f * threshold; }

  // Under GraphLock, inside a pass. Always SelfMarked: takes a whole input
  // buffer when it fits, searches every block it completes, hands out one
  // output buffer when one is settled.
  BlockStatus Process() override;
  // Not busy while a settled output buffer waits, even without fresh input.
  bool IsBusy() override;
  void OnReset() override;
  // Takes the format and sets up for it (allocates); the output carries the
  // input's rate and channels in 512-frame buffers.
  void OnInputsChanged() override;

 private:
  uint16_t Kept() const { return channels_ < kMaxChannels ? channels_ : kMaxChannels; }
  void Setup();
  void TakeInput();
  void SearchBlock(bool bypass);
  // Fills for good every gap whose fill window ends by `upTo`.
  void FinalFills(int64_t upTo);
  void FinalFill(float* gap, const float* arrived, int32_t length);
  bool CanEmit() const;
  void Emit(bool bypass);
  void RaiseMeter(float z);
  // Index of stream position `position` in the channel arrays.
  size_t At(int64_t position) const { return static_cast<size_t>(position - base_); }

  std::atomic<float> threshold_{4.0f};
  std::atomic<bool> bypass_{false};
  std::atomic<bool> outputClicks_{false};
  std::atomic<float> peak_{0.0f};  // largest z since the last meter reading

  uint16_t channels_ = 0;
  uint32_t inputFrames_ = 0;
  float rate_ = 0.0f;
  int32_t fillSide_ = kMinFillSide;  // samples fitted on each side of a gap
  int32_t holdFrames_ = 0;
  bool needsSetup_ = true;
  // The stream from base_ on, per channel: as repaired so far, and as it arrived.
  std::vector<float> signal_[kMaxChannels];
  std::vector<float> arrived_[kMaxChannels];
  size_t capacity_ = 0;  // frames held at most; the arrays have kShiftRoom more
  int64_t base_ = 0;       // stream position of index 0
  int64_t written_ = 0;    // positions taken in
  int64_t blockEnd_ = 0;   // end of the next block to search
  int64_t searched_ = 0;   // end of the last block searched
  int64_t emitted_ = 0;    // positions handed out
  GapList gaps_[kMaxChannels];
  ExtentDetector detectors_[kMaxChannels];
  GapInterpolator finalFill_;
  ClickReport clicks_;
  std::vector<float> sharp_;  // one gap's fill by the sharp model
};

}  // namespace veltane
