// Doubles worked on side by side, each lane with exactly the arithmetic a double has alone.
//
// Code written once as a template over its number type V runs either on one point (V = double)
// or on several points at once (V = lanes::Pair, two lanes, or lanes::Quad, four, where the
// build targets AVX2). Every operation of a packed type is the correctly rounded IEEE operation
// of each lane (+, -, *, /, sqrt), and comparisons, selections, min and max follow the scalar
// expressions they stand for, NaN included; so a lane's result is the one the scalar code gives
// for that point alone, bit for bit, whatever its partners. A Pair is one SSE2 register (every
// x86-64), a Quad one AVX register: the divider, which the engine's square roots and divisions
// keep busy, then does two or four lanes' work in the time of one.
//
// Branches on values become selections: both sides are computed where the lanes disagree, and
// each lane takes its own (any/all tell whether a side is needed at all).
#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__SSE2__)
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

// A packed number type is a register of R::kWidth doubles; R holds its operations.
template <class R>
struct Packed {
    typename R::Native v;
};

// All bits set in a lane where the comparison holds (a bool per lane where R has no register).
template <class R>
struct PackedMask {
    typename R::MaskNative v;
};

#if defined(__SSE2__)

// Two lanes in one SSE2 register.
struct Sse2 {
    using Native = __m128d;
    using MaskNative = __m128d;
    static constexpr int kWidth = 2;
    static Native set1(double x) { return _mm_set1_pd(x); }
    static double lane(Native x, int index) {
        return index == 0 ? _mm_cvtsd_f64(x) : _mm_cvtsd_f64(_mm_unpackhi_pd(x, x));
    }
    static int bits(MaskNative mask) { return _mm_movemask_pd(mask); }
    static MaskNative mask_of_bits(int bits) {
        return _mm_castsi128_pd(
            _mm_set_epi64x((bits & 2) != 0 ? -1LL : 0LL, (bits & 1) != 0 ? -1LL : 0LL));
    }
    static Native add(Native a, Native b) { return _mm_add_pd(a, b); }
    static Native sub(Native a, Native b) { return _mm_sub_pd(a, b); }
    static Native mul(Native a, Native b) { return _mm_mul_pd(a, b); }
    static Native div(Native a, Native b) { return _mm_div_pd(a, b); }
    static Native sqrt(Native a) { return _mm_sqrt_pd(a); }
    // The sign flipped, as the scalar unary minus does (NaN and zeros included).
    static Native negate(Native a) { return _mm_xor_pd(a, _mm_set1_pd(-0.0)); }
    static Native fabs(Native a) {
        return _mm_and_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL)));
    }
    // Ordered comparisons are false where a lane is NaN, != is true there: as for doubles.
    static MaskNative lt(Native a, Native b) { return _mm_cmplt_pd(a, b); }
    static MaskNative le(Native a, Native b) { return _mm_cmple_pd(a, b); }
    static MaskNative eq(Native a, Native b) { return _mm_cmpeq_pd(a, b); }
    static MaskNative neq(Native a, Native b) { return _mm_cmpneq_pd(a, b); }
    static MaskNative both(MaskNative a, MaskNative b) { return _mm_and_pd(a, b); }
    static MaskNative either(MaskNative a, MaskNative b) { return _mm_or_pd(a, b); }
    static MaskNative invert(MaskNative a) {
        return _mm_xor_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(-1)));
    }
    static Native select(MaskNative mask, Native chosen, Native other) {
        return _mm_or_pd(_mm_and_pd(mask, chosen), _mm_andnot_pd(mask, other));
    }
    static Native make(double first, double second) { return _mm_set_pd(second, first); }
};
using PairOps = Sse2;

#else

