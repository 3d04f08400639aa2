// Fixed-width vectors of eight lanes, in the compiler's generic vector extension, for the
// loops that decode records eight at a time. The compiler maps them onto whatever SIMD
// registers the target has (two SSE2 registers for the 32-byte types on baseline x86-64),
// so the code stays portable and free of intrinsics.
//
// Lane selection is written with masks and bitwise operations rather than `?:`, which
// baseline x86-64 would otherwise lower to a branch per lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zpr::simd {

inline constexpr std::size_t kLanes = 8;

using u16x8 = uint16_t __attribute__((vector_size(16)));
using i16x8 = int16_t __attribute__((vector_size(16)));
using u8x8 = uint8_t __attribute__((vector_size(8)));
using i32x8 = int32_t __attribute__((vector_size(32)));
using u32x8 = uint32_t __attribute__((vector_size(32)));
using f32x8 = float __attribute__((vector_size(32)));
using u64x8 = uint64_t __attribute__((vector_size(64)));

// Unaligned loads and stores of a whole vector.
template <class V>
inline V load(const void* from) {
    V v;
    std::memcpy(&v, from, sizeof v);
    return v;
}
template <class V>
inline void store(void* to, V v) {
    std::memcpy(to, &v, sizeof v);
}

// Every lane set to `value`.
template <class V, class T>
inline V splat(T value) {
    return V{} + value;
}

// Lane by lane: `when_set` where `mask` is all ones, `otherwise` where it is zero.
template <class Mask, class V>
inline V select(Mask mask, V when_set, V otherwise) {
    return V((mask & Mask(when_set)) | (~mask & Mask(otherwise)));
}

// 16-bit lane masks widened to the 32-bit lanes of float vectors.
inline i32x8 widen(i16x8 mask) { return __builtin_convertvector(mask, i32x8); }

}  // namespace zpr::simd
