// Parameter table, time formats and envelope segments of the effect object.
#include "effect/ParamManager.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace veltane {
namespace {

// Shapes x in [0, 1] by the segment's curve; linear for anything unknown.
double Shape(uint32_t curveBits, double x) {
  switch (curveBits) {
    case curve::kSquare:
      return x * x;
    case curve::kInvSquare:
      return std::sqrt(x);
    case curve::kSine:
      return (std::sin(x * 3.1415926535 - 1.57079632675) + 1.0) * 0.5;
    default:
      return x;
  }
}

}  // namespace

ParamStatus ParamManager::LoadParams(std::span<const TimeFormatId> formats, uint32_t currentIndex,
                                     uint32_t newTimeData, uint32_t newParamCount,
                                     std::span<const ParamRow> rows) {
  if (currentIndex >= formats.size() || newParamCount > kMaxParams) return ParamStatus::InvalidArg;
  try {
    std::vector<TimeFormatId> newFormats(formats.begin(), formats.end());
    std::vector<ParamRow> newInfos(newParamCount);
    for (const ParamRow& row : rows) {
      if (row.index < newParamCount) newInfos[row.index] = row;
    }
    std::lock_guard guard(lock);
    segments.resize(newParamCount);
    timeFormats = std::move(newFormats);
    currentTimeFormat = timeFormats[currentIndex];
    timeData = newTimeData;
    paramInfos = std::move(newInfos);
    paramCount = newParamCount;
    activeMask &= newParamCount >= 32 ? ~0u : (1u << newParamCount) - 1;
    loaded = true;
  } catch (const std::bad_alloc&) {
    return ParamStatus::OutOfMemory;
  }
  return ParamStatus::Ok;
}

bool ParamManager::IsLoaded() const {
  std::lock_guard guard(lock);
  return loaded;
}

uint32_t ParamManager::GetParamCount() const {
  std::lock_guard guard(lock);
  return paramCount;
}

const ParamRow* ParamManager::GetParamInfo(uint32_t index) const {
  std::lock_guard guard(lock);
  return index < paramCount ? &paramInfos[index] : nullptr;
}

uint32_t ParamManager::GetTimeFormatCount() const {
  std::lock_guard guard(lock);
  return static_cast<uint32_t>(timeFormats.size());
}

ParamStatus ParamManager::GetSupportedTimeFormat(uint32_t index, TimeFormatId* format) const {
  std::lock_guard guard(lock);
  if (index >= timeFormats.size()) return ParamStatus::InvalidArg;
  *format = timeFormats[index];
  return ParamStatus::Ok;
}

TimeFormatId ParamManager::GetCurrentTimeFormat() const {
  std::lock_guard guard(lock);
  return currentTimeFormat;
}

uint32_t ParamManager::GetTimeData() const {
  std::lock_guard guard(lock);
  return timeData;
}

ParamStatus ParamManager::SetTimeFormat(const TimeFormatId& format) {
  std::lock_guard guard(lock);
  if (std::find(timeFormats.begin(), timeFormats.end(), format) == timeFormats.end()) {
    return ParamStatus::InvalidArg;
  }
  currentTimeFormat = format;
  return ParamStatus::Ok;
}

ParamStatus ParamManager::GetParam(uint32_t index, float* value) const {
  std::lock_guard guard(lock);
  if (index >= paramCount) return ParamStatus::InvalidArg;
  const auto& list = segments[index];
  *value = list.empty() ? paramInfos[index].neutralValue : list.back().endValue;
  return ParamStatus::Ok;
}

ParamStatus ParamManager::RecordParam(uint32_t index, float value) {
  std::lock_guard guard(lock);
  if (index >= paramCount) return ParamStatus::InvalidArg;
  auto& list = segments[index];
  if (list.empty()) {
    EnvelopeSegment always;
    always.startTime = std::numeric_limits<int64_t>::min();
    always.endTime = std::numeric_limits<int64_t>::max();
    try {
      list.push_back(always);
    } catch (const std::bad_alloc&) {
      return ParamStatus::OutOfMemory;
    }
  }
  EnvelopeSegment& newest = list.back();
  newest.startValue = value;
  newest.endValue = value;
  newest.curve = curve::kJump;
  return ParamStatus::Ok;
}

ParamStatus ParamManager::AddEnvelope(uint32_t index, std::span<const EnvelopeSegment> added) {
  std::lock_guard guard(lock);
  if (!loaded) return ParamStatus::NotLoaded;
  if (index >= paramCount) return ParamStatus::InvalidArg;
  const ParamRow& row = paramInfos[index];
  auto& list = segments[index];
  for (EnvelopeSegment segment : added) {
    // Clamped so that values reaching the processing object from an envelope
    // always pass the range check.
    segment.startValue = std::clamp(segment.startValue, row.minValue, row.maxValue);
    segment.endValue = std::clamp(segment.endValue, row.minValue, row.maxValue);
    try {
      list.push_back(segment);
    } catch (const std::bad_alloc&) {
      return ParamStatus::OutOfMemory;
    }
    activeMask |= 1u << index;
  }
  return ParamStatus::Ok;
}

