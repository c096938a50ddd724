// Modern hiss removal: STFT on the float transform, minimum-statistics tracking, log-spectral amplitude gain.
#include "spectral/HissRemover.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "framework/GraphLock.h"
#include "framework/KernelLevel.h"
#include "framework/Lanes.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kDeepestFloorDb = -200.0f / 3.0f;  // "Output Hiss Level" 0; 0.625 gives -25 dB
// The offset's low-pass: cut-off 0.3 Hz, below any music and any hiss (time
// constants of 10 and 50 ms lost 0.12 and 0.02 dB on pink hiss at 30 dB SNR).
constexpr double kOffsetSeconds = 0.5;

// The per-frame loops over bins and samples, each built for every kernel
// level (the compiler vectorises them; the same operations per element).

// power[k] += |X0[k]|^2 + |X1[k]|^2 = (|Z[k]|^2 + |Z[n-k]|^2) / 2 for the two
// channels packed in Z, k = 1 .. n/2.
struct PairPowerKernel {
  template <class Isa>
  static void Run(const float* zr, const float* zi, size_t n, float* __restrict power) {
    for (size_t k = 1; k <= n / 2; ++k) {
      power[k] += 0.5f * (zr[k] * zr[k] + zi[k] * zi[k] + zr[n - k] * zr[n - k] + zi[n - k] * zi[n - k]);
    }
  }
};

// Z[k] and Z[n-k] times gains[k], k = 0 .. n/2: a real gain on both is that
// gain on both channels.
struct ApplyGainsKernel {
  template <class Isa>
  static void Run(float* zr, float* zi, size_t n, const float* gains) {
    for (size_t k = 0; k <= n / 2; ++k) {
      zr[k] *= gains[k];
      zi[k] *= gains[k];
    }
    for (size_t k = 1; k < n / 2; ++k) {
      zr[n - k] *= gains[k];
      zi[n - k] *= gains[k];
    }
  }
};

// x[i] -= y[i].
struct SubtractKernel {
  template <class Isa>
  static void Run(float* __restrict x, const float* __restrict y, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) x[i] -= y[i];
  }
};

// A stereo hop rebuilt: out[2i + c] = acc_c[i] norm[i] + offset_c[i], the
// offset rejoining what the overlap-add rebuilt.
struct RejoinPairKernel {
  template <class Isa>
  static void Run(float* __restrict out, const float* __restrict acc0, const float* __restrict acc1,
                  const float* __restrict norm, const float* __restrict offset0, const float* __restrict offset1,
                  uint32_t hop) {
    for (uint32_t i = 0; i < hop; ++i) {
      out[2 * size_t{i}] = acc0[i] * norm[i] + offset0[i];
      out[2 * size_t{i} + 1] = acc1[i] * norm[i] + offset1[i];
    }
  }
};

// acc[i] += w[i] x[i].
struct OverlapAddKernel {
  template <class Isa>
  static void Run(float* acc, const float* w, const float* x, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) acc[i] += w[i] * x[i];
  }
};

}  // namespace

HissRemover::HissRemover(const char* name) : Block(name, 1, PortKind::Samples, 1, PortKind::Samples) {
  GraphLockHolder hold(*this);
  ring.Resize(1, 0);
  SetOutputLevel(0.625f);
  SetInputLevel(0.333f);
}

uint32_t HissRemover::FftSizeFor(float rate) {
  if (!(rate > 0.0f)) return uint32_t{1} << kMinOrder;
  const long order = std::lround(std::log2(kFrameSeconds * rate));
  return uint32_t{1} << std::clamp<long>(order, kMinOrder, kMaxOrder);
}

float HissRemover::GainFloorFor(float outputLevel) {
  const float v = std::clamp(outputLevel, 0.0f, 1.0f);
  return v >= 1.0f ? 1.0f : std::pow(10.0f, kDeepestFloorDb * (1.0f - v) / 20.0f);
}

float HissRemover::HissDbfsFor(float inputLevel) { return -90.0f + 60.0f * std::clamp(inputLevel, 0.0f, 1.0f); }

void HissRemover::SetOutputLevel(float level) {
  if (std::isnan(level)) return;
  gainFloor.store(GainFloorFor(level), std::memory_order_relaxed);
}

