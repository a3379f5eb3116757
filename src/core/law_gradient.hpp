// What the gradient of the exact engine needs of each limb-darkening law, beyond laws.hpp:
//
// - LawRest<Law>: the law's remainder as the gradient's quadrature sees it (a source for
//   gradient::remainder_integrals): its intensity at every node, for the velocity integrals, and
//   the primitives F_j/r^2 of the kParts parts that the coefficients multiply, for their blocked
//   fluxes Q_j; and the remainder's blocked flux from those;
// - coefficient_partials<Law>: the derivatives of the flux 1 - B/N with respect to the
//   coefficients, from the moments S0, S1, S2 of the polynomial basis, the Q_j, B and N:
//       d flux/dc = (-dB/dc + (B/N) dN/dc) / N.
//
// B is linear in the coefficients for every law but two: the power2 law's exponent alpha
// enters through mu^alpha, whose derivative mu^alpha log(mu) is one more part of the pass; the
// tabulated profile's monotone interpolant depends on its nodes and intensities through its
// slopes, and its coefficient partials are not given (NaN).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "core/closed_form.hpp"
#include "core/constants.hpp"
#include "core/laws.hpp"
#include "core/special.hpp"

namespace halfmoon::gradient {

// A source without kinks (all laws but the tabulated profile).
struct Smooth {
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// a1 mu^(1/2) + a3 mu^(3/2); parts mu^(1/2) and mu^(3/2), with the primitives of
// HalfPowerRemainder: F/r^2 = 2/(k+4) (1 + q + ... + q^(k+3)) / ((1 + q)(1 + q^2)), q = sqrt(mu).
struct HalfPowerSource : Smooth {
    static constexpr std::size_t kParts = 2;
    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInRootMu;
    double a1;
    double a3;

    double intensity(int /*cell*/, double mu) const { return std::sqrt(mu) * (a1 + a3 * mu); }
    void parts(int /*cell*/, double mu, double* out) const {
        const double q = std::sqrt(mu);
        const double q2 = q * q;
        const double low = (1.0 + q) * (1.0 + q2);
        const double sum4 = low + q2 * q2;
        const double sum6 = sum4 + q2 * q2 * (q + q2);
        out[0] = (2.0 / 5.0) * sum4 / low;
        out[1] = (2.0 / 7.0) * sum6 / low;
    }
    void parts_at_limb(double* out) const {
        out[0] = 2.0 / 5.0;
        out[1] = 2.0 / 7.0;
    }
};

// c / (e^mu - 1); one part 1/(e^mu - 1), F = integral from mu to 1 of m/(e^m - 1) dm.
struct ExponentialSource : Smooth {
    static constexpr std::size_t kParts = 1;
    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInMu;
    double c;

    double intensity(int /*cell*/, double mu) const { return c / std::expm1(mu); }
    void parts(int /*cell*/, double mu, double* out) const {
        out[0] = special::bose_primitive_over_r2(mu);
    }
    void parts_at_limb(double* out) const { out[0] = special::bose_integral(); }
};

// c mu^alpha, b = alpha + 2; parts mu^alpha (F/r^2 = (1 - mu^b)/(b r^2)) and its derivative
// with respect to alpha, mu^alpha log(mu), whose primitive is the derivative of that with
// respect to b: -(mu^b log(mu))/(b r^2) - (1 - mu^b)/(b^2 r^2).
struct PowerSource : Smooth {
    static constexpr std::size_t kParts = 2;
    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInRootMu;
    double c;
    double b;

    double intensity(int /*cell*/, double mu) const { return c * std::pow(mu, b - 2.0); }
    void parts(int /*cell*/, double mu, double* out) const {
        const double r2 = (1.0 - mu) * (1.0 + mu);
        if (r2 == 0.0) {
            // The star's centre: the limits (1/2 and 0) of both quotients.
            out[0] = 0.5;
            out[1] = 0.0;
            return;
        }
        const double log_mu = std::log(mu);
        const double power = std::pow(mu, b);
        const double gap = mu < 0.5 ? 1.0 - power : -std::expm1(b * log_mu);
        out[0] = gap / (b * r2);
        out[1] = mu > 0.0 ? -(power * log_mu) / (b * r2) - gap / (b * b * r2) : -1.0 / (b * b);
    }
    void parts_at_limb(double* out) const {
        out[0] = 1.0 / b;
        out[1] = -1.0 / (b * b);
    }
};

// The tabulated profile: the whole law, one part (the profile itself).
struct TabulatedSource {
    static constexpr std::size_t kParts = 1;
    static constexpr LimbBehaviour kLimbBehaviour = TabulatedProfile::kLimbBehaviour;
    const TabulatedProfile& profile;

