// Where the hiss remover loses on one recording whose clean original is known:
// the tracker's estimate against the true hiss, and the remaining error split
// into hiss left in and signal taken out, with the gain fed what a real
// recording would not tell it (the true hiss spectrum, the true per-frame
// a-priori SNR, or the ideal Wiener mask) to bound what each stage could win.
//
//   hiss_oracle DEGRADED.wav CLEAN.wav [--hiss=tracker|true] [--gain=lsa|true-xi|ideal] [OUT.wav]
//
// The hiss is DEGRADED - CLEAN (the evaluation kit writes both at the same
// length and rate). The framing is the block's (HissRemover's transform size,
// hop N/4, square-root Hann, the mean power over channels driving one shared
// gain per bin) without its offset path, so its output scores within a few
// hundredths of a dB of the tool's. OUT.wav (32-bit float) is for the kit's
// score.py. The error split adds energies per bin and frame (it leaves out the
// overlap-add's cross terms): the "SNR gain" it prints is an estimate, the
// kit's score is the measure.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "spectral/FloatFft.h"
#include "spectral/HissRemover.h"
#include "spectral/HissTracker.h"
#include "spectral/LsaGain.h"

namespace veltane {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSettleSeconds = 1.0;  // frames before this are left out of the statistics

struct Audio {
  std::vector<float> samples;  // interleaved
  int channels = 0;
  int rate = 0;
  size_t frames = 0;
};

bool Read(const char* path, Audio& audio) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "hiss_oracle: cannot read %s: %s\n", path, sf_strerror(nullptr));
    return false;
  }
  audio.channels = info.channels;
  audio.rate = info.samplerate;
  audio.frames = static_cast<size_t>(info.frames);
  audio.samples.assign(audio.frames * audio.channels, 0.0f);
  const bool whole = sf_readf_float(file, audio.samples.data(), info.frames) == info.frames;
  sf_close(file);
  if (!whole) std::fprintf(stderr, "hiss_oracle: %s is shorter than its header says\n", path);
  return whole;
}

bool Write(const char* path, const Audio& audio) {
  SF_INFO info{};
  info.channels = audio.channels;
  info.samplerate = audio.rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path, SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "hiss_oracle: cannot write %s: %s\n", path, sf_strerror(nullptr));
    return false;
  }
  const bool whole = sf_writef_float(file, audio.samples.data(), static_cast<sf_count_t>(audio.frames)) ==
                     static_cast<sf_count_t>(audio.frames);
  sf_close(file);
  return whole;
}

// One frame's spectra per channel and their mean power, for a signal.
class Spectra {
 public:
  Spectra(uint32_t n, int channels) : n_(n), re_(channels, std::vector<float>(n)), im_(re_) {
    fft_.Setup(n);
    window_.resize(n);
    for (uint32_t i = 0; i < n; ++i) window_[i] = static_cast<float>(std::sin(kPi * i / n));
    in_.resize(n);
    spare_.resize(n);
    zero_.assign(n, 0.0f);
    work_.resize(2 * size_t{n});
    power.resize(n / 2 + 1);
  }
  // The frame of `audio` starting at `start` (zeros outside it).
  void Take(const Audio& audio, long long start) {
    std::fill(power.begin(), power.end(), 0.0f);
    for (int c = 0; c < audio.channels; ++c) {
      for (uint32_t i = 0; i < n_; ++i) {
        const long long j = start + i;
        in_[i] = j >= 0 && j < static_cast<long long>(audio.frames)
                     ? audio.samples[static_cast<size_t>(j) * audio.channels + c] * window_[i]
                     : 0.0f;
      }
      fft_.Forward(in_.data(), zero_.data(), re_[c].data(), im_[c].data(), work_.data(), work_.data() + n_);
      for (uint32_t k = 0; k <= n_ / 2; ++k) power[k] += (re_[c][k] * re_[c][k] + im_[c][k] * im_[c][k]) / audio.channels;
    }
  }
  // Channel c's spectrum times gains[k] (mirrored above n/2), windowed and overlap-added into `out` at `start`.
  void AddBack(int c, const float* gains, long long start, Audio& out) {
    for (uint32_t k = 0; k < n_; ++k) {
      const float g = gains[k <= n_ / 2 ? k : n_ - k];
      re_[c][k] *= g;
      im_[c][k] *= g;
    }
    fft_.Inverse(re_[c].data(), im_[c].data(), in_.data(), spare_.data(), work_.data(), work_.data() + n_);
    // The squared windows of four overlapping frames sum to 2; the inverse leaves a factor n.
    const float scale = 1.0f / (2.0f * n_);
    for (uint32_t i = 0; i < n_; ++i) {
      const long long j = start + i;
      if (j >= 0 && j < static_cast<long long>(out.frames)) {
        out.samples[static_cast<size_t>(j) * out.channels + c] += in_[i] * window_[i] * scale;
      }
    }
  }
  const std::vector<float>& Re(int c) const { return re_[c]; }
  const std::vector<float>& Im(int c) const { return im_[c]; }

