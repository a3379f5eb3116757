// Overlap of a disc about the star's centre with one half of the planet's disc.
//
// Frame: the star's centre S is the origin and the planet's centre P lies at distance z along
// the unit vector u; v is u turned a quarter turn counter-clockwise. The dividing line runs
// through P with direction d = c u + s v (c = cos theta, s = sin theta), and the selected
// half-disc is the half of the disc |X - P| <= p lying counter-clockwise of d. The star circle
// is the circle of radius r about S. Positions along the dividing line are signed distances from
// P along d.
//
// The overlap is found by classifying the configuration (which of the two circles' crossings
// with the dividing line, and which of their mutual intersections, fall on which side) and then
// evaluating that configuration's closed formula. All equality tests use one absolute tolerance.
//
// Everything that does not depend on r is gathered in a HalfDiscSetup, prepared once per light
// curve point and reused for every annulus edge; `area` is the same evaluation applied to a
// freshly prepared setup, so both give identical bits.
#pragma once

#include <array>
#include <cfloat>
#include <cmath>

#include "core/boundary_overlap.hpp"
#include "core/constants.hpp"
#include "core/lens.hpp"

namespace halfmoon {

// The overlap configurations; the numbering is the one the classification tree is written in.
enum class Configuration : int {
    one_crossing_low = 1,       // one crossing on the diameter, Q1 no farther from the line than S
    one_crossing_chord = 2,     // one crossing, Q1 beyond S, near crossing not beyond Q1's foot
    one_crossing_chord_b = 3,   // as above, near crossing clearly beyond Q1's foot
    one_crossing_opposite = 4,  // one crossing, S on the non-selected side
    circle_side = 5,            // both crossings on the diameter, rim misses the selected side
    lens_less_half = 6,         // the non-selected half lies inside the star circle
    lens_less_cap = 7,          // lens minus the cap of the star circle beyond the line
    empty = 8,                  // no overlap
    lens = 9,                   // the whole lens lies on the selected side
    whole_circle = 10,          // the star circle lies inside the selected half-disc
    whole_half = 11,            // the selected half-disc lies inside the star circle
    no_match = 12,              // inside a tolerance seam: counted as empty
};

// |a - b| < tolerance: the one equality test used throughout, absolute and unscaled.
constexpr bool nearly_equal(double a, double b) {
    return std::fabs(a - b) < kTolerance;
}

// Quantities of one half-disc at one point that do not depend on the star-circle radius r.
struct HalfDiscSetup {
    double z;
    double p;
    double theta;
    double s;               // sin theta
    double c;               // cos theta
    double t;               // tan theta
    double f;               // z s: signed distance of S from the line, > 0 on the selected side
    double g;               // |f|
    double g_abs;           // z sin|theta|, the same distance with the sine taken of |theta|
    double z_sq;            // z z
    double p_sq;            // p p
    double two_z;           // z + z
    double zc;              // z c
    double zz_ss;           // ((z z) s) s: square of S's distance from the line
    double half_disc_area;  // pi p p / 2
    bool non_negative;      // theta >= 0 within the tolerance
    bool seam_domain;       // inside the domain the seam check covers (see near_a_seam)
    bool nearly_centred;    // z below kTinySeparation
    // The star-circle radii at which the classification's decisions change: the star circle
    // touching the rim from around (z + p) or from inside or outside (|z - p|), touching the
    // dividing line (g), and passing through either end of the diameter (|P + p d|, |P - p d|).
    std::array<double, 5> seam_radii;
};

// Sines, cosine and tangent of one angle, computed once per point.
struct LineTrig {
    double s;
    double c;
    double t;
    double s_abs;  // sin|theta|
};

inline LineTrig line_trig(double theta) {
    return LineTrig{std::sin(theta), std::cos(theta), std::tan(theta), std::sin(std::fabs(theta))};
}

inline HalfDiscSetup prepare_half_disc(double z, double p, double theta, const LineTrig& trig) {
    HalfDiscSetup h{};
    h.z = z;
    h.p = p;
    h.theta = theta;
    h.s = trig.s;
    h.c = trig.c;
    h.t = trig.t;
    h.f = z * trig.s;
    h.g = std::fabs(h.f);
    h.g_abs = z * trig.s_abs;
    h.z_sq = z * z;
    h.p_sq = p * p;
    h.two_z = z + z;
    h.zc = z * trig.c;
    h.zz_ss = (h.z_sq * trig.s) * trig.s;
    h.half_disc_area = ((kPi * p) * p) * 0.5;
    h.non_negative = theta >= 0.0 || std::fabs(theta) < kTolerance;
    h.seam_domain = z >= 0.0 && p > 0.0 && std::fabs(theta) <= kFoldLimit && std::isfinite(z + p);
    h.nearly_centred = z < kTinySeparation;
    const double ends_level = h.z_sq + h.p_sq;
    const double ends_swing = 2.0 * z * p * trig.c;
    h.seam_radii = {z + p, std::fabs(z - p), h.g, std::sqrt(std::fabs(ends_level + ends_swing)),
                    std::sqrt(std::fabs(ends_level - ends_swing))};
    return h;
}

inline HalfDiscSetup prepare_half_disc(double z, double p, double theta) {
    return prepare_half_disc(z, p, theta, line_trig(theta));
}

// Quantities that depend on r and that the classification needs.
struct EdgeGeometry {
    double r;
    double r_sq;
    double rho;      // position along u, from P, of the common chord of star circle and rim
    double b;        // half the common chord
    double eta1;     // signed distance of intersection point Q1 from the line
    double eta2;     // the same for Q2
    double xi1;      // position of Q1's foot on the line
    double w;        // half the chord that the line cuts from the star circle
    double sigma_p;  // position of the near crossing
    double sigma_m;  // position of the far crossing
    double delta;    // xi1 - sigma_p
};

inline EdgeGeometry edge_geometry(const HalfDiscSetup& h, double r) {
    EdgeGeometry e{};
    e.r = r;
    e.r_sq = r * r;
    // The common chord of the two circles lies where r^2 - |X|^2 = p^2 - |X - P|^2; it is
    // infinite or undefined for concentric circles (z = 0), which only the formulas that do
    // not use it can then be chosen for.
    e.rho = ((e.r_sq - h.p_sq) - h.z_sq) / h.two_z;
    e.b = std::sqrt(std::fabs(h.p_sq - e.rho * e.rho));
    // Q1,2 = P + rho u +- b v, measured across and along the dividing line.
    e.eta1 = -e.rho * h.s + e.b * h.c;
    e.eta2 = -e.rho * h.s - e.b * h.c;
    e.xi1 = e.rho / h.c + h.t * e.eta1;
    // The line, at distance g from S, cuts a chord of half-length w from the star circle.
    e.w = std::sqrt(std::fabs(e.r_sq - h.zz_ss));
    e.sigma_p = -h.zc + e.w;
    e.sigma_m = -h.zc - e.w;
    e.delta = e.xi1 - e.sigma_p;
    return e;
}

// Picks the configuration; the first matching branch wins.
inline Configuration classify(const HalfDiscSetup& h, const EdgeGeometry& e) {
    const double abs_p = std::fabs(h.p);
    const double abs_rho = std::fabs(e.rho);
    const bool rims_meet = abs_p >= abs_rho || nearly_equal(abs_p, abs_rho);
    const bool both_in = rims_meet && (e.eta1 >= 0.0 || std::fabs(e.eta1) < kTolerance) &&
                         (e.eta2 >= 0.0 || std::fabs(e.eta2) < kTolerance);
    const bool both_out = (abs_p < abs_rho && !nearly_equal(abs_p, abs_rho)) ||
                          (e.eta1 < -kTolerance && e.eta2 < -kTolerance);

    const bool cut = e.r > h.g && !nearly_equal(e.r, h.g);
    if (!cut) {
        // The whole star circle lies on S's side of the line.
        if (h.theta < 0.0) {
            return Configuration::empty;
        }
        if (both_in) {
            return Configuration::lens;
        }
        if (h.p >= h.z + e.r || nearly_equal(h.p, h.z + e.r)) {
            return Configuration::whole_circle;
        }
        if (h.z >= e.r + h.p || nearly_equal(h.z, e.r + h.p)) {
            return Configuration::empty;
        }
        return Configuration::no_match;
    }

    const double near_distance = std::fabs(e.sigma_p);
    const double far_distance = std::fabs(e.sigma_m);
    const bool near_in = h.p >= near_distance || nearly_equal(h.p, near_distance);
    const bool far_out = h.p < far_distance && !nearly_equal(h.p, far_distance);
    const bool delta_zero = std::fabs(e.delta) < kTolerance;

    if (near_in && far_out) {
        // Exactly one crossing on the diameter.
        if (h.non_negative) {
            if (e.eta1 <= h.f || nearly_equal(e.eta1, h.f)) {
                return Configuration::one_crossing_low;
            }
            if (h.f >= 0.0 || h.g < kTolerance) {
                if (e.sigma_p <= e.xi1 || delta_zero) {
                    return Configuration::one_crossing_chord;
                }
                if (e.sigma_p > e.xi1 && !delta_zero) {
                    return Configuration::one_crossing_chord_b;
                }
            }
            return Configuration::no_match;
        }
        if ((h.f <= 0.0 || h.g < kTolerance) && (e.sigma_p >= e.xi1 || delta_zero)) {
            return Configuration::one_crossing_opposite;
        }
        return Configuration::no_match;
    }
    if (near_in) {
        // Both crossings on the diameter.
        if (both_in) {
            return Configuration::lens_less_cap;
        }
        if (both_out) {
            return Configuration::circle_side;
        }
        return Configuration::no_match;
    }
    // No crossing on the diameter.
    if (both_in) {
        return h.non_negative ? Configuration::lens : Configuration::lens_less_half;
    }
    if (both_out) {
        if (h.z < e.r && !nearly_equal(h.z, e.r)) {
            return Configuration::whole_half;
        }
        return nearly_equal(h.z, e.r) ? Configuration::no_match : Configuration::empty;
    }
    return Configuration::no_match;
}

// Inverse sine and cosine. The first evaluation of a formula uses the plain functions, which give
// NaN outside [-1, 1]; a second evaluation replaces out-of-range arguments by their limits.
template <bool Clamped>
inline double arcsin(double x) {
    if constexpr (Clamped) {
        if (x > 1.0) {
            return kHalfPi;
        }
        if (x < -1.0) {
            return -kHalfPi;
        }
    }
    return std::asin(x);
}

template <bool Clamped>
inline double arccos(double x) {
    if constexpr (Clamped) {
        if (x > 1.0) {
            return 0.0;
        }
        if (x < -1.0 || std::isnan(x)) {
            return kPi;
        }
    }
    return std::acos(x);
}

// Area of the full lens, the whole planet disc's overlap with the star circle's disc: two
// circular sectors less the quadrilateral S, Q1, P, Q2 (Heron's formula for its two triangles).
// Where the circles do not meet the radicand is negative, and the quadrilateral is empty.
template <bool Clamped>
inline double full_lens(const HalfDiscSetup& h, const EdgeGeometry& e) {
    const double z = h.z;
    const double r = e.r;
    const double p = h.p;
    const double gamma_r = ((h.z_sq + e.r_sq) - h.p_sq) / (h.two_z * r);
    const double gamma_p = ((h.z_sq + h.p_sq) - e.r_sq) / (h.two_z * p);
    const double radicand = ((z + r) + p) * (((z - r) + p) * (((z + r) - p) * ((r - z) + p)));
    const double quadrilateral = 0.5 * std::sqrt(radicand < 0.0 ? 0.0 : radicand);
    return halfmoon::lens_area(e.r_sq, arccos<Clamped>(gamma_r), h.p_sq, arccos<Clamped>(gamma_p),
                               quadrilateral);
}

// kq + asin q with q = xi1/p: the part of the half-disc at positions along the line up to Q1's
// foot is (p^2/2)(kq + asin q + pi/2).
template <bool Clamped>
inline double foot_term(const HalfDiscSetup& h, const EdgeGeometry& e) {
    const double q = e.xi1 / h.p;
    const double kq = std::sqrt(std::fabs(1.0 - q * q)) * q;
    return kq + arcsin<Clamped>(q);
}

// Integral of sqrt(r^2 - x^2) from Q1's foot to the near crossing, both measured from the foot of
// the perpendicular from S, written as (r^2/2)((k+ + asin mu+) - (k1 + asin mu1)).
template <bool Clamped>
inline double circle_strip(const HalfDiscSetup& h, const EdgeGeometry& e) {
    const double lambda_p = h.zc + e.sigma_p;
    const double lambda_1 = h.zc + e.xi1;
    const double mu_p = lambda_p / e.r;
    const double mu_1 = lambda_1 / e.r;
    const double k_p = std::sqrt(std::fabs(e.r_sq - lambda_p * lambda_p)) * (lambda_p / e.r_sq);
    const double k_1 = std::sqrt(std::fabs(e.r_sq - lambda_1 * lambda_1)) * (lambda_1 / e.r_sq);
    return (e.r_sq / 2.0) * ((k_p + arcsin<Clamped>(mu_p)) - (k_1 + arcsin<Clamped>(mu_1)));
}

// The closed formula of one configuration.
template <bool Clamped>
inline double configuration_area(Configuration configuration, const HalfDiscSetup& h,
                                 const EdgeGeometry& e) {
    switch (configuration) {
        case Configuration::one_crossing_low: {
            // Half-disc, less the star circle's strip between Q1's foot and the near crossing,
            // less the band between that strip and the line, less the half-disc beyond xi1.
            return ((h.half_disc_area - circle_strip<Clamped>(h, e)) - e.delta * h.g_abs) -
                   (h.p_sq / 2.0) * (kHalfPi - foot_term<Clamped>(h, e));
        }
        case Configuration::one_crossing_chord:
        case Configuration::one_crossing_chord_b: {
            // Half-disc up to Q1's foot, the signed triangle foot / Q1 / near crossing, and the
            // circular segment cut off by the chord from the near crossing to Q1.
            const double chi = 1.0 - (e.eta1 * e.eta1 + e.delta * e.delta) / ((e.r + e.r) * e.r);
            const double phi = arccos<Clamped>(chi);
            return ((h.p_sq / 2.0) * (foot_term<Clamped>(h, e) + kHalfPi) -
                    (e.delta * e.eta1) * 0.5) +
                   (e.r_sq / 2.0) * (phi - std::sin(phi));
        }
        case Configuration::one_crossing_opposite:
            // S lies on the other side: the strip under the star circle is added, and the band
            // between S and the line with it.
            return ((h.p_sq / 2.0) * (foot_term<Clamped>(h, e) + kHalfPi) +
                    circle_strip<Clamped>(h, e)) +
                   e.delta * h.g_abs;
        case Configuration::circle_side: {
            // The part of the star circle's disc on the selected side of the line.
            const double offset = (-h.s) * h.z;
            return e.r_sq * arccos<Clamped>(offset / e.r) - offset * e.w;
        }
        case Configuration::lens_less_half:
            return full_lens<Clamped>(h, e) - h.half_disc_area;
        case Configuration::lens_less_cap:
            // The cap that the line cuts from the star circle on the far side of S.
            return full_lens<Clamped>(h, e) -
                   (e.r_sq * arccos<Clamped>(h.g_abs / e.r) - h.g_abs * e.w);
        case Configuration::lens:
            return full_lens<Clamped>(h, e);
        case Configuration::whole_circle:
            return (kPi * e.r) * e.r;
        case Configuration::whole_half:
            return h.half_disc_area;
        case Configuration::empty:
        case Configuration::no_match:
            break;
    }
    return 0.0;
}

// A result is usable when it is zero or a normal finite number.
inline bool usable_area(double area) {
    return area == 0.0 || (std::isfinite(area) && std::fabs(area) >= DBL_MIN);
}

// Whether r lies within kSeamBand of one of the seam radii of the half-disc.
inline bool near_a_seam_radius(const HalfDiscSetup& h, double r) {
    bool near = false;
    for (const double radius : h.seam_radii) {
        near |= std::fabs(r - radius) < kSeamBand;
    }
    return near;
}

// Where (z, r, p, theta) lies with respect to the tolerance seams of the classification.
enum class Seam {
    none,
    near_a_decision,  // r within kSeamBand of a seam radius, or no configuration matched
    centred_band,     // a nearly centred planet, the star circle in the band |r - p| <= z
};

// Only arguments inside the domain of the classification (z >= 0, r > 0, p > 0, |theta| within
// the fold limit, all finite) are placed in a seam. `near_radius` is near_a_seam_radius(h, r),
// or false where the caller knows r to lie farther from every seam radius.
//
// Each decision of the tree that tells configurations with different formulas apart compares a
// length that vanishes when r equals one of the seam radii: whether the line cuts the star
// circle (r against g), whether the circles meet (|rho| against p: r against z + p or |z - p|),
// whether a crossing of the line lies on the diameter (|sigma| against p) and whether an
// intersection point lies on the line (eta against 0), both of which vanish when the star
// circle passes through an end E of the diameter. About its seam radius each of those lengths
// changes at least as fast as r: the common chord's position (r + z + p)/(2z) >= 1 times as
// fast, a crossing's position r/|p + z c| >= 1 times (as |E| >= |p + z c|), an intersection
// point's distance from the line |E|/g >= 1 times (g the distance of S from the line). A
// decision taken within the tolerance of its threshold therefore has r within the tolerance of
// that radius, and the band (twenty tolerances) leaves ample room for rounding. The tree's
// other tests (the angle's sign, S on the line, Q1 level with S, Q1's foot at the near
// crossing, S on the star circle) choose between formulas that agree at their thresholds, or
// else end in no match. A nearly centred planet is different: every length of the picture is
// of the order of z, the chord of the two circles is formed with heavy cancellation, and all of
// the band |r - p| <= z about the rim is a seam.
inline Seam seam_of(const HalfDiscSetup& h, const EdgeGeometry& e, Configuration configuration,
                    bool near_radius) {
    const bool centred_band = h.nearly_centred && std::fabs(e.r - h.p) < h.z + kSeamBand;
    if (!(near_radius || centred_band || configuration == Configuration::no_match) ||
        !(h.seam_domain && e.r > 0.0 && e.r < HUGE_VAL)) {
        return Seam::none;
    }
    return centred_band ? Seam::centred_band : Seam::near_a_decision;
}

// The area inside a seam (see overlap_area). Kept out of line: it is rarely needed, and the
// integration's inner loop stays lean without it.
[[gnu::noinline, gnu::cold]] inline double area_in_a_seam(double classified, const HalfDiscSetup& h,
                                                          double r, Seam seam) {
    const double walked = boundary_overlap_area(h.z, r, h.p, h.theta);
    if (seam == Seam::centred_band) {
        return walked;
    }
    return std::fabs(classified - walked) <= kSeamAgreement ? classified : walked;
}

// Overlap of the star circle of radius r with the prepared half-disc. `near_radius` is
// near_a_seam_radius(h, r), or false where r is known to lie farther from every seam radius
// (the annulus integration tracks that along its increasing edges); either gives the same area.
inline double overlap_area(const HalfDiscSetup& h, double r, bool near_radius) {
    // A half-disc of zero radius covers nothing, also where the formulas would divide by p.
    if (h.p == 0.0 && !std::isnan(h.z) && !std::isnan(r) && !std::isnan(h.theta)) {
        return 0.0;
    }
    // Centred half-disc of the star circle's own radius.
    if (std::fabs(h.z) < kTolerance && std::fabs(r - h.p) < kTolerance) {
        return h.half_disc_area;
    }
    const EdgeGeometry e = edge_geometry(h, r);
    const Configuration configuration = classify(h, e);
    double area = configuration_area<false>(configuration, h, e);
    if (!usable_area(area)) {
        // Cancellation next to a tangency can push an inverse-trigonometric argument just past
        // +-1; evaluate once more with such arguments replaced by their limits.
        area = configuration_area<true>(configuration, h, e);
    }
    // Near tangencies the formulas can dip a little below zero; an area is never negative.
    area = area < 0.0 ? 0.0 : area;
    // Inside a seam the tests of the classification can contradict one another (a crossing
    // counted on the end of the diameter while the intersection point it implies lies clearly
    // off the line, an intersection point counted on the line while the other lies clearly on
    // the far side, ...), and the tree then picks a configuration whose formula does not
    // describe the figure, or none at all (0). The walk along the overlap's boundary needs no
    // decision of that kind. Next to a decision, where the two disagree by more than the
    // formulas' own rounding floor the classification has picked the wrong configuration, and
    // the walk's area is the one that describes the figure; wherever they agree the
    // classification's result stands. In the band about the rim of a nearly centred planet the
    // walk's area is taken throughout: there the lens formula's rounding error at internal
    // tangency alone grows like 1/sqrt(z) (3e-8 at z ~ 1e-6 for a radius of 0.1), and a light
    // curve through mid-transit would be ragged at that level.
    const Seam seam = seam_of(h, e, configuration, near_radius);
    if (seam != Seam::none) [[unlikely]] {
        return area_in_a_seam(area, h, r, seam);
    }
    return area;
}

inline double overlap_area(const HalfDiscSetup& h, double r) {
    return overlap_area(h, r, near_a_seam_radius(h, r));
}

// The configuration the tree picks for (z, r, p, theta); exposed for tests and benchmarks.
inline Configuration overlap_configuration(double z, double r, double p, double theta) {
    const HalfDiscSetup h = prepare_half_disc(z, p, theta);
    return classify(h, edge_geometry(h, r));
}

// Area shared by the disc of radius r about the star's centre and the half-disc of radius p
// whose centre lies at distance z and whose dividing line makes the angle theta with the line
// of centres.
double area(double z, double r, double p, double theta);

}  // namespace halfmoon
