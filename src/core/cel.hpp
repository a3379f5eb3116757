// Complete elliptic integrals by Bulirsch's general complete integral
//
//   cel(kc, p, a, b) = int_0^(pi/2) (a cos^2 t + b sin^2 t)
//                                   / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt,
//
// for kc != 0 and p > 0 (Bulirsch 1969, Numer. Math. 13, 305). Each step of the iteration is a
// Gauss transformation: it replaces (kc, p, a, b) by arguments closer to kc = 1, where the
// integral is elementary, pulling kc and the running mean together quadratically. Like the
// arithmetic-geometric mean it needs about five steps in double precision, one square root
// and one or two divisions each.
//
// The complete Carlson integrals with x = 0, z = 1 are cel's of a simple kind. With
// D = sqrt(cos^2 t + kc^2 sin^2 t) and t from 0 to pi/2:
//
//   R_F(0, kc^2, 1)    = int 1/D                                  = cel(kc, 1, 1, 1),
//   R_D(0, kc^2, 1)    = 3 int sin^2/D       (= 3 (K - E)/k^2)     = cel(kc, 1, 0, 3),
//   R_J(0, kc^2, 1, r) = 3 int sin^2 / ((cos^2 + r sin^2) D)      = cel(kc, r, 0, 3).
//
// The last follows from Pi(n) = K + (n/3) R_J(0, kc^2, 1, 1 - n): Pi(n) - K is the integral of
// n sin^2 / ((1 - n sin^2) D), and 1 - n sin^2 = cos^2 + r sin^2 for r = 1 - n.
//
// For p = 1 the iteration keeps p equal to its running mean, so R_F and R_D share everything;
// R_J runs beside them with its own p. One pass then gives all three, with two divisions and
// one square root per step; any three cel's of one kc, two of them with p = 1, come the same
// way.
#pragma once

#include <array>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/constants.hpp"

namespace halfmoon::cel {

// The iteration stops once the running mean and kc agree to this relative distance: the
// quadratic convergence of the last step then leaves about (kTolerance)^2 / 8 < 1e-17.
inline constexpr double kTolerance = 1e-8;
// No convergent case needs more steps (kc from 1e-300 to 1e300 takes at most 13).
inline constexpr int kMaxSteps = 40;

// cel(kc, p, a, b) for kc != 0, p > 0. Invalid arguments (p <= 0, kc = 0, NaN) give NaN or
// infinity.
inline double cel(double kc, double p, double a, double b) {
    if (!(p > 0.0) || kc == 0.0) {
        return kc == 0.0 && p > 0.0 ? HUGE_VAL : std::nan("");
    }
    kc = std::fabs(kc);
    double e = kc;
    double m = 1.0;
    p = std::sqrt(p);
    b /= p;
    for (int step = 0; step < kMaxSteps; ++step) {
        const double f = a;
        a += b / p;
        const double g = e / p;
        b = 2.0 * (b + f * g);
        p += g;
        const double mean = m;
        m += kc;
        if (std::fabs(mean - kc) <= mean * kTolerance) {
            break;
        }
        kc = 2.0 * std::sqrt(e);
        e = kc * m;
    }
    return kHalfPi * (a * m + b) / (m * (m + p));
}

// The numerator of one cel, a cos^2 + b sin^2.
struct Numerator {
    double a;
    double b;
};

// Three cel's that share kc: the first two with p = 1, the third with p = r, given kc > 0,
// root_r = sqrt(r) > 0 and inv_root_r = 1/sqrt(r) (callers often know these without a root or a
// division). With p = 1 the
// iteration keeps p equal to the running mean m, so the first two need nothing of their own
// but their (a, b); the third carries its own p.
struct CelTriple {
    double first;
    double second;
    double third;
};

// The running state of cel_shared: one step at a time, so that callers can run several
// independent ones side by side (their chains of dependent square roots and divisions then
// overlap), each with exactly the arithmetic it has alone.
class SharedIteration {
  public:
    // The first step, with m = 1 and the third lane's p = sqrt r.
    [[gnu::always_inline]] SharedIteration(double kc, double root_r, double inv_root_r,
                                           Numerator first, Numerator second, Numerator third)
        : kc_(kc), e_(kc), m_(1.0 + kc), p3_(root_r + kc * inv_root_r) {
        const double g3 = kc * inv_root_r;
        a1_ = first.a + first.b;
        a2_ = second.a + second.b;
        const double b3 = third.b * inv_root_r;
        a3_ = third.a + b3 * inv_root_r;
        b1_ = 2.0 * (first.b + first.a * kc);
        b2_ = 2.0 * (second.b + second.a * kc);
        b3_ = 2.0 * (b3 + third.a * g3);
        running_ = !(std::fabs(1.0 - kc) <= kTolerance);
        if (running_) {
            kc_ = 2.0 * std::sqrt(e_);
            e_ = kc_ * m_;
        }
    }

