// Carlson's symmetric elliptic integrals of the first, second and third kind,
//
//   R_F(x, y, z)    = 1/2 int_0^inf dt / sqrt((t+x)(t+y)(t+z)),
//   R_D(x, y, z)    = 3/2 int_0^inf dt / (sqrt((t+x)(t+y)) (t+z)^(3/2)),
//   R_J(x, y, z, p) = 3/2 int_0^inf dt / (sqrt((t+x)(t+y)(t+z)) (t+p)),
//   R_C(x, y)       = R_F(x, y, y),
//
// for real, non-negative arguments (at most one of x, y, z zero; p > 0, y > 0 for R_C), by
// Carlson's duplication algorithm. Each duplication step replaces every argument v by
// (v + lambda)/4 with lambda = sqrt(x y) + sqrt(x z) + sqrt(y z), which leaves the integral
// unchanged up to a scale and pulls the arguments together by a factor four; once they agree
// to within about one per cent, a seventh-order symmetric series about their mean finishes the
// job (Carlson 1995; DLMF 19.36.1-2).
//
// R_J carries, at every step, an extra term R_C(1, 1 + e) with
// e = (p-x)(p-y)(p-z) / d^2 and d = (sqrt p + sqrt x)(sqrt p + sqrt y)(sqrt p + sqrt z). When p
// is much smaller than x, y and z the first e is -1 + O(sqrt(p/x)): forming 1 + e by addition
// then keeps only a few digits of it, and R_C(1, 1 + e) ~ 1/sqrt(1 + e) loses them. Here 1 + e
// is instead formed without cancellation from the identity
//
//   d^2 + (p-x)(p-y)(p-z) = d (prod(sqrt p + sqrt v) + prod(sqrt p - sqrt v))
//                         = 2 d sqrt(p) (p + lambda),
//
// so 1 + e = 2 sqrt(p) (p + lambda) / d, every term of which is positive. (Only the first step
// or two can come near e = -1: after them p is comparable with the other arguments.)
//
// Invalid arguments (negative, NaN) give NaN or infinity; no call loops for ever.
#pragma once

#include <algorithm>
#include <cmath>

#include "core/cel.hpp"
#include "core/lanes.hpp"

