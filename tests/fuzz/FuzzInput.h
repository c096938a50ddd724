// The fuzzer's bytes read as a stream of small values; past the end every
// value is 0, so any input is a complete program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltane::fuzz {

struct FuzzInput {
  bool Empty() const { return data == end; }
  uint8_t Byte() { return Empty() ? 0 : *data++; }
  uint16_t U16() {  // little-endian, low byte first
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | uint32_t{U16()} << 16;
  }
  float Level(float low, float high) { return low + (high - low) * Byte() / 255.0f; }  // by a byte's share

  const uint8_t* data;
  const uint8_t* end;
};

}  // namespace veltane::fuzz
