// Limb-darkening laws: the stellar intensity I as a function of the projected radius r, with
// mu = sqrt(1 - r^2) the cosine of the angle between the line of sight and the stellar surface
// normal.
//
// Each law is one type. What every law provides (the IntensityLaw concept): its name, its
// number of coefficients (kVariableCount for a law that takes any count its own rule accepts),
// a record of its coefficients built from them, its intensity and its normalisation (the
// integral of I over the unit disc). Each integration method adds the pieces it needs:
//
// - the annulus integration (AnnulusLaw) the radius clamp of the annulus midpoint;
// - the exact engine (ExactLaw) the names of the coefficients, the law written as a
//   polynomial part c0 + c1 mu + c2 mu^2 (whose boundary integrals have closed forms) plus a
//   remainder (a RadialRemainder: what the boundary quadrature needs of the rest), and, where
//   the law restricts its coefficients beyond finiteness, its own rule.
//
// A law's record is the plain record the annulus integration reads (its fields and the order
// in which its normalisation is formed are fixed: the light-curve modules pin them bit for bit).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/constants.hpp"
#include "core/debye.hpp"

namespace halfmoon {

// I = c0 + c1 mu + c2 mu^2. Over the unit disc, 2 pi times the integral of I mu over mu from 0
// to 1 gives the normalisation pi (c0 + 2 c1/3 + c2/2).
struct PowerBasis {
    double c0 = 0.0;
    double c1 = 0.0;
    double c2 = 0.0;