    bool running() const { return running_; }
    // Steps taken so far (the first counts one).
    int steps() const { return steps_; }

    // One more step; false once the iteration has converged.
    [[gnu::always_inline]] bool step() {
        // p = m for the first two, so their e/p is kc.
        const double inv_m = 1.0 / m_;
        const double inv_p3 = 1.0 / p3_;
        const double f1 = a1_;
        const double f2 = a2_;
        const double f3 = a3_;
        a1_ += b1_ * inv_m;
        a2_ += b2_ * inv_m;
        a3_ += b3_ * inv_p3;
        const double g3 = e_ * inv_p3;
        b1_ = 2.0 * (b1_ + f1 * kc_);
        b2_ = 2.0 * (b2_ + f2 * kc_);
        b3_ = 2.0 * (b3_ + f3 * g3);
        p3_ += g3;
        const double mean = m_;
        m_ += kc_;
        running_ = !(std::fabs(mean - kc_) <= mean * kTolerance) && ++steps_ < kMaxSteps;
        if (running_) {
            kc_ = 2.0 * std::sqrt(e_);
            e_ = kc_ * m_;
        }
        return running_;
    }

    // Bulirsch's closing step, pi/2 (a m + b) / (m (m + p)), with p = m for the first two: one
    // division for both denominators.
    [[gnu::always_inline]] CelTriple result() const {
        const double inv_all = kHalfPi / ((2.0 * m_ * m_) * (m_ * (m_ + p3_)));
        const double scale = m_ * (m_ + p3_) * inv_all;
        const double scale3 = (2.0 * m_ * m_) * inv_all;
        return CelTriple{(a1_ * m_ + b1_) * scale, (a2_ * m_ + b2_) * scale,
                         (a3_ * m_ + b3_) * scale3};
    }

    // The first two alone, pi/2 (a m + b) / (m (m + m)): what they are whatever the third's p,
    // so the same bits from any iteration of the same kc (result()'s shared division rounds
    // with the third's p).
    [[gnu::always_inline]] std::array<double, 2> first_two() const {
        const double scale = kHalfPi / (2.0 * m_ * m_);
        return {(a1_ * m_ + b1_) * scale, (a2_ * m_ + b2_) * scale};
    }

  private:
    friend class PackedIterations;

    double kc_;
    double e_;
    double m_;
    double p3_;
    double a1_ = 0.0;
    double b1_ = 0.0;
    double a2_ = 0.0;
    double b2_ = 0.0;
    double a3_ = 0.0;
    double b3_ = 0.0;
    int steps_ = 1;
    bool running_ = true;
};

// Steps two iterations, one step of each in turn while both still run, until both have
// converged.
inline void finish_side_by_side(SharedIteration& one, SharedIteration& two) {
    bool run_one = one.running();
    bool run_two = two.running();
    while (run_one || run_two) {
        if (run_one) {
            run_one = one.step();
        }
        if (run_two) {
            run_two = two.step();
        }
    }
}

#if defined(__SSE2__)
// Two iterations in the two lanes of packed registers, stepped together while both run; every
// operation is the scalar one in each lane, so each lane keeps exactly its own arithmetic.
class PackedIterations {
  public:
    [[gnu::always_inline]] PackedIterations(const SharedIteration& one, const SharedIteration& two)
        : kc_(pack(one.kc_, two.kc_)),
          e_(pack(one.e_, two.e_)),
          m_(pack(one.m_, two.m_)),
          p3_(pack(one.p3_, two.p3_)),
          a1_(pack(one.a1_, two.a1_)),
          b1_(pack(one.b1_, two.b1_)),
          a2_(pack(one.a2_, two.a2_)),
          b2_(pack(one.b2_, two.b2_)),
          a3_(pack(one.a3_, two.a3_)),
          b3_(pack(one.b3_, two.b3_)) {}

