// Limb-darkening laws: the stellar intensity I as a function of the projected radius r, with
// mu = sqrt(1 - r^2) the cosine of the angle between the line of sight and the stellar surface
// normal.
//
// Each law is one type. What every law provides (the IntensityLaw concept): its name, its
// number of coefficients, a record of its coefficients built from them, its intensity and its
// normalisation (the integral of I over the unit disc). Each integration method adds the pieces
// it needs:
//
// - the annulus integration (AnnulusLaw) the radius clamp of the annulus midpoint;
// - the exact engine (ExactLaw) the law written as c0 + c1 mu + c2 mu^2, a polynomial of degree
//   at most two in mu whose boundary integrals have closed forms.
//
// A law's record is the plain record the annulus integration reads (its fields and the order
// in which its normalisation is formed are fixed: the light-curve modules pin them bit for bit).
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <span>
#include <string_view>

#include "core/constants.hpp"

namespace halfmoon {

// I = c0 + c1 mu + c2 mu^2. Over the unit disc, 2 pi times the integral of I mu over mu from 0
// to 1 gives the normalisation pi (c0 + 2 c1/3 + c2/2).
struct PowerBasis {
    double c0 = 0.0;
    double c1 = 0.0;
    double c2 = 0.0;
};

template <typename L>
concept IntensityLaw = requires(std::span<const double> coefficients,
                                const typename L::Record& record, double r) {
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

template <typename L>
concept ExactLaw = IntensityLaw<L> && requires(const typename L::Record& record) {
    { L::power_basis(record) } -> std::same_as<PowerBasis>;
};

// Uniform star: I = 1.
struct UniformLaw {
    static constexpr std::string_view kName = "uniform";
    static constexpr std::size_t kCoefficientCount = 0;
    struct Record {};

    static Record record(std::span<const double> /*coefficients*/) { return Record{}; }
    static double intensity(const Record& /*law*/, double /*r*/) { return 1.0; }
    static double normalisation(const Record& /*law*/) { return kPi; }
    static double clamp_radius(double r) { return r; }
    static PowerBasis power_basis(const Record& /*law*/) { return PowerBasis{1.0, 0.0, 0.0}; }
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
    // 1 - u1 (1 - mu) - u2 (1 - mu)^2 = (1 - u1 - u2) + (u1 + 2 u2) mu - u2 mu^2.
    static PowerBasis power_basis(const Record& law) {
        return PowerBasis{1.0 - law.c1 - law.c2, law.c1 + 2.0 * law.c2, -law.c2};
    }
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
    static Record record(std::span<const double> c) {
        return coefficients(c[0], c[1], c[2], c[3]);
    }
    static double normalisation(const Record& law) { return law.norm; }
    // Keeps the midpoint off the limb, where mu^(1/4) has an infinite slope.
    static double clamp_radius(double r) { return std::min(r, 0.99995); }
    static double intensity(const Record& law, double r) {
        const double q = std::pow(1.0 - r * r, 0.25);  // sqrt(mu)
        return 1.0 - (1.0 - q) * law.c1 - (1.0 - q * q) * law.c2 -
               (1.0 - std::pow(q, 3.0)) * law.c3 - (1.0 - std::pow(q, 4.0)) * law.c4;
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
    static double normalisation(const Record& law) { return law.norm; }
    // 1 / (1 - e^mu) diverges at the limb (mu = 0): keep the midpoint inside it.
    static double clamp_radius(double r) { return std::max(std::min(r, 0.99995), 5e-05); }
    static double intensity(const Record& law, double r) {
        const double mu = std::sqrt(1.0 - r * r);
        return (1.0 - (1.0 - mu) * law.c1) - law.c2 / (1.0 - std::exp(mu));
    }
};

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
using ExactLaws = LawList<UniformLaw, QuadraticLaw>;
// The laws of the annulus integration (the light-curve modules).
using AnnulusLaws = LawList<QuadraticLaw, NonlinearLaw, ExponentialLaw>;

}  // namespace halfmoon