    bool present() const { return c0 != 0.0 || c1 != 0.0 || c2 != 0.0; }
};

// The coefficient count of a law that takes a variable number of coefficients.
inline constexpr std::size_t kVariableCount = static_cast<std::size_t>(-1);

template <typename L>
concept IntensityLaw =
    requires(std::span<const double> coefficients, const typename L::Record& record, double r) {
        { L::kName } -> std::convertible_to<std::string_view>;
        { L::kCoefficientCount } -> std::convertible_to<std::size_t>;
        { L::record(coefficients) } -> std::same_as<typename L::Record>;
        { L::intensity(record, r) } -> std::same_as<double>;
        { L::normalisation(record) } -> std::same_as<double>;
    };

template <typename L>
concept AnnulusLaw = IntensityLaw<L> && requires(double r) {
    { L::clamp_radius(r) } -> std::same_as<double>;
};

// How the primitive F of a remainder behaves at the limb (mu -> 0), which decides the map the
// boundary quadrature uses where a piece meets the limb: F an analytic function of mu, or of
// sqrt(mu) (or no better than that: a general power of mu).
enum class LimbBehaviour { kAnalyticInMu, kAnalyticInRootMu };

// The part of a law beyond its polynomial part, as the boundary quadrature sees it. With
// F' = r I_rest and F(r = 0) = 0:
//
// - over_r2(cell, mu) is F/r^2 at mu, computed without cancellation as r -> 0 (the quadrature
//   multiplies it by X x dX); `cell` is cell_of(mu), or of any mu of the same cell;
// - at_limb() is F at r = 1, which multiplies the limb arcs;
// - kinks() are the values of mu, increasing, strictly inside (0, 1), where F is not smooth
//   (the quadrature splits the pieces on the circles r = sqrt(1 - mu_j^2));
// - present() is false for a law without remainder.
template <typename R>
concept RadialRemainder = requires(const R& rest, double mu, int cell) {
    { std::remove_cvref_t<R>::kLimbBehaviour } -> std::convertible_to<LimbBehaviour>;
    { rest.present() } -> std::same_as<bool>;
    { rest.over_r2(cell, mu) } -> std::same_as<double>;
    { rest.at_limb() } -> std::same_as<double>;
    { rest.kinks() } -> std::same_as<std::span<const double>>;
    { rest.cell_of(mu) } -> std::same_as<int>;
};

template <typename L>
concept ExactLaw = IntensityLaw<L> && requires(const typename L::Record& record, std::size_t i) {
    { L::coefficient_name(i) } -> std::convertible_to<std::string>;
    { L::power_basis(record) } -> std::same_as<PowerBasis>;
    { L::remainder(record) } -> RadialRemainder;
};

// A law without remainder: the polynomial part is all of it.
struct NoRemainder {
    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInMu;
    bool present() const { return false; }
    double over_r2(int /*cell*/, double /*mu*/) const { return 0.0; }
    double at_limb() const { return 0.0; }
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// a1 mu^(1/2) + a3 mu^(3/2). For I = mu^(k/2), F = (1 - mu^(k/2+2))/(k/2 + 2); with q = sqrt(mu)
// and r^2 = 1 - q^4 = (1 - q)(1 + q)(1 + q^2),
//     F/r^2 = 2/(k+4) (1 + q + ... + q^(k+3)) / ((1 + q)(1 + q^2)),
// free of cancellation.
struct HalfPowerRemainder {
    double a1 = 0.0;
    double a3 = 0.0;

    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInRootMu;
    bool present() const { return a1 != 0.0 || a3 != 0.0; }
    double over_r2(int /*cell*/, double mu) const {
        const double q = std::sqrt(mu);
        const double q2 = q * q;
        const double low = (1.0 + q) * (1.0 + q2);  // 1 + q + q^2 + q^3
        const double sum4 = low + q2 * q2;          // 1 + ... + q^4
        const double sum6 = sum4 + q2 * q2 * (q + q2);
        return (a1 * (2.0 / 5.0) * sum4 + a3 * (2.0 / 7.0) * sum6) / low;
    }
    double at_limb() const { return a1 * (2.0 / 5.0) + a3 * (2.0 / 7.0); }
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// c mu^alpha, alpha > 0: F/r^2 = c (1 - mu^b)/(b (1 - mu^2)) with b = alpha + 2. Near mu = 1
// the difference 1 - mu^b is -expm1(b log mu), and 1 - mu^2 = (1 - mu)(1 + mu) is exact to
// rounding, so the quotient keeps its relative accuracy.
struct PowerRemainder {
    double c = 0.0;
    double b = 2.0;

    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInRootMu;
    bool present() const { return c != 0.0; }
    double over_r2(int /*cell*/, double mu) const {
        const double r2 = (1.0 - mu) * (1.0 + mu);
        const double gap = mu < 0.5 ? 1.0 - std::pow(mu, b) : -std::expm1(b * std::log(mu));
        return c * gap / (b * r2);
    }
    double at_limb() const { return c / b; }
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// c / (e^mu - 1): F = integral from mu to 1 of m/(e^m - 1) dm (debye.hpp), analytic in mu.
struct ExponentialRemainder {
    double c = 0.0;

    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInMu;
    bool present() const { return c != 0.0; }
    double over_r2(int /*cell*/, double mu) const {
        return c * special::bose_primitive_over_r2(mu);
    }
    double at_limb() const { return c * special::bose_integral(); }
    std::span<const double> kinks() const { return {}; }
    int cell_of(double /*mu*/) const { return 0; }
};

// Names the coefficient `index` of a law from its list of names.
template <std::size_t N>
std::string name_from(const std::array<std::string_view, N>& names, std::size_t index) {
    if (index < N) {
        return std::string(names[index]);
    }
    // Appended rather than "#" + string (GCC 12 warns falsely of overlapping copies there).
    std::string name = "#";
    name += std::to_string(index);
    return name;
}

// Uniform star: I = 1.
struct UniformLaw {
    static constexpr std::string_view kName = "uniform";
    static constexpr std::size_t kCoefficientCount = 0;
    struct Record {};

    static Record record(std::span<const double> /*coefficients*/) { return Record{}; }
    static double intensity(const Record& /*law*/, double /*r*/) { return 1.0; }
    static double normalisation(const Record& /*law*/) { return kPi; }
    static double clamp_radius(double r) { return r; }
    static std::string coefficient_name(std::size_t index) { return name_from<0>({}, index); }
    static PowerBasis power_basis(const Record& /*law*/) { return PowerBasis{1.0, 0.0, 0.0}; }
    static NoRemainder remainder(const Record& /*law*/) { return NoRemainder{}; }
};

// Linear law: I = 1 - u (1 - mu).
struct LinearLaw {
    static constexpr std::string_view kName = "linear";
    static constexpr std::size_t kCoefficientCount = 1;
    struct Record {
        double u;
    };