namespace halfmoon::carlson {

// Duplication stops once 4^-m Q < |A_m|, Q being a multiple of the initial spread of the
// arguments about their mean A_0. The normalised deviations X = (A_m - x_m)/A_m are then at most
// 1/multiple, and the seventh-order series below leaves a relative error of order X^8: at most
// 1.4e-17 for |X| <= 0.01 (worst of random directions, against 60-digit values). R_C keeps
// Carlson's sixth-order series with Q = (3r)^(-1/8) |A_0 - x| for r = 1e-16.
inline constexpr double kSpreadFactor = 100.0;
inline constexpr double kSpreadFactorC = 88.0;
// Guard against arguments for which the duplication cannot converge (two zeros): the step
// count of any convergent case is far below this.
inline constexpr int kMaxSteps = 120;
inline constexpr double kInfinity = HUGE_VAL;

// The three integrals R_F, R_D and R_J that share their first three arguments.
struct SymmetricTriple {
    double rf;
    double rd;
    double rj;
};

namespace detail {

template <class V>
inline V max_spread(V mean, V a, V b, V c) {
    return lanes::max_of(lanes::fabs(mean - a),
                         lanes::max_of(lanes::fabs(mean - b), lanes::fabs(mean - c)));
}

// The series below divide by their constant denominators as products with the reciprocals
// (a rounding each, no division: a division costs the divider several cycles, and a duplication
// finishes with over thirty of them per lane). Every term but the leading 1 is below 1e-3, so
// the reciprocals' rounding moves the sum by less than 1e-19.
template <int Denominator>
inline constexpr double kOver = 1.0 / Denominator;

// Seventh-order series of R_F about the mean, for normalised deviations x, y (z = -x - y).
template <class V>
inline V series_f(V x, V y) {
    const V z = -x - y;
    const V e2 = x * y - z * z;
    const V e3 = x * y * z;
    return 1.0 - e2 * kOver<10> + e3 * kOver<14> + e2 * e2 * kOver<24> - 3.0 * e2 * e3 * kOver<44> -
           5.0 * e2 * e2 * e2 * kOver<208> + 3.0 * e3 * e3 * kOver<104> + e2 * e2 * e3 * kOver<16>;
}

// Seventh-order series shared by R_D and R_J, in the elementary symmetric functions E2..E5 of
// the normalised deviations.
template <class V>
inline V series_dj(V e2, V e3, V e4, V e5) {
    return 1.0 - 3.0 * e2 * kOver<14> + e3 * kOver<6> + 9.0 * e2 * e2 * kOver<88> -
           3.0 * e4 * kOver<22> - 9.0 * e2 * e3 * kOver<52> + 3.0 * e5 * kOver<26> -
           e2 * e2 * e2 * kOver<16> + 3.0 * e3 * e3 * kOver<40> + 3.0 * e2 * e4 * kOver<20> +
           45.0 * e2 * e2 * e3 * kOver<272> - 9.0 * (e3 * e4 + e2 * e5) * kOver<68>;
}

// Series of R_D for normalised deviations x, y (z = -(x + y)/3, the weight of z being 3).
template <class V>
inline V series_d(V x, V y) {
    const V z = -(x + y) * kOver<3>;
    const V xy = x * y;
    const V zz = z * z;
    const V e2 = xy - 6.0 * zz;
    const V e3 = (3.0 * xy - 8.0 * zz) * z;
    const V e4 = 3.0 * (xy - zz) * zz;
    const V e5 = xy * zz * z;
    return series_dj(e2, e3, e4, e5);
}

// Series of R_J for normalised deviations x, y, z (p = -(x + y + z)/2, the weight of p being 2).
template <class V>
inline V series_j(V x, V y, V z) {
    const V p = -(x + y + z) / 2.0;
    const V xyz = x * y * z;
    const V pp = p * p;
    const V e2 = x * y + x * z + y * z - 3.0 * pp;
    const V e3 = xyz + 2.0 * e2 * p + 4.0 * pp * p;
    const V e4 = (2.0 * xyz + e2 * p + 3.0 * pp * p) * p;
    const V e5 = xyz * pp;
    return series_dj(e2, e3, e4, e5);
}

// R_C(1, 1 + e), given 1 + e formed without cancellation (`one_plus_e`, read only near
// e = -1).
//   e > 0:  atan(sqrt e) / sqrt e;
//   e < 0:  atanh(sqrt(-e)) / sqrt(-e) = log((1 + sqrt(-e)) / sqrt(1 + e)) / sqrt(-e);
//   |e| small: the common series sum_k (-e)^k / (2k + 1).
// e shrinks by about 64 per duplication step, so the series, good to |e| < kSeriesLimit, takes
// every step after the first or second and the inverse functions are left for those.
inline constexpr double kSeriesLimit = 0.02;

// The series of R_C(1, 1 + e) for |e| < kSeriesLimit: ten terms leave less than
// |e|^10/21 < 5e-19.
template <class V>
inline V rc_series(V e) {
    return 1.0 + e * (-1.0 / 3.0 +
                      e * (1.0 / 5.0 +
                           e * (-1.0 / 7.0 +
                                e * (1.0 / 9.0 +
                                     e * (-1.0 / 11.0 +
                                          e * (1.0 / 13.0 +
                                               e * (-1.0 / 15.0 +
                                                    e * (1.0 / 17.0 + e * (-1.0 / 19.0)))))))));
}

inline double rc_one_plus(double e, double one_plus_e) {
    if (std::fabs(e) < kSeriesLimit) {
        return rc_series(e);
    }
    if (e > 0.0) {
        const double root = std::sqrt(e);
        return std::atan(root) / root;
    }
    const double root = std::sqrt(-e);
    if (root < 0.5) {
        return std::atanh(root) / root;
    }
    // Near e = -1 the value is governed by 1 + e, taken from its exact form.
    return std::log((1.0 + root) / std::sqrt(one_plus_e)) / root;
}

}  // namespace detail

// R_C(x, y): x >= 0, y > 0.
inline double rc(double x, double y) {
    const double y0 = y;
    const double a0 = (x + 2.0 * y) / 3.0;
    double a = a0;
    double q = kSpreadFactorC * std::fabs(a0 - x);
    double scale = 1.0;
    for (int step = 0; step < kMaxSteps && q > std::fabs(a); ++step) {
        const double lambda = 2.0 * std::sqrt(x) * std::sqrt(y) + y;
        x = (x + lambda) * 0.25;
        y = (y + lambda) * 0.25;
        a = (a + lambda) * 0.25;
        q *= 0.25;
        scale *= 0.25;
    }
    if (q > std::fabs(a)) {
        return kInfinity;  // y = 0: the duplication cannot converge, the integral diverges
    }
    const double s = (y0 - a0) * scale / a;
    const double series =
        1.0 + s * s *
                  (3.0 / 10.0 +
                   s * (1.0 / 7.0 + s * (3.0 / 8.0 + s * (9.0 / 22.0 +
                                                          s * (159.0 / 208.0 + s * (9.0 / 8.0))))));
    return series / std::sqrt(a);
}

namespace detail {

// Whether a lane is a complete integral that cel takes: one of x, y zero, z = 1, the other
// and p positive and finite.
inline bool is_complete(double x, double y, double z, double p) {
    const double other = x == 0.0 ? y : (y == 0.0 ? x : 0.0);
    return z == 1.0 && other > 0.0 && other < kInfinity && p > 0.0 && p < kInfinity;
}

// Triples by duplication in lockstep, for lanes i < count <= Capacity.
//
// The three integrals of one lane move x, y and z identically, so a step costs four square roots
// instead of ten. A single duplication sequence is one long chain of dependent square roots
// whose length varies from call to call; running several lanes side by side lets their chains
// overlap, and the step's arithmetic, written without branches over the lanes, is left to the
// compiler to vectorise. Only the R_C term of R_J branches, in a loop of its own. Lanes that have
// converged keep stepping until the last one has, which only refines them.
//
// Without R_J (kWithJ false) p is not read, and the lanes step only until R_F and R_D have
// converged; the R_J of the result is then left at 0.
template <int Capacity, bool kWithJ = true>
inline void duplication_batch(int count, const double* x_in, const double* y_in, const double* z_in,
                              const double* p_in, SymmetricTriple* out) {
    double x[Capacity];
    double y[Capacity];
    double z[Capacity];
    double p[Capacity];
    double af[Capacity];
    double ad[Capacity];
    double aj[Capacity];
    double qf[Capacity];  // Q of each integral; the step m needs 4^-m Q < |A_m|
    double qd[Capacity];
    double qj[Capacity];
    double delta[Capacity];
    double sum_d[Capacity];
    double sum_j[Capacity];
    double e[Capacity];         // the step's e of R_C(1, 1 + e)
    double one_plus[Capacity];  // its 1 + e without cancellation
    double weight[Capacity];    // 4^-m / d
    for (int i = 0; i < count; ++i) {
        x[i] = x_in[i];
        y[i] = y_in[i];
        z[i] = z_in[i];
        p[i] = kWithJ ? p_in[i] : 1.0;
        af[i] = (x[i] + y[i] + z[i]) * kOver<3>;
        ad[i] = (x[i] + y[i] + 3.0 * z[i]) * kOver<5>;
        aj[i] = (x[i] + y[i] + z[i] + 2.0 * p[i]) * kOver<5>;
        qf[i] = kSpreadFactor * max_spread(af[i], x[i], y[i], z[i]);
        qd[i] = kSpreadFactor * max_spread(ad[i], x[i], y[i], z[i]);
        qj[i] =
            kSpreadFactor * std::max(max_spread(aj[i], x[i], y[i], z[i]), std::fabs(aj[i] - p[i]));
        delta[i] = (p[i] - x[i]) * (p[i] - y[i]) * (p[i] - z[i]);
        sum_d[i] = 0.0;
        sum_j[i] = 0.0;
    }
    double scale = 1.0;
    for (int step = 0; step < kMaxSteps; ++step) {
        bool pending = false;
        for (int i = 0; i < count; ++i) {
            pending |= (qf[i] * scale > std::fabs(af[i])) | (qd[i] * scale > std::fabs(ad[i])) |
                       (kWithJ && qj[i] * scale > std::fabs(aj[i]));
        }
        if (!pending) {
            break;
        }
        const double scale3 = scale * scale * scale;
        if constexpr (kWithJ) {
            for (int i = 0; i < count; ++i) {
                const double sx = std::sqrt(x[i]);
                const double sy = std::sqrt(y[i]);
                const double sz = std::sqrt(z[i]);
                const double sp = std::sqrt(p[i]);
                const double lambda = sx * (sy + sz) + sy * sz;
                // One division gives both reciprocals, 1/(sqrt z (z + lambda)) and 1/d.
                const double dz = sz * (z[i] + lambda);
                const double d = (sp + sx) * (sp + sy) * (sp + sz);
                const double inv_both = 1.0 / (dz * d);
                sum_d[i] += scale * (d * inv_both);
                const double inv_d = dz * inv_both;
                e[i] = delta[i] * scale3 * inv_d * inv_d;
                one_plus[i] = 2.0 * sp * (p[i] + lambda) * inv_d;
                weight[i] = scale * inv_d;
                x[i] = (x[i] + lambda) * 0.25;
                y[i] = (y[i] + lambda) * 0.25;
                z[i] = (z[i] + lambda) * 0.25;
                p[i] = (p[i] + lambda) * 0.25;
                af[i] = (af[i] + lambda) * 0.25;
                ad[i] = (ad[i] + lambda) * 0.25;
                aj[i] = (aj[i] + lambda) * 0.25;
            }
            for (int i = 0; i < count; ++i) {
                sum_j[i] += weight[i] * rc_one_plus(e[i], one_plus[i]);
            }
        } else {
            for (int i = 0; i < count; ++i) {
                const double sx = std::sqrt(x[i]);
                const double sy = std::sqrt(y[i]);
                const double sz = std::sqrt(z[i]);
                const double lambda = sx * (sy + sz) + sy * sz;
                sum_d[i] += scale / (sz * (z[i] + lambda));
                x[i] = (x[i] + lambda) * 0.25;
                y[i] = (y[i] + lambda) * 0.25;
                z[i] = (z[i] + lambda) * 0.25;
                af[i] = (af[i] + lambda) * 0.25;
                ad[i] = (ad[i] + lambda) * 0.25;
            }
        }
        scale *= 0.25;
    }
    for (int i = 0; i < count; ++i) {
        if (qf[i] * scale > std::fabs(af[i]) || qd[i] * scale > std::fabs(ad[i]) ||
            (kWithJ && qj[i] * scale > std::fabs(aj[i]))) {
            // Two zero arguments (or p = 0): no convergence, and the integrals diverge.
            out[i] = SymmetricTriple{kInfinity, kInfinity, kInfinity};
            continue;
        }
        // The same means as at the start, so that the deviations are the ones the steps scaled.
        const double af0 = (x_in[i] + y_in[i] + z_in[i]) * kOver<3>;
        const double ad0 = (x_in[i] + y_in[i] + 3.0 * z_in[i]) * kOver<5>;
        const double aj0 = kWithJ ? (x_in[i] + y_in[i] + z_in[i] + 2.0 * p_in[i]) * kOver<5> : 0.0;
        // The deviations shrink exactly by 4 per step: (A_0 - x_0) 4^-m = A_m - x_m.
        const double kf = scale / af[i];
        const double kd = scale / ad[i];
        const double kj = scale / aj[i];
        out[i].rf = series_f((af0 - x_in[i]) * kf, (af0 - y_in[i]) * kf) / std::sqrt(af[i]);
        out[i].rd = kd * series_d((ad0 - x_in[i]) * kd, (ad0 - y_in[i]) * kd) / std::sqrt(ad[i]) +
                    3.0 * sum_d[i];
        if constexpr (kWithJ) {
            out[i].rj =
                kj * series_j((aj0 - x_in[i]) * kj, (aj0 - y_in[i]) * kj, (aj0 - z_in[i]) * kj) /
                    std::sqrt(aj[i]) +
                6.0 * sum_j[i];
        } else {
            out[i].rj = 0.0;
        }
    }
}

// duplication_batch for at most kGroups times the lanes of V, in the lanes of kGroups packed V
// (lanes::Pair, lanes::Quad) stepping in lockstep: the same operations in the same order lane by
// lane, and the same steps (all lanes step until the last has converged), so each result is the
// one duplication_batch gives for the same lanes; a missing lane repeats the first and changes
// nothing. The R_C term takes its series in all lanes of a register at once where all are
// within its range.
template <class V, int kGroups, bool kWithJ>
inline void duplication_lanes(int count, const double* x_in, const double* y_in, const double* z_in,
                              const double* p_in, SymmetricTriple* out) {
    constexpr int kLanes = lanes::kWidth<V>;
    struct State {
        V x0, y0, z0, p0;
        V x, y, z, p;
        V af, ad, aj;
        V qf, qd, qj;
        V delta;
        V sum_d, sum_j;
    };
    State st[kGroups];
    for (int k = 0; k < kGroups; ++k) {
        auto all = [&](const double* v) __attribute__((always_inline)) {
            return lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
                const int index = kLanes * k + l;
                return v[index < count ? index : 0];
            });
        };
        State& q = st[k];
        q.x0 = all(x_in);
        q.y0 = all(y_in);
        q.z0 = all(z_in);
        q.p0 = kWithJ ? all(p_in) : lanes::splat<V>(1.0);
        q.x = q.x0;
        q.y = q.y0;
        q.z = q.z0;
        q.p = q.p0;
        q.af = (q.x + q.y + q.z) * kOver<3>;
        q.ad = (q.x + q.y + 3.0 * q.z) * kOver<5>;
        q.aj = (q.x + q.y + q.z + 2.0 * q.p) * kOver<5>;
        q.qf = kSpreadFactor * max_spread(q.af, q.x, q.y, q.z);
        q.qd = kSpreadFactor * max_spread(q.ad, q.x, q.y, q.z);
        q.qj =
            kSpreadFactor * lanes::max_of(max_spread(q.aj, q.x, q.y, q.z), lanes::fabs(q.aj - q.p));
        q.delta = (q.p - q.x) * (q.p - q.y) * (q.p - q.z);
        q.sum_d = lanes::splat<V>(0.0);
        q.sum_j = lanes::splat<V>(0.0);
    }
    double scale = 1.0;
    auto pending = [&](const State& q, double at) {
        const auto fd = (q.qf * at > lanes::fabs(q.af)) || (q.qd * at > lanes::fabs(q.ad));
        if constexpr (kWithJ) {
            return fd || (q.qj * at > lanes::fabs(q.aj));
        } else {
            return fd;
        }
    };
    for (int step = 0; step < kMaxSteps; ++step) {
        bool any_pending = false;
        for (int k = 0; k < kGroups; ++k) {
            any_pending = any_pending || lanes::any(pending(st[k], scale));
        }
        if (!any_pending) {
            break;
        }
        const double scale3 = scale * scale * scale;
        for (int k = 0; k < kGroups; ++k) {
            State& q = st[k];
            const V sx = lanes::sqrt(q.x);
            const V sy = lanes::sqrt(q.y);
            const V sz = lanes::sqrt(q.z);
            const V lambda = sx * (sy + sz) + sy * sz;
            if constexpr (kWithJ) {
                const V sp = lanes::sqrt(q.p);
                // One division gives both reciprocals, 1/(sqrt z (z + lambda)) and 1/d.
                const V dz = sz * (q.z + lambda);
                const V d = (sp + sx) * (sp + sy) * (sp + sz);
                const V inv_both = 1.0 / (dz * d);
                q.sum_d = q.sum_d + scale * (d * inv_both);
                const V inv_d = dz * inv_both;
                const V e = q.delta * scale3 * inv_d * inv_d;
                const V one_plus = 2.0 * sp * (q.p + lambda) * inv_d;
                const V weight = scale * inv_d;
                q.p = (q.p + lambda) * 0.25;
                q.aj = (q.aj + lambda) * 0.25;
                V rc_term;
                if (lanes::all(lanes::fabs(e) < kSeriesLimit)) {
                    rc_term = rc_series(e);
                } else {
                    rc_term = lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
                        return rc_one_plus(lanes::lane(e, l), lanes::lane(one_plus, l));
                    });
                }
                q.sum_j = q.sum_j + weight * rc_term;
            } else {
                q.sum_d = q.sum_d + scale / (sz * (q.z + lambda));
            }
            q.x = (q.x + lambda) * 0.25;
            q.y = (q.y + lambda) * 0.25;
            q.z = (q.z + lambda) * 0.25;
            q.af = (q.af + lambda) * 0.25;
            q.ad = (q.ad + lambda) * 0.25;
        }
        scale *= 0.25;
    }
    for (int k = 0; k < kGroups; ++k) {
        const State& q = st[k];
        const auto diverged = pending(q, scale);
        const V af0 = (q.x0 + q.y0 + q.z0) * kOver<3>;
        const V ad0 = (q.x0 + q.y0 + 3.0 * q.z0) * kOver<5>;
        const V kf = scale / q.af;
        const V kd = scale / q.ad;
        const V rf = series_f((af0 - q.x0) * kf, (af0 - q.y0) * kf) / lanes::sqrt(q.af);
        const V rd =
            kd * series_d((ad0 - q.x0) * kd, (ad0 - q.y0) * kd) / lanes::sqrt(q.ad) + 3.0 * q.sum_d;
        V rj = lanes::splat<V>(0.0);
        if constexpr (kWithJ) {
            const V aj0 = (q.x0 + q.y0 + q.z0 + 2.0 * q.p0) * kOver<5>;
            const V kj = scale / q.aj;
            rj = kj * series_j((aj0 - q.x0) * kj, (aj0 - q.y0) * kj, (aj0 - q.z0) * kj) /
                     lanes::sqrt(q.aj) +
                 6.0 * q.sum_j;
        }
        for (int l = 0; l < kLanes && kLanes * k + l < count; ++l) {
            // Two zero arguments (or p = 0): no convergence, and the integrals diverge.
            out[kLanes * k + l] =
                lanes::lane(diverged, l)
                    ? SymmetricTriple{kInfinity, kInfinity, kInfinity}
                    : SymmetricTriple{lanes::lane(rf, l), lanes::lane(rd, l), lanes::lane(rj, l)};
        }
    }
}

