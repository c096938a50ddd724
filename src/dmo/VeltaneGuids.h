// Class ids of this module and the published time-format GUIDs that the
// platform headers at hand do not define.
#pragma once

#include <windows.h>

namespace veltane {

// {70E61660-5279-4B14-8A38-5078CA7AE1E0}
inline constexpr CLSID CLSID_CVeltane = {0x70e61660, 0x5279, 0x4b14, {0x8a, 0x38, 0x50, 0x78, 0xca, 0x7a, 0xe1, 0xe0}};
// {BD21E180-2E70-42F7-B9AE-96409C7417FA}
inline constexpr CLSID CLSID_CVeltaneProp = {0xbd21e180, 0x2e70, 0x42f7, {0xb9, 0xae, 0x96, 0x40, 0x9c, 0x74, 0x17, 0xfa}};

// Reference time, in 100-ns units: the one time format of the parameters.
inline constexpr GUID kGuidTimeReference = {0x93ad712b, 0xdaa0, 0x4ffe, {0xbc, 0x81, 0xb0, 0xce, 0x50, 0x0f, 0xcd, 0xd9}};
// Music time, in parts per quarter note.
inline constexpr GUID kGuidTimeMusic = {0x0574c49d, 0x5b04, 0x4b15, {0xa5, 0x42, 0xae, 0x28, 0x20, 0x30, 0x11, 0x7b}};

// DirectMusic's "not initialised" result, returned for envelopes before the
// parameter table is loaded.
inline constexpr HRESULT kDmusNotInit = static_cast<HRESULT>(0x88781162);

}  // namespace veltane
