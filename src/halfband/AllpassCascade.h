// Cascades of first-order allpass sections: the inner loop of the half-band stages.
//
// One section with coefficient c and states (s0, s1) maps x to y by
//   d = x - s0;  s0 = c * d;  y = s0 + s1;  s1 = d,
// which is (c + z^-1) / (1 + c z^-1). A cascade feeds each section's output into
// the next, in list order. A cascade object copies the coefficients and the
// states of one channel into locals for one run over a buffer (so the compiler
// keeps them in registers) and writes the states back with Save. Header-only
// and allocation-free; callers hold GraphLock for the states they pass.
#pragma once

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "framework/Lanes.h"

namespace veltane {

// Sections a per-channel state array has room for, as (s0, s1) pairs.
constexpr uint16_t kAllpassMaxSections = 10;
constexpr uint16_t kAllpassStateFloats = 2 * kAllpassMaxSections;

// A state that has decayed below this (about -300 dB of full scale) is stored as
// 0. Without it a silent input leaves each section in a limit cycle of a few
// denormal units (c times a tiny value rounds back to the same value), which
// never reaches zero and makes every later operation on it very slow. NaN and
// infinity are stored as 0 as well, so one bad input buffer does not poison
// the filter for good.
constexpr float kAllpassStateFloor = 1e-15f;

inline float ScrubAllpassState(float s) {
  const float magnitude = std::fabs(s);
  return magnitude >= kAllpassStateFloor && magnitude <= FLT_MAX ? s : 0.0f;
}

// Section count fixed at compile time: the loop over sections unrolls and the
// states stay in registers.
template <int N>
class FixedAllpassCascade {
 public:
  FixedAllpassCascade(const float* coefficients, uint16_t /*count*/, float* states)
      : states_(states) {
    for (int i = 0; i < N; ++i) {
      c_[i] = coefficients[i];
      s0_[i] = states[2 * i];
      s1_[i] = states[2 * i + 1];
    }
  }

  float Step(float x) { return StepAll(x, std::make_integer_sequence<int, N>{}); }

  void Save() const {
    for (int i = 0; i < N; ++i) {
      states_[2 * i] = ScrubAllpassState(s0_[i]);
      states_[2 * i + 1] = ScrubAllpassState(s1_[i]);
    }
  }

 private:
  template <int... I>
  float StepAll(float x, std::integer_sequence<int, I...>) {
    ((x = Section<I>(x)), ...);
    return x;
  }

  template <int I>
  float Section(float x) {
    const float d = x - s0_[I];
    s0_[I] = c_[I] * d;
    const float y = s0_[I] + s1_[I];
    s1_[I] = d;
    return y;
  }

  std::array<float, N> c_{};
  std::array<float, N> s0_{};
  std::array<float, N> s1_{};
  float* states_;
};

// Four fixed cascades in the lanes of one vector, for two channels at once:
// lanes (channel 0, even), (channel 1, even), (channel 0, odd), (channel 1,
// odd), the order in which two interleaved stereo frames lie in memory. The
// even lanes run E sections, the odd ones O. Each lane does exactly the
// scalar section's operations; past its own count a lane's input passes
// through unchanged (those sections' states are scratch and never saved).
template <int E, int O>
class StereoAllpassCascade {
 public:
  using Frames = Lanes<float, 4>;
  static constexpr int kSections = E > O ? E : O;

  // states[lane] is the state array of that lane's channel and phase.
  StereoAllpassCascade(const float* evenList, const float* oddList, float* const* states)
      : states_{states[0], states[1], states[2], states[3]} {
    for (int i = 0; i < kSections; ++i) {
      for (int lane = 0; lane < 4; ++lane) {
        const bool even = lane < 2;
        const bool used = i < (even ? E : O);
        c_[i][lane] = used ? (even ? evenList : oddList)[i] : 0.0f;
        s0_[i][lane] = used ? states_[lane][2 * i] : 0.0f;
        s1_[i][lane] = used ? states_[lane][2 * i + 1] : 0.0f;
      }
    }
  }

