// The modern click remover block: framing, stereo link, final fills and the
// hand-out of settled samples.
#include "declick/ExtentDeclick.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "framework/ResourcePool.h"

namespace veltane {
namespace {

constexpr float kMinThreshold = 2.0f;
// Zero-lag loading of the final model: light for its sharpness, and heavier
// for the well-conditioned model that checks it.
constexpr double kFillLoading = 1e-9;
constexpr double kSafeLoading = 1e-5;
// The sharp fill stands unless it lies farther than this fraction of the
// safe fill's own size from it (root mean square over the gap).
constexpr double kAgreement = 0.5;
// The final model's order for a gap: a short gap needs no long memory.
constexpr int32_t kShortFillOrder = 24;
constexpr int32_t kFillOrderPerSample = 4;
// Samples kept before the oldest one not yet handed out: a final fill
// reaches its side's length before its gap.
constexpr int64_t kHistory = ExtentDeclick::kMaxFillSide + 64;
// A block ending at W touches no gap that ends before W - 1086: its seeds
// start at W - 768, a grown or joined gap holds at most 160 samples, and the
// stereo link may widen one by as much again. So a gap that ends a whole
// block before the last block's end is settled.
constexpr int32_t kSettled = ExtentDetector::kBlock;
// Room beyond what the pipeline needs: the block holds at most this many
// frames more than it must, and so waits for room as it always has.
constexpr size_t kSlack = 4096;
// Room the arrays have beyond that, so that they shift rarely: each shift
// moves the samples still held (about 5000 per channel and array).
constexpr size_t kShiftRoom = 12288;
// Gaps pending per channel: a fill window's worth of short gaps.
constexpr size_t kMaxGaps = 512;
constexpr float kMeterSteps = 25.0f;  // per doubling of z over the seed bar
constexpr int32_t kMeterMax = 100;

}  // namespace

ExtentDeclick::ExtentDeclick(const char* name)
    : Block(name, 1, PortKind::Samples, 1, PortKind::Samples),
      finalFill_(kFillOrder, ExtentDetector::kMaxGap, kMaxFillSide),
      sharp_(ExtentDetector::kMaxGap) {}

ExtentDeclick::~ExtentDeclick() = default;

void ExtentDeclick::SetThreshold(float value) {
  threshold_.store(value >= kMinThreshold ? value : kMinThreshold, std::memory_order_relaxed);
}

float ExtentDeclick::GetThreshold() const { return threshold_.load(std::memory_order_relaxed); }

void ExtentDeclick::SetBypass(uint32_t on) { bypass_.store(on != 0, std::memory_order_relaxed); }

uint32_t ExtentDeclick::GetBypass() const { return bypass_.load(std::memory_order_relaxed) ? 1 : 0; }

void ExtentDeclick::SetOutputClicks(uint32_t on) { outputClicks_.store(on != 0, std::memory_order_relaxed); }

uint32_t ExtentDeclick::GetOutputClicks() const { return outputClicks_.load(std::memory_order_relaxed) ? 1 : 0; }

int32_t ExtentDeclick::ReadClickLevel() {
  const float peak = peak_.exchange(0.0f, std::memory_order_relaxed);
  const float bar = SeedBar(threshold_.load(std::memory_order_relaxed));
  if (!(peak > bar)) return 0;
  const float level = kMeterSteps * std::log2(peak / bar);
  // Compared before the conversion so that a huge z cannot overflow it.
  return level >= kMeterMax ? kMeterMax : static_cast<int32_t>(level);
}

void ExtentDeclick::RaiseMeter(float z) {
  float current = peak_.load(std::memory_order_relaxed);
  while (z > current && !peak_.compare_exchange_weak(current, z, std::memory_order_relaxed)) {
  }
}

void ExtentDeclick::Setup() {
  needsSetup_ = false;
  // Before the first block the stream is silence: the first block starts
  // half a block before the stream so that its searched half begins at 0.
  base_ = -kHistory;
  written_ = 0;
  blockEnd_ = ExtentDetector::kSearchEnd;
  searched_ = blockEnd_ - kHop;
  emitted_ = 0;
  // 20 ms of audio, within what the history keeps. A gap is filled for good
  // once its fill's far side is in and it is settled; frames are handed out
  // once every gap that may start among them is.
  fillSide_ = static_cast<int32_t>(std::clamp(rate_ * kFillSideSeconds, double{kMinFillSide}, double{kMaxFillSide}));
  holdFrames_ = std::max(fillSide_, kSettled) + ExtentDetector::kMaxGap;
  capacity_ = static_cast<size_t>(kHistory + holdFrames_ + ExtentDetector::kBlock + 2 * kHop) +
              inputFrames_ + kSlack;
  const size_t length = capacity_ + kShiftRoom;
  for (uint16_t c = 0; c < kMaxChannels; ++c) {
    if (c < Kept()) {
      signal_[c].assign(length, 0.0f);
      arrived_[c].assign(length, 0.0f);
      gaps_[c].Reserve(kMaxGaps);
    } else {
      signal_[c] = {};
      arrived_[c] = {};
      gaps_[c].Reserve(0);
    }
  }
}

void ExtentDeclick::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  inputFrames_ = in.frames;
  channels_ = in.channels;
  // A rate that is not a number gets the shortest fill side.
  rate_ = in.sampleRate > 0.0f ? in.sampleRate : 0.0f;
  clicks_.SetRate(rate_);
  Setup();
  StreamFormat& out = Output(0)->format;
  if (out.CopyFrom(&in) == BlockStatus::Ok) out.SetFrames(kOutputFrames);
}