// Without SSE2 the two lanes are two doubles.
struct TwoDoubles {
    struct Native {
        double v[2];
    };
    struct MaskNative {
        bool v[2];
    };
    static constexpr int kWidth = 2;
    template <class Op>
    static Native each(Native a, Native b, Op op) {
        return Native{{op(a.v[0], b.v[0]), op(a.v[1], b.v[1])}};
    }
    template <class Op>
    static MaskNative compare(Native a, Native b, Op op) {
        return MaskNative{{op(a.v[0], b.v[0]), op(a.v[1], b.v[1])}};
    }
    static Native set1(double x) { return Native{{x, x}}; }
    static double lane(Native x, int index) { return x.v[index]; }
    static int bits(MaskNative mask) { return (mask.v[0] ? 1 : 0) | (mask.v[1] ? 2 : 0); }
    static MaskNative mask_of_bits(int bits) {
        return MaskNative{{(bits & 1) != 0, (bits & 2) != 0}};
    }
    static Native add(Native a, Native b) {
        return each(a, b, [](double x, double y) { return x + y; });
    }
    static Native sub(Native a, Native b) {
        return each(a, b, [](double x, double y) { return x - y; });
    }
    static Native mul(Native a, Native b) {
        return each(a, b, [](double x, double y) { return x * y; });
    }
    static Native div(Native a, Native b) {
        return each(a, b, [](double x, double y) { return x / y; });
    }
    static Native sqrt(Native a) { return Native{{std::sqrt(a.v[0]), std::sqrt(a.v[1])}}; }
    static Native negate(Native a) { return Native{{-a.v[0], -a.v[1]}}; }
    static Native fabs(Native a) { return Native{{std::fabs(a.v[0]), std::fabs(a.v[1])}}; }
    static MaskNative lt(Native a, Native b) {
        return compare(a, b, [](double x, double y) { return x < y; });
    }
    static MaskNative le(Native a, Native b) {
        return compare(a, b, [](double x, double y) { return x <= y; });
    }
    static MaskNative eq(Native a, Native b) {
        return compare(a, b, [](double x, double y) { return x == y; });
    }
    static MaskNative neq(Native a, Native b) {
        return compare(a, b, [](double x, double y) { return x != y; });
    }
    static MaskNative both(MaskNative a, MaskNative b) {
        return MaskNative{{a.v[0] && b.v[0], a.v[1] && b.v[1]}};
    }
    static MaskNative either(MaskNative a, MaskNative b) {
        return MaskNative{{a.v[0] || b.v[0], a.v[1] || b.v[1]}};
    }
    static MaskNative invert(MaskNative a) { return MaskNative{{!a.v[0], !a.v[1]}}; }
    static Native select(MaskNative mask, Native chosen, Native other) {
        return Native{{mask.v[0] ? chosen.v[0] : other.v[0], mask.v[1] ? chosen.v[1] : other.v[1]}};
    }
    static Native make(double first, double second) { return Native{{first, second}}; }
};
using PairOps = TwoDoubles;

#endif

using Pair = Packed<PairOps>;
using PairMask = PackedMask<PairOps>;

#if defined(__AVX2__)

// Four lanes in one AVX register, where the build targets AVX2: the divider takes four
// lanes' divisions or square roots in the time of two.
struct Avx {
    using Native = __m256d;
    using MaskNative = __m256d;
    static constexpr int kWidth = 4;
    static Native set1(double x) { return _mm256_set1_pd(x); }
    static double lane(Native x, int index) {
        alignas(32) double values[4];
        _mm256_store_pd(values, x);
        return values[index];
    }
    static int bits(MaskNative mask) { return _mm256_movemask_pd(mask); }
    static MaskNative mask_of_bits(int bits) {
        return _mm256_castsi256_pd(
            _mm256_set_epi64x((bits & 8) != 0 ? -1LL : 0LL, (bits & 4) != 0 ? -1LL : 0LL,
                              (bits & 2) != 0 ? -1LL : 0LL, (bits & 1) != 0 ? -1LL : 0LL));
    }
    static Native add(Native a, Native b) { return _mm256_add_pd(a, b); }
    static Native sub(Native a, Native b) { return _mm256_sub_pd(a, b); }
    static Native mul(Native a, Native b) { return _mm256_mul_pd(a, b); }
    static Native div(Native a, Native b) { return _mm256_div_pd(a, b); }
    static Native sqrt(Native a) { return _mm256_sqrt_pd(a); }
    static Native negate(Native a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static Native fabs(Native a) {
        return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL)));
    }
    // The predicates of the scalar comparisons: ordered (false on NaN) but !=.
    static MaskNative lt(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static MaskNative le(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static MaskNative eq(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static MaskNative neq(Native a, Native b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static MaskNative both(MaskNative a, MaskNative b) { return _mm256_and_pd(a, b); }
    static MaskNative either(MaskNative a, MaskNative b) { return _mm256_or_pd(a, b); }
    static MaskNative invert(MaskNative a) {
        return _mm256_xor_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)));
    }
    static Native select(MaskNative mask, Native chosen, Native other) {
        return _mm256_blendv_pd(other, chosen, mask);
    }
    static Native make(double first, double second, double third, double fourth) {
        return _mm256_set_pd(fourth, third, second, first);
    }
};