    // The arithmetic of SharedIteration::step up to its test of convergence, in both lanes;
    // returns the lanes that have converged (bit i for lane i).
    [[gnu::always_inline]] int step() {
        const __m128d unit = _mm_set1_pd(1.0);
        const __m128d twice = _mm_set1_pd(2.0);
        const __m128d inv_m = _mm_div_pd(unit, m_);
        const __m128d inv_p3 = _mm_div_pd(unit, p3_);
        const __m128d g3 = _mm_mul_pd(e_, inv_p3);
        const __m128d f1 = a1_;
        const __m128d f2 = a2_;
        const __m128d f3 = a3_;
        a1_ = _mm_add_pd(a1_, _mm_mul_pd(b1_, inv_m));
        a2_ = _mm_add_pd(a2_, _mm_mul_pd(b2_, inv_m));
        a3_ = _mm_add_pd(a3_, _mm_mul_pd(b3_, inv_p3));
        b1_ = _mm_mul_pd(twice, _mm_add_pd(b1_, _mm_mul_pd(f1, kc_)));
        b2_ = _mm_mul_pd(twice, _mm_add_pd(b2_, _mm_mul_pd(f2, kc_)));
        b3_ = _mm_mul_pd(twice, _mm_add_pd(b3_, _mm_mul_pd(f3, g3)));
        p3_ = _mm_add_pd(p3_, g3);
        const __m128d mean = m_;
        m_ = _mm_add_pd(m_, kc_);
        // |mean - kc| <= mean tolerance (false for NaN).
        const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
        return _mm_movemask_pd(_mm_cmple_pd(_mm_and_pd(_mm_sub_pd(mean, kc_), magnitude),
                                            _mm_mul_pd(mean, _mm_set1_pd(kTolerance))));
    }

    // The rest of the step where both lanes go on.
    [[gnu::always_inline]] void advance() {
        kc_ = _mm_mul_pd(_mm_set1_pd(2.0), _mm_sqrt_pd(e_));
        e_ = _mm_mul_pd(kc_, m_);
    }

    // Back into the two iterations after a step() that returned `converged`, `steps` being
    // the step count before it: a lane that has converged stops; the other counts the step,
    // unless the loop stopped at the step limit with the step counted already, and goes on
    // (its end of step done alone) below the limit.
    [[gnu::always_inline]] void store(SharedIteration& one, SharedIteration& two, int converged,
                                      int steps, bool counted) const {
        unpack(kc_, one.kc_, two.kc_);
        unpack(e_, one.e_, two.e_);
        unpack(m_, one.m_, two.m_);
        unpack(p3_, one.p3_, two.p3_);
        unpack(a1_, one.a1_, two.a1_);
        unpack(b1_, one.b1_, two.b1_);
        unpack(a2_, one.a2_, two.a2_);
        unpack(b2_, one.b2_, two.b2_);
        unpack(a3_, one.a3_, two.a3_);
        unpack(b3_, one.b3_, two.b3_);
        SharedIteration* lanes[2] = {&one, &two};
        for (int lane = 0; lane < 2; ++lane) {
            SharedIteration& it = *lanes[lane];
            if (((converged >> lane) & 1) != 0) {
                it.steps_ = steps;
                it.running_ = false;
                continue;
            }
            it.steps_ = counted ? steps : steps + 1;
            it.running_ = it.steps_ < kMaxSteps;
            if (it.running_) {
                it.kc_ = 2.0 * std::sqrt(it.e_);
                it.e_ = it.kc_ * it.m_;
            }
        }
    }