// duplication_batch of `count` lanes, by duplication_lanes where few lanes let it pack them.
template <int Capacity, bool kWithJ>
inline void duplication_packed(int count, const double* x_in, const double* y_in,
                               const double* z_in, const double* p_in, SymmetricTriple* out) {
    if (count <= 2) {
        duplication_lanes<lanes::Pair, 1, kWithJ>(count, x_in, y_in, z_in, p_in, out);
    } else if (count <= 4) {
#if defined(__AVX2__)
        duplication_lanes<lanes::Quad, 1, kWithJ>(count, x_in, y_in, z_in, p_in, out);
#else
        duplication_lanes<lanes::Pair, 2, kWithJ>(count, x_in, y_in, z_in, p_in, out);
#endif
    } else {
        duplication_batch<Capacity, kWithJ>(count, x_in, y_in, z_in, p_in, out);
    }
}

}  // namespace detail

// Several independent triples R_F(x_i, y_i, z_i), R_D(x_i, y_i, z_i), R_J(x_i, y_i, z_i, p_i),
// i < count <= Capacity (conditions as above).
//
// A complete triple (one of x, y zero, z = 1) is the slowest for duplication, whose spread
// starts at its largest there, and would hold every other lane back: it is taken by Bulirsch's
// iteration instead (core/cel.hpp), two square roots and about five short steps. The other
// lanes run by duplication in lockstep.
template <int Capacity, bool kWithJ = true>
inline void rf_rd_rj_batch(int count, const double* x_in, const double* y_in, const double* z_in,
                           const double* p_in, SymmetricTriple* out) {
    int lanes = 0;
    int index[Capacity];
    double x[Capacity];
    double y[Capacity];
    double z[Capacity];
    double p[Capacity];
    for (int i = 0; i < count; ++i) {
        if (detail::is_complete(x_in[i], y_in[i], z_in[i], p_in[i])) {
            const double other = x_in[i] == 0.0 ? y_in[i] : x_in[i];
            const cel::CompleteTriple t =
                cel::complete_rf_rd_rj(std::sqrt(other), std::sqrt(p_in[i]));
            out[i] = SymmetricTriple{t.rf, t.rd, kWithJ ? t.rj : 0.0};
            continue;
        }
        index[lanes] = i;
        x[lanes] = x_in[i];
        y[lanes] = y_in[i];
        z[lanes] = z_in[i];
        p[lanes] = p_in[i];
        ++lanes;
    }
    if (lanes == count) {
        detail::duplication_packed<Capacity, kWithJ>(count, x_in, y_in, z_in, p_in, out);
        return;
    }
    SymmetricTriple r[Capacity];
    detail::duplication_packed<Capacity, kWithJ>(lanes, x, y, z, p, r);
    for (int k = 0; k < lanes; ++k) {
        out[index[k]] = r[k];
    }
}

