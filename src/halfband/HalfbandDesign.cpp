// Coefficient tables of the half-band designs.
#include "halfband/HalfbandDesign.h"

#include <bit>
#include <cstddef>

namespace veltane {
namespace {

// Defined from their bit patterns so that every value is exact; design 7's
// second coefficient deliberately differs from design 0's first by one unit
// in the last place.
constexpr float F(uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kA0[] = {F(0x3e919346), F(0x3f6c8aff)};
constexpr float kB0[] = {F(0x3f320dde)};
constexpr float kA1[] = {F(0x3e3f04d9), F(0x3f4a4a96)};
constexpr float kB1[] = {F(0x3f08480e), F(0x3f71119e)};
constexpr float kA2[] = {F(0x3e057daf), F(0x3f2a663a), F(0x3f73db14)};
constexpr float kB2[] = {F(0x3ed18520), F(0x3f56e8d7)};
constexpr float kA3[] = {F(0x3dc40fbd), F(0x3f0e8532), F(0x3f5e96ca)};
constexpr float kB3[] = {F(0x3ea399a6), F(0x3f3df734), F(0x3f75c0e4)};
constexpr float kA4[] = {F(0x3d95a952), F(0x3eee9b29), F(0x3f4a4a96), F(0x3f7721e8)};
constexpr float kB4[] = {F(0x3e822556), F(0x3f26aaf3), F(0x3f63c2e6)};
constexpr float kA5[] = {F(0x3d6b9725), F(0x3ec8cf05), F(0x3f36c2e6), F(0x3f677e40)};
constexpr float kB5[] = {F(0x3e52e01c), F(0x3f11c030), F(0x3f52ad66), F(0x3f782e69)};
constexpr float kA6[] = {F(0x3d3e0f32), F(0x3eaa451f), F(0x3f247605), F(0x3f58bb0d), F(0x3f7901b1)};
constexpr float kB6[] = {F(0x3e2db787), F(0x3efef1c8), F(0x3f4208cb), F(0x3f6a5228)};
constexpr float kA7[] = {F(0x3d1c75a7), F(0x3e919347), F(0x3f13b97d), F(0x3f4a4a96), F(0x3f6c8aff)};
constexpr float kB7[] = {F(0x3e1140b6), F(0x3edf7d01), F(0x3f320dde), F(0x3f5d4da1), F(0x3f79ac61)};

template <std::size_t NA, std::size_t NB>
constexpr HalfbandDesign Make(const float (&a)[NA], const float (&b)[NB]) {
  static_assert(NA <= kHalfbandMaxListLength && NB <= kHalfbandMaxListLength);
  return {a, static_cast<uint16_t>(NA), b, static_cast<uint16_t>(NB)};
}

constexpr HalfbandDesign kDesigns[kHalfbandDesignCount] = {
    Make(kA0, kB0), Make(kA1, kB1), Make(kA2, kB2), Make(kA3, kB3),
    Make(kA4, kB4), Make(kA5, kB5), Make(kA6, kB6), Make(kA7, kB7),
};

}  // namespace

const HalfbandDesign* GetHalfbandDesign(uint32_t d) {
  return d < kHalfbandDesignCount ? &kDesigns[d] : nullptr;
}

}  // namespace veltane
