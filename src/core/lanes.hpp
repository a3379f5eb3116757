// Two doubles worked on side by side, each lane with exactly the arithmetic a double has alone.
//
// Code written once as a template over its number type V runs either on one point (V = double)
// or on two points at once (V = lanes::Pair). Every operation of Pair is the correctly rounded
// IEEE operation of each lane (+, -, *, /, sqrt), and comparisons, selections, min and max
// follow the scalar expressions they stand for, NaN included; so a lane's result is the one the
// scalar code gives for that point alone, bit for bit, whatever its partner. Where SSE2 is
// there (every x86-64) a Pair is one packed register: the divider, which the engine's square
// roots and divisions keep busy, then does two lanes' work in the time of one.
//
// Branches on values become selections: both sides are computed where the lanes disagree, and
// each lane takes its own (any/all tell whether a side is needed at all).
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace halfmoon::lanes {

// The scalar forms: V = double is one lane, its masks plain bools.
inline double sqrt(double x) {
    return std::sqrt(x);
}
inline double fabs(double x) {
    return std::fabs(x);
}
// std::max(a, b) and std::min(a, b): a unless b is (strictly) beyond it.
inline double max_of(double a, double b) {
    return std::max(a, b);
}
inline double min_of(double a, double b) {
    return std::min(a, b);
}
inline double select(bool mask, double chosen, double other) {
    return mask ? chosen : other;
}
inline bool any(bool mask) {
    return mask;
}
inline bool all(bool mask) {
    return mask;
}
inline double lane(double x, int /*index*/) {
    return x;
}
inline bool lane(bool mask, int /*index*/) {
    return mask;
}

#if defined(__SSE2__)

struct Pair {
    __m128d v;
};

// All bits set in a lane where the comparison holds.
struct PairMask {
    __m128d v;
};

inline Pair pair(double first, double second) {
    return Pair{_mm_set_pd(second, first)};
}
inline Pair broadcast(double x) {
    return Pair{_mm_set1_pd(x)};
}
inline double lane(Pair x, int index) {
    return index == 0 ? _mm_cvtsd_f64(x.v) : _mm_cvtsd_f64(_mm_unpackhi_pd(x.v, x.v));
}
inline bool lane(PairMask mask, int index) {
    return ((_mm_movemask_pd(mask.v) >> index) & 1) != 0;
}

inline Pair operator+(Pair a, Pair b) {
    return Pair{_mm_add_pd(a.v, b.v)};
}
inline Pair operator-(Pair a, Pair b) {
    return Pair{_mm_sub_pd(a.v, b.v)};
}
inline Pair operator*(Pair a, Pair b) {
    return Pair{_mm_mul_pd(a.v, b.v)};
}
inline Pair operator/(Pair a, Pair b) {
    return Pair{_mm_div_pd(a.v, b.v)};
}
// The sign flipped, as the scalar unary minus does (NaN and zeros included).
inline Pair operator-(Pair a) {
    return Pair{_mm_xor_pd(a.v, _mm_set1_pd(-0.0))};
}
inline Pair sqrt(Pair x) {
    return Pair{_mm_sqrt_pd(x.v)};
}
inline Pair fabs(Pair x) {
    return Pair{_mm_and_pd(x.v, _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL)))};
}

// Ordered comparisons are false where a lane is NaN, != is true there: as for doubles.
inline PairMask operator<(Pair a, Pair b) {
    return PairMask{_mm_cmplt_pd(a.v, b.v)};
}
inline PairMask operator<=(Pair a, Pair b) {
    return PairMask{_mm_cmple_pd(a.v, b.v)};
}
inline PairMask operator>(Pair a, Pair b) {
    return PairMask{_mm_cmpgt_pd(a.v, b.v)};
}
inline PairMask operator>=(Pair a, Pair b) {
    return PairMask{_mm_cmpge_pd(a.v, b.v)};
}
inline PairMask operator==(Pair a, Pair b) {
    return PairMask{_mm_cmpeq_pd(a.v, b.v)};
}
inline PairMask operator!=(Pair a, Pair b) {
    return PairMask{_mm_cmpneq_pd(a.v, b.v)};
}
inline PairMask operator&&(PairMask a, PairMask b) {
    return PairMask{_mm_and_pd(a.v, b.v)};
}
inline PairMask operator||(PairMask a, PairMask b) {
    return PairMask{_mm_or_pd(a.v, b.v)};
}
inline PairMask operator!(PairMask a) {
    return PairMask{_mm_xor_pd(a.v, _mm_castsi128_pd(_mm_set1_epi64x(-1)))};
}

inline Pair select(PairMask mask, Pair chosen, Pair other) {
    return Pair{_mm_or_pd(_mm_and_pd(mask.v, chosen.v), _mm_andnot_pd(mask.v, other.v))};
}
inline bool any(PairMask mask) {
    return _mm_movemask_pd(mask.v) != 0;
}
inline bool all(PairMask mask) {
    return _mm_movemask_pd(mask.v) == 3;
}

#else

// Without SSE2 the two lanes are two doubles.
struct Pair {
    double v[2];
};

struct PairMask {
    bool v[2];
};

inline Pair pair(double first, double second) {
    return Pair{{first, second}};
}
inline Pair broadcast(double x) {
    return Pair{{x, x}};
}
inline double lane(Pair x, int index) {
    return x.v[index];
}
inline bool lane(PairMask mask, int index) {
    return mask.v[index];
}

template <class Op>
Pair lanewise(Pair a, Pair b, Op op) {
    return Pair{{op(a.v[0], b.v[0]), op(a.v[1], b.v[1])}};
}
template <class Op>
PairMask compare(Pair a, Pair b, Op op) {
    return PairMask{{op(a.v[0], b.v[0]), op(a.v[1], b.v[1])}};
}