using Quad = Packed<Avx>;
using QuadMask = PackedMask<Avx>;

#endif

template <class R>
Packed<R> packed(double x) {
    return Packed<R>{R::set1(x)};
}
template <class R>
double lane(Packed<R> x, int index) {
    return R::lane(x.v, index);
}
template <class R>
bool lane(PackedMask<R> mask, int index) {
    return ((R::bits(mask.v) >> index) & 1) != 0;
}

template <class R>
Packed<R> operator+(Packed<R> a, Packed<R> b) {
    return {R::add(a.v, b.v)};
}
template <class R>
Packed<R> operator-(Packed<R> a, Packed<R> b) {
    return {R::sub(a.v, b.v)};
}
template <class R>
Packed<R> operator*(Packed<R> a, Packed<R> b) {
    return {R::mul(a.v, b.v)};
}
template <class R>
Packed<R> operator/(Packed<R> a, Packed<R> b) {
    return {R::div(a.v, b.v)};
}
template <class R>
Packed<R> operator-(Packed<R> a) {
    return {R::negate(a.v)};
}
template <class R>
Packed<R> sqrt(Packed<R> x) {
    return {R::sqrt(x.v)};
}
template <class R>
Packed<R> fabs(Packed<R> x) {
    return {R::fabs(x.v)};
}

template <class R>
PackedMask<R> operator<(Packed<R> a, Packed<R> b) {
    return {R::lt(a.v, b.v)};
}
template <class R>
PackedMask<R> operator<=(Packed<R> a, Packed<R> b) {
    return {R::le(a.v, b.v)};
}
template <class R>
PackedMask<R> operator>(Packed<R> a, Packed<R> b) {
    return {R::lt(b.v, a.v)};
}
template <class R>
PackedMask<R> operator>=(Packed<R> a, Packed<R> b) {
    return {R::le(b.v, a.v)};
}
template <class R>
PackedMask<R> operator==(Packed<R> a, Packed<R> b) {
    return {R::eq(a.v, b.v)};
}
template <class R>
PackedMask<R> operator!=(Packed<R> a, Packed<R> b) {
    return {R::neq(a.v, b.v)};
}
template <class R>
PackedMask<R> operator&&(PackedMask<R> a, PackedMask<R> b) {
    return {R::both(a.v, b.v)};
}
template <class R>
PackedMask<R> operator||(PackedMask<R> a, PackedMask<R> b) {
    return {R::either(a.v, b.v)};
}
template <class R>
PackedMask<R> operator!(PackedMask<R> a) {
    return {R::invert(a.v)};
}

template <class R>
Packed<R> select(PackedMask<R> mask, Packed<R> chosen, Packed<R> other) {
    return {R::select(mask.v, chosen.v, other.v)};
}
template <class R>
bool any(PackedMask<R> mask) {
    return R::bits(mask.v) != 0;
}
template <class R>
bool all(PackedMask<R> mask) {
    return R::bits(mask.v) == (1 << R::kWidth) - 1;
}