void HissRemover::SetInputLevel(float level) {
  if (std::isnan(level)) return;
  hissDbfs.store(HissDbfsFor(level), std::memory_order_relaxed);
}

void HissRemover::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  StreamFormat& out = Output(0)->format;
  channels = in.channels;
  inputFrames = in.frames;
  sampleRate = in.sampleRate;
  configured_ = false;
  if (out.CopyFrom(&in) != BlockStatus::Ok || channels == 0 || inputFrames == 0) return;
  fftSize = FftSizeFor(sampleRate);
  hopSize = fftSize / kHopsPerFrame;
  out.SetFrames(hopSize);

  const uint32_t n = fftSize, bins = n / 2 + 1;
  fft.Setup(n);
  tracker.Setup(n, hopSize, sampleRate, channels);
  lsa.Setup(bins, static_cast<double>(hopSize) / sampleRate);
  window_.resize(n);
  for (uint32_t i = 0; i < n; ++i) window_[i] = static_cast<float>(std::sin(kPi * i / n));
  // Sum of the squared windows over the frames overlapping each position of
  // a hop (2 for a Hann at 75 % overlap), with the inverse transform's 1/N.
  norm_.assign(hopSize, 0.0f);
  for (uint32_t i = 0; i < hopSize; ++i) {
    double sum = 0.0;
    for (uint32_t start = 0; start < n; start += hopSize) sum += double{window_[start + i]} * window_[start + i];
    norm_[i] = static_cast<float>(1.0 / (n * sum));
  }
  const size_t pairs = (channels + 1) / 2;
  spectra_.assign(pairs * 2 * n, 0.0f);
  frame_.assign(2 * size_t{n}, 0.0f);
  work_.assign(2 * size_t{n}, 0.0f);
  power_.assign(bins, 0.0f);
  gains_.assign(bins, 1.0f);
  flatHiss_.assign(bins, 0.0f);
  flatDbfs_ = 1.0f;
  overlap_.assign(size_t{channels} * n, 0.0f);
  // Room for a whole input buffer beside a whole frame.
  ring.Resize(channels, n + inputFrames);
  offsets_.Resize(channels, n + inputFrames);
  offsetState_.assign(channels, 0.0);
  offsetScratch_.assign(2 * size_t{std::max(inputFrames, n)}, 0.0f);
  offsetWeight_ = 1.0 - std::exp(-1.0 / (kOffsetSeconds * sampleRate));
  configured_ = true;
  Restart();
}

void HissRemover::OnReset() {
  GraphLockHolder hold(*this);
  if (configured_) Restart();
}

void HissRemover::Restart() {
  ring.Clear();
  // The cleared ring is the zero pre-roll: the first frame ends with the
  // first H input samples.
  ring.AdvanceWriter(static_cast<int64_t>(fftSize - hopSize));
  offsets_.Clear();
  offsets_.AdvanceWriter(static_cast<int64_t>(fftSize - hopSize));
  std::fill(offsetState_.begin(), offsetState_.end(), 0.0);
  std::fill(overlap_.begin(), overlap_.end(), 0.0f);
  tracker.Reset();
  lsa.Reset();
  frameIndex_ = 0;
  hissLevelDb.store(std::numeric_limits<float>::quiet_NaN(), std::memory_order_relaxed);
  warmup_ = 0;
  wasBypassed_ = false;
}

bool HissRemover::IsBusy() {
  OutputPort* out = Output(0);
  if (!Input(0)->IsStale()) return out->IsBusy();
  if (!configured_ || ring.Readable() < static_cast<int32_t>(fftSize)) return true;
  return out->IsBusy();
}

