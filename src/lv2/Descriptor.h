// The plugin's LV2 descriptors: one for mono, one for stereo, both served by
// VeltanePlugin. The shared object exports them as lv2_descriptor; tests call
// Descriptor directly.
#pragma once

#include <lv2/core/lv2.h>

#include <cstdint>

namespace veltane::lv2 {

// Index 0 is the mono plugin, 1 the stereo one; null beyond.
const LV2_Descriptor* Descriptor(uint32_t index);

}  // namespace veltane::lv2
