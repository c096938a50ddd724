// Time-domain click remover: framing of the stream for RepairBlock.
#include "declick/TDDeclick.h"

#include <algorithm>
#include <cmath>

#include "declick/ClipBlock.h"
#include "declick/RepairBlock.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

constexpr float kMinThreshold = 2.0f;
constexpr uint32_t kMinRingCapacity = 8192;
constexpr float kMeterOffset = 6.0f;  // ratio above the threshold where the meter starts
constexpr double kMeterScale = 3.0;   // meter steps per unit of ratio
constexpr int32_t kMeterMax = 100;

// f32 ring samples into the f64 block and its unrepaired copy. A sample that
// is not finite is taken as silence: the samples kept from one block seed
// the next, so a single NaN would otherwise spread through the mean removal
// into every block that follows.
void LoadSamples(const float* from, size_t count, double* block, double* copy) {
  for (size_t i = 0; i < count; ++i) {
    const double v = std::isfinite(from[i]) ? from[i] : 0.0;
    block[i] = v;
    copy[i] = v;
  }
}

// Silence into channel `channel` of `frames` interleaved frames.
void ZeroChannel(float* data, uint16_t channel, uint16_t channels, uint32_t frames) {
  for (size_t i = 0; i < frames; ++i) data[i * channels + channel] = 0.0f;
}

// to[i * kStride + c] = the first `count` samples of channel c's block,
// minus its unrepaired copy when subtract[c], for c < kChannels: the pass's
// output frames (x - 0.0 is x, so one expression serves both). kStride > 0
// fixes the stride, so that stereo frames run in vector registers.
template <int kChannels, size_t kStride>
void StoreBlocks(const std::vector<double>* blocks, const std::vector<double>* copies, const bool* subtract,
                 size_t count, float* to, size_t stride) {
  const size_t step = kStride != 0 ? kStride : stride;
  const double* block[kChannels];
  const double* copy[kChannels];
  for (int c = 0; c < kChannels; ++c) {
    block[c] = blocks[c].data();
    copy[c] = copies[c].data();
  }
  for (size_t i = 0; i < count; ++i) {
    for (int c = 0; c < kChannels; ++c) {
      to[i * step + c] = static_cast<float>(block[c][i] - (subtract[c] ? copy[c][i] : 0.0));
    }
  }
}

}  // namespace

TDDeclick::TDDeclick(const char* name)
    : Block(name, 1, PortKind::Samples, 1, PortKind::Samples),
      rhs(kMaxGapLength, 0.0),
      gapResidual(kMaxGapResidual, 0.0),
      autocorr(kMaxModelOrder + 1, 0.0),
      coeffs(kMaxModelOrder + 1, 0.0),
      toeplitzRow(kMaxGapLength, 0.0),
      solverForward(kMaxGapLength, 0.0),
      solverBackward(kMaxGapLength, 0.0) {
  SetThreshold(4.5f);
}

// The arrays and the ring are released by their own members.
TDDeclick::~TDDeclick() = default;

void TDDeclick::SetThreshold(float value) {
  threshold.store(value >= kMinThreshold ? value : kMinThreshold, std::memory_order_relaxed);
}

float TDDeclick::GetThreshold() const { return threshold.load(std::memory_order_relaxed); }

void TDDeclick::SetBypass(uint32_t on) { bypass.store(on != 0, std::memory_order_relaxed); }

uint32_t TDDeclick::GetBypass() const { return bypass.load(std::memory_order_relaxed) ? 1 : 0; }

void TDDeclick::SetOutputClicks(uint32_t on) {
  outputClicks.store(on != 0, std::memory_order_relaxed);
}

uint32_t TDDeclick::GetOutputClicks() const {
  return outputClicks.load(std::memory_order_relaxed) ? 1 : 0;
}

int32_t TDDeclick::ReadClickLevel() {
  const float peak = peakRatio.exchange(0.0f, std::memory_order_relaxed);
  const float limit = threshold.load(std::memory_order_relaxed);
  const double level = (peak - limit - kMeterOffset) * kMeterScale;
  // Compared before the conversion so that a huge ratio cannot overflow it.
  if (!(level >= 1.0)) return 0;
  if (level >= kMeterMax) return kMeterMax;
  return static_cast<int32_t>(level);
}

