// Flux of a limb-darkened star partly covered by a planet made of two half-discs.
//
// The stellar disc is cut into annuli about its centre. At every annulus edge r the overlap
// area gives the planet's area inside the circle of radius r; the difference between two edges
// is the planet's area inside that annulus, which is weighted by the stellar intensity at the
// annulus midpoint and divided by the star's total flux. Annulus widths are step_factor acos(r):
// widest at the centre, narrowing towards the limb where the intensity changes fastest.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/dividing_line.hpp"
#include "core/laws.hpp"
#include "core/overlap.hpp"

namespace halfmoon {

// Weight of an annulus with midpoint radius r: the law's intensity there over the total flux.
template <AnnulusLaw Law>
inline double annulus_weight(const typename Law::Record& law, double normalisation,
                             double midpoint) {
    return Law::intensity(law, Law::clamp_radius(midpoint)) / normalisation;
}

// The planet's two halves at one light-curve point, prepared once for all its annulus edges.
// The second half lies on the other side of the same line, which the overlap area sees as the
// selected half of the mirrored angle -theta.
struct PlanetSetup {
    HalfDiscSetup first;
    HalfDiscSetup second;
    bool with_second_half;

    double area(double r) const {
        const double a = overlap_area(first, r);
        return with_second_half ? a + overlap_area(second, r) : a;
    }

    // The same area where r is known to lie farther than kSeamBand from every seam radius of
    // both halves unless `maybe_near_a_seam` is set.
    double area(double r, bool maybe_near_a_seam) const {
        const double a = overlap_area(first, r, maybe_near_a_seam && near_a_seam_radius(first, r));
        return with_second_half
                   ? a + overlap_area(second, r, maybe_near_a_seam && near_a_seam_radius(second, r))
                   : a;
    }
};

// The seam radii of both halves in increasing order, met by the annulus edges as they grow.
// `maybe_near(r)`, for non-decreasing r, is true wherever r lies within kSeamBand of one of
// them (it looks a little wider, which only costs a closer look): one comparison per edge in
// place of testing every radius.
class SeamRadiiAhead {
  public:
    explicit SeamRadiiAhead(const PlanetSetup& planet) {
        for (const double radius : planet.first.seam_radii) {
            radii_[count_++] = radius;
        }
        if (planet.with_second_half) {
            for (const double radius : planet.second.seam_radii) {
                radii_[count_++] = radius;
            }
        }
        std::sort(radii_.begin(), radii_.begin() + static_cast<std::ptrdiff_t>(count_));
    }

    bool maybe_near(double r) {
        // Pass the radii left behind, then look at the next one ahead (a NaN radius sorts
        // anywhere and is never near).
        while (next_ < count_ && radii_[next_] + kLookAhead < r) {
            ++next_;
        }
        return next_ < count_ && !(radii_[next_] - kLookAhead >= r);
    }