    static Record record(std::span<const double> c) { return Record{c[0]}; }
    static double intensity(const Record& law, double r) {
        return 1.0 - law.u * (1.0 - std::sqrt(1.0 - r * r));
    }
    static double normalisation(const Record& law) { return kPi * (1.0 - law.u / 3.0); }
    static std::string coefficient_name(std::size_t index) { return name_from<1>({"u"}, index); }
    static PowerBasis power_basis(const Record& law) { return PowerBasis{1.0 - law.u, law.u, 0.0}; }
    static NoRemainder remainder(const Record& /*law*/) { return NoRemainder{}; }
};

// Quadratic law: I = 1 - c1 (1 - mu) - c2 (1 - mu)^2; its integral is computed from the
// coefficients, not stored.
struct QuadraticLaw {
    static constexpr std::string_view kName = "quadratic";
    static constexpr std::size_t kCoefficientCount = 2;
    struct Record {
        double c1;
        double c2;
    };
    using LawCoefficients = Record;

    static Record coefficients(double c1, double c2) { return Record{c1, c2}; }
    static Record record(std::span<const double> c) { return coefficients(c[0], c[1]); }
    static double normalisation(const Record& law) {
        return ((law.c1 / (-3.0) + 1.0) + law.c2 / (-6.0)) * kPi;
    }
    static double clamp_radius(double r) { return r; }
    static double intensity(const Record& law, double r) {
        const double mu = std::sqrt(1.0 - r * r);
        return 1.0 - (1.0 - mu) * law.c1 - ((1.0 - mu) * law.c2) * (1.0 - mu);
    }
    static std::string coefficient_name(std::size_t index) {
        return name_from<2>({"u1", "u2"}, index);
    }
    // 1 - u1 (1 - mu) - u2 (1 - mu)^2 = (1 - u1 - u2) + (u1 + 2 u2) mu - u2 mu^2.
    static PowerBasis power_basis(const Record& law) {
        return PowerBasis{1.0 - law.c1 - law.c2, law.c1 + 2.0 * law.c2, -law.c2};
    }
    static NoRemainder remainder(const Record& /*law*/) { return NoRemainder{}; }
};

// Four-coefficient nonlinear law: I = 1 - sum_k c_k (1 - mu^(k/2)).
struct NonlinearLaw {
    static constexpr std::string_view kName = "nonlinear";
    static constexpr std::size_t kCoefficientCount = 4;
    struct Record {
        double c1;
        double c2;
        double c3;
        double c4;
        double norm;  // integral of I over the unit disc
    };
    using LawCoefficients = Record;

    static Record coefficients(double c1, double c2, double c3, double c4) {
        // 2 pi (1/2 - c1/10 - c2/6 - 3 c3/14 - c4/4), in this order.
        double sum = c2 / (-6.0) + c1 / (-10.0);
        sum = sum + (-3.0 * c3) / 14.0;
        sum = sum + (-0.25 * c4);
        sum = sum + 0.5;
        sum = sum + sum;
        return Record{c1, c2, c3, c4, sum * kPi};
    }
    static Record record(std::span<const double> c) { return coefficients(c[0], c[1], c[2], c[3]); }
    static double normalisation(const Record& law) { return law.norm; }
    // Keeps the midpoint off the limb, where mu^(1/4) has an infinite slope.
    static double clamp_radius(double r) { return std::min(r, 0.99995); }
    static double intensity(const Record& law, double r) {
        const double q = std::pow(1.0 - r * r, 0.25);  // sqrt(mu)
        return 1.0 - (1.0 - q) * law.c1 - (1.0 - q * q) * law.c2 -
               (1.0 - std::pow(q, 3.0)) * law.c3 - (1.0 - std::pow(q, 4.0)) * law.c4;
    }
    static std::string coefficient_name(std::size_t index) {
        return name_from<4>({"c1", "c2", "c3", "c4"}, index);
    }
    // The integer powers mu and mu^2 and the constant form the polynomial part.
    static PowerBasis power_basis(const Record& law) {
        return PowerBasis{1.0 - law.c1 - law.c2 - law.c3 - law.c4, law.c2, law.c4};
    }
    static HalfPowerRemainder remainder(const Record& law) {
        return HalfPowerRemainder{law.c1, law.c3};
    }
};

// Exponential law: I = 1 - c1 (1 - mu) - c2 / (1 - e^mu).
struct ExponentialLaw {
    static constexpr std::string_view kName = "exponential";
    static constexpr std::size_t kCoefficientCount = 2;
    struct Record {
        double c1;
        double c2;
        double norm;
    };
    using LawCoefficients = Record;