  Frames Step(Frames x) {
    for (int i = 0; i < kSections; ++i) {
      const Frames d = x - s0_[i];
      s0_[i] = c_[i] * d;
      const Frames y = s0_[i] + s1_[i];
      s1_[i] = d;
      if (i < E && i < O) {
        x = y;
      } else {
        // Only the lanes whose cascade has this section take its output.
        const Lanes<int32_t, 4> used = {i < E, i < E, i < O, i < O};
        x = used != 0 ? y : x;
      }
    }
    return x;
  }

  void Save() const {
    for (int i = 0; i < kSections; ++i) {
      for (int lane = 0; lane < 4; ++lane) {
        if (i >= (lane < 2 ? E : O)) continue;
        states_[lane][2 * i] = ScrubAllpassState(s0_[i][lane]);
        states_[lane][2 * i + 1] = ScrubAllpassState(s1_[i][lane]);
      }
    }
  }

 private:
  Frames c_[kSections]{};
  Frames s0_[kSections]{};
  Frames s1_[kSections]{};
  float* states_[4];
};

// Section count known only at run time (at most kAllpassMaxSections; more are
// ignored so that the state array is never overrun).
class VariableAllpassCascade {
 public:
  VariableAllpassCascade(const float* coefficients, uint16_t count, float* states)
      : count_(count < kAllpassMaxSections ? count : kAllpassMaxSections), states_(states) {
    for (uint16_t i = 0; i < count_; ++i) {
      c_[i] = coefficients[i];
      s0_[i] = states[2 * i];
      s1_[i] = states[2 * i + 1];
    }
  }

  float Step(float x) {
    for (uint16_t i = 0; i < count_; ++i) {
      const float d = x - s0_[i];
      s0_[i] = c_[i] * d;
      x = s0_[i] + s1_[i];
      s1_[i] = d;
    }
    return x;
  }

  void Save() const {
    for (uint16_t i = 0; i < count_; ++i) {
      states_[2 * i] = ScrubAllpassState(s0_[i]);
      states_[2 * i + 1] = ScrubAllpassState(s1_[i]);
    }
  }

 private:
  uint16_t count_;
  std::array<float, kAllpassMaxSections> c_{};
  std::array<float, kAllpassMaxSections> s0_{};
  std::array<float, kAllpassMaxSections> s1_{};
  float* states_;
};

namespace allpass_detail {

// (even, odd) section counts that the designs produce: the two lists of a
// design differ in length by at most one.
constexpr std::pair<int, int> kFixedShapes[] = {{1, 2}, {2, 1}, {2, 2}, {2, 3}, {3, 2}, {3, 3},
                                                {3, 4}, {4, 3}, {4, 4}, {4, 5}, {5, 4}, {5, 5}};

template <template <class, class> class Kernel, size_t... I, class... Args>
void Dispatch(std::index_sequence<I...>, uint16_t evenCount, uint16_t oddCount, Args&... args) {
  const bool done = ((evenCount == kFixedShapes[I].first && oddCount == kFixedShapes[I].second &&
                      (Kernel<FixedAllpassCascade<kFixedShapes[I].first>,
                              FixedAllpassCascade<kFixedShapes[I].second>>::Run(args...),
                       true)) ||
                     ...);
  if (!done) Kernel<VariableAllpassCascade, VariableAllpassCascade>::Run(args...);
}

}  // namespace allpass_detail

// The section count of a fixed cascade type, 0 for the variable one.
template <class Cascade>
struct FixedSections {
  static constexpr int kCount = 0;
};
template <int N>
struct FixedSections<FixedAllpassCascade<N>> {
  static constexpr int kCount = N;
};

// Calls Kernel<EvenCascade, OddCascade>::Run(args...) with cascade types that
// fit the two section counts: fixed-size for every pair a design can give,
// variable-size otherwise.
template <template <class, class> class Kernel, class... Args>
void RunAllpassKernel(uint16_t evenCount, uint16_t oddCount, Args... args) {
  allpass_detail::Dispatch<Kernel>(
      std::make_index_sequence<std::size(allpass_detail::kFixedShapes)>{}, evenCount, oddCount,
      args...);
}

}  // namespace veltane