// R_F(x_i, y_i, z_i) and R_D(x_i, y_i, z_i) alone, as rf_rd_rj_batch (R_J of the results 0):
// each duplication step then takes three square roots and no R_C term.
template <int Capacity>
inline void rf_rd_batch(int count, const double* x_in, const double* y_in, const double* z_in,
                        SymmetricTriple* out) {
    double one[Capacity];
    std::fill(one, one + Capacity, 1.0);
    rf_rd_rj_batch<Capacity, false>(count, x_in, y_in, z_in, one, out);
}

// R_F(x, y, z), R_D(x, y, z) and R_J(x, y, z, p) from one duplication sequence.
inline SymmetricTriple rf_rd_rj(double x, double y, double z, double p) {
    SymmetricTriple out{};
    rf_rd_rj_batch<1>(1, &x, &y, &z, &p, &out);
    return out;
}

// R_F(x, y, z) and R_D(x, y, z) from one duplication sequence without R_J.
inline SymmetricTriple rf_rd(double x, double y, double z) {
    SymmetricTriple out{};
    rf_rd_batch<1>(1, &x, &y, &z, &out);
    return out;
}

// R_F(x, y, z): x, y, z >= 0, at most one of them zero.
inline double rf(double x, double y, double z) {
    return rf_rd(x, y, z).rf;
}

// R_D(x, y, z): x, y >= 0, at most one of them zero, z > 0.
inline double rd(double x, double y, double z) {
    return rf_rd(x, y, z).rd;
}

// R_J(x, y, z, p): x, y, z >= 0, at most one of them zero, p > 0.
inline double rj(double x, double y, double z, double p) {
    return rf_rd_rj(x, y, z, p).rj;
}

}  // namespace halfmoon::carlson
