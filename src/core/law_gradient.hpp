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
// slopes: its partials with respect to the intensities are given (through the derivatives of
// those slopes), those with respect to the nodes mu_k are not (NaN).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "core/closed_form.hpp"
#include "core/constants.hpp"
#include "core/gradient_quadrature.hpp"
#include "core/laws.hpp"
#include "core/debye.hpp"

namespace halfmoon::gradient {

// A source without kinks (all laws but the tabulated profile).
struct Smooth {
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// A law's record with what its gradient prepares once per channel (most laws need nothing).
template <typename Law>
struct PreparedLaw {
    typename Law::Record record;
};

// a1 mu^(1/2) + a3 mu^(3/2); parts mu^(1/2) and mu^(3/2), with the primitives of
// HalfPowerRemainder: F/r^2 = 2/(k+4) (1 + q + ... + q^(k+3)) / ((1 + q)(1 + q^2)), q = sqrt(mu).
struct HalfPowerSource : Smooth {
    static constexpr std::size_t kParts = 2;
    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInRootMu;
    double a1;
    double a3;

    std::size_t part_count() const { return kParts; }
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

    std::size_t part_count() const { return kParts; }
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

    std::size_t part_count() const { return kParts; }
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

// The tabulated profile. Its intensity is the cubic Hermite interpolant of the values I_k and
// the slopes d_k at the nodes mu_k, held at the end values beyond them, with d the monotone
// slopes of the secants (monotone_slopes), which depend on the I_k. The interpolant is linear in
// its values and slopes together, so its derivative with respect to I_j is the Hermite
// interpolant D_j of the values e_j (1 at node j, 0 elsewhere) and the slopes dd_k/dI_j, and
//   dB/dI_j = B[D_j],  dN/dI_j = N[D_j],
// B[phi] being the blocked flux of the intensity phi. The parts are the profile itself (for B)
// and the m profiles D_j.
//
// Within a cell most D_j are constant (zero away from node j and its neighbours, whose slopes
// it moves), so their primitives are the constant F(hi) of the cell: the table below keeps, per
// cell, F(hi) of every D_j and the polynomials of those that are not zero there, and one node
// evaluates F/r^2 of all of them with one reciprocal.
struct TabulatedGradient {
    struct Varying {
        std::size_t part;
        std::array<double, 5> e;  // F = F(hi) + x (e0 + e1 x + ... + e4 x^4), x = hi - mu
    };
    TabulatedProfile profile;
    std::vector<TabulatedProfile> derivatives;  // D_0 .. D_(m-1)
    std::vector<double> hi;                     // per cell
    std::vector<double> f_hi;                   // F(hi) of D_j in cell c at c m + j
    std::vector<std::vector<Varying>> varying;  // per cell

    // F/r^2 of every D_j at mu in `cell`, into out[0..m).
    void derivative_parts(int cell, double mu, double* out) const {
        const auto c = static_cast<std::size_t>(cell);
        const std::size_t m = derivatives.size();
        const double x = hi[c] - mu;
        // On the cell reaching mu = 1, F(hi) = 0 and x/r^2 = 1/(1 + mu) without cancellation.
        const bool top = hi[c] == 1.0;
        const double inv_r2 = top ? 0.0 : 1.0 / ((1.0 - mu) * (1.0 + mu));
        const double along = top ? 1.0 / (1.0 + mu) : x * inv_r2;
        const double* f = f_hi.data() + c * m;
        for (std::size_t j = 0; j < m; ++j) {
            out[j] = f[j] * inv_r2;
        }
        for (const Varying& v : varying[c]) {
            const auto& e = v.e;
            out[v.part] += along * ((((e[4] * x + e[3]) * x + e[2]) * x + e[1]) * x + e[0]);
        }
    }

