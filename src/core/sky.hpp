// The package's sky geometry: where the planet's centre is on the sky at a time, which way it
// moves there, and whether it is in front of the star or behind it.
//
// Frame and conventions are those of the orbit maths (orbit.hpp): the star at the origin,
// lengths in stellar radii, the planet's phase phi = omega + f, mid primary transit at
// phi = pi/2 where the planet crosses x = 0 in front of the star; the orbital radius is
// rho = a (1 - e cos E) and the planet sits at
//
//     x = -rho cos(phi),   y = -rho sin(phi) cos(inc),
//
// in front of the star where sin(phi) sin(inc) > 0 and behind it where that is negative.
//
// Unlike the orbit module, which keeps its tolerance and its evaluation order, this solves
// Kepler's equation to full double precision, and it takes the direction of motion from the
// sky velocity itself (the radial part of the motion included), so that on the far side of the
// orbit the planet moves towards -x as it does.
#pragma once

#include <cmath>
#include <limits>

#include "core/constants.hpp"
#include "core/orbit.hpp"

namespace halfmoon::sky {

// Newton steps before the bracketed solver takes over (ordinary orbits need two or three).
inline constexpr int kNewtonSteps = 12;

// The orbit's constants: elements and what follows from them alone.
struct Orbit {
    double period;
    double a;
    double e;
    double omega;
    double cos_inc;
    double sin_inc;
    double periastron_time;  // t_p
    double mean_motion;      // 2 pi / P
    double root_plus;        // sqrt(1 + e)
    double root_minus;       // sqrt(1 - e)
    double sin_omega;
    double cos_omega;
    double e_sin_omega;  // e sin(omega), e cos(omega): the velocity's constant part
    double e_cos_omega;
};

// The eccentric anomaly of mid transit (true anomaly pi/2 - omega) dates periastron a mean
// anomaly E_c - e sin E_c before t_c.
inline Orbit make_orbit(double tc, double period, double a, double inc, double e, double omega) {
    const double root_plus = std::sqrt(1.0 + e);
    const double root_minus = std::sqrt(1.0 - e);
    const double half_f = 0.5 * (kHalfPi - omega);
    const double ec = 2.0 * std::atan2(root_minus * std::sin(half_f), root_plus * std::cos(half_f));
    const double mean_at_transit = ec - e * std::sin(ec);
    return Orbit{period,
                 a,
                 e,
                 omega,
                 std::cos(inc),
                 std::sin(inc),
                 tc - period * mean_at_transit / kTwoPi,
                 kTwoPi / period,
                 root_plus,
                 root_minus,
                 std::sin(omega),
                 std::cos(omega),
                 e * std::sin(omega),
                 e * std::cos(omega)};
}

// Solves E - e sin E = M for M in [-pi, pi] and 0 <= e < 1 to full precision: Newton's method
// from a third-order start, which converges in a few steps except close to e = 1, where the
// bracketed solver of the orbit maths finishes the job. Newton's error squares at every step,
// so once a correction is below 1e-8 the next one leaves an error of order 1e-16 and ends it
// (waiting for corrections of rounding size could cycle for ever between neighbours).
inline double eccentric_anomaly(double m, double e) {
    if (e == 0.0) {
        return m;
    }
    auto newton_step = [&](double ecc) {
        return ecc - ((ecc - e * std::sin(ecc)) - m) / (1.0 - e * std::cos(ecc));
    };
    double ecc = m + e * std::sin(m) * (1.0 + e * std::cos(m));
    for (int step = 0; step < kNewtonSteps; ++step) {
        const double next = newton_step(ecc);
        if (std::fabs(next - ecc) < 1e-8) {
            return newton_step(next);
        }
        ecc = next;
    }
    return std::copysign(orbit::bracketed_kepler(std::fabs(m), e), m);
}

// One time's position and motion.
struct SkyPoint {
    double x;
    double y;
    double separation;  // sqrt(x^2 + y^2)
    double motion;      // sky angle of the direction of motion, radians
    int side;           // +1 in front of the star, -1 behind it, 0 in the sky plane
};

// The quantities of one time that the position, the motion and their derivatives share.
struct Anomalies {
    double m;        // mean anomaly, reduced into [-pi, pi]
    double ecc;      // eccentric anomaly E
    double sin_ecc;  // sin E, cos E
    double cos_ecc;
    double one_minus;  // 1 - e cos E
    double rho;        // orbital radius a (1 - e cos E)
    double cos_phi;    // phase phi = omega + f
    double sin_phi;
};

inline Anomalies anomalies(double time, const Orbit& o) {
    Anomalies an{};
    // Mean anomaly reduced into [-pi, pi]: the position depends on it modulo 2 pi only.
    an.m = std::remainder(o.mean_motion * (time - o.periastron_time), kTwoPi);
    double cos_f = 0.0;
    double sin_f = 0.0;
    if (o.e == 0.0) {
        // A circle: the three anomalies coincide.
        an.ecc = an.m;
        an.sin_ecc = std::sin(an.m);
        an.cos_ecc = std::cos(an.m);
        an.one_minus = 1.0;
        cos_f = an.cos_ecc;
        sin_f = an.sin_ecc;
    } else {
        an.ecc = eccentric_anomaly(an.m, o.e);
        an.sin_ecc = std::sin(an.ecc);
        an.cos_ecc = std::cos(an.ecc);
        // tan(f/2) = sqrt((1 + e)/(1 - e)) tan(E/2): (cos(f/2), sin(f/2)) points along
        // (b, a) with b = sqrt(1 - e) cos(E/2), a = sqrt(1 + e) sin(E/2), and
        // a^2 + b^2 = 1 - e cos E. The double-angle forms keep their digits close to e = 1,
        // where cos E - e would cancel.
        const double half = 0.5 * an.ecc;
        const double a = o.root_plus * std::sin(half);
        const double b = o.root_minus * std::cos(half);
        an.one_minus = a * a + b * b;
        cos_f = (b - a) * (b + a) / an.one_minus;
        sin_f = 2.0 * a * b / an.one_minus;
    }
    an.rho = o.a * an.one_minus;
    // phi = omega + f by the angle-addition formulas.
    an.cos_phi = o.cos_omega * cos_f - o.sin_omega * sin_f;
    an.sin_phi = o.sin_omega * cos_f + o.cos_omega * sin_f;
    return an;
}

// The sky velocity of a Keplerian orbit points along
//   (sin(phi) + e sin(omega), -cos(inc) (cos(phi) + e cos(omega))):
// the derivative of (x, y) per unit true anomaly, times (1 + e cos f)^2 / (a (1 - e^2)) > 0.
struct Motion {
    double along_x;
    double along_y;
};

inline Motion motion_direction(const Orbit& o, const Anomalies& an) {
    return Motion{an.sin_phi + o.e_sin_omega, -o.cos_inc * (an.cos_phi + o.e_cos_omega)};
}

// The sky point of the anomalies of a time.
inline SkyPoint sky_point_of(const Orbit& o, const Anomalies& an) {
    const double x = -an.rho * an.cos_phi;
    const double y = -an.rho * an.sin_phi * o.cos_inc;
    const Motion v = motion_direction(o, an);
    const double depth = an.sin_phi * o.sin_inc;
    return SkyPoint{x, y, std::sqrt(x * x + y * y), std::atan2(v.along_y, v.along_x),
                    depth > 0.0 ? 1 : (depth < 0.0 ? -1 : 0)};
}

inline SkyPoint sky_point(double time, const Orbit& o) {
    return sky_point_of(o, anomalies(time, o));
}

// Derivatives with respect to the elements, in this order (angles in radians).
enum Element : int { kTc = 0, kPeriod, kA, kInc, kE, kOmega, kElementCount };

// Sky position, motion and their partial derivatives with respect to the elements.
struct SkyGradient {
    SkyPoint point;
    double x[kElementCount];
    double y[kElementCount];
    double motion[kElementCount];
};

// How the mean anomaly of mid transit, M_c = E_c - e sin E_c, moves with e and omega: at fixed
// true anomaly f_c = pi/2 - omega, dE/de = -sin E / (1 - e^2) and dE/df = (1 - e cos E) /
// sqrt(1 - e^2).
struct TransitAnomalyRates {
    double d_e;
    double d_omega;
};

inline TransitAnomalyRates transit_anomaly_rates(const Orbit& o) {
    const double e = o.e;
    const double half_f = 0.5 * (kHalfPi - o.omega);
    const double ec =
        2.0 * std::atan2(o.root_minus * std::sin(half_f), o.root_plus * std::cos(half_f));
    const double one_minus = 1.0 - e * std::cos(ec);
    const double root = o.root_plus * o.root_minus;  // sqrt(1 - e^2)
    return TransitAnomalyRates{-one_minus * std::sin(ec) / (root * root) - std::sin(ec),
                               -one_minus * one_minus / root};
}

inline SkyGradient sky_gradient(double time, double tc, const Orbit& o,
                                const TransitAnomalyRates& rates) {
    const Anomalies an = anomalies(time, o);
    const double e = o.e;
    const double root = o.root_plus * o.root_minus;  // sqrt(1 - e^2)
    const double sin_e = an.sin_ecc;
    const double cos_e = an.cos_ecc;
    SkyGradient g{};
    g.point = sky_point_of(o, an);
    const Motion v = motion_direction(o, an);
    const double speed_sq = v.along_x * v.along_x + v.along_y * v.along_y;
    // The three divisors every element shares, inverted once.
    const double inv_one_minus = 1.0 / an.one_minus;
    const double inv_root = 1.0 / root;
    const double inv_speed_sq = 1.0 / speed_sq;
    for (int k = 0; k < kElementCount; ++k) {
        // Mean anomaly M = n (t - tc) + M_c(e, omega).
        double dm = 0.0;
        double de = 0.0;
        double da = 0.0;
        double dinc = 0.0;
        double domega = 0.0;
        switch (k) {
            case kTc:
                dm = -o.mean_motion;
                break;
            case kPeriod:
                dm = -o.mean_motion * (time - tc) / o.period;
                break;
            case kA:
                da = 1.0;
                break;
            case kInc:
                dinc = 1.0;
                break;
            case kE:
                de = 1.0;
                dm = rates.d_e;
                break;
            default:
                domega = 1.0;
                dm = rates.d_omega;
                break;
        }
        // Kepler's equation E - e sin E = M.
        const double decc = (dm + sin_e * de) * inv_one_minus;
        // The half-angle relation between E and f.
        const double df = (root * decc + sin_e * de * inv_root) * inv_one_minus;
        const double drho = an.one_minus * da + o.a * (e * sin_e * decc - cos_e * de);
        const double dphi = domega + df;
        g.x[k] = -an.cos_phi * drho + an.rho * an.sin_phi * dphi;
        g.y[k] = (-an.sin_phi * drho - an.rho * an.cos_phi * dphi) * o.cos_inc +
                 an.rho * an.sin_phi * o.sin_inc * dinc;
        // The direction of motion atan2(B, A): d = (A dB - B dA) / (A^2 + B^2).
        const double cos_omega = o.cos_omega;
        const double sin_omega = o.sin_omega;
        const double d_along_x = an.cos_phi * dphi + sin_omega * de + e * cos_omega * domega;
        const double d_along_y =
            o.sin_inc * (an.cos_phi + e * cos_omega) * dinc -
            o.cos_inc * (-an.sin_phi * dphi + cos_omega * de - e * sin_omega * domega);
        g.motion[k] = (v.along_x * d_along_y - v.along_y * d_along_x) * inv_speed_sq;
    }
    return g;
}

}  // namespace halfmoon::sky