void ExtentDeclick::OnReset() {
  needsSetup_ = true;
  peak_.store(0.0f, std::memory_order_relaxed);
  clicks_.Restart();
}

BlockStatus ExtentDeclick::Process() {
  if (needsSetup_) Setup();
  if (channels_ == 0) return BlockStatus::SelfMarked;
  const bool bypass = bypass_.load(std::memory_order_relaxed);
  TakeInput();
  while (blockEnd_ <= written_) SearchBlock(bypass);
  if (CanEmit()) Emit(bypass);
  return BlockStatus::SelfMarked;
}

bool ExtentDeclick::IsBusy() {
  OutputPort* out = Output(0);
  if (!Input(0)->IsStale()) return out->IsBusy();
  if (needsSetup_ || channels_ == 0 || !CanEmit()) return true;
  return out->IsBusy();
}

void ExtentDeclick::TakeInput() {
  InputPort* in = Input(0);
  SampleBuffer* buffer = nullptr;
  if (in->IsStale() || in->GetBuffer(&buffer) != BlockStatus::Ok) return;
  const uint32_t frames = in->format.frames;
  if (static_cast<uint64_t>(frames) * channels_ > buffer->length) return;
  // Whole buffers only: one that does not fit beside what is still held
  // waits on the input until buffers have been handed out.
  const int64_t keepFrom = emitted_ - kHistory;
  if (written_ + frames - keepFrom > static_cast<int64_t>(capacity_)) return;
  if (written_ + frames - base_ > static_cast<int64_t>(capacity_ + kShiftRoom)) {
    const size_t shift = static_cast<size_t>(keepFrom - base_);
    const size_t live = static_cast<size_t>(written_ - keepFrom);
    for (uint16_t c = 0; c < Kept(); ++c) {
      std::memmove(signal_[c].data(), signal_[c].data() + shift, live * sizeof(float));
      std::memmove(arrived_[c].data(), arrived_[c].data() + shift, live * sizeof(float));
    }
    base_ = keepFrom;
  }
  const float* data = in->ChannelData(0);
  // One NaN would spread through every model it enters.
  const auto clean = [](float v) { return std::isfinite(v) ? v : 0.0f; };
  if (channels_ == 2) {
    // Both channels in one pass over the interleaved frames.
    float* signal[2] = {signal_[0].data() + At(written_), signal_[1].data() + At(written_)};
    float* arrived[2] = {arrived_[0].data() + At(written_), arrived_[1].data() + At(written_)};
    for (uint32_t i = 0; i < frames; ++i) {
      const float left = clean(data[2 * static_cast<size_t>(i)]);
      const float right = clean(data[2 * static_cast<size_t>(i) + 1]);
      signal[0][i] = left;
      arrived[0][i] = left;
      signal[1][i] = right;
      arrived[1][i] = right;
    }
  } else {
    for (uint16_t c = 0; c < Kept(); ++c) {
      float* signal = signal_[c].data() + At(written_);
      float* arrived = arrived_[c].data() + At(written_);
      for (uint32_t i = 0; i < frames; ++i) {
        const float v = clean(data[static_cast<size_t>(i) * channels_ + c]);
        signal[i] = v;
        arrived[i] = v;
      }
    }
  }
  written_ += frames;
  in->MarkConsumed(true);
}

void ExtentDeclick::SearchBlock(bool bypass) {
  const int64_t blockStart = blockEnd_ - ExtentDetector::kBlock;
  if (!bypass) {
    const float threshold = threshold_.load(std::memory_order_relaxed);
    const ExtentDetector::Settings settings{SeedBar(threshold), NearBar(threshold), kStartSkip};
    const size_t from = At(blockStart - ExtentDetector::kOrder);
    float peak = 0.0f;
    int32_t found = 0;
    for (uint16_t c = 0; c < Kept(); ++c) {
      detectors_[c].Load(signal_[c].data() + from, arrived_[c].data() + from, blockStart);
      found += detectors_[c].Look(gaps_[c], settings, &peak);
    }
    // A second look at the repaired block: the clicks no longer inflate the
    // model or the spread, so weaker ones nearby show.
    if (found > 0) {
      for (uint16_t c = 0; c < Kept(); ++c) detectors_[c].Look(gaps_[c], settings, &peak);
    }
    if (Kept() == 2) {
      const int32_t made[2] = {detectors_[0].MadeCount(), detectors_[1].MadeCount()};
      for (uint16_t c = 0; c < 2; ++c) {
        for (int32_t i = 0; i < made[c]; ++i) detectors_[1 - c].Link(gaps_[1 - c], detectors_[c].Made(i), settings);
      }
    }
    for (uint16_t c = 0; c < Kept(); ++c) detectors_[c].Store(signal_[c].data() + from);
    RaiseMeter(peak);
  }
  FinalFills(blockEnd_);
  searched_ = blockEnd_;
  blockEnd_ += kHop;
}

