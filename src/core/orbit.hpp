// Orbit geometry of one planet on a Keplerian ellipse, evaluated one time at a time: time of
// periastron, Kepler's equation, true anomaly, sky-plane coordinates, path angle and the
// projected star-planet separation.
//
// Sky frame: the star at the origin, lengths in stellar radii. The planet's phase is
// phi = omega + f; mid primary transit is at phi = pi/2, where the planet crosses the x = 0 line
// in front of the star.
//
// Every formula keeps its written evaluation order; results are compared to the last bit, so
// nothing here may be regrouped or contracted.
#pragma once

#include <cmath>

#include "core/constants.hpp"

namespace halfmoon::orbit {
// Eccentricities below this are treated as circular: Kepler's equation is not solved.
inline constexpr double kNearCircular = 1e-5;
// Newton's method stops once the Kepler residual (taken modulo 2 pi) is at most this.
inline constexpr double kKeplerTolerance = 1e-7;
// Block 0 of the separation function holds this on the half of the orbit the selector excludes.
inline constexpr double kFarSide = 100.0;

// Newton steps allowed before the iteration is judged stuck. Ordinary orbits need fewer than
// ten; within about 5e-3 of parabolic an orbit can need hundreds to thousands, and then the
// bracketed solver below finishes the job.
inline constexpr int kNewtonStepBudget = 1000;
// Iterations of the bracketed solver; it normally finishes in well under twenty.
inline constexpr int kBracketedSteps = 200;

// Which half of the orbit yields separations in block 0.
inline constexpr int kPrimaryHalfOnly = 1;    // planet in front of the star (around t_c)
inline constexpr int kSecondaryHalfOnly = 2;  // planet behind the star

struct Elements {
    double tc;      // reference time: true anomaly pi/2 - omega (mid primary transit)
    double period;  // orbital period
    double a;       // semi-major axis, stellar radii
    double inc;     // inclination, radians
    double e;       // eccentricity
    double w;       // argument of periastron, radians
};

// Quantities that depend only on the elements, not on the time. The last three are the same
// values the per-time formulas would compute; they are only evaluated once.
struct OrbitConstants {
    double reference_anomaly;  // eccentric anomaly E_c at true anomaly pi/2 - omega
    double periastron_time;    // t_p
    double mean_motion;        // 2 pi / P
    double half_angle_ratio;   // sqrt((1 + e)/(1 - e)), from tan(E/2) to tan(f/2)
    double cos_inc;
    double sin_inc;
    double circular_periastron_time;  // t_p of the circular orbit with the same t_c and omega
};

// The eccentric anomaly of mid transit follows from the half-angle relation
// tan(E/2) = sqrt((1 - e)/(1 + e)) tan(f/2) at f = pi/2 - omega.
inline double mid_transit_eccentric_anomaly(double w, double e) {
    return 2.0 * std::atan(std::tan((kHalfPi - w) * 0.5) * std::sqrt((1.0 - e) / (e + 1.0)));
}

// Kepler's equation dates periastron a mean anomaly E_c - e sin E_c before t_c.
inline double periastron_time(const Elements& el, double e, double mid_transit_anomaly) {
    const double ec = mid_transit_anomaly;
    return (((ec - e * std::sin(ec)) * el.period) * 0.5) / kMinusPi + el.tc;
}

inline OrbitConstants orbit_constants(const Elements& el) {
    const double e = el.e;
    const double ec = mid_transit_eccentric_anomaly(el.w, e);
    // For e = 0 both periastron times are the same number.
    const double circular_tp = periastron_time(el, 0.0, mid_transit_eccentric_anomaly(el.w, 0.0));
    return OrbitConstants{ec,
                          periastron_time(el, e, ec),
                          kTwoPi / el.period,
                          std::sqrt((1.0 + e) / (1.0 - e)),
                          std::cos(el.inc),
                          std::sin(el.inc),
                          circular_tp};
}

// Near-circular orbit: the true anomaly advances uniformly, 2 pi times the signed fractional
// part of the number of periods since periastron (in [0, 2 pi) after t_p, (-2 pi, 0] before).
// The integer part is taken in floating point, which is exact for every magnitude.
inline double uniform_true_anomaly(double since_periastron, double period) {
    const double u = since_periastron / period;
    const double j = std::trunc(u);
    return ((u - j) + (u - j)) * kPi;
}

// Residual of Kepler's equation E - e sin E = M as the Newton iteration forms it.
inline double newton_residual(double ecc_anomaly, double e, double mean_anomaly) {
    return (ecc_anomaly - e * std::sin(ecc_anomaly)) - mean_anomaly;
}

// fmod(x, 2 pi). The remainder is exact, so for |x| < 2 pi it is x itself; only larger
// (or non-finite) values need the library call.
inline double fold_two_pi(double x) {
    return std::fabs(x) < kTwoPi ? x : std::fmod(x, kTwoPi);
}

inline bool residual_exceeds_tolerance(double residual) {
    // A NaN residual fails the comparison and so ends the iteration.
    return fold_two_pi(std::fabs(residual)) > kKeplerTolerance;
}

struct NewtonOutcome {
    double ecc_anomaly;
    bool met_tolerance;
};

// Newton's method on the unreduced mean anomaly, started at E = M, with the residual and the
// slope folded modulo 2 pi. The step map depends on E alone, so an iterate that repeats the
// one or two before it proves a cycle that can never meet the tolerance (at |M| >= 2^29 the
// residual can flip between +-1 ulp of M forever); that, or an exhausted budget, is reported
// as not met.
inline NewtonOutcome newton_kepler(double mean_anomaly, double e) {
    double ecc_anomaly = mean_anomaly;
    double previous = NAN;
    double residual = newton_residual(ecc_anomaly, e, mean_anomaly);
    for (int step = 0; residual_exceeds_tolerance(residual); ++step) {
        if (step == kNewtonStepBudget) {
            return NewtonOutcome{ecc_anomaly, false};
        }
        const double next =
            ecc_anomaly - fold_two_pi(residual) / fold_two_pi(1.0 - e * std::cos(ecc_anomaly));
        if (next == ecc_anomaly || next == previous) {
            return NewtonOutcome{next, false};
        }
        previous = ecc_anomaly;
        ecc_anomaly = next;
        residual = newton_residual(ecc_anomaly, e, mean_anomaly);
    }
    return NewtonOutcome{ecc_anomaly, true};
}

// x - sin x without cancellation: its Taylor series for |x| < 1 (terms to x^21, beyond which a
// term is below 1e-17 of the sum), the direct difference above.
inline double x_minus_sin(double x) {
    if (!(std::fabs(x) < 1.0)) {
        return x - std::sin(x);
    }
    const double x2 = x * x;
    // x^3/3! - x^5/5! + ... as x^3/6 * (1 - x^2/20 (1 - x^2/42 (1 - ...))).
    double series = 1.0;
    for (int k = 10; k >= 2; --k) {
        const double denominator = static_cast<double>((2 * k) * (2 * k + 1));
        series = 1.0 - x2 / denominator * series;
    }
    return x * x2 / 6.0 * series;
}

// Kepler's equation for 0 <= m <= pi and 0 <= e <= 1, written as
// (1 - e) E + e (E - sin E) - m so that it keeps its digits for small E near e = 1.
inline double accurate_residual(double ecc_anomaly, double e, double m) {
    return ((1.0 - e) * ecc_anomaly + e * x_minus_sin(ecc_anomaly)) - m;
}

// dM/dE = 1 - e cos E = (1 - e) + 2 e sin^2(E/2), again without cancellation.
inline double accurate_slope(double ecc_anomaly, double e) {
    const double half_sine = std::sin(0.5 * ecc_anomaly);
    return (1.0 - e) + 2.0 * e * half_sine * half_sine;
}

// Solves E - e sin E = m for 0 <= m <= pi, 0 <= e <= 1. The residual increases with E and is
// convex on [0, pi], and the root lies in [max(m - e, 0), min(m + e, pi)]; Newton's method is
// kept inside that shrinking bracket and replaced by bisection whenever it would leave it or
// stops halving its step.
inline double bracketed_kepler(double m, double e) {
    if (m == 0.0) {
        return 0.0;
    }
    double lo = std::fmax(m - e, 0.0);
    double hi = std::fmin(m + e, kPi);
    // Start near the root: for small m and e near 1 the equation is close to E^3/6 = m.
    double ecc_anomaly = std::fmin(m + 0.85 * e, std::cbrt(6.0 * m / e));
    if (!(ecc_anomaly > lo && ecc_anomaly < hi)) {
        ecc_anomaly = 0.5 * (lo + hi);
    }
    double older_step = hi - lo;
    double last_step = older_step;
    for (int iteration = 0; iteration < kBracketedSteps; ++iteration) {
        const double residual = accurate_residual(ecc_anomaly, e, m);
        if (residual == 0.0) {
            break;
        }
        if (residual < 0.0) {
            lo = ecc_anomaly;
        } else {
            hi = ecc_anomaly;
        }
        double next = ecc_anomaly - residual / accurate_slope(ecc_anomaly, e);
        const bool inside = next > lo && next < hi;
        if (!inside || std::fabs(next - ecc_anomaly) > 0.5 * older_step) {
            next = 0.5 * (lo + hi);
        }
        if (next == ecc_anomaly || next <= lo || next >= hi) {
            break;  // the bracket has closed to neighbouring doubles
        }
        older_step = last_step;
        last_step = std::fabs(next - ecc_anomaly);
        ecc_anomaly = next;
    }
    return ecc_anomaly;
}

// Eccentric anomaly for the mean anomaly M. Newton's method as above decides the result
// wherever it meets its tolerance. Where it does not, and the orbit is an ellipse or a
// parabola (0 <= e <= 1), the equation is solved on M reduced into [-pi, pi]: the true anomaly
// and the distance factor depend only on E modulo 2 pi. The reduction goes through sin M and
// cos M, whose argument reduction is exact, rather than through a rounded 2 pi. Any other
// outcome (e > 1 or NaN) is left as the iteration produced it. A non-finite M never gets
// here: its residual is NaN, which ends the iteration at once.
inline double eccentric_anomaly(double mean_anomaly, double e) {
    const NewtonOutcome newton = newton_kepler(mean_anomaly, e);
    if (newton.met_tolerance || !(e >= 0.0 && e <= 1.0)) {
        return newton.ecc_anomaly;
    }
    const double reduced = std::atan2(std::sin(mean_anomaly), std::cos(mean_anomaly));
    return std::copysign(bracketed_kepler(std::fabs(reduced), e), reduced);
}

// The half-angle relation tan(f/2) = sqrt((1 + e)/(1 - e)) tan(E/2); f lies in [-pi, pi].
inline double true_anomaly(double ecc_anomaly, double half_angle_ratio) {
    return 2.0 * std::atan(std::tan(ecc_anomaly * 0.5) * half_angle_ratio);
}

// The four values of one time. Block 0 is either the true anomaly or the separation.
struct SkyPoint {
    double f;           // true anomaly
    double y;           // sky-plane coordinate along the projected orbit normal direction
    double path_angle;  // angle of the projected path's tangent against the x axis
    double x;           // sky-plane coordinate along the line of nodes
};

inline SkyPoint sky_point(double time, const Elements& el, const OrbitConstants& oc) {
    const double e = el.e;
    double f = 0.0;
    double ecc_anomaly = 0.0;
    if (e < kNearCircular) {
        // The uniform advance is that of a circular orbit, so it starts from the periastron
        // time of the circular orbit through the same reference time: the planet then has the
        // true anomaly pi/2 - omega at t_c for every eccentricity below the threshold. (Dating
        // periastron with Kepler's equation instead puts mean anomaly E_c - e sin E_c at t_c,
        // which for a small e is pi/2 - omega - 2e cos(omega), and the mid-transit time moves by
        // that much.) The eccentric true anomaly at the threshold differs from this one by at
        // most about 2e, and by nothing at t_c. Negative eccentricities describe no orbit and
        // keep the periastron time their formula gives.
        const double start = e >= 0.0 ? oc.circular_periastron_time : oc.periastron_time;
        f = uniform_true_anomaly(time - start, el.period);
        // No eccentric anomaly of this time exists here; the distance factor, within 1e-5
        // of 1 anyway, takes the one of mid transit.
        ecc_anomaly = oc.reference_anomaly;
    } else {
        const double since_periastron = time - oc.periastron_time;
        ecc_anomaly = eccentric_anomaly(since_periastron * oc.mean_motion, e);
        f = true_anomaly(ecc_anomaly, oc.half_angle_ratio);
    }
    // Orbital radius a (1 - e cos E), signed so that mid transit (phi = pi/2) has x = 0 and y
    // on the -cos(inc) side.
    const double rho = 1.0 - e * std::cos(ecc_anomaly);
    const double phi = el.w + f;
    const double radius = (-el.a) * rho;
    const double cos_inc = oc.cos_inc;
    // A circle of fixed radius projected on the sky has slope dy/dx = -cos(inc) / tan(phi).
    return SkyPoint{f, (std::sin(phi) * radius) * cos_inc,
                    std::atan((-1.0 / std::tan(phi)) * cos_inc), std::cos(phi) * radius};
}

// Block 0 of the separation function. q = sin(omega + f) sin(inc) is positive on the half of
// the orbit around mid transit (planet in front) and negative on the half around secondary
// eclipse; the selector replaces one half with the far-side value. Otherwise the separation is
// the orbital radius a (1 - e^2)/(1 + e cos f) times the projection factor
// sqrt(1 - sin^2(omega + f) sin^2(inc)).
inline double separation_or_far_side(double f, const Elements& el, const OrbitConstants& oc,
                                     int transit_type) {
    const double e = el.e;
    const double s = std::sin(el.w + f);
    const double sin_inc = oc.sin_inc;
    const double q = s * sin_inc;
    if (transit_type == kPrimaryHalfOnly && q <= 0.0) {
        return kFarSide;
    }
    if (transit_type == kSecondaryHalfOnly && q >= 0.0) {
        return kFarSide;
    }
    return std::sqrt(1.0 - ((s * s) * sin_inc) * sin_inc) *
           (((1.0 - e * e) * el.a) / (e * std::cos(f) + 1.0));
}

}  // namespace halfmoon::orbit
