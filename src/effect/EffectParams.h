// The effect's four parameters: their table, ranges, the "Options" switch
// bits and how a value reaches the processing object.
//
// Plain data and free functions; the Windows front copies the rows into the
// published parameter records and turns ParamStatus into HRESULTs.
#pragma once

#include <array>
#include <cstdint>

namespace veltane {

class NoiseReducFilter;

// Results of the parameter operations.
enum class [[nodiscard]] ParamStatus {
  Ok,
  InvalidArg,   // index, range, time or format out of bounds
  OutOfMemory,  // a list or table could not grow
  NotLoaded,    // the parameter table was never loaded
};

// Parameter kinds, with the values of the published MP_TYPE.
enum class ParamType : uint32_t { Int = 0, Float = 1, Bool = 2, Enum = 3 };

// Curve shapes of envelope segments, with the values of MP_CURVE_TYPE; a
// parameter's capabilities are these bits or-ed together.
namespace curve {
inline constexpr uint32_t kJump = 0x1;
inline constexpr uint32_t kLinear = 0x2;
inline constexpr uint32_t kSquare = 0x4;
inline constexpr uint32_t kInvSquare = 0x8;
inline constexpr uint32_t kSine = 0x10;
inline constexpr uint32_t kAll = kJump | kLinear | kSquare | kInvSquare | kSine;
}  // namespace curve

// One row of a parameter table. Texts are UTF-16 (the host's wide strings)
// and static.
struct ParamRow {
  uint32_t index = 0;
  const char16_t* label = u"";
  ParamType type = ParamType::Float;
  uint32_t caps = 0;
  float minValue = 0.0f;
  float maxValue = 0.0f;
  float neutralValue = 0.0f;
  const char16_t* unitText = u"";
  const char16_t* enumText = u"";  // ',' separates the names of an Enum
};

inline constexpr uint32_t kParamOutputHissLevel = 0;
inline constexpr uint32_t kParamClickThreshold = 1;
inline constexpr uint32_t kParamInputHissLevel = 2;
inline constexpr uint32_t kParamOptions = 3;
inline constexpr uint32_t kEffectParamCount = 4;

// The switches packed into "Options" (value truncated to an integer 0..31).
namespace options {
inline constexpr uint32_t kFullBypass = 1;
inline constexpr uint32_t kBypassDeclick = 2;
inline constexpr uint32_t kBypassDenoise = 4;
inline constexpr uint32_t kOutputClicks = 8;
inline constexpr uint32_t kAutoInputHissLevel = 16;
}  // namespace options

// The effect's table. Its rows stand in the order 1, 0, 2, 3; loading
// places each at its own index. The neutral hiss levels (0.63, 0.33) differ
// slightly from the levels the processing object starts with (0.625, 0.333).
extern const std::array<ParamRow, kEffectParamCount> kEffectParamRows;

// The table row for `index`, or null for an index above 3.
const ParamRow* FindEffectParam(uint32_t index);

// Whether `value` lies in the parameter's range, bounds included. An index
// above 3 has no range and passes.
bool IsInParamRange(uint32_t index, float value);

// Range-checks `value` and applies it to `filter`: the levels and the click
// threshold through their setters, "Options" as its five switches in the
// order full bypass, declick bypass, denoise bypass, output clicks, automatic
// hiss level. InvalidArg (and nothing changed) outside the range; an index
// above 3 applies nothing and is Ok. Takes the filter's lock per call.
ParamStatus ApplyEffectParam(NoiseReducFilter& filter, uint32_t index, float value);

}  // namespace veltane
