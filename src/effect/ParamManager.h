// The effect object's parameter store: the loaded parameter table, the time
// formats, and per parameter a list of envelope segments with their
// evaluation.
//
// Platform-neutral; the Windows front serves IMediaParamInfo and IMediaParams
// from it. Locks: every operation on segments or on the active set takes the
// manager's own lock and releases it before it calls out, so it is never held
// together with another lock. Operations may allocate (segments, tables).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "effect/EffectParams.h"

namespace veltane {

// A time-format identifier: the 16 bytes of the host's GUID.
struct TimeFormatId {
  std::array<uint8_t, 16> bytes{};
  bool operator==(const TimeFormatId&) const = default;
};

// Envelope-segment flags, with the values of the published MPF_ENVLP_*.
namespace envelope {
inline constexpr uint32_t kBeginCurrentVal = 0x1;  // start from the value the previous segment ended on
inline constexpr uint32_t kBeginNeutralVal = 0x2;  // start from the neutral value
}  // namespace envelope

// One envelope segment; times in 100-ns units.
struct EnvelopeSegment {
  int64_t startTime = 0;
  int64_t endTime = 0;
  float startValue = 0.0f;
  float endValue = 0.0f;
  uint32_t curve = curve::kJump;
  uint32_t flags = 0;
};

class ParamManager {
 public:
  static constexpr uint32_t kMaxParams = 32;

  // Copies the time formats (makes formats[currentIndex] current) and places
  // every row at its own index; rows whose index is not below paramCount are
  // skipped. InvalidArg when currentIndex is not below the format count or
  // paramCount exceeds 32; OutOfMemory when a table cannot be had. Existing
  // segment lists of the first paramCount parameters are kept.
  ParamStatus LoadParams(std::span<const TimeFormatId> formats, uint32_t currentIndex,
                         uint32_t timeData, uint32_t paramCount, std::span<const ParamRow> rows);
  bool IsLoaded() const;

  uint32_t GetParamCount() const;
  // The row at `index`, or null when index is not below the count.
  const ParamRow* GetParamInfo(uint32_t index) const;

  uint32_t GetTimeFormatCount() const;
  // InvalidArg when index is not below the count.
  ParamStatus GetSupportedTimeFormat(uint32_t index, TimeFormatId* format) const;
  TimeFormatId GetCurrentTimeFormat() const;
  uint32_t GetTimeData() const;
  // Only one of the loaded formats is accepted (InvalidArg otherwise).
  // The time data is not kept.
  ParamStatus SetTimeFormat(const TimeFormatId& format);

  // The neutral value while the parameter has no segment, else the end value
  // of its newest segment. InvalidArg for an index not below the count.
  ParamStatus GetParam(uint32_t index, float* value) const;
  // Records a value set directly: the newest segment (created spanning all
  // time if there is none) becomes a jump to `value`.
  ParamStatus RecordParam(uint32_t index, float value);

  // Adds the segments in order, each clamped into the row's range and put in
  // front of the older ones, and marks the parameter active. NotLoaded before
  // LoadParams, then InvalidArg for a bad index; OutOfMemory stops the adding
  // and keeps the segments added so far.
  ParamStatus AddEnvelope(uint32_t index, std::span<const EnvelopeSegment> added);
  // Deletes every segment lying within [start, end]. NotLoaded before
  // LoadParams, then InvalidArg for a bad index or start >= end.
  ParamStatus FlushEnvelope(uint32_t index, int64_t start, int64_t end);

  // The parameter's value at `time` (100-ns units) and whether `time` lies
  // past its newest segment. An index not below the count gives 0.
  float Evaluate(uint32_t index, int64_t time, bool* pastEnd) const;
  // Evaluates every active parameter at `time` and hands each value to
  // `apply` (called without the lock held); a parameter past its newest
  // segment stops being active.
  void UpdateActiveParams(int64_t time, const std::function<void(uint32_t index, float value)>& apply);
  uint32_t GetActiveMask() const;

  // Takes over the source's time formats (its current one made current when
  // this manager knows it), its rows and a copy of every source segment,
  // appended behind this manager's own in the source's order. The active set
  // is not copied. InvalidArg / OutOfMemory as LoadParams.
  ParamStatus CopyParamsFrom(const ParamManager& source);

  // The parameter's segments, newest first (a copy; for inspection).
  std::vector<EnvelopeSegment> GetSegments(uint32_t index) const;

 private:
  float EvaluateLocked(uint32_t index, int64_t time, bool* pastEnd) const;

  mutable std::mutex lock;
  std::vector<TimeFormatId> timeFormats;
  TimeFormatId currentTimeFormat;
  uint32_t timeData = 0;
  uint32_t paramCount = 0;
  bool loaded = false;
  std::vector<ParamRow> paramInfos;
  // Per parameter, oldest first: the newest segment is back().
  std::vector<std::vector<EnvelopeSegment>> segments;
  uint32_t activeMask = 0;
};

}  // namespace veltane