    static Record coefficients(double c1, double c2) {
        // 0.77750463 is minus the integral of mu / (1 - e^mu) over mu from 0 to 1, to eight
        // digits; 0.1666666667 stands for 1/6.
        return Record{c1, c2, (0.77750463 * c2 + (-0.1666666667 * c1 + 0.5)) * kTwoPi};
    }
    static Record record(std::span<const double> c) { return coefficients(c[0], c[1]); }
    // The annulus integration's normalisation, with the truncated constants above.
    static double normalisation(const Record& law) { return law.norm; }
    // The exact engine's: the true integral 2 pi (1/2 - c1/6 + c2 D(1)),
    // D(1) = integral from 0 to 1 of mu/(e^mu - 1) dmu.
    static double exact_normalisation(const Record& law) {
        return kTwoPi * (0.5 - law.c1 / 6.0 + law.c2 * special::bose_integral());
    }
    // 1 / (1 - e^mu) diverges at the limb (mu = 0): keep the midpoint inside it.
    static double clamp_radius(double r) { return std::max(std::min(r, 0.99995), 5e-05); }
    static double intensity(const Record& law, double r) {
        const double mu = std::sqrt(1.0 - r * r);
        return (1.0 - (1.0 - mu) * law.c1) - law.c2 / (1.0 - std::exp(mu));
    }
    static std::string coefficient_name(std::size_t index) {
        return name_from<2>({"c1", "c2"}, index);
    }
    // -c2/(1 - e^mu) = c2/(e^mu - 1) is the remainder.
    static PowerBasis power_basis(const Record& law) {
        return PowerBasis{1.0 - law.c1, law.c1, 0.0};
    }
    static ExponentialRemainder remainder(const Record& law) {
        return ExponentialRemainder{law.c2};
    }
};

// Square-root law: I = 1 - c1 (1 - mu) - c2 (1 - sqrt(mu)).
struct SquareRootLaw {
    static constexpr std::string_view kName = "square_root";
    static constexpr std::size_t kCoefficientCount = 2;
    struct Record {
        double c1;
        double c2;
    };

    static Record record(std::span<const double> c) { return Record{c[0], c[1]}; }
    static double intensity(const Record& law, double r) {
        const double mu = std::sqrt(1.0 - r * r);
        return 1.0 - law.c1 * (1.0 - mu) - law.c2 * (1.0 - std::sqrt(mu));
    }
    // 2 pi (1/2 - c1/6 - c2/10): the integral of mu (1 - sqrt(mu)) over [0, 1] is 1/10.
    static double normalisation(const Record& law) {
        return kTwoPi * (0.5 - law.c1 / 6.0 - law.c2 / 10.0);
    }
    static std::string coefficient_name(std::size_t index) {
        return name_from<2>({"c1", "c2"}, index);
    }
    static PowerBasis power_basis(const Record& law) {
        return PowerBasis{1.0 - law.c1 - law.c2, law.c1, 0.0};
    }
    static HalfPowerRemainder remainder(const Record& law) {
        return HalfPowerRemainder{law.c2, 0.0};
    }
};

// Power-2 law: I = 1 - c (1 - mu^alpha), alpha > 0.
struct Power2Law {
    static constexpr std::string_view kName = "power2";
    static constexpr std::size_t kCoefficientCount = 2;
    struct Record {
        double c;
        double alpha;
    };

