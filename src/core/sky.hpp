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
                 root_minus};
}

// Solves E - e sin E = M for M in [-pi, pi] and 0 <= e < 1 to full precision: Newton's method
// from a third-order start, which converges in a few steps except close to e = 1, where the
// bracketed solver of the orbit maths finishes the job.
inline double eccentric_anomaly(double m, double e) {
    if (e == 0.0) {
        return m;
    }
    const double sin_m = std::sin(m);
    double ecc = m + e * sin_m * (1.0 + e * std::cos(m));
    for (int step = 0; step < kNewtonSteps; ++step) {
        const double residual = (ecc - e * std::sin(ecc)) - m;
        const double slope = 1.0 - e * std::cos(ecc);
        const double next = ecc - residual / slope;
        const bool settled = std::fabs(next - ecc) <= 4.0 * std::numeric_limits<double>::epsilon();
        ecc = next;
        if (settled) {
            return ecc;
        }
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

inline SkyPoint sky_point(double time, const Orbit& o) {
    // Mean anomaly reduced into [-pi, pi]: the position depends on it modulo 2 pi only.
    const double m = std::remainder(o.mean_motion * (time - o.periastron_time), kTwoPi);
    const double ecc = eccentric_anomaly(m, o.e);
    // tan(f/2) = sqrt((1 + e)/(1 - e)) tan(E/2), written without the tangent's poles.
    const double half = 0.5 * ecc;
    const double f = 2.0 * std::atan2(o.root_plus * std::sin(half), o.root_minus * std::cos(half));
    const double rho = o.a * (1.0 - o.e * std::cos(ecc));
    const double phi = o.omega + f;
    const double cos_phi = std::cos(phi);
    const double sin_phi = std::sin(phi);
    const double x = -rho * cos_phi;
    const double y = -rho * sin_phi * o.cos_inc;
    // Velocity along the orbit per unit true anomaly: the radius changes at
    // d rho / d f = rho e sin f / (1 + e cos f), the phase at unit rate.
    const double rho_rate = rho * o.e * std::sin(f) / (1.0 + o.e * std::cos(f));
    const double vx = -rho_rate * cos_phi + rho * sin_phi;
    const double vy = (-rho_rate * sin_phi - rho * cos_phi) * o.cos_inc;
    const double depth = sin_phi * o.sin_inc;
    return SkyPoint{x, y, std::sqrt(x * x + y * y), std::atan2(vy, vx),
                    depth > 0.0 ? 1 : (depth < 0.0 ? -1 : 0)};
}

}  // namespace halfmoon::sky
