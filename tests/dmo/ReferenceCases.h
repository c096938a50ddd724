// The audio cases that the host tests stream through veltane.dll, and the
// files in which the native build leaves each case's input and processing.
#pragma once

#include <cstdint>
#include <string>

namespace veltane {

struct ReferenceCase {
  const char* name;
  uint32_t rate;
  uint16_t channels;
  uint16_t bits;
  uint32_t frames;
  float clickThreshold;
  float options;  // the "Options" parameter
};

inline constexpr ReferenceCase kReferenceCases[] = {
    {"stereo16", 44100, 2, 16, 3 * 44100, 4.0f, 16.0f},  // everything on, automatic hiss level
    {"mono24", 96000, 1, 24, 2 * 96000, 3.0f, 0.0f},     // everything on, fixed hiss level
    {"stereo8", 22050, 2, 8, 22050, 6.0f, 4.0f},         // declicking only
};

inline std::string InputName(const ReferenceCase& c) { return std::string("input-") + c.name + ".wav"; }
inline std::string ReferenceName(const ReferenceCase& c) { return std::string("reference-") + c.name + ".raw"; }

}  // namespace veltane