    static Record record(std::span<const double> c) { return Record{c[0], c[1]}; }
    static double intensity(const Record& law, double r) {
        const double mu = std::sqrt(1.0 - r * r);
        return 1.0 - law.c * (1.0 - std::pow(mu, law.alpha));
    }
    // 2 pi (1/2 - c (1/2 - 1/(alpha + 2))) = 2 pi (1/2 - c alpha / (2 (alpha + 2))).
    static double normalisation(const Record& law) {
        return kTwoPi * (0.5 - law.c * law.alpha / (2.0 * (law.alpha + 2.0)));
    }
    static std::string coefficient_name(std::size_t index) {
        return name_from<2>({"c", "alpha"}, index);
    }
    static std::optional<std::string> domain_problem(std::span<const double> c) {
        if (!(c[1] > 0.0)) {
            return "coefficient alpha must be > 0";
        }
        return std::nullopt;
    }
    static PowerBasis power_basis(const Record& law) { return PowerBasis{1.0 - law.c, 0.0, 0.0}; }
    static PowerRemainder remainder(const Record& law) {
        return PowerRemainder{law.c, law.alpha + 2.0};
    }
};

// A tabulated profile: intensities I_1..I_m on a grid mu_1 < ... < mu_m in [0, 1] (m >= 2),
// interpolated by the monotone piecewise cubic of Fritsch and Carlson in mu: a cubic Hermite
// interpolant whose slopes are the weighted harmonic means of the neighbouring secants (zero
// where they differ in sign; one-sided three-point slopes, limited, at the ends), so that the
// interpolant never overshoots the data. Outside [mu_1, mu_m] the intensity is held at the
// end value. F is then, cell by cell, a polynomial in mu of degree 5 (the cubic times m,
// integrated), and the whole law is its remainder: its kinks are the interior grid points.
class TabulatedProfile {
  public:
    // One cell [lo, hi] of mu, as polynomials in x = hi - mu:
    //   I = g0 + g1 x + g2 x^2 + g3 x^3,  F(mu) = f_hi + x (e1 + e2 x + ... + e5 x^4),
    // with f_hi = F(hi).
    struct Cell {
        double lo;
        double hi;
        std::array<double, 4> g;
        std::array<double, 5> e;
        double f_hi;
    };

    static constexpr LimbBehaviour kLimbBehaviour = LimbBehaviour::kAnalyticInMu;

    TabulatedProfile() = default;
    TabulatedProfile(std::span<const double> mu, std::span<const double> intensity);
    // The cubic Hermite interpolant of the given slopes instead of the monotone ones (the same
    // cells and held ends); the profile above is this one with the slopes of monotone_slopes.
    TabulatedProfile(std::span<const double> mu, std::span<const double> intensity,
                     std::span<const double> slopes);

    // F/r^2 over a cell other than the innermost one: F = f_hi + x inner(x), x = hi - mu.
    struct OuterCell {
        double hi;
        double f_hi;
        std::array<double, 5> e;
        double operator()(double mu) const {
            const double x = hi - mu;
            const double inner = (((e[4] * x + e[3]) * x + e[2]) * x + e[1]) * x + e[0];
            return (f_hi + x * inner) / ((1.0 - mu) * (1.0 + mu));
        }
    };
    // The same over the cell reaching mu = 1: F = (1 - mu) inner and r^2 = (1 - mu)(1 + mu),
    // whose common factor cancels.
    struct InnermostCell {
        std::array<double, 5> e;
        double operator()(double mu) const {
            const double x = 1.0 - mu;
            const double inner = (((e[4] * x + e[3]) * x + e[2]) * x + e[1]) * x + e[0];
            return inner / (1.0 + mu);
        }
    };

