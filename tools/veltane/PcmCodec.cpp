// Host PCM <-> full-scale int32 conversions.
#include "veltane/PcmCodec.h"

#include <cmath>

namespace veltane {

void PcmCodec::Encode(const int32_t* in, uint8_t* out, size_t samples) const {
  switch (bytes) {
    case 1:
      for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<uint8_t>((static_cast<uint32_t>(in[i]) >> 24) ^ 0x80u);
      }
      break;
    case 2:
      for (size_t i = 0; i < samples; ++i) {
        const auto bits = static_cast<uint32_t>(in[i]);
        out[2 * i] = static_cast<uint8_t>(bits >> 16);
        out[2 * i + 1] = static_cast<uint8_t>(bits >> 24);
      }
      break;
    default:
      for (size_t i = 0; i < samples; ++i) {
        const auto bits = static_cast<uint32_t>(in[i]);
        out[3 * i] = static_cast<uint8_t>(bits >> 8);
        out[3 * i + 1] = static_cast<uint8_t>(bits >> 16);
        out[3 * i + 2] = static_cast<uint8_t>(bits >> 24);
      }
      break;
  }
}

void PcmCodec::Decode(const uint8_t* in, int32_t* out, size_t samples) const {
  switch (bytes) {
    case 1:
      for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int32_t>((uint32_t{in[i]} ^ 0x80u) << 24);
      }
      break;
    case 2:
      for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int32_t>((uint32_t{in[2 * i]} << 16) | (uint32_t{in[2 * i + 1]} << 24));
      }
      break;
    default:
      for (size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<int32_t>((uint32_t{in[3 * i]} << 8) | (uint32_t{in[3 * i + 1]} << 16) |
                                      (uint32_t{in[3 * i + 2]} << 24));
      }
      break;
  }
}

int32_t PcmCodec::RoundToBits(int32_t value, uint32_t bits) {
  if (bits >= 32) return value;
  const uint32_t shift = 32 - bits;
  const int64_t step = int64_t{1} << shift;
  // Round half up in the integer domain, then saturate: the largest
  // representable value is INT32_MAX with its low bits cleared.
  int64_t rounded = ((int64_t{value} + step / 2) >> shift) << shift;
  const int64_t top = (int64_t{INT32_MAX} >> shift) << shift;
  if (rounded > top) rounded = top;
  return static_cast<int32_t>(rounded);
}

int32_t PcmCodec::FromFloat(double value, uint32_t bits) {
  if (std::isnan(value)) return 0;
  const double scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
  const double top = scale - 1.0;
  const double steps = std::fmax(-scale, std::fmin(top, std::nearbyint(value * scale)));
  return static_cast<int32_t>(static_cast<int64_t>(steps) * (int64_t{1} << (32 - bits)));
}

}  // namespace veltane
