// The shared object's one exported symbol, which LV2 hosts look up.
#include <lv2/core/lv2.h>

#include "lv2/Descriptor.h"

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) { return veltane::lv2::Descriptor(index); }