void ExtentDeclick::FinalFills(int64_t upTo) {
  // Gaps are sorted, so their centres are too: the ones whose fill window
  // is complete come first. No later block reaches that far back.
  for (uint16_t c = 0; c < Kept(); ++c) {
    GapList& gaps = gaps_[c];
    while (gaps.Count() > 0 && gaps[0].end + std::max(fillSide_, kSettled) <= upTo) {
      FinalFill(signal_[c].data() + At(gaps[0].start), arrived_[c].data() + At(gaps[0].start),
                static_cast<int32_t>(gaps[0].Length()));
      if (c == 0) clicks_.Add({static_cast<uint64_t>(gaps[0].start), static_cast<uint32_t>(gaps[0].Length())});
      gaps.PopFront();
    }
  }
}

void ExtentDeclick::FinalFill(float* gap, const float* arrived, int32_t length) {
  // Where no model can be fitted (digital silence) the short model's fill stays.
  const int32_t order = std::min(kShortFillOrder + kFillOrderPerSample * length, kFillOrder);
  if (!finalFill_.FitAround(gap, length, fillSide_, order, kFillLoading)) return;
  if (!finalFill_.Fill(gap, length, finalFill_.Mean())) return;
  // A sharp model fills tonal music best but is ill-conditioned: a click's
  // faint tail left beside the gap can swing its fill far off. Where a
  // well-conditioned model's fill disagrees with it, that one stands.
  std::copy(gap, gap + length, sharp_.begin());
  if (!finalFill_.Reload(kSafeLoading) || !finalFill_.Fill(gap, length, finalFill_.Mean())) return;
  const double mean = finalFill_.Mean();
  double apart = 0.0;
  double size = 0.0;
  for (int32_t i = 0; i < length; ++i) {
    apart += (sharp_[i] - gap[i]) * (sharp_[i] - gap[i]);
    size += (gap[i] - mean) * (gap[i] - mean);
  }
  if (apart > kAgreement * kAgreement * size) return;
  // Where the sharp model stands, what arrived in the gap is taken apart
  // into the signal and the click. Not with the safe model: its error
  // variance is mostly its loading, no measure of the signal's, and would
  // hand the click's model what belongs to the music (measured on the
  // piano recording: 2 dB lost).
  if (!finalFill_.Reload(kFillLoading) || !finalFill_.Fill(gap, length, finalFill_.Mean())) {
    std::copy(sharp_.begin(), sharp_.begin() + length, gap);
    return;
  }
  finalFill_.Separate(gap, arrived, length, finalFill_.Mean());
}

bool ExtentDeclick::CanEmit() const { return emitted_ + kOutputFrames + holdFrames_ <= searched_; }

void ExtentDeclick::Emit(bool bypass) {
  OutputPort* out = Output(0);
  float* data = out->ChannelData(0);
  if (data == nullptr || out->format.frames != kOutputFrames) return;
  const bool clicks = !bypass && outputClicks_.load(std::memory_order_relaxed);
  const size_t at = At(emitted_);
  if (channels_ == 2) {
    // Both channels interleaved in one pass, each mode its own loop.
    const float* signal[2] = {signal_[0].data() + at, signal_[1].data() + at};
    const float* arrived[2] = {arrived_[0].data() + at, arrived_[1].data() + at};
    if (bypass || !clicks) {
      const float* const* from = bypass ? arrived : signal;
      for (uint32_t i = 0; i < kOutputFrames; ++i) {
        data[2 * static_cast<size_t>(i)] = from[0][i];
        data[2 * static_cast<size_t>(i) + 1] = from[1][i];
      }
    } else {
      for (uint32_t i = 0; i < kOutputFrames; ++i) {
        data[2 * static_cast<size_t>(i)] = signal[0][i] - arrived[0][i];
        data[2 * static_cast<size_t>(i) + 1] = signal[1][i] - arrived[1][i];
      }
    }
    emitted_ += kOutputFrames;
    out->MarkReady();
    return;
  }
  for (uint16_t c = 0; c < channels_; ++c) {
    float* to = data + c;
    if (c >= Kept()) {
      for (uint32_t i = 0; i < kOutputFrames; ++i) to[static_cast<size_t>(i) * channels_] = 0.0f;
      continue;
    }
    const float* signal = signal_[c].data() + at;
    const float* arrived = arrived_[c].data() + at;
    for (uint32_t i = 0; i < kOutputFrames; ++i) {
      to[static_cast<size_t>(i) * channels_] = bypass ? arrived[i] : clicks ? signal[i] - arrived[i] : signal[i];
    }
  }
  emitted_ += kOutputFrames;
  out->MarkReady();
}

}  // namespace veltane