    std::span<const double> kinks() const { return profile.kinks(); }
    int cell_of(double mu) const { return profile.cell_of(mu); }
    double intensity(int /*cell*/, double mu) const { return profile.intensity(mu); }
    void parts(int cell, double mu, double* out) const { out[0] = profile.over_r2(cell, mu); }
    void parts_at_limb(double* out) const { out[0] = profile.at_limb(); }
};

// The remainder of each law.
template <typename Law>
struct LawRest {
    static constexpr std::size_t kParts = 0;
};

template <>
struct LawRest<NonlinearLaw> {
    static constexpr std::size_t kParts = HalfPowerSource::kParts;
    static HalfPowerSource source(const NonlinearLaw::Record& law) { return {{}, law.c1, law.c3}; }
    static double blocked(const NonlinearLaw::Record& law, std::span<const double> q) {
        return law.c1 * q[0] + law.c3 * q[1];
    }
};

template <>
struct LawRest<SquareRootLaw> {
    static constexpr std::size_t kParts = HalfPowerSource::kParts;
    static HalfPowerSource source(const SquareRootLaw::Record& law) { return {{}, law.c2, 0.0}; }
    static double blocked(const SquareRootLaw::Record& law, std::span<const double> q) {
        return law.c2 * q[0];
    }
};

template <>
struct LawRest<ExponentialLaw> {
    static constexpr std::size_t kParts = ExponentialSource::kParts;
    static ExponentialSource source(const ExponentialLaw::Record& law) { return {{}, law.c2}; }
    static double blocked(const ExponentialLaw::Record& law, std::span<const double> q) {
        return law.c2 * q[0];
    }
};

template <>
struct LawRest<Power2Law> {
    static constexpr std::size_t kParts = PowerSource::kParts;
    static PowerSource source(const Power2Law::Record& law) { return {{}, law.c, law.alpha + 2.0}; }
    static double blocked(const Power2Law::Record& law, std::span<const double> q) {
        return law.c * q[0];
    }
};

template <>
struct LawRest<TabulatedLaw> {
    static constexpr std::size_t kParts = TabulatedSource::kParts;
    static TabulatedSource source(const TabulatedProfile& law) { return {law}; }
    static double blocked(const TabulatedProfile& /*law*/, std::span<const double> q) {
        return q[0];
    }
};

// d flux/dc_j from dB/dc_j and dN/dc_j.
inline double flux_partial(double d_blocked, double d_norm, double blocked, double norm) {
    return (-d_blocked + blocked / norm * d_norm) / norm;
}

// The coefficient partials of each law, into out (one per coefficient). Each writes
// dB/dc from the linear structure of its power basis (c0 + c1 mu + c2 mu^2, laws.hpp) and its
// remainder, and dN/dc from its normalisation.
template <typename Law>
void coefficient_partials(const typename Law::Record& law, const closed_form::Moments& m,
                          std::span<const double> q, double blocked, double norm,
                          std::span<double> out);

template <>
inline void coefficient_partials<UniformLaw>(const UniformLaw::Record& /*law*/,
                                             const closed_form::Moments& /*m*/,
                                             std::span<const double> /*q*/, double /*blocked*/,
                                             double /*norm*/, std::span<double> /*out*/) {}

// (1 - u) + u mu; N = pi (1 - u/3).
template <>
inline void coefficient_partials<LinearLaw>(const LinearLaw::Record& /*law*/,
                                            const closed_form::Moments& m,
                                            std::span<const double> /*q*/, double blocked,
                                            double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
}

// (1 - u1 - u2) + (u1 + 2 u2) mu - u2 mu^2; N = pi (1 - u1/3 - u2/6).
template <>
inline void coefficient_partials<QuadraticLaw>(const QuadraticLaw::Record& /*law*/,
                                               const closed_form::Moments& m,
                                               std::span<const double> /*q*/, double blocked,
                                               double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(2.0 * m.s1 - m.s0 - m.s2, -kPi / 6.0, blocked, norm);
}

// (1 - c1 - c2 - c3 - c4) + c2 mu + c4 mu^2 + c1 mu^(1/2) + c3 mu^(3/2);
// N = 2 pi (1/2 - c1/10 - c2/6 - 3 c3/14 - c4/4).
template <>
inline void coefficient_partials<NonlinearLaw>(const NonlinearLaw::Record& /*law*/,
                                               const closed_form::Moments& m,
                                               std::span<const double> q, double blocked,
                                               double norm, std::span<double> out) {
    out[0] = flux_partial(q[0] - m.s0, -kPi / 5.0, blocked, norm);
    out[1] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[2] = flux_partial(q[1] - m.s0, -3.0 * kPi / 7.0, blocked, norm);
    out[3] = flux_partial(m.s2 - m.s0, -kPi / 2.0, blocked, norm);
}

// (1 - c1) + c1 mu + c2/(e^mu - 1); N = 2 pi (1/2 - c1/6 + c2 D(1)).
template <>
inline void coefficient_partials<ExponentialLaw>(const ExponentialLaw::Record& /*law*/,
                                                 const closed_form::Moments& m,
                                                 std::span<const double> q, double blocked,
                                                 double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(q[0], kTwoPi * special::bose_integral(), blocked, norm);
}

// (1 - c1 - c2) + c1 mu + c2 mu^(1/2); N = 2 pi (1/2 - c1/6 - c2/10).
template <>
inline void coefficient_partials<SquareRootLaw>(const SquareRootLaw::Record& /*law*/,
                                                const closed_form::Moments& m,
                                                std::span<const double> q, double blocked,
                                                double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(q[0] - m.s0, -kPi / 5.0, blocked, norm);
}

// (1 - c) + c mu^alpha; N = 2 pi (1/2 - c alpha/(2 (alpha + 2))), so
// dN/dc = -pi alpha/(alpha + 2) and dN/dalpha = -2 pi c/(alpha + 2)^2.
template <>
inline void coefficient_partials<Power2Law>(const Power2Law::Record& law,
                                            const closed_form::Moments& m,
                                            std::span<const double> q, double blocked, double norm,
                                            std::span<double> out) {
    const double b = law.alpha + 2.0;
    out[0] = flux_partial(q[0] - m.s0, -kPi * law.alpha / b, blocked, norm);
    out[1] = flux_partial(law.c * q[1], -kTwoPi * law.c / (b * b), blocked, norm);
}

// Not given for the tabulated profile.
template <>
inline void coefficient_partials<TabulatedLaw>(const TabulatedProfile& /*law*/,
                                               const closed_form::Moments& /*m*/,
                                               std::span<const double> /*q*/, double /*blocked*/,
                                               double /*norm*/, std::span<double> out) {
    for (double& v : out) {
        v = std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace halfmoon::gradient