  private:
    static constexpr double kLookAhead = 2.0 * kSeamBand;
    std::array<double, 10> radii_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

inline PlanetSetup prepare_planet(double z, double theta, double planet_radius,
                                  double second_radius, bool with_second_half) {
    return PlanetSetup{prepare_half_disc(z, planet_radius, theta),
                       prepare_half_disc(z, second_radius, -theta), with_second_half};
}

// The band of radii a planet at separation z can reach, from both radii even when only one half
// occults. A band reaching no part of the disc, or thinner than the tolerance, is empty.
struct Band {
    double r_in;
    double r_out;
};

inline std::optional<Band> reachable_band(double z, double planet_radius, double second_radius) {
    const double r_in = std::max(std::min(z - second_radius, z - planet_radius), 0.0);
    if (r_in >= 1.0) {
        return std::nullopt;
    }
    const double r_out = std::min(std::max(z + second_radius, z + planet_radius), 1.0);
    if (r_out - r_in < kTolerance) {
        return std::nullopt;
    }
    return Band{r_in, r_out};
}

// The largest double below the limb, the last annulus edge the loop below can stand on.
inline constexpr double kLastRadiusBelowLimb = 0x1.fffffffffffffp-1;

// Whether every annulus edge moves: the loop's step r -> r + step_factor acos(r) must give a
// larger r at every radius below the limb, or the loop never ends. acos(r) falls towards the
// limb (to 2^-26 at the last double below 1) while doubles in [0.5, 1) lie 2^-53 apart, so the
// edge next to the limb is the first to stall as the step factor shrinks; checking it with the
// loop's own arithmetic accepts exactly the step factors from 2^-28 (about 3.7e-9) upwards.
// Every accepted step factor integrates as before; a full band then takes at most about
// 1.4 / step_factor annuli.
inline bool annulus_edges_advance(double step_factor) {
    const double r = kLastRadiusBelowLimb;
    return std::isfinite(step_factor) && step_factor > 0.0 && r + step_factor * std::acos(r) > r;
}

// 1 minus the intensity-weighted planet area over the annuli of the band; `area_at(r)` is the
// planet's area inside the circle of radius r. The step factor must pass annulus_edges_advance.
template <AnnulusLaw Law, typename AreaAt>
inline double annulus_flux(const typename Law::Record& law, const Band& band, double step_factor,
                           AreaAt&& area_at) {
    const double normalisation = Law::normalisation(law);
    double dr = step_factor * std::acos(band.r_in);
    double r = band.r_in + dr;
    // The circle of radius r_in never reaches the planet: the area inside it is zero.
    double total = 0.0;
    double previous_area = 0.0;
    while (band.r_out > r) {
        const double area = area_at(r);
        const double midpoint = dr * (-0.5) + r;
        total += (area - previous_area) * annulus_weight<Law>(law, normalisation, midpoint);
        dr = step_factor * std::acos(r);
        r = r + dr;
        previous_area = area;
    }
    // Last annulus: from the last edge inside the band out to r_out.
    const double width = (band.r_out - r) + dr;
    const double area = area_at(band.r_out);
    const double midpoint = band.r_out + width * (-0.5);
    return 1.0 -
           (total + annulus_weight<Law>(law, normalisation, midpoint) * (area - previous_area));
}

// Relative flux at one point with separation z, or exactly 1 where the planet cannot reach the
// disc. `theta_of_point` is called only when the planet can reach it.
template <AnnulusLaw Law, typename ThetaFn>
inline double point_flux(const typename Law::Record& law, double z, double planet_radius,
                         double second_radius, double step_factor, bool with_second_half,
                         ThetaFn&& theta_of_point) {
    const std::optional<Band> band = reachable_band(z, planet_radius, second_radius);
    if (!band) {
        return 1.0;
    }
    const PlanetSetup planet =
        prepare_planet(z, theta_of_point(), planet_radius, second_radius, with_second_half);
    SeamRadiiAhead seams(planet);
    return annulus_flux<Law>(law, *band, step_factor,
                             [&](double r) { return planet.area(r, seams.maybe_near(r)); });
}

// Fills flux[0..count) for the points of a light curve. Each point's dividing line is given by
// its sky orientation and normal offset; its side of the crossing by its index.
template <AnnulusLaw Law>
void calc_limb_darkening(double* flux, const double* separations, std::int32_t count,
                         const typename Law::Record* coefficients, const double* line_angles,
                         const double* normal_offsets, double planet_radius, double step_factor,
                         double crossing_index, double second_radius, bool with_second_half) {
    for (std::int32_t i = 0; i < count; ++i) {
        const double z = separations[i];
        flux[i] = point_flux<Law>(
            *coefficients, z, planet_radius, second_radius, step_factor, with_second_half,
            [&] { return line_theta(i, line_angles[i], z, normal_offsets[i], crossing_index); });
    }
}

extern template void calc_limb_darkening<NonlinearLaw>(double*, const double*, std::int32_t,
                                                       const NonlinearLaw::LawCoefficients*,
                                                       const double*, const double*, double, double,
                                                       double, double, bool);
extern template void calc_limb_darkening<ExponentialLaw>(double*, const double*, std::int32_t,
                                                         const ExponentialLaw::LawCoefficients*,
                                                         const double*, const double*, double,
                                                         double, double, double, bool);
extern template void calc_limb_darkening<QuadraticLaw>(double*, const double*, std::int32_t,
                                                       const QuadraticLaw::LawCoefficients*,
                                                       const double*, const double*, double, double,
                                                       double, double, bool);

}  // namespace halfmoon
