// Fixed-width vectors of eight lanes, in the compiler's generic vector extension, for the
// loops that decode records eight at a time. The compiler maps them onto whatever SIMD
// registers the target has (two SSE2 registers for the 32-byte types on baseline x86-64),
// so the code stays portable and free of intrinsics.
//
// Lane selection is written with masks and bitwise operations rather than `?:`, and the
// eight-lane 32-bit comparisons go through compare(): baseline x86-64 would otherwise lower
// both to a branch or a scalar comparison per lane.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

namespace zpr::simd {

inline constexpr std::size_t kLanes = 8;

// Marks a hot loop to be compiled twice, for baseline x86-64 and for AVX2, the loader picking
// one when the module is loaded. With AVX2 an eight-lane float or 32-bit vector fits one
// register instead of two, which takes about a fifth off a filtered pulses query. Both
// versions compute the same bits: AVX2 brings no fused multiply-add, whose single rounding
// would change results.
//
// Such a function must never throw (declare it noexcept and with this mark on its
// declaration too, as clang requires): GCC calls it through a dispatcher that it takes to
// throw nothing, so callers carry no unwinding entry for the call, and an exception leaving
// the function ends the process in std::terminate instead of reaching a handler.
#ifdef ZPR_AVX2_CLONES
#define ZPR_ALSO_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define ZPR_ALSO_FOR_AVX2
#endif

using u16x8 = uint16_t __attribute__((vector_size(16)));
using i16x8 = int16_t __attribute__((vector_size(16)));
using u8x8 = uint8_t __attribute__((vector_size(8)));
using i32x8 = int32_t __attribute__((vector_size(32)));
using u32x8 = uint32_t __attribute__((vector_size(32)));
using f32x8 = float __attribute__((vector_size(32)));
using u64x8 = uint64_t __attribute__((vector_size(64)));
using i32x4 = int32_t __attribute__((vector_size(16)));
using u32x4 = uint32_t __attribute__((vector_size(16)));
using f32x4 = float __attribute__((vector_size(16)));
using i64x8 = int64_t __attribute__((vector_size(64)));
using f64x8 = double __attribute__((vector_size(64)));

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

// Every lane set to `value`, bit for bit (adding it to zero would turn -0.0 into +0.0).
template <class V, class T>
inline V splat(T value) {
    V v;
    for (std::size_t lane = 0; lane < sizeof(V) / sizeof(v[0]); ++lane) v[lane] = value;
    return v;
}

// Lane by lane: `when_set` where `mask` is all ones, `otherwise` where it is zero.
template <class Mask, class V>
inline V select(Mask mask, V when_set, V otherwise) {
    return V((mask & Mask(when_set)) | (~mask & Mask(otherwise)));
}

// The first and the last four lanes of an eight-lane vector: on baseline x86-64 these are
// the two registers the vector is held in, so taking them costs nothing.
template <class V>
inline auto low_half(V v) {
    return __builtin_shufflevector(v, v, 0, 1, 2, 3);
}
template <class V>
inline auto high_half(V v) {
    return __builtin_shufflevector(v, v, 4, 5, 6, 7);
}

// All-ones or all-zeros flags for eight lanes, kept as the two 16-byte halves baseline
// x86-64 holds them in. Masks are combined and tested half by half: GCC assembles a 32-byte
// mask through memory, or lane by lane, otherwise.
struct LaneMask {
    i32x4 low, high;

    static LaneMask every() { return {~i32x4{}, ~i32x4{}}; }
    LaneMask& operator&=(const LaneMask& other) {
        low &= other.low;
        high &= other.high;
        return *this;
    }
    friend LaneMask operator&(LaneMask a, const LaneMask& b) { return a &= b; }
    friend LaneMask operator|(const LaneMask& a, const LaneMask& b) { return {a.low | b.low, a.high | b.high}; }

    // True when every lane, or any lane, is set.
    bool all() const {
        const auto [first, second] = words(low & high);
        return (first & second) == ~uint64_t(0);
    }
    bool any() const {
        const auto [first, second] = words(low | high);
        return (first | second) != 0;
    }
    // The eight lanes, in order.
    std::array<int32_t, 8> lanes() const {
        std::array<int32_t, 8> lanes;
        std::memcpy(lanes.data(), &low, sizeof low);
        std::memcpy(lanes.data() + 4, &high, sizeof high);
        return lanes;
    }

private:
    static std::array<uint64_t, 2> words(i32x4 mask) {
        std::array<uint64_t, 2> words;
        std::memcpy(words.data(), &mask, sizeof mask);
        return words;
    }
};

// Lane by lane, set where `holds(a, b)` (a comparison such as std::less<>). `b` is either a
// vector of eight lanes or one of four that stands for both halves (a bound spread once).
template <class V, class W, class Holds>
inline LaneMask compare(V a, W b, Holds holds) {
    if constexpr (sizeof(W) == sizeof(V))
        return {i32x4(holds(low_half(a), low_half(b))), i32x4(holds(high_half(a), high_half(b)))};
    else
        return {i32x4(holds(low_half(a), b)), i32x4(holds(high_half(a), b))};
}

// 16-bit lane masks widened to the 64-bit lanes of double vectors: each 16-bit lane is
// doubled into 32 bits and then into 64, and the four quarters are joined through memory.
// Done in two steps the doubling maps onto unpack and shuffle instructions; the compiler's
// own widening, or a one-step shuffle, goes lane by lane.
inline i64x8 widen_to_64(i16x8 mask) {
    const i32x4 low = i32x4(__builtin_shufflevector(mask, mask, 0, 0, 1, 1, 2, 2, 3, 3));
    const i32x4 high = i32x4(__builtin_shufflevector(mask, mask, 4, 4, 5, 5, 6, 6, 7, 7));
    const i32x4 quarters[4] = {
        __builtin_shufflevector(low, low, 0, 0, 1, 1),
        __builtin_shufflevector(low, low, 2, 2, 3, 3),
        __builtin_shufflevector(high, high, 0, 0, 1, 1),
        __builtin_shufflevector(high, high, 2, 2, 3, 3),
    };
    i64x8 wide;
    std::memcpy(&wide, quarters, sizeof wide);
    return wide;
}

// Set in lanes 0 to count - 1.
inline LaneMask first_lanes(std::size_t count) {
    const i32x8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    return compare(lane, splat<i32x4>(int32_t(count)), std::less<>());
}

// True when any lane of `mask` is set.
inline bool any(i16x8 mask) {
    uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof mask);
    return (halves[0] | halves[1]) != 0;
}

// 16-bit lane masks widened to the 32-bit lanes of float vectors.
inline i32x8 widen(i16x8 mask) { return __builtin_convertvector(mask, i32x8); }

// Exact unsigned 32-bit to float conversion: both halves convert exactly and the one
// addition rounds, as a scalar conversion does. Baseline x86-64 only converts signed lanes.
inline f32x8 to_float(u32x8 value) {
    const f32x8 high = __builtin_convertvector(i32x8(value >> 16), f32x8);
    const f32x8 low = __builtin_convertvector(i32x8(value & 0xFFFF), f32x8);
    return high * 65536.0f + low;
}

}  // namespace zpr::simd
