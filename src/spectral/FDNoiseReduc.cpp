// Spectral hiss reduction: power spectral subtraction with a floor, one frame
// of look-ahead, gain smoothing and the automatic hiss estimate.
#include "spectral/FDNoiseReduc.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "framework/GraphLock.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

constexpr float kOnsetRatio = 4.0f;       // 6 dB louder next frame: an onset
constexpr float kFloorThreshold = 4.0f;   // bins above 4 x noiseFloor keep gain 1
constexpr float kPowerGuard = 1e-9f;      // keeps the gain's division finite
constexpr float kMinStart = 1e9f;         // start of the min search over kept frames

// Automatic estimate.
constexpr float kBandWidthHz = 1000.0f;
constexpr float kSmoothing = 0.95f;                    // a
constexpr float kUpdateWeight = 1.0f - kSmoothing;     // 1 - a in single precision
constexpr float kSteadiness = 0.24f;                   // deviation / mean of a steady band

constexpr double kPowerDbToRatio = 0.2302585092994;      // ln(10) / 10
constexpr double kAmplitudeDbToRatio = 0.1151292546497;  // ln(10) / 20

// Truncated bin index of a band edge, within [0, limit].
uint32_t BandEdge(float position, uint32_t limit) {
  if (!(position > 0.0f)) return 0;
  if (position >= static_cast<float>(limit)) return limit;
  return static_cast<uint32_t>(position);
}

}  // namespace

FDNoiseReduc::FDNoiseReduc(const char* name) : SpectralBlock(name, 1, 1) {
  SetOutputLevel(-25.0f);
  SetInputLevel(-1.5f);
  SetSmoothing(0.2f);
}

void FDNoiseReduc::SetBypass(bool on) {
  GraphLockHolder hold(*this);
  bypass.store(on, kRelaxed);
}

void FDNoiseReduc::SetInputLevel(float db) {
  if (std::isnan(db)) return;
  inputLevelDb.store(db, kRelaxed);
  inputGain.store(static_cast<float>(std::exp(db * kPowerDbToRatio)), kRelaxed);
}

void FDNoiseReduc::SetOutputLevel(float db) {
  if (std::isnan(db)) return;
  outputLevelDb.store(db, kRelaxed);
  floorGain.store(static_cast<float>(std::exp(db * kAmplitudeDbToRatio)), kRelaxed);
}

void FDNoiseReduc::SetSmoothing(float releaseCoefficient) {
  if (std::isnan(releaseCoefficient)) return;
  attack.store(1.0f, kRelaxed);
  // Outside 0 .. 1 the smoothing would overshoot or turn negative.
  release.store(std::clamp(releaseCoefficient, 0.0f, 1.0f), kRelaxed);
}

void FDNoiseReduc::SetAutoLevel(bool on) { autoLevel.store(on, kRelaxed); }

void FDNoiseReduc::OnInputsChanged() {
  const StreamFormat& in = Input(0)->format;
  StreamFormat& out = Output(0)->format;
  out.CopyFrom(&in);
  out.SetHasAux(1);
  channels = in.channels;
  fftSize = in.fftSize;
  halfSize = fftSize / 2;
  sampleRate = in.sampleRate;
  binsPerHz = sampleRate > 0.0f ? static_cast<float>(fftSize) / sampleRate : 0.0f;
  if ((in.changeFlags & 0x0a) == 0 || channels == 0 || fftSize < 2) return;

  ReserveSpectrum(fftSize, channels);
  gain.resize(halfSize);
  for (int32_t s = 0; s < kDepth; ++s) {
    slotSpectra[s].resize(static_cast<size_t>(channels) * fftSize);
    slotPower[s].resize(halfSize);
  }
  ResetFrames();
}

void FDNoiseReduc::ResetFrames() {
  std::fill(gain.begin(), gain.end(), 1.0f);
  for (int32_t s = 0; s < kDepth; ++s) {
    std::fill(slotSpectra[s].begin(), slotSpectra[s].end(), 0.0f);
    std::fill(slotPower[s].begin(), slotPower[s].end(), 0.0f);
  }
  readSlot = 0;
  writeSlot = depth - 1;
}

