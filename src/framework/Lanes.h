// Fixed-width vectors of floats or doubles (the GCC and Clang vector
// extensions) and the few moves the kernels need on them.
//
// Arithmetic on these vectors is lane by lane with IEEE rounding, so each
// lane computes exactly what the same scalar code computes. The helpers take
// vectors by reference only: a vector wider than the baseline's registers
// never crosses a function boundary, so the kernels can be built for several
// instruction sets from one source.
#pragma once

#include <cstddef>
#include <cstring>

namespace veltane {

template <class T, int W>
using Lanes [[gnu::vector_size(W * sizeof(T))]] = T;

// v = p[0 .. lanes-1]; p needs no alignment.
template <class V, class T>
inline void LoadLanes(V& v, const T* p) {
  std::memcpy(&v, p, sizeof v);
}

// p[0 .. lanes-1] = v; p needs no alignment.
template <class V, class T>
inline void StoreLanes(const V& v, T* p) {
  std::memcpy(p, &v, sizeof v);
}

// Every lane of v = s. GCC builds the lane-by-lane loop inside a function
// of another target (VELTANE_TARGET_V3) as one insert per lane; the shuffle
// of lane 0 into every lane is one broadcast at every level.
template <class V, class T>
inline void SplatLanes(V& v, T s) {
#if defined(__GNUC__) && !defined(__clang__)
  using Index = decltype(v < v);
  v = __builtin_shuffle(V{s}, Index{});
#else
  for (size_t l = 0; l < sizeof v / sizeof s; ++l) v[l] = s;
#endif
}

}  // namespace veltane