    // Over a panel's nodes in `cell`, the sums of cross_i F/r^2(mu_i): of the profile into
    // out[0], of every D_j into out[1 + j]. Every primitive there is F(hi) + x (e0 + ... + e4 x^4),
    // x = hi - mu, so with the panel's sums C = sum cross_i / r_i^2 and
    // M_k = sum cross_i x_i^(k+1) / r_i^2 (on the cell reaching mu = 1, where F(hi) = 0 and
    // x/r^2 = 1/(1 + mu): M_k = sum cross_i x_i^k / (1 + mu_i)) each part costs F(hi) C +
    // sum_k e_k M_k, one reciprocal per node and none per part, whatever the count of nodes.
    void add_panel_parts(int cell, std::span<const double> mu, std::span<const double> cross,
                         double* out) const {
        const auto c = static_cast<std::size_t>(cell);
        const std::size_t m = derivatives.size();
        const bool top = hi[c] == 1.0;
        double constant = 0.0;
        std::array<double, 5> moment{};
        for (std::size_t i = 0; i < mu.size(); ++i) {
            const double x = hi[c] - mu[i];
            double power = 0.0;  // cross x^(k+1)/r^2, or cross x^k/(1 + mu) on top
            if (top) {
                power = cross[i] / (1.0 + mu[i]);
            } else {
                const double over_r2 = cross[i] / ((1.0 - mu[i]) * (1.0 + mu[i]));
                constant += over_r2;
                power = x * over_r2;
            }
            for (double& sum : moment) {
                sum += power;
                power *= x;
            }
        }
        auto varying_part = [&](const std::array<double, 5>& e) {
            return (e[0] * moment[0] + e[1] * moment[1]) + (e[2] * moment[2] + e[3] * moment[3]) +
                   e[4] * moment[4];
        };
        const TabulatedProfile::Cell& own = profile.cells()[c];
        out[0] += own.f_hi * constant + varying_part(own.e);
        if (!top) {
            const double* f = f_hi.data() + c * m;
            for (std::size_t j = 0; j < m; ++j) {
                out[1 + j] += f[j] * constant;
            }
        }
        for (const Varying& v : varying[c]) {
            out[1 + v.part] += varying_part(v.e);
        }
    }
};

template <>
struct PreparedLaw<TabulatedLaw> {
    std::size_t nodes = 0;  // m
    std::shared_ptr<const TabulatedGradient> data;
};

// dd_k/dI_j of monotone_slopes (laws.hpp), row-major in k, from the derivatives of each slope
// with respect to the secants delta_c = (I_(c+1) - I_c)/h_c. A slope set to zero at an extremum
// of the data, or clipped to three secants at an end, has the derivative of that branch.
inline std::vector<double> monotone_slopes_jacobian(std::span<const double> h,
                                                    std::span<const double> delta) {
    const std::size_t cells = h.size();
    const std::size_t m = cells + 1;
    // dd_k/ddelta_c at k cells + c.
    std::vector<double> by_secant(m * cells, 0.0);
    auto at = [&](std::size_t k, std::size_t c) -> double& { return by_secant[k * cells + c]; };
    if (cells == 1) {
        at(0, 0) = 1.0;
        at(1, 0) = 1.0;
    } else {
        for (std::size_t k = 1; k < cells; ++k) {
            const double a = delta[k - 1];
            const double b = delta[k];
            if (a == 0.0 || b == 0.0 || (a > 0.0) != (b > 0.0)) {
                continue;
            }
            // d = (w1 + w2)/(w1/a + w2/b), a weighted harmonic mean.
            const double w1 = 2.0 * h[k] + h[k - 1];
            const double w2 = h[k] + 2.0 * h[k - 1];
            const double den = w1 / a + w2 / b;
            at(k, k - 1) = (w1 + w2) * (w1 / (a * a)) / (den * den);
            at(k, k) = (w1 + w2) * (w2 / (b * b)) / (den * den);
        }
        auto sign = [](double v) { return (v > 0.0) - (v < 0.0); };
        // s = ((2 h0 + h1) d0 - h0 d1)/(h0 + h1), zero or 3 d0 where clipped.
        auto end = [&](std::size_t k, std::size_t c0, std::size_t c1) {
            const double h0 = h[c0];
            const double h1 = h[c1];
            const double d0 = delta[c0];
            const double d1 = delta[c1];
            const double s = ((2.0 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
            if (sign(s) != sign(d0)) {
                return;
            }
            if (sign(d0) != sign(d1) && std::fabs(s) > 3.0 * std::fabs(d0)) {
                at(k, c0) = 3.0;
                return;
            }
            at(k, c0) = (2.0 * h0 + h1) / (h0 + h1);
            at(k, c1) = -h0 / (h0 + h1);
        };
        end(0, 0, 1);
        end(cells, cells - 1, cells - 2);
    }
    // ddelta_c/dI_j = ((j = c + 1) - (j = c)) / h_c.
    std::vector<double> jacobian(m * m, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t c = 0; c < cells; ++c) {
            const double v = at(k, c) / h[c];
            jacobian[k * m + c + 1] += v;
            jacobian[k * m + c] -= v;
        }
    }
    return jacobian;
}

inline PreparedLaw<TabulatedLaw> prepare_tabulated(std::span<const double> coefficients) {
    const std::size_t m = coefficients.size() / 2;
    const std::span<const double> mu = coefficients.first(m);
    const std::span<const double> intensity = coefficients.subspan(m, m);
    auto data = std::make_shared<TabulatedGradient>();
    data->profile = TabulatedProfile(mu, intensity);
    const ProfileSecants secants = profile_secants(mu, intensity);
    const std::vector<double> jacobian = monotone_slopes_jacobian(secants.h, secants.delta);
    std::vector<double> values(m, 0.0);
    std::vector<double> slopes(m, 0.0);
    for (std::size_t j = 0; j < m; ++j) {
        values[j] = 1.0;
        for (std::size_t k = 0; k < m; ++k) {
            slopes[k] = jacobian[k * m + j];
        }
        data->derivatives.emplace_back(mu, values, slopes);
        values[j] = 0.0;
    }
    const std::size_t cells = data->profile.cells().size();
    data->f_hi.assign(cells * m, 0.0);
    data->varying.resize(cells);
    for (std::size_t c = 0; c < cells; ++c) {
        data->hi.push_back(data->profile.cells()[c].hi);
        for (std::size_t j = 0; j < m; ++j) {
            const TabulatedProfile::Cell& cell = data->derivatives[j].cells()[c];
            data->f_hi[c * m + j] = cell.f_hi;
            if (std::any_of(cell.e.begin(), cell.e.end(), [](double v) { return v != 0.0; })) {
                data->varying[c].push_back({j, cell.e});
            }
        }
    }
    return PreparedLaw<TabulatedLaw>{m, std::move(data)};
}

// Parts: the profile, then the m derivative profiles.
struct TabulatedSource {
    static constexpr std::size_t kParts = kDynamicParts;
    static constexpr LimbBehaviour kLimbBehaviour = TabulatedProfile::kLimbBehaviour;
    const TabulatedGradient& law;

    std::size_t part_count() const { return 1 + law.derivatives.size(); }
    std::span<const double> kinks() const { return law.profile.kinks(); }
    int cell_of(double mu) const { return law.profile.cell_of(mu); }
    double intensity(int cell, double mu) const { return law.profile.intensity_in(cell, mu); }
    void parts(int cell, double mu, double* out) const {
        out[0] = law.profile.over_r2(cell, mu);
        law.derivative_parts(cell, mu, out + 1);
    }
    void add_parts(int cell, std::span<const double> mu, std::span<const double> cross,
                   double* out) const {
        law.add_panel_parts(cell, mu, cross, out);
    }
    void parts_at_limb(double* out) const {
        out[0] = law.profile.at_limb();
        for (std::size_t j = 0; j < law.derivatives.size(); ++j) {
            out[1 + j] = law.derivatives[j].at_limb();
        }
    }
};

// The remainder of each law.
template <typename Law>
struct LawRest {
    static constexpr std::size_t kParts = 0;
};

template <>
struct LawRest<NonlinearLaw> {
    static constexpr std::size_t kParts = HalfPowerSource::kParts;
    static HalfPowerSource source(const PreparedLaw<NonlinearLaw>& law) {
        return {{}, law.record.c1, law.record.c3};
    }
    static double blocked(const PreparedLaw<NonlinearLaw>& law, std::span<const double> q) {
        return law.record.c1 * q[0] + law.record.c3 * q[1];
    }
};

template <>
struct LawRest<SquareRootLaw> {
    static constexpr std::size_t kParts = HalfPowerSource::kParts;
    static HalfPowerSource source(const PreparedLaw<SquareRootLaw>& law) {
        return {{}, law.record.c2, 0.0};
    }
    static double blocked(const PreparedLaw<SquareRootLaw>& law, std::span<const double> q) {
        return law.record.c2 * q[0];
    }
};

template <>
struct LawRest<ExponentialLaw> {
    static constexpr std::size_t kParts = ExponentialSource::kParts;
    static ExponentialSource source(const PreparedLaw<ExponentialLaw>& law) {
        return {{}, law.record.c2};
    }
    static double blocked(const PreparedLaw<ExponentialLaw>& law, std::span<const double> q) {
        return law.record.c2 * q[0];
    }
};

template <>
struct LawRest<Power2Law> {
    static constexpr std::size_t kParts = PowerSource::kParts;
    static PowerSource source(const PreparedLaw<Power2Law>& law) {
        return {{}, law.record.c, law.record.alpha + 2.0};
    }
    static double blocked(const PreparedLaw<Power2Law>& law, std::span<const double> q) {
        return law.record.c * q[0];
    }
};

template <>
struct LawRest<TabulatedLaw> {
    static constexpr std::size_t kParts = TabulatedSource::kParts;
    static TabulatedSource source(const PreparedLaw<TabulatedLaw>& law) { return {*law.data}; }
    static double blocked(const PreparedLaw<TabulatedLaw>& /*law*/, std::span<const double> q) {
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
void coefficient_partials(const PreparedLaw<Law>& law, const closed_form::Moments& m,
                          std::span<const double> q, double blocked, double norm,
                          std::span<double> out);

// The prepared record of a law, once per channel.
template <typename Law>
PreparedLaw<Law> prepare_law(std::span<const double> coefficients) {
    if constexpr (std::is_same_v<Law, TabulatedLaw>) {
        return prepare_tabulated(coefficients);
    } else {
        return PreparedLaw<Law>{Law::record(coefficients)};
    }
}

template <>
inline void coefficient_partials<UniformLaw>(const PreparedLaw<UniformLaw>& /*law*/,
                                             const closed_form::Moments& /*m*/,
                                             std::span<const double> /*q*/, double /*blocked*/,
                                             double /*norm*/, std::span<double> /*out*/) {}

// (1 - u) + u mu; N = pi (1 - u/3).
template <>
inline void coefficient_partials<LinearLaw>(const PreparedLaw<LinearLaw>& /*law*/,
                                            const closed_form::Moments& m,
                                            std::span<const double> /*q*/, double blocked,
                                            double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
}

// (1 - u1 - u2) + (u1 + 2 u2) mu - u2 mu^2; N = pi (1 - u1/3 - u2/6).
template <>
inline void coefficient_partials<QuadraticLaw>(const PreparedLaw<QuadraticLaw>& /*law*/,
                                               const closed_form::Moments& m,
                                               std::span<const double> /*q*/, double blocked,
                                               double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(2.0 * m.s1 - m.s0 - m.s2, -kPi / 6.0, blocked, norm);
}

// (1 - c1 - c2 - c3 - c4) + c2 mu + c4 mu^2 + c1 mu^(1/2) + c3 mu^(3/2);
// N = 2 pi (1/2 - c1/10 - c2/6 - 3 c3/14 - c4/4).
template <>
inline void coefficient_partials<NonlinearLaw>(const PreparedLaw<NonlinearLaw>& /*law*/,
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
inline void coefficient_partials<ExponentialLaw>(const PreparedLaw<ExponentialLaw>& /*law*/,
                                                 const closed_form::Moments& m,
                                                 std::span<const double> q, double blocked,
                                                 double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(q[0], kTwoPi * special::bose_integral(), blocked, norm);
}

// (1 - c1 - c2) + c1 mu + c2 mu^(1/2); N = 2 pi (1/2 - c1/6 - c2/10).
template <>
inline void coefficient_partials<SquareRootLaw>(const PreparedLaw<SquareRootLaw>& /*law*/,
                                                const closed_form::Moments& m,
                                                std::span<const double> q, double blocked,
                                                double norm, std::span<double> out) {
    out[0] = flux_partial(m.s1 - m.s0, -kPi / 3.0, blocked, norm);
    out[1] = flux_partial(q[0] - m.s0, -kPi / 5.0, blocked, norm);
}

// (1 - c) + c mu^alpha; N = 2 pi (1/2 - c alpha/(2 (alpha + 2))), so
// dN/dc = -pi alpha/(alpha + 2) and dN/dalpha = -2 pi c/(alpha + 2)^2.
template <>
inline void coefficient_partials<Power2Law>(const PreparedLaw<Power2Law>& law,
                                            const closed_form::Moments& m,
                                            std::span<const double> q, double blocked, double norm,
                                            std::span<double> out) {
    const double alpha = law.record.alpha;
    const double c = law.record.c;
    const double b = alpha + 2.0;
    out[0] = flux_partial(q[0] - m.s0, -kPi * alpha / b, blocked, norm);
    out[1] = flux_partial(c * q[1], -kTwoPi * c / (b * b), blocked, norm);
}

// The nodes mu_k: not given (NaN). The intensities I_j from the parts (q[0] is the profile's,
// q[1 + j] that of D_j), the normalisation's derivative 2 pi times the integral of mu D_j.
template <>
inline void coefficient_partials<TabulatedLaw>(const PreparedLaw<TabulatedLaw>& law,
                                               const closed_form::Moments& /*m*/,
                                               std::span<const double> q, double blocked,
                                               double norm, std::span<double> out) {
    const std::size_t m = law.nodes;
    for (std::size_t k = 0; k < m; ++k) {
        out[k] = std::numeric_limits<double>::quiet_NaN();
        const double d_norm = kTwoPi * law.data->derivatives[k].integral_over_mu();
        out[m + k] = flux_partial(q[1 + k], d_norm, blocked, norm);
    }
}

}  // namespace halfmoon::gradient