float FDNoiseReduc::EstimateHiss(const float* powerSpectrum, uint32_t n) {
  // The rate truncated to whole Hz; one that does not compare or is out of
  // range examines nothing.
  const int32_t rate =
      sampleRate >= 0.0f && sampleRate < 1.0e9f ? static_cast<int32_t>(sampleRate) : 0;
  bandCount = std::min(rate / 2000, kMaxBands);
  lowestBand = bandCount;
  if (powerSpectrum == nullptr || n < 2) return autoEstimate;

  const uint32_t bins = n / 2 + 1;
  float total = 0.0f;
  int32_t count = 0;
  // From the top band down, accepting bands as long as their power is steady.
  for (int32_t b = bandCount - 1; b >= kLowestExaminedBand; --b) {
    const uint32_t lo = BandEdge(static_cast<float>(b) * kBandWidthHz * binsPerHz, bins);
    const uint32_t hi = BandEdge(static_cast<float>(b + 1) * kBandWidthHz * binsPerHz, bins);
    float sum = 0.0f;
    for (uint32_t i = lo; i < hi; ++i) sum += powerSpectrum[i];
    // A NaN or infinite frame would poison the statistics for good: treat
    // it as unsteady and leave them as they were.
    if (!std::isfinite(sum)) break;
    bandMean[b] = kSmoothing * bandMean[b] + kUpdateWeight * sum;
    bandDev[b] = kSmoothing * bandDev[b] + kUpdateWeight * std::fabs(bandMean[b] - sum);
    if (bandDev[b] >= kSteadiness * bandMean[b]) break;
    lowestBand = b;
    total += bandMean[b];
    ++count;
  }
  if (count > 0) {
    // A band's bin count is taken as 1000 x binsPerHz, not counted.
    autoEstimate = kUpdateWeight * total / (static_cast<float>(count) * kBandWidthHz * binsPerHz) +
                   kSmoothing * autoEstimate;
  }
  return autoEstimate;
}

float FDNoiseReduc::GetReleaseCoefficient() const {
  const float rising = release.load(kRelaxed);
  if (lowestBand <= 10) return rising;
  const int32_t divisor = bandCount - 13;
  // With 14 to 16 bands the rule below gives r = 1 exactly when lowestBand
  // >= bandCount - 3: at most the top three bands (or none) were steady, too
  // little evidence of hiss to let gains rise slowly. With 12 or 13 bands
  // (divisor -1 or 0) every lowestBand above 10 means at most the top two
  // bands were steady, so they get r = 1 as well: the same rule carried on,
  // and within release .. 1 as the interpolation expects.
  if (divisor == 0 || divisor == -1) return 1.0f;
  // Truncates toward zero; with 11 or fewer bands this gives t = 0.
  const int32_t t = (lowestBand - 10) / divisor;
  const float r = rising + static_cast<float>(t) * (1.0f - rising);
  return std::clamp(r, rising, 1.0f);
}

bool FDNoiseReduc::Ready(const SampleBuffer* in, const SampleBuffer* out) const {
  return channels >= 1 && fftSize >= 2 && fftSize <= powerCapacity && gain.size() == halfSize &&
         slotSpectra[0].size() == static_cast<size_t>(channels) * fftSize &&
         Input(0)->format.fftSize == fftSize && in->channels >= channels &&
         in->length >= fftSize && out->channels >= channels && out->length >= fftSize;
}

void FDNoiseReduc::KeepFrame(const SampleBuffer& in) {
  std::copy_n(power.data(), halfSize, slotPower[writeSlot].data());
  for (uint16_t c = 0; c < channels; ++c) {
    std::copy_n(in.data[c], fftSize, SlotSpectrum(writeSlot, c));
  }
}

void FDNoiseReduc::GiveOutBypassed(SampleBuffer& out) {
  for (uint16_t c = 0; c < channels; ++c) {
    std::copy_n(SlotSpectrum(readSlot, c), fftSize, out.data[c]);
  }
}