inline Pair operator+(Pair a, Pair b) {
    return lanewise(a, b, [](double x, double y) { return x + y; });
}
inline Pair operator-(Pair a, Pair b) {
    return lanewise(a, b, [](double x, double y) { return x - y; });
}
inline Pair operator*(Pair a, Pair b) {
    return lanewise(a, b, [](double x, double y) { return x * y; });
}
inline Pair operator/(Pair a, Pair b) {
    return lanewise(a, b, [](double x, double y) { return x / y; });
}
inline Pair operator-(Pair a) {
    return Pair{{-a.v[0], -a.v[1]}};
}
inline Pair sqrt(Pair x) {
    return Pair{{std::sqrt(x.v[0]), std::sqrt(x.v[1])}};
}
inline Pair fabs(Pair x) {
    return Pair{{std::fabs(x.v[0]), std::fabs(x.v[1])}};
}

inline PairMask operator<(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x < y; });
}
inline PairMask operator<=(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x <= y; });
}
inline PairMask operator>(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x > y; });
}
inline PairMask operator>=(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x >= y; });
}
inline PairMask operator==(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x == y; });
}
inline PairMask operator!=(Pair a, Pair b) {
    return compare(a, b, [](double x, double y) { return x != y; });
}
inline PairMask operator&&(PairMask a, PairMask b) {
    return PairMask{{a.v[0] && b.v[0], a.v[1] && b.v[1]}};
}
inline PairMask operator||(PairMask a, PairMask b) {
    return PairMask{{a.v[0] || b.v[0], a.v[1] || b.v[1]}};
}
inline PairMask operator!(PairMask a) {
    return PairMask{{!a.v[0], !a.v[1]}};
}

inline Pair select(PairMask mask, Pair chosen, Pair other) {
    return Pair{{mask.v[0] ? chosen.v[0] : other.v[0], mask.v[1] ? chosen.v[1] : other.v[1]}};
}
inline bool any(PairMask mask) {
    return mask.v[0] || mask.v[1];
}
inline bool all(PairMask mask) {
    return mask.v[0] && mask.v[1];
}

#endif

// A double beside a Pair takes part in every lane.
inline Pair operator+(Pair a, double b) {
    return a + broadcast(b);
}
inline Pair operator+(double a, Pair b) {
    return broadcast(a) + b;
}
inline Pair operator-(Pair a, double b) {
    return a - broadcast(b);
}
inline Pair operator-(double a, Pair b) {
    return broadcast(a) - b;
}
inline Pair operator*(Pair a, double b) {
    return a * broadcast(b);
}
inline Pair operator*(double a, Pair b) {
    return broadcast(a) * b;
}
inline Pair operator/(Pair a, double b) {
    return a / broadcast(b);
}
inline Pair operator/(double a, Pair b) {
    return broadcast(a) / b;
}
inline PairMask operator<(Pair a, double b) {
    return a < broadcast(b);
}
inline PairMask operator<=(Pair a, double b) {
    return a <= broadcast(b);
}
inline PairMask operator>(Pair a, double b) {
    return a > broadcast(b);
}
inline PairMask operator>(double a, Pair b) {
    return broadcast(a) > b;
}
inline PairMask operator<(double a, Pair b) {
    return broadcast(a) < b;
}
inline PairMask operator>=(Pair a, double b) {
    return a >= broadcast(b);
}
inline PairMask operator!=(Pair a, double b) {
    return a != broadcast(b);
}
inline PairMask operator==(Pair a, double b) {
    return a == broadcast(b);
}
inline Pair& operator+=(Pair& a, Pair b) {
    return a = a + b;
}

// std::max(a, b) is (a < b) ? b : a, std::min(a, b) is (b < a) ? b : a.
inline Pair max_of(Pair a, Pair b) {
    return select(a < b, b, a);
}
inline Pair max_of(Pair a, double b) {
    return max_of(a, broadcast(b));
}
inline Pair min_of(Pair a, Pair b) {
    return select(b < a, b, a);
}
inline Pair select(PairMask mask, double chosen, Pair other) {
    return select(mask, broadcast(chosen), other);
}
inline Pair select(PairMask mask, Pair chosen, double other) {
    return select(mask, chosen, broadcast(other));
}
inline Pair select(PairMask mask, double chosen, double other) {
    return select(mask, broadcast(chosen), broadcast(other));
}

// A mask from its lanes' truth values.
#if defined(__SSE2__)
inline PairMask mask_of(bool first, bool second) {
    return PairMask{_mm_castsi128_pd(_mm_set_epi64x(second ? -1LL : 0LL, first ? -1LL : 0LL))};
}
#else
inline PairMask mask_of(bool first, bool second) {
    return PairMask{{first, second}};
}
#endif

// The mask type and lane count of a number type.
template <class V>
struct Traits;
template <>
struct Traits<double> {
    using Mask = bool;
    static constexpr int kWidth = 1;
};
template <>
struct Traits<Pair> {
    using Mask = PairMask;
    static constexpr int kWidth = 2;
};
template <class V>
using MaskOf = typename Traits<V>::Mask;

// A mask of `value` in every lane of V.
template <class V>
auto splat_mask(bool value) {
    if constexpr (std::is_same_v<V, double>) {
        return value;
    } else {
        return mask_of(value, value);
    }
}

// x in every lane of V.
template <class V>
V splat(double x) {
    if constexpr (std::is_same_v<V, double>) {
        return x;
    } else {
        return broadcast(x);
    }
}
template <class V>
inline constexpr int kWidth = Traits<V>::kWidth;

}  // namespace halfmoon::lanes