void TDDeclick::RaiseMeter(float ratio) {
  float current = peakRatio.load(std::memory_order_relaxed);
  while (ratio > current &&
         !peakRatio.compare_exchange_weak(current, ratio, std::memory_order_relaxed)) {
  }
}

void TDDeclick::Setup() {
  const uint16_t kept = RingChannels();
  const auto length = static_cast<size_t>(blockLength);
  for (uint16_t c = 0; c < kMaxChannels; ++c) {
    if (c < kept) {
      work[c].assign(length, 0.0);
      unrepaired[c].assign(length, 0.0);
    } else {
      work[c].clear();
      work[c].shrink_to_fit();
      unrepaired[c].clear();
      unrepaired[c].shrink_to_fit();
    }
  }
  residual.assign(length, 0.0);
  fill = blockLength;
  needsSetup = false;
  hop = blockLength - 2 * modelOrder - 101;
  // Room for one whole input buffer beside two analysis blocks.
  const uint64_t capacity =
      std::max<uint64_t>(uint64_t{inputFrames} + 2 * static_cast<uint64_t>(blockLength),
                         kMinRingCapacity);
  ring.Resize(kept, static_cast<uint32_t>(capacity));
  // The last N samples read stay, so the reader can step back over the part
  // of a block that was never handed on.
  ring.reader.history = blockLength;
}

void TDDeclick::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  inputFrames = in.frames;
  channels = in.channels;
  clicks.SetRate(in.sampleRate);
  Setup();
  // While the input format is unknown the output stays unknown too.
  StreamFormat& out = Output(0)->format;
  if (out.CopyFrom(&in) == BlockStatus::Ok) out.SetFrames(static_cast<uint32_t>(hop));
}

void TDDeclick::OnReset() {
  needsSetup = true;
  fill = blockLength;
  peakRatio.store(0.0f, std::memory_order_relaxed);
  handedOn = 0;
  clicks.Restart();
  ring.Clear();
}

BlockStatus TDDeclick::Process() {
  if (needsSetup) Setup();
  if (channels == 0) return BlockStatus::SelfMarked;
  TakeInput();
  if (bypass.load(std::memory_order_relaxed)) {
    PassThrough();
  } else {
    Declick();
  }
  return BlockStatus::SelfMarked;
}

bool TDDeclick::IsBusy() {
  // A pass hands on fewer samples (443) than an input buffer usually brings
  // (512 at half of 44.1 kHz). Were the block to run only when a fresh
  // buffer arrives, its ring would fill up to capacity before inputs began
  // to wait, holding back thousands of samples of the stream. So it also
  // runs when what already waits in the ring makes a whole pass.
  OutputPort* out = Output(0);
  if (!Input(0)->IsStale()) return out->IsBusy();
  if (needsSetup || channels == 0) return true;
  const int64_t needed = bypass.load(std::memory_order_relaxed) ? int64_t{out->format.frames} : fill;
  if (needed <= 0 || ring.Readable() < needed) return true;
  return out->IsBusy();
}

void TDDeclick::TakeInput() {
  InputPort* in = Input(0);
  SampleBuffer* buffer = nullptr;
  if (in->IsStale() || in->GetBuffer(&buffer) != BlockStatus::Ok) return;
  const uint32_t frames = in->format.frames;
  if (static_cast<uint64_t>(frames) * channels > buffer->length) return;
  // Whole buffers only: one that does not fit waits on the input.
  if (ring.Writable() < 0 || static_cast<uint32_t>(ring.Writable()) < frames) return;
  ring.WriteFrames(in->ChannelData(0), frames, channels);
  ring.AdvanceWriter(frames);
  in->MarkConsumed(true);
}

void TDDeclick::PassThrough() {
  OutputPort* out = Output(0);
  const uint32_t frames = out->format.frames;
  const uint32_t readable = static_cast<uint32_t>(std::max(ring.Readable(), 0));
  const uint32_t count = std::min(frames, readable);
  if (fill != blockLength) {
    // Declicking ran since the last switch: the samples kept in `work` were
    // read but never handed on, so the reader steps back over them once.
    ring.AdvanceReader(fill - blockLength);
    fill = blockLength;
  }
  float* data = out->ChannelData(0);
  if (count < frames || frames == 0 || data == nullptr) return;
  ring.ReadFrames(data, count, channels, nullptr);
  for (uint16_t c = RingChannels(); c < channels; ++c) ZeroChannel(data, c, channels, count);
  ring.AdvanceReader(count);
  handedOn += count;
  out->MarkReady();
}