  std::vector<float> power;  // mean over channels of |X_c[k]|^2, k = 0 .. n/2

 private:
  uint32_t n_;
  FloatFft fft_;
  std::vector<float> window_, in_, spare_, zero_, work_;
  std::vector<std::vector<float>> re_, im_;
};

int Usage() {
  std::fprintf(stderr,
               "usage: hiss_oracle DEGRADED.wav CLEAN.wav [--hiss=tracker|true] [--gain=lsa|true-xi|ideal] [OUT.wav]\n");
  return 2;
}

int Run(int argc, char** argv) {
  std::vector<std::string> files;
  std::string hissMode = "tracker", gainMode = "lsa";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--hiss=", 0) == 0) {
      hissMode = arg.substr(7);
    } else if (arg.rfind("--gain=", 0) == 0) {
      gainMode = arg.substr(7);
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() < 2 || files.size() > 3 || (hissMode != "tracker" && hissMode != "true") ||
      (gainMode != "lsa" && gainMode != "true-xi" && gainMode != "ideal")) {
    return Usage();
  }
  Audio degraded, clean;
  if (!Read(files[0].c_str(), degraded) || !Read(files[1].c_str(), clean)) return 1;
  if (degraded.channels != clean.channels || degraded.rate != clean.rate || degraded.frames != clean.frames) {
    std::fprintf(stderr, "hiss_oracle: the two files differ in channels, rate or length\n");
    return 1;
  }
  Audio hiss = degraded;
  for (size_t i = 0; i < hiss.samples.size(); ++i) hiss.samples[i] -= clean.samples[i];

  const uint32_t n = HissRemover::FftSizeFor(static_cast<float>(degraded.rate)), hop = n / 4, bins = n / 2 + 1;
  const float floor = HissRemover::GainFloorFor(0.625f);  // the default "Output Hiss Level"
  Spectra input(n, degraded.channels), truthClean(n, degraded.channels), truthHiss(n, degraded.channels);

  // The true hiss's long-term power per bin.
  std::vector<double> hissMean(bins, 0.0);
  size_t count = 0;
  for (long long start = 0; start + n <= static_cast<long long>(hiss.frames); start += hop, ++count) {
    truthHiss.Take(hiss, start);
    for (uint32_t k = 0; k < bins; ++k) hissMean[k] += truthHiss.power[k];
  }
  if (count == 0) {
    std::fprintf(stderr, "hiss_oracle: shorter than one frame\n");
    return 1;
  }
  std::vector<float> hissTrue(bins);
  for (uint32_t k = 0; k < bins; ++k) hissTrue[k] = static_cast<float>(hissMean[k] / count);

  HissTracker tracker;
  tracker.Setup(n, hop, static_cast<float>(degraded.rate), static_cast<uint16_t>(degraded.channels));
  LsaGain lsa;
  lsa.Setup(bins, static_cast<double>(hop) / degraded.rate);
  Audio out = degraded;
  std::fill(out.samples.begin(), out.samples.end(), 0.0f);
  std::vector<float> gains(bins);
  // Per bin, over the settled frames: the estimate's error in dB, the hiss left
  // in, the signal taken out, and the hiss and clean power.
  std::vector<double> errorDb(bins, 0.0), left(bins, 0.0), taken(bins, 0.0), hissIn(bins, 0.0), cleanIn(bins, 0.0);
  size_t settled = 0;
  const size_t settleFrames = static_cast<size_t>(kSettleSeconds * degraded.rate);
  // As in the block: the first frame ends with the first hop, the frames
  // reaching back before the stream are given out but not tracked.
  for (long long start = -static_cast<long long>(n - hop); start < static_cast<long long>(degraded.frames);
       start += hop) {
    input.Take(degraded, start);
    truthClean.Take(clean, start);
    truthHiss.Take(hiss, start);
    if (start >= 0) tracker.Update(input.power.data());
    const float* level = hissMode == "true" ? hissTrue.data() : tracker.Estimate();
    lsa.Compute(input.power.data(), level, floor, gains.data());
    for (uint32_t k = 0; k < bins; ++k) {
      const float c = truthClean.power[k], h = truthHiss.power[k];
      if (gainMode == "ideal") {
        gains[k] = std::max(floor, c / std::max(c + h, 1e-30f));
      } else if (gainMode == "true-xi") {
        // The gain rule's own function at the true a-priori SNR of this frame.
        const float l = std::max(level[k], 1e-20f);
        const float xi = std::max(c / l, LsaGain::kXiMin), gamma = input.power[k] / l, s = xi / (1 + xi);
        gains[k] = std::clamp(s * LsaGain::ExpHalfE1(s * gamma), floor, 1.0f);
      }
    }
    if (start >= static_cast<long long>(settleFrames) && start + n <= static_cast<long long>(degraded.frames)) {
      ++settled;
      for (uint32_t k = 0; k < bins; ++k) {
        errorDb[k] += 10.0 * std::log10(std::max(tracker.Estimate()[k], 1e-30f) / std::max(hissTrue[k], 1e-30f));
        const double g = gains[k];
        for (int c = 0; c < degraded.channels; ++c) {
          const double cr = truthClean.Re(c)[k], ci = truthClean.Im(c)[k];
          const double hr = truthHiss.Re(c)[k], hi = truthHiss.Im(c)[k];
          left[k] += g * g * (hr * hr + hi * hi);
          taken[k] += (1 - g) * (1 - g) * (cr * cr + ci * ci);
          hissIn[k] += hr * hr + hi * hi;
          cleanIn[k] += cr * cr + ci * ci;
        }
      }
    }
    for (int c = 0; c < degraded.channels; ++c) input.AddBack(c, gains.data(), start, out);
  }
  // The output lines up with the input: the block's N - H delay is left out.
  if (files.size() == 3 && !Write(files[2].c_str(), out)) return 1;
  if (settled == 0) {
    std::fprintf(stderr, "hiss_oracle: shorter than %.0f s: no statistics\n", kSettleSeconds);
    return 0;
  }

  double totalHiss = 0.0, totalLeft = 0.0, totalTaken = 0.0;
  for (uint32_t k = 0; k < bins; ++k) {
    totalHiss += hissIn[k];
    totalLeft += left[k];
    totalTaken += taken[k];
  }
  if (!(totalHiss > 0.0)) {
    std::fprintf(stderr, "hiss_oracle: the two files are the same: no hiss to measure\n");
    return 1;
  }
  std::printf("%u-point frames, hop %u, %zu settled frames; hiss --%s, gain --%s; tracker slope %.2f dB/octave\n", n,
              hop, settled, hissMode.c_str(), gainMode.c_str(), tracker.SlopeDb());
  std::printf("%9s %9s %10s %11s %8s %8s %8s\n", "Hz", "estimate", "hiss dB", "clean/hiss", "hiss %", "left %",
              "taken %");
  // Half-octave groups of bins, at least two bins each, from bin 0.
  for (uint32_t lo = 0; lo < bins;) {
    const uint32_t hi = std::min(bins, std::max(lo + 2, static_cast<uint32_t>(lo * 1.4142)));
    double e = 0.0, h = 0.0, c = 0.0, l = 0.0, t = 0.0;
    for (uint32_t k = lo; k < hi; ++k) {
      e += errorDb[k] / settled;
      h += hissIn[k];
      c += cleanIn[k];
      l += left[k];
      t += taken[k];
    }
    std::printf("%9.0f %+8.2f %10.1f %+11.1f %8.1f %8.1f %8.1f\n", 0.5 * (lo + hi - 1) * degraded.rate / n,
                e / (hi - lo), 10.0 * std::log10(std::max(h / (hi - lo) / settled, 1e-30)),
                10.0 * std::log10(std::max(c, 1e-30) / std::max(h, 1e-30)), 100.0 * h / totalHiss,
                100.0 * l / totalHiss, 100.0 * t / totalHiss);
    lo = hi;
  }
  std::printf("hiss left %.1f %%, signal taken %.1f %% (of the hiss): SNR gain about %+.2f dB\n",
              100.0 * totalLeft / totalHiss, 100.0 * totalTaken / totalHiss,
              -10.0 * std::log10((totalLeft + totalTaken) / totalHiss));
  return 0;
}

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) { return veltane::Run(argc, argv); }