  private:
    static __m128d pack(double first, double second) { return _mm_set_pd(second, first); }
    static void unpack(__m128d v, double& first, double& second) {
        first = _mm_cvtsd_f64(v);
        second = _mm_cvtsd_f64(_mm_unpackhi_pd(v, v));
    }

    __m128d kc_;
    __m128d e_;
    __m128d m_;
    __m128d p3_;
    __m128d a1_;
    __m128d b1_;
    __m128d a2_;
    __m128d b2_;
    __m128d a3_;
    __m128d b3_;
};

// Whether iterations can step in packed lanes together: all still running, at one step count.
inline bool in_step(const SharedIteration& first, const SharedIteration& other) {
    return first.running() && other.running() && first.steps() == other.steps();
}

// Runs two iterations to convergence side by side, each with exactly the arithmetic it has
// alone: in the lanes of one packed register while both run (a step then costs one packed
// square root and two packed divisions instead of two of each), the one left finishing alone.
// Each result is the iteration's alone, bit for bit.
inline void run_side_by_side(SharedIteration& one, SharedIteration& two) {
    if (in_step(one, two)) {
        PackedIterations lanes(one, two);
        int steps = one.steps();
        int converged = 0;
        bool counted = false;
        while (true) {
            converged = lanes.step();
            if (converged != 0) {
                break;
            }
            if (++steps >= kMaxSteps) {
                counted = true;
                break;
            }
            lanes.advance();
        }
        lanes.store(one, two, converged, steps, counted);
    }
    finish_side_by_side(one, two);
}

// Two pairs at once: their chains of dependent divisions and square roots overlap, in one loop
// while all four run; then each pair as above.
inline void run_side_by_side(SharedIteration& one, SharedIteration& two, SharedIteration& three,
                             SharedIteration& four) {
    if (in_step(one, two) && in_step(three, four) && one.steps() == three.steps()) {
        PackedIterations first(one, two);
        PackedIterations second(three, four);
        int steps = one.steps();
        int converged_first = 0;
        int converged_second = 0;
        bool counted = false;
        while (true) {
            converged_first = first.step();
            converged_second = second.step();
            if ((converged_first | converged_second) != 0) {
                break;
            }
            if (++steps >= kMaxSteps) {
                counted = true;
                break;
            }
            first.advance();
            second.advance();
        }
        first.store(one, two, converged_first, steps, counted);
        second.store(three, four, converged_second, steps, counted);
    }
    run_side_by_side(one, two);
    run_side_by_side(three, four);
}
#else
inline void run_side_by_side(SharedIteration& one, SharedIteration& two) {
    finish_side_by_side(one, two);
}

inline void run_side_by_side(SharedIteration& one, SharedIteration& two, SharedIteration& three,
                             SharedIteration& four) {
    finish_side_by_side(one, two);
    finish_side_by_side(three, four);
}
#endif

// An iteration stepped alone until it has converged.
inline SharedIteration converged(SharedIteration iteration) {
    while (iteration.running() && iteration.step()) {
    }
    return iteration;
}

inline CelTriple cel_shared(double kc, double root_r, double inv_root_r, Numerator first,
                            Numerator second, Numerator third) {
    return converged(SharedIteration(kc, root_r, inv_root_r, first, second, third)).result();
}

// The complete integrals R_F(0, kc^2, 1) and R_D(0, kc^2, 1) by SharedIteration::first_two.
inline std::array<double, 2> complete_rf_rd(double kc) {
    return converged(SharedIteration(kc, 1.0, 1.0, {1.0, 1.0}, {0.0, 3.0}, {0.0, 3.0})).first_two();
}

// The complete integrals R_F(0, kc^2, 1), R_D(0, kc^2, 1) and R_J(0, kc^2, 1, r).
struct CompleteTriple {
    double rf;
    double rd;
    double rj;
};

inline CompleteTriple complete_rf_rd_rj(double kc, double root_r) {
    const CelTriple t = cel_shared(kc, root_r, 1.0 / root_r, {1.0, 1.0}, {0.0, 3.0}, {0.0, 3.0});
    return CompleteTriple{t.first, t.second, t.third};
}

}  // namespace halfmoon::cel