    bool present() const { return !cells_.empty(); }
    // f(F/r^2 of cell `cell`), the cell's coefficients read once (the boundary quadrature calls
    // it once per panel and evaluates it at the panel's nodes).
    template <typename F>
    decltype(auto) with_cell(int cell, F&& f) const {
        const Cell& c = cells_[static_cast<std::size_t>(cell)];
        if (c.hi == 1.0) {
            return f(InnermostCell{c.e});
        }
        return f(OuterCell{c.hi, c.f_hi, c.e});
    }
    double over_r2(int cell, double mu) const {
        return with_cell(cell, [mu](const auto& of_mu) { return of_mu(mu); });
    }
    double at_limb() const { return integral_over_mu(); }
    std::span<const double> kinks() const { return kinks_; }
    std::span<const Cell> cells() const { return cells_; }
    int cell_of(double mu) const {
        const auto it = std::upper_bound(kinks_.begin(), kinks_.end(), mu);
        return static_cast<int>(it - kinks_.begin());
    }
    double intensity(double mu) const { return intensity_in(cell_of(mu), mu); }
    // The same for mu known to lie in `cell`.
    double intensity_in(int cell, double mu) const {
        const Cell& c = cells_[static_cast<std::size_t>(cell)];
        const double x = c.hi - mu;
        return ((c.g[3] * x + c.g[2]) * x + c.g[1]) * x + c.g[0];
    }
    // F at the limb: the integral of mu I over mu in [0, 1].
    double integral_over_mu() const {
        const Cell& c = cells_.front();
        const double x = c.hi - c.lo;
        return c.f_hi + x * ((((c.e[4] * x + c.e[3]) * x + c.e[2]) * x + c.e[1]) * x + c.e[0]);
    }