void FDNoiseReduc::GiveOutWithGains(SampleBuffer& out, float releaseCoefficient) {
  const float beta = floorGain.load(kRelaxed);
  const float fall = attack.load(kRelaxed);
  const float rise = releaseCoefficient;
  const float floorPower = noiseFloor;
  const float limit = kFloorThreshold * floorPower;
  const float* kept[kDepth];
  for (int32_t s = 0; s < kDepth; ++s) kept[s] = slotPower[s].data();
  const float* current = slotPower[readSlot].data();
  const uint32_t n = fftSize;
  const uint32_t half = halfSize;

  // The gains first, over the bins in order, then applied to every channel.
  // Every value is computed and then selected, without branches: for hiss
  // the choices change from bin to bin at random, and this way the compiler
  // runs several bins at once in vector registers.
  float* gains = gain.data();
  for (uint32_t k = 1; k < half; ++k) {
    // Written so that a NaN power is skipped rather than taken.
    float pMin = kMinStart;
    float pMax = 0.0f;
    for (int32_t s = 0; s < kDepth; ++s) {
      const float p = kept[s][k];
      pMin = p < pMin ? p : pMin;
      pMax = p > pMax ? p : pMax;
    }
    const float reduced = std::sqrt(std::max(beta * pMin, pMin - floorPower) / (pMin + kPowerGuard));
    const float g = pMin <= limit ? std::min(reduced, 1.0f) : 1.0f;
    const bool follow = kOnsetRatio * current[k] <= pMax || g < gains[k];
    const float coefficient = follow ? fall : rise;
    gains[k] = (1.0f - coefficient) * gains[k] + coefficient * g;
  }
  for (uint16_t c = 0; c < channels; ++c) {
    const float* y = SlotSpectrum(readSlot, c);
    float* o = out.data[c];
    o[0] = y[0];
    o[half] = y[half];
    // Real parts rise with k, imaginary parts fall: two straight passes.
    const ptrdiff_t bins = half;
    for (ptrdiff_t k = 1; k < bins; ++k) o[k] = gains[k] * y[k];
    float* oImaginary = o + n;  // oImaginary[-k] is Im of bin k
    const float* yImaginary = y + n;
    for (ptrdiff_t k = 1; k < bins; ++k) oImaginary[-k] = gains[k] * yImaginary[-k];
  }
}

BlockStatus FDNoiseReduc::Process() {
  SampleBuffer* in = nullptr;
  SampleBuffer* out = nullptr;
  if (Input(0)->GetBuffer(&in) != BlockStatus::Ok || Output(0)->GetBuffer(&out) != BlockStatus::Ok ||
      !Ready(in, out) || !SelectSpectrum(in->data.data(), fftSize, channels)) {
    return BlockStatus::NotReady;
  }
  ComputePower(fftSize);

  const float level = inputGain.load(kRelaxed);
  noiseFloor = autoLevel.load(kRelaxed) ? level * EstimateHiss(power.data(), fftSize)
                                        : level * kFixedNoiseReference;
  KeepFrame(*in);
  // A white hiss of RMS r gives r^2 times the Hann window's sum of squares,
  // 3N/8, in every bin.
  const double meanSquare = noiseFloor / (0.375 * fftSize);
  hissLevelDb.store(bypass.load(kRelaxed) ? std::numeric_limits<float>::quiet_NaN()
                    : meanSquare > 0.0    ? static_cast<float>(10.0 * std::log10(meanSquare))
                                          : -std::numeric_limits<float>::infinity(),
                    kRelaxed);
  if (bypass.load(kRelaxed)) {
    GiveOutBypassed(*out);
  } else {
    GiveOutWithGains(*out, GetReleaseCoefficient());
  }
  writeSlot = (writeSlot + 1) % depth;
  readSlot = (readSlot + 1) % depth;
  return BlockStatus::Ok;
}

}  // namespace veltane
