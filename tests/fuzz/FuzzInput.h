// The fuzzer's bytes read as a stream of small values; past the end every
// value is 0, so any input is a complete program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace veltane::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data(data), size(size) {}

  bool Empty() const { return position >= size; }
  size_t Left() const { return Empty() ? 0 : size - position; }
  uint8_t Byte() { return Empty() ? 0 : data[position++]; }
  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | Byte() << 8);
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | uint32_t{U16()} << 16;
  }
  // low + (high - low) x (a byte's share of 255).
  float Level(float low, float high) { return low + (high - low) * static_cast<float>(Byte()) / 255.0f; }
  // Up to `count` raw bytes into `to` (the rest zero); returns how many came.
  size_t Take(uint8_t* to, size_t count) {
    const size_t n = count < Left() ? count : Left();
    if (n > 0) std::memcpy(to, data + position, n);
    if (count > n) std::memset(to + n, 0, count - n);
    position += n;
    return n;
  }

 private:
  const uint8_t* data;
  size_t size;
  size_t position = 0;
};

}  // namespace veltane::fuzz