BlockStatus HissRemover::Process() {
  if (!configured_) return BlockStatus::SelfMarked;
  InputPort* in = Input(0);
  SampleBuffer* buffer = nullptr;
  // Whole buffers only: one that does not fit waits on the input.
  if (!in->IsStale() && in->GetBuffer(&buffer) == BlockStatus::Ok && in->format.channels == channels &&
      in->format.frames == inputFrames && size_t{inputFrames} * channels <= buffer->length &&
      ring.Writable() >= static_cast<int32_t>(inputFrames)) {
    for (uint16_t c = 0; c < channels; ++c) {
      ring.SelectChannel(c);
      ring.Write(buffer->data[0] + c, inputFrames, channels, nullptr);
    }
    TrackOffsets(buffer->data[0]);
    ring.AdvanceWriter(inputFrames);
    offsets_.AdvanceWriter(inputFrames);
    in->MarkConsumed(true);
  }

  OutputPort* out = Output(0);
  float* data = out->ChannelData(0);
  if (data == nullptr || ring.Readable() < static_cast<int32_t>(fftSize) || out->format.frames != hopSize) {
    return BlockStatus::SelfMarked;
  }
  if (bypass.load(std::memory_order_relaxed)) {
    wasBypassed_ = true;
    hissLevelDb.store(std::numeric_limits<float>::quiet_NaN(), std::memory_order_relaxed);
    GiveOut(data, true);
  } else {
    if (wasBypassed_) {
      // The accumulator missed the frames of the bypass: it refills over
      // N/H - 1 hops, given out raw meanwhile.
      std::fill(overlap_.begin(), overlap_.end(), 0.0f);
      warmup_ = kHopsPerFrame - 1;
      wasBypassed_ = false;
    }
    AnalyseFrame();
    SynthesiseFrame(gainFloor.load(std::memory_order_relaxed));
    GiveOut(data, warmup_ > 0);
    if (warmup_ > 0) --warmup_;
  }
  ring.AdvanceReader(hopSize);
  offsets_.AdvanceReader(hopSize);
  ++frameIndex_;
  out->MarkReady();
  return BlockStatus::SelfMarked;
}

void HissRemover::AnalyseFrame() {
  const uint32_t n = fftSize, bins = n / 2 + 1;
  float* re = frame_.data();
  float* im = re + n;
  std::fill(power_.begin(), power_.end(), 0.0f);
  float* power = power_.data();
  for (uint16_t c = 0; c < channels; c += 2) {
    ring.SelectChannel(c);
    ring.Read(re, n, 1, window_.data());
    SubtractOffset(c, re);
    if (c + 1 < channels) {
      ring.SelectChannel(static_cast<uint16_t>(c + 1));
      ring.Read(im, n, 1, window_.data());
      SubtractOffset(static_cast<uint16_t>(c + 1), im);
    } else {
      std::fill(im, im + n, 0.0f);
    }
    float* zr = spectra_.data() + size_t{c} * n;
    float* zi = zr + n;
    fft.Forward(re, im, zr, zi, work_.data(), work_.data() + n);
    power[0] += zr[0] * zr[0] + zi[0] * zi[0];
    DispatchKernel<PairPowerKernel>(zr, zi, size_t{n}, power);
  }
  const float mean = 1.0f / channels;
  for (uint32_t k = 0; k < bins; ++k) power[k] *= mean;
  // Frames reaching back into the pre-roll would show the tracker silence
  // that is not in the stream.
  if (frameIndex_ + 1 >= kHopsPerFrame) tracker.Update(power);
}

void HissRemover::TrackOffsets(const float* input) {
  const uint32_t frames = inputFrames;
  const size_t stride = channels;
  const double weight = offsetWeight_;
  float* first = offsetScratch_.data();
  float* second = first + offsetScratch_.size() / 2;
  for (uint16_t c = 0; c < channels; c += 2) {
    const float* x = input + c;
    if (c + 1 < channels) {
      // A pair's two recursions side by side in the lanes of one vector.
      Lanes<double, 2> m{offsetState_[c], offsetState_[c + 1u]};
      for (uint32_t i = 0; i < frames; ++i) {
        const Lanes<double, 2> in{x[i * stride], x[i * stride + 1]};
        m += weight * (in - m);
        first[i] = static_cast<float>(m[0]);
        second[i] = static_cast<float>(m[1]);
      }
      offsetState_[c] = m[0];
      offsetState_[c + 1u] = m[1];
    } else {
      double m = offsetState_[c];
      for (uint32_t i = 0; i < frames; ++i) {
        m += weight * (x[i * stride] - m);
        first[i] = static_cast<float>(m);
      }
      offsetState_[c] = m;
    }
    offsets_.SelectChannel(c);
    offsets_.Write(first, frames, 1, nullptr);
    if (c + 1 < channels) {
      offsets_.SelectChannel(static_cast<uint16_t>(c + 1));
      offsets_.Write(second, frames, 1, nullptr);
    }
  }
}