// A double beside a packed number takes part in every lane.
template <class R>
Packed<R> operator+(Packed<R> a, double b) {
    return a + packed<R>(b);
}
template <class R>
Packed<R> operator+(double a, Packed<R> b) {
    return packed<R>(a) + b;
}
template <class R>
Packed<R> operator-(Packed<R> a, double b) {
    return a - packed<R>(b);
}
template <class R>
Packed<R> operator-(double a, Packed<R> b) {
    return packed<R>(a) - b;
}
template <class R>
Packed<R> operator*(Packed<R> a, double b) {
    return a * packed<R>(b);
}
template <class R>
Packed<R> operator*(double a, Packed<R> b) {
    return packed<R>(a) * b;
}
template <class R>
Packed<R> operator/(Packed<R> a, double b) {
    return a / packed<R>(b);
}
template <class R>
Packed<R> operator/(double a, Packed<R> b) {
    return packed<R>(a) / b;
}
template <class R>
PackedMask<R> operator<(Packed<R> a, double b) {
    return a < packed<R>(b);
}
template <class R>
PackedMask<R> operator<=(Packed<R> a, double b) {
    return a <= packed<R>(b);
}
template <class R>
PackedMask<R> operator>(Packed<R> a, double b) {
    return a > packed<R>(b);
}
template <class R>
PackedMask<R> operator>(double a, Packed<R> b) {
    return packed<R>(a) > b;
}
template <class R>
PackedMask<R> operator<(double a, Packed<R> b) {
    return packed<R>(a) < b;
}
template <class R>
PackedMask<R> operator>=(Packed<R> a, double b) {
    return a >= packed<R>(b);
}
template <class R>
PackedMask<R> operator!=(Packed<R> a, double b) {
    return a != packed<R>(b);
}
template <class R>
PackedMask<R> operator==(Packed<R> a, double b) {
    return a == packed<R>(b);
}
template <class R>
Packed<R>& operator+=(Packed<R>& a, Packed<R> b) {
    return a = a + b;
}

// std::max(a, b) is (a < b) ? b : a, std::min(a, b) is (b < a) ? b : a.
template <class R>
Packed<R> max_of(Packed<R> a, Packed<R> b) {
    return select(a < b, b, a);
}
template <class R>
Packed<R> max_of(Packed<R> a, double b) {
    return max_of(a, packed<R>(b));
}
template <class R>
Packed<R> min_of(Packed<R> a, Packed<R> b) {
    return select(b < a, b, a);
}
template <class R>
Packed<R> select(PackedMask<R> mask, double chosen, Packed<R> other) {
    return select(mask, packed<R>(chosen), other);
}
template <class R>
Packed<R> select(PackedMask<R> mask, Packed<R> chosen, double other) {
    return select(mask, chosen, packed<R>(other));
}
template <class R>
Packed<R> select(PackedMask<R> mask, double chosen, double other) {
    return select(mask, packed<R>(chosen), packed<R>(other));
}

// The mask type and lane count of a number type.
template <class V>
struct Traits;
template <>
struct Traits<double> {
    using Mask = bool;
    static constexpr int kWidth = 1;
};
template <class R>
struct Traits<Packed<R>> {
    using Ops = R;
    using Mask = PackedMask<R>;
    static constexpr int kWidth = R::kWidth;
};
template <class V>
using MaskOf = typename Traits<V>::Mask;
template <class V>
inline constexpr int kWidth = Traits<V>::kWidth;

// V from its lanes, lane l being value(l).
template <class V, class F>
[[gnu::always_inline]] inline V from_lanes(F&& value) {
    if constexpr (std::is_same_v<V, double>) {
        return value(0);
    } else if constexpr (kWidth<V> == 2) {
        const double first = value(0);
        const double second = value(1);
        return V{Traits<V>::Ops::make(first, second)};
    } else {
        const double first = value(0);
        const double second = value(1);
        const double third = value(2);
        const double fourth = value(3);
        return V{Traits<V>::Ops::make(first, second, third, fourth)};
    }
}

// A mask of V from its lanes' truth values, lane l being truth(l).
template <class V, class F>
[[gnu::always_inline]] inline MaskOf<V> mask_from_lanes(F&& truth) {
    if constexpr (std::is_same_v<V, double>) {
        return static_cast<bool>(truth(0));
    } else {
        int bits = 0;
        for (int l = 0; l < kWidth<V>; ++l) {
            bits |= truth(l) ? 1 << l : 0;
        }
        return MaskOf<V>{Traits<V>::Ops::mask_of_bits(bits)};
    }
}

// A mask of `value` in every lane of V.
template <class V>
auto splat_mask(bool value) {
    return mask_from_lanes<V>([value](int) __attribute__((always_inline)) { return value; });
}

// x in every lane of V.
template <class V>
V splat(double x) {
    if constexpr (std::is_same_v<V, double>) {
        return x;
    } else {
        return packed<typename Traits<V>::Ops>(x);
    }
}

}  // namespace halfmoon::lanes
