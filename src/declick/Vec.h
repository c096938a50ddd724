// Four floats or two doubles as one SSE2 register, through GCC's vector
// extensions (GCC and clang, every x86-64 target): the declicker's inner
// loops spell out their vectors instead of hoping the optimiser finds them.
// Loads and stores are unaligned and may alias the scalar arrays they read.
#pragma once

#include <cstdint>

namespace veltane {

typedef float Vec4f __attribute__((vector_size(16)));
typedef double Vec2d __attribute__((vector_size(16)));
// What comparisons of Vec4f give (all bits set in a true lane), and bit masks.
typedef int32_t Vec4i __attribute__((vector_size(16)));

namespace vec {

typedef float Vec4fU __attribute__((vector_size(16), aligned(4), may_alias));
typedef double Vec2dU __attribute__((vector_size(16), aligned(8), may_alias));

inline Vec4f Load(const float* p) { return *reinterpret_cast<const Vec4fU*>(p); }
inline Vec2d Load(const double* p) { return *reinterpret_cast<const Vec2dU*>(p); }
inline void Store(float* p, Vec4f v) { *reinterpret_cast<Vec4fU*>(p) = v; }
inline void Store(double* p, Vec2d v) { *reinterpret_cast<Vec2dU*>(p) = v; }
inline Vec4f Splat(float v) { return Vec4f{v, v, v, v}; }
inline Vec2d Splat(double v) { return Vec2d{v, v}; }

}  // namespace vec
}  // namespace veltane