ParamStatus ParamManager::FlushEnvelope(uint32_t index, int64_t start, int64_t end) {
  std::lock_guard guard(lock);
  if (!loaded) return ParamStatus::NotLoaded;
  if (index >= paramCount || start >= end) return ParamStatus::InvalidArg;
  std::erase_if(segments[index], [&](const EnvelopeSegment& segment) {
    return segment.startTime >= start && segment.endTime <= end;
  });
  return ParamStatus::Ok;
}

float ParamManager::Evaluate(uint32_t index, int64_t time, bool* pastEnd) const {
  std::lock_guard guard(lock);
  return EvaluateLocked(index, time, pastEnd);
}

float ParamManager::EvaluateLocked(uint32_t index, int64_t time, bool* pastEnd) const {
  *pastEnd = true;
  if (index >= paramCount) return 0.0f;
  const ParamRow& row = paramInfos[index];
  const auto& list = segments[index];
  if (list.empty()) return row.neutralValue;

  // Newest first: the newest segment that has begun by `time` governs.
  auto current = list.rbegin();
  while (current != list.rend() && current->startTime > time) ++current;
  *pastEnd = false;
  if (current == list.rend()) return row.neutralValue;

  const EnvelopeSegment& segment = *current;
  if (segment.endTime < time) {
    *pastEnd = current == list.rbegin();
    return segment.endValue;
  }
  if (segment.curve & curve::kJump) return segment.endValue;

  // The duration is taken whole, so segments longer than 2^31 units of
  // 100 ns (about 3.6 minutes) ramp as evenly as short ones. A segment of
  // no length that has begun is at its end value.
  const double duration = static_cast<double>(segment.endTime) - static_cast<double>(segment.startTime);
  if (duration <= 0.0) return segment.endValue;
  const double x = (static_cast<double>(time) - static_cast<double>(segment.startTime)) / duration;
  const double y = Shape(segment.curve, x);

  double start = segment.startValue;
  if (segment.flags & envelope::kBeginNeutralVal) start = row.neutralValue;
  if (segment.flags & envelope::kBeginCurrentVal) {
    for (auto older = std::next(current); older != list.rend(); ++older) {
      if (older->endTime <= time) {
        start = older->endValue;
        break;
      }
    }
  }
  return static_cast<float>((segment.endValue - start) * y + start);
}

void ParamManager::UpdateActiveParams(int64_t time,
                                      const std::function<void(uint32_t index, float value)>& apply) {
  // Evaluated under the lock, applied after it: the processing object's
  // setters take locks of their own.
  std::array<float, kMaxParams> values{};
  uint32_t due = 0;
  {
    std::lock_guard guard(lock);
    for (uint32_t i = 0; i < paramCount && activeMask != 0; ++i) {
      if (!(activeMask & (1u << i))) continue;
      bool pastEnd = false;
      values[i] = EvaluateLocked(i, time, &pastEnd);
      due |= 1u << i;
      if (pastEnd) activeMask &= ~(1u << i);
    }
  }
  for (uint32_t i = 0; i < kMaxParams && due != 0; ++i) {
    if (due & (1u << i)) apply(i, values[i]);
  }
}

uint32_t ParamManager::GetActiveMask() const {
  std::lock_guard guard(lock);
  return activeMask;
}

ParamStatus ParamManager::CopyParamsFrom(const ParamManager& source) {
  std::vector<TimeFormatId> formats;
  TimeFormatId current;
  uint32_t data = 0;
  uint32_t count = 0;
  std::vector<ParamRow> rows;
  std::vector<std::vector<EnvelopeSegment>> copied;
  try {
    std::lock_guard guard(source.lock);
    formats = source.timeFormats;
    current = source.currentTimeFormat;
    data = source.timeData;
    count = source.paramCount;
    rows = source.paramInfos;
    copied = source.segments;
  } catch (const std::bad_alloc&) {
    return ParamStatus::OutOfMemory;
  }

  uint32_t currentIndex = 0;
  {
    std::lock_guard guard(lock);
    const auto found = std::find(timeFormats.begin(), timeFormats.end(), current);
    currentIndex = static_cast<uint32_t>(found - timeFormats.begin());
  }
  const ParamStatus loadedStatus = LoadParams(formats, currentIndex, data, count, rows);
  if (loadedStatus != ParamStatus::Ok) return loadedStatus;

  std::lock_guard guard(lock);
  try {
    for (uint32_t i = 0; i < count && i < copied.size(); ++i) {
      // Behind this manager's own segments means older than all of them.
      segments[i].insert(segments[i].begin(), copied[i].begin(), copied[i].end());
    }
  } catch (const std::bad_alloc&) {
    return ParamStatus::OutOfMemory;
  }
  return ParamStatus::Ok;
}

std::vector<EnvelopeSegment> ParamManager::GetSegments(uint32_t index) const {
  std::lock_guard guard(lock);
  if (index >= paramCount) return {};
  return {segments[index].rbegin(), segments[index].rend()};
}

}  // namespace veltane