void HissRemover::SubtractOffset(uint16_t c, float* windowed) {
  const uint32_t n = fftSize;
  offsets_.SelectChannel(c);
  offsets_.Read(offsetScratch_.data(), n, 1, window_.data());
  DispatchKernel<SubtractKernel>(windowed, static_cast<const float*>(offsetScratch_.data()), n);
}

void HissRemover::FillFlatHiss(float dbfs) {
  // White hiss of RMS r per channel has E|X[k]|^2 = r^2 sum w^2 = r^2 N / 2.
  const float level = std::pow(10.0f, 0.1f * dbfs) * 0.5f * static_cast<float>(fftSize);
  std::fill(flatHiss_.begin(), flatHiss_.end(), level);
  flatDbfs_ = dbfs;
}

void HissRemover::SynthesiseFrame(float floor) {
  const uint32_t n = fftSize;
  const float* hiss = tracker.Estimate();
  if (!autoLevel.load(std::memory_order_relaxed)) {
    const float dbfs = hissDbfs.load(std::memory_order_relaxed);
    if (dbfs != flatDbfs_) FillFlatHiss(dbfs);
    hiss = flatHiss_.data();
  }
  // Parseval with the window's sum of squares (N/2): RMS^2 = 2/N^2 (P[0] +
  // 2 sum P[1 .. N/2-1] + P[N/2]). Every fourth frame is often enough.
  if (frameIndex_ % kHopsPerFrame == 0) {
    double total = double{hiss[0]} + hiss[n / 2];
    for (uint32_t k = 1; k < n / 2; ++k) total += 2.0 * hiss[k];
    const double meanSquare = 2.0 * total / (double{1.0 * n} * n);
    hissLevelDb.store(meanSquare > 0.0 ? static_cast<float>(10.0 * std::log10(meanSquare))
                                       : -std::numeric_limits<float>::infinity(),
                      std::memory_order_relaxed);
  }
  float* gains = gains_.data();
  lsa.Compute(power_.data(), hiss, floor, gains);

  float* re = frame_.data();
  float* im = re + n;
  const float* w = window_.data();
  for (uint16_t c = 0; c < channels; c += 2) {
    float* zr = spectra_.data() + size_t{c} * n;
    float* zi = zr + n;
    DispatchKernel<ApplyGainsKernel>(zr, zi, size_t{n}, gains);
    fft.Inverse(zr, zi, re, im, work_.data(), work_.data() + n);
    float* first = overlap_.data() + size_t{c} * n;
    DispatchKernel<OverlapAddKernel>(first, w, re, n);
    if (c + 1 < channels) DispatchKernel<OverlapAddKernel>(first + n, w, im, n);
  }
}

void HissRemover::GiveOut(float* out, bool raw) {
  const uint32_t n = fftSize, hop = hopSize;
  float* first = offsetScratch_.data();
  float* second = first + offsetScratch_.size() / 2;
  if (!raw && channels == 2) {
    // Stereo, the common case: both channels interleaved in one pass.
    offsets_.SelectChannel(0);
    offsets_.Read(first, hop, 1, nullptr);
    offsets_.SelectChannel(1);
    offsets_.Read(second, hop, 1, nullptr);
    DispatchKernel<RejoinPairKernel>(out, static_cast<const float*>(overlap_.data()),
                                     static_cast<const float*>(overlap_.data() + n),
                                     static_cast<const float*>(norm_.data()), static_cast<const float*>(first),
                                     static_cast<const float*>(second), hop);
  }
  for (uint16_t c = 0; c < channels; ++c) {
    float* acc = overlap_.data() + size_t{c} * n;
    if (raw) {
      // The oldest hop of the frame is the input delayed by N - H.
      ring.SelectChannel(c);
      ring.Read(out + c, hop, channels, nullptr);
    } else if (channels != 2) {
      // The offset of the hop rejoins what the overlap-add rebuilt.
      offsets_.SelectChannel(c);
      offsets_.Read(first, hop, 1, nullptr);
      for (uint32_t i = 0; i < hop; ++i) out[size_t{i} * channels + c] = acc[i] * norm_[i] + first[i];
    }
    // The accumulator moves on by one hop; later frames add onto zeros.
    std::copy(acc + hop, acc + n, acc);
    std::fill(acc + (n - hop), acc + n, 0.0f);
  }
}

}  // namespace veltane
