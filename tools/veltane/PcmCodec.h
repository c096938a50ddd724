// Conversions between the processing object's interleaved host PCM (8-bit
// unsigned, 16-bit or packed 24-bit little-endian signed) and 32-bit samples
// scaled to the full int32 range, which is how libsndfile exchanges integers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace veltane {

class PcmCodec {
 public:
  // bytesPerSample is 1, 2 or 3.
  explicit PcmCodec(uint32_t bytesPerSample) : bytes(bytesPerSample) {}

  uint32_t BytesPerSample() const { return bytes; }

  // Exact: the low 32 - 8 x bytes bits of each int32 are dropped, which
  // callers have already rounded away (see RoundToBits).
  void Encode(const int32_t* in, uint8_t* out, size_t samples) const;
  // Exact: the result has zeros in its low bits.
  void Decode(const uint8_t* in, int32_t* out, size_t samples) const;

  // Rounds a full-scale int32 to the nearest value with only `bits`
  // significant bits, saturating at the top, so truncating afterwards is
  // exact and unbiased.
  static int32_t RoundToBits(int32_t value, uint32_t bits);
  // A float sample (full scale +-1.0) as a full-scale int32 rounded to
  // `bits` bits; out-of-range values clip, NaN reads as silence.
  static int32_t FromFloat(double value, uint32_t bits);

  // True when 16-bit PCM at `pcm` is an array of shorts as they are: the
  // host is little-endian and the address aligned for short, so libsndfile
  // can read or write it in place.
  static bool IsNativeShorts(const void* pcm) {
    return std::endian::native == std::endian::little && reinterpret_cast<uintptr_t>(pcm) % alignof(short) == 0;
  }

 private:
  uint32_t bytes;
};

}  // namespace veltane
