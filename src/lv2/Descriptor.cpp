// LV2 entry points over VeltanePlugin. No exception leaves them: the plugin's
// own operations never throw.
#include "lv2/Descriptor.h"

#include <cstring>

#include "lv2/VeltanePlugin.h"

namespace veltane::lv2 {
namespace {

VeltanePlugin* Plugin(LV2_Handle instance) { return static_cast<VeltanePlugin*>(instance); }

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double sampleRate, const char*,
                       const LV2_Feature* const*) noexcept {
  const uint16_t channels = std::strcmp(descriptor->URI, kMonoUri) == 0 ? 1 : 2;
  return VeltanePlugin::Create(sampleRate, channels).release();
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) noexcept { Plugin(instance)->ConnectPort(port, data); }

void Activate(LV2_Handle instance) noexcept { Plugin(instance)->Activate(); }

void Run(LV2_Handle instance, uint32_t frames) noexcept { Plugin(instance)->Run(frames); }

void Cleanup(LV2_Handle instance) noexcept { delete Plugin(instance); }

const void* ExtensionData(const char*) noexcept { return nullptr; }

// Nothing to do on deactivation: Activate starts every stream afresh.
constexpr LV2_Descriptor kDescriptors[] = {
    {kMonoUri, Instantiate, ConnectPort, Activate, Run, nullptr, Cleanup, ExtensionData},
    {kStereoUri, Instantiate, ConnectPort, Activate, Run, nullptr, Cleanup, ExtensionData},
};

}  // namespace

const LV2_Descriptor* Descriptor(uint32_t index) {
  return index < std::size(kDescriptors) ? &kDescriptors[index] : nullptr;
}

}  // namespace veltane::lv2