  private:
    std::vector<Cell> cells_;    // increasing mu, covering [0, 1]
    std::vector<double> kinks_;  // the cell boundaries strictly inside (0, 1)
};

// Slopes of the monotone cubic at the grid points (h: cell widths, delta: secants).
inline std::vector<double> monotone_slopes(std::span<const double> h,
                                           std::span<const double> delta) {
    const std::size_t cells = h.size();
    std::vector<double> d(cells + 1, 0.0);
    if (cells == 1) {
        d[0] = d[1] = delta[0];
        return d;
    }
    for (std::size_t k = 1; k < cells; ++k) {
        const double a = delta[k - 1];
        const double b = delta[k];
        if (a == 0.0 || b == 0.0 || (a > 0.0) != (b > 0.0)) {
            continue;  // a local extremum or a flat piece: zero slope
        }
        const double w1 = 2.0 * h[k] + h[k - 1];
        const double w2 = h[k] + 2.0 * h[k - 1];
        d[k] = (w1 + w2) / (w1 / a + w2 / b);
    }
    // One-sided three-point slope at an end, kept of the secant's sign and within 3 secants.
    auto sign = [](double v) { return (v > 0.0) - (v < 0.0); };
    auto end_slope = [&](double h0, double h1, double d0, double d1) {
        const double s = ((2.0 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
        if (sign(s) != sign(d0)) {
            return 0.0;
        }
        if (sign(d0) != sign(d1) && std::fabs(s) > 3.0 * std::fabs(d0)) {
            return 3.0 * d0;
        }
        return s;
    };
    d[0] = end_slope(h[0], h[1], delta[0], delta[1]);
    d[cells] = end_slope(h[cells - 1], h[cells - 2], delta[cells - 1], delta[cells - 2]);
    return d;
}

// Cell widths and secants of a grid and its intensities.
struct ProfileSecants {
    std::vector<double> h;
    std::vector<double> delta;
};

inline ProfileSecants profile_secants(std::span<const double> mu,
                                      std::span<const double> intensity) {
    const std::size_t m = mu.size();
    ProfileSecants out{std::vector<double>(m - 1), std::vector<double>(m - 1)};
    for (std::size_t k = 0; k + 1 < m; ++k) {
        out.h[k] = mu[k + 1] - mu[k];
        out.delta[k] = (intensity[k + 1] - intensity[k]) / out.h[k];
    }
    return out;
}

inline std::vector<double> profile_slopes(std::span<const double> mu,
                                          std::span<const double> intensity) {
    const ProfileSecants secants = profile_secants(mu, intensity);
    return monotone_slopes(secants.h, secants.delta);
}

inline TabulatedProfile::TabulatedProfile(std::span<const double> mu,
                                          std::span<const double> intensity)
    : TabulatedProfile(mu, intensity, profile_slopes(mu, intensity)) {}

inline TabulatedProfile::TabulatedProfile(std::span<const double> mu,
                                          std::span<const double> intensity,
                                          std::span<const double> d) {
    const std::size_t m = mu.size();
    const auto [h, delta] = profile_secants(mu, intensity);
    // Cells from the limb inwards: the held end value below mu_1, the cubics, the held end
    // value above mu_m.
    auto constant = [](double lo, double hi, double value) {
        return Cell{lo, hi, {value, 0.0, 0.0, 0.0}, {}, 0.0};
    };
    if (mu[0] > 0.0) {
        cells_.push_back(constant(0.0, mu[0], intensity[0]));
    }
    for (std::size_t k = 0; k + 1 < m; ++k) {
        // Hermite cubic in x = hi - mu: value I_hi and slope -d_hi at x = 0, value I_lo and
        // slope -d_lo at x = h.
        const double w = h[k];
        const double m0 = -d[k + 1];
        const double m1 = -d[k];
        const double secant = -delta[k];
        cells_.push_back(Cell{mu[k],
                              mu[k + 1],
                              {intensity[k + 1], m0, (3.0 * secant - 2.0 * m0 - m1) / w,
                               (m0 + m1 - 2.0 * secant) / (w * w)},
                              {},
                              0.0});
    }
    if (mu[m - 1] < 1.0) {
        cells_.push_back(constant(mu[m - 1], 1.0, intensity[m - 1]));
    }
    // F from mu = 1 down: with m = hi - x, m I = sum_k (hi g_k - g_(k-1)) x^k, whose integral
    // from 0 to x gives e_(k+1) = (hi g_k - g_(k-1))/(k+1).
    double f_hi = 0.0;
    for (std::size_t i = cells_.size(); i-- > 0;) {
        Cell& c = cells_[i];
        for (std::size_t k = 0; k < 5; ++k) {
            const double gk = k < 4 ? c.g[k] : 0.0;
            const double previous = k > 0 ? c.g[k - 1] : 0.0;
            c.e[k] = (c.hi * gk - previous) / static_cast<double>(k + 1);
        }
        c.f_hi = f_hi;
        const double x = c.hi - c.lo;
        f_hi += x * ((((c.e[4] * x + c.e[3]) * x + c.e[2]) * x + c.e[1]) * x + c.e[0]);
    }
    for (std::size_t i = 1; i < cells_.size(); ++i) {
        kinks_.push_back(cells_[i].lo);
    }
}

// The tabulated law: coefficients (mu_1..mu_m, I_1..I_m), any even count of at least 4.
struct TabulatedLaw {
    static constexpr std::string_view kName = "tabulated";
    static constexpr std::size_t kCoefficientCount = kVariableCount;
    using Record = TabulatedProfile;

    static bool accepts_count(std::size_t count) { return count >= 4 && count % 2 == 0; }
    static std::string count_rule() { return "an even number, at least 4 (mu_1..mu_m, I_1..I_m)"; }
    static Record record(std::span<const double> c) {
        const std::size_t m = c.size() / 2;
        return TabulatedProfile(c.first(m), c.subspan(m, m));
    }
    static double intensity(const Record& law, double r) {
        return law.intensity(std::sqrt((1.0 - r) * (1.0 + r)));
    }
    static double normalisation(const Record& law) { return kTwoPi * law.integral_over_mu(); }
    static std::string coefficient_name(std::size_t index) { return "#" + std::to_string(index); }
    static std::string coefficient_name(std::size_t index, std::size_t count) {
        const std::size_t m = count / 2;
        return (index < m ? "mu_" : "I_") + std::to_string(index % m + 1);
    }
    static std::optional<std::string> domain_problem(std::span<const double> c) {
        const std::size_t m = c.size() / 2;
        for (std::size_t k = 0; k < m; ++k) {
            const std::string mu_name = coefficient_name(k, c.size());
            if (!(c[k] >= 0.0 && c[k] <= 1.0)) {
                return "coefficient " + mu_name + " must lie in [0, 1]";
            }
            if (k > 0 && !(c[k] > c[k - 1])) {
                return "coefficient " + mu_name + " must exceed mu_" + std::to_string(k) +
                       " (the grid of mu must increase strictly)";
            }
            if (!(c[m + k] >= 0.0)) {
                return "coefficient " + coefficient_name(m + k, c.size()) + " must be >= 0";
            }
        }
        if (std::all_of(c.begin() + m, c.end(), [](double v) { return v == 0.0; })) {
            return "coefficients I_1..I_" + std::to_string(m) + " must not all be 0";
        }
        return std::nullopt;
    }
    static PowerBasis power_basis(const Record& /*law*/) { return PowerBasis{}; }
    static const TabulatedProfile& remainder(const Record& law) { return law; }
};

// ----------------------------------------------------------------------------------------
// What the exact engine asks of every law, written once
// ----------------------------------------------------------------------------------------

// The law's fixed number of coefficients, or nothing for a variable count.
template <IntensityLaw L>
constexpr std::optional<std::size_t> fixed_coefficient_count() {
    if constexpr (L::kCoefficientCount == kVariableCount) {
        return std::nullopt;
    } else {
        return L::kCoefficientCount;
    }
}

// The name of coefficient `index` out of `count`.
template <ExactLaw L>
std::string coefficient_name(std::size_t index, std::size_t count) {
    if constexpr (requires { L::coefficient_name(index, count); }) {
        return L::coefficient_name(index, count);
    } else {
        return L::coefficient_name(index);
    }
}

// What is wrong with a count of coefficients for a law, if anything.
template <ExactLaw L>
std::optional<std::string> count_problem(std::size_t count) {
    if constexpr (fixed_coefficient_count<L>()) {
        if (count == L::kCoefficientCount) {
            return std::nullopt;
        }
        return "takes " + std::to_string(L::kCoefficientCount) + " coefficient(s), got " +
               std::to_string(count);
    } else {
        if (L::accepts_count(count)) {
            return std::nullopt;
        }
        return "takes " + L::count_rule() + " coefficients, got " + std::to_string(count);
    }
}

// What is wrong with a law's coefficients, if anything: their count, their finiteness, then
// the law's own rule.
template <ExactLaw L>
std::optional<std::string> coefficient_problem(std::span<const double> c) {
    if (auto problem = count_problem<L>(c.size())) {
        return problem;
    }
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (!std::isfinite(c[i])) {
            return "coefficient " + coefficient_name<L>(i, c.size()) + " must be finite";
        }
    }
    if constexpr (requires { L::domain_problem(c); }) {
        return L::domain_problem(c);
    }
    return std::nullopt;
}

// The normalisation the exact engine divides by: the true integral of I over the disc.
template <ExactLaw L>
double exact_normalisation(const typename L::Record& record) {
    if constexpr (requires { L::exact_normalisation(record); }) {
        return L::exact_normalisation(record);
    } else {
        return L::normalisation(record);
    }
}

// A list of law types, for registries: `for_law(name, f)` calls f with a value of the law type
// whose name matches, and returns whether one did.
template <typename... Laws>
struct LawList {
    template <typename F>
    static bool for_law(std::string_view name, F&& f) {
        return ((name == Laws::kName ? (f(Laws{}), true) : false) || ...);
    }
    static constexpr std::size_t size() { return sizeof...(Laws); }
};

// The laws of the package's exact engine. Adding a law: its type above and its name here.
using ExactLaws = LawList<UniformLaw, LinearLaw, QuadraticLaw, NonlinearLaw, ExponentialLaw,
                          SquareRootLaw, Power2Law, TabulatedLaw>;
// The laws of the annulus integration (the light-curve modules).
using AnnulusLaws = LawList<QuadraticLaw, NonlinearLaw, ExponentialLaw>;

}  // namespace halfmoon
