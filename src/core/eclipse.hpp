// Secondary eclipse of a uniformly bright planet disc passing behind the star.
//
// The star alone gives flux 1 and the planet's whole disc adds fp; in between, the planet adds
// fp times the fraction of its disc that the star does not hide. Every formula keeps its
// written evaluation order: the eclipse module's results are compared to the last bit.
#pragma once

#include <cmath>

#include "core/constants.hpp"
#include "core/lens.hpp"

namespace halfmoon::eclipse {

// Clamps written so that a NaN takes the bound: the comparison fails and the bound is chosen.
constexpr double min1(double x) {
    return x < 1.0 ? x : 1.0;
}
constexpr double max0(double x) {
    return x > 0.0 ? x : 0.0;
}
// Lower clamp of an arccosine argument, applied after min1 (which has already removed NaN).
constexpr double max_minus1(double x) {
    return x > -1.0 ? x : -1.0;
}

// Area of the planet's disc (radius p, centre at distance z) that lies inside the unit disc.
inline double hidden_area(double z, double p) {
    // With the centres coinciding (only reached for p >= 1) the planet covers the whole star.
    if (z == 0.0) {
        return kPi;
    }
    const double p2 = p * p;
    const double z2 = z * z;
    // kappa1: half the angle at the star's centre subtended by the common chord;
    // kappa0: the same at the planet's centre. Rounding next to the tangencies can carry
    // either argument just outside [-1, 1], where the clamp gives the limiting angle.
    const double kappa1 = std::acos(max_minus1(min1((((1.0 - p2) + z2) * 0.5) / z)));
    const double kappa0 = std::acos(max_minus1(min1(((((z2 + p2) + (-1.0)) * 0.5) / p) / z)));
    // Twice the area of the triangle star centre / planet centre / chord end (Heron).
    const double q = (z2 + 1.0) - p2;
    const double kite = std::sqrt(max0((z * 4.0) * z - q * q)) * 0.5;
    return lens_area(1.0, kappa1, p2, kappa0, kite);
}

// Flux of star and planet at separation z for a planet of radius p. Every radius takes the same
// lens geometry: next to internal tangency (z just above 1 - p), where rounding can carry the
// planet-side arccosine argument just below -1, the lower clamp gives that arccosine its
// limit pi, so radii near one half need no special treatment.
inline double eclipse_flux(double z, double p, double fp) {
    if (z >= 1.0 + p) {
        return fp + 1.0;  // planet wholly outside the stellar disc
    }
    if (z < 1.0 - p) {
        return 1.0;  // planet wholly behind the star
    }
    const double hidden = hidden_area(z, p);
    return (((hidden / kMinusPi) / p) / p + 1.0) * fp + 1.0;
}

}  // namespace halfmoon::eclipse