void TDDeclick::Declick() {
  OutputPort* out = Output(0);
  float* data = out->ChannelData(0);
  if (data == nullptr || out->format.frames < static_cast<uint32_t>(hop)) return;
  if (ring.Readable() < fill) return;

  const int32_t n = blockLength;
  const int32_t taken = fill;
  const int32_t offset = n - taken;
  const RepairWork repairWork{autocorr.data(),      coeffs.data(),         residual.data(),
                              toeplitzRow.data(),   solverForward.data(),  solverBackward.data(),
                              rhs.data(),           gapResidual.data()};
  RepairGaps gaps[kMaxChannels];
  bool subtract[kMaxChannels] = {};  // "Output Clicks", read once per channel
  for (uint16_t c = 0; c < RingChannels(); ++c) {
    double* block = work[c].data();
    double* arrived = unrepaired[c].data();
    ring.SelectChannel(c);
    const RingRegion region = ring.ReadRegion(static_cast<uint32_t>(taken));
    LoadSamples(region.first, region.firstCount, block + offset, arrived + offset);
    LoadSamples(region.second, region.secondCount, block + offset + region.firstCount,
                arrived + offset + region.firstCount);

    const float limit = threshold.load(std::memory_order_relaxed);
    if (simpleMode) {
      ClipBlock(block, n, limit);
    } else {
      float peak = 0.0f;
      RepairBlock(block, n, modelOrder, maxClicks, limit, maxClickWidth, repairWork, peak, &gaps[c]);
      RaiseMeter(peak);
    }
    subtract[c] = outputClicks.load(std::memory_order_relaxed);
  }
  // Both channels' frames in one pass over the output.
  const auto count = static_cast<size_t>(hop);
  if (RingChannels() == 2 && channels == 2) {
    StoreBlocks<2, 2>(work, unrepaired, subtract, count, data, channels);
  } else {
    for (uint16_t c = 0; c < RingChannels(); ++c) {
      StoreBlocks<1, 0>(work + c, unrepaired + c, subtract + c, count, data + c, channels);
    }
  }
  for (uint16_t c = 0; c < RingChannels(); ++c) {
    // The tail that was not handed on starts the next block.
    std::copy(work[c].begin() + hop, work[c].begin() + n, work[c].begin());
    std::copy(unrepaired[c].begin() + hop, unrepaired[c].begin() + n, unrepaired[c].begin());
  }
  for (uint16_t c = RingChannels(); c < channels; ++c) {
    ZeroChannel(data, c, channels, static_cast<uint32_t>(hop));
  }
  ReportGaps(gaps, RingChannels());
  fill = hop;
  ring.AdvanceReader(taken);
  handedOn += static_cast<uint64_t>(hop);
  out->MarkReady();
}

void TDDeclick::ReportGaps(const RepairGaps* perChannel, uint16_t count) {
  // Stretches of this block, merged where they overlap (the same click found
  // again, or in the other channel); a handful at most.
  int32_t starts[kMaxChannels * RepairGaps::kMax];
  int32_t ends[kMaxChannels * RepairGaps::kMax];
  int32_t merged = 0;
  for (uint16_t c = 0; c < count; ++c) {
    for (int32_t g = 0; g < perChannel[c].count; ++g) {
      int32_t start = perChannel[c].start[g];
      int32_t end = start + perChannel[c].length[g];
      for (int32_t m = 0; m < merged;) {
        if (starts[m] <= end && start <= ends[m]) {
          start = std::min(start, starts[m]);
          end = std::max(end, ends[m]);
          starts[m] = starts[merged - 1];
          ends[m] = ends[merged - 1];
          --merged;
          m = 0;
        } else {
          ++m;
        }
      }
      starts[merged] = start;
      ends[merged] = end;
      ++merged;
    }
  }
  for (int32_t m = 0; m < merged; ++m) {
    clicks.Add({handedOn + static_cast<uint64_t>(starts[m]), static_cast<uint32_t>(ends[m] - starts[m])});
  }
}

}  // namespace veltane
