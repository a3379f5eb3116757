// The package's exact engine: the relative flux of a limb-darkened star behind the
// two-half-disc planet, point by point, for any law of ExactLaws.
//
// Each point is given by its separation z (any value the planet cannot reach from, such as the
// orbit's far-side value, gives exactly 1) and the angle theta from the star-to-planet
// direction to the dividing line (sky_theta). Half 1 of radius p1 lies left of the line, half 2
// of radius p2 right of it.
//
// Radii below one half take the closed form (closed_form.hpp). A planet with a radius of one
// half or more is integrated over annuli with the fine step kFallbackStep instead (its rim can
// pass through the star's centre, outside the closed form's reduction).
#pragma once

#include <algorithm>
#include <cmath>

#include "core/annulus.hpp"
#include "core/closed_form.hpp"
#include "core/dividing_line.hpp"
#include "core/laws.hpp"

namespace halfmoon::engine {

// Step factor of the annulus integration for radii outside the closed form's range.
inline constexpr double kFallbackStep = 1e-4;

// One law's coefficients, prepared once for all points of a channel.
template <ExactLaw Law>
struct Channel {
    typename Law::Record record;
    PowerBasis basis;
    double norm;
    double p1;
    double p2;
};

template <ExactLaw Law>
Channel<Law> make_channel(const typename Law::Record& record, double p1, double p2) {
    return Channel<Law>{record, Law::power_basis(record), Law::normalisation(record), p1, p2};
}

// Whether the planet cannot reach the star at separation z (NaN counts as reachable, so that it
// propagates).
inline bool out_of_reach(double z, double p1, double p2) {
    return z - std::max(p1, p2) >= 1.0;
}

// Relative flux at one point. A negative or NaN separation is not a distance and gives NaN.
template <ExactLaw Law>
double transit_flux(const Channel<Law>& channel, double z, double theta) {
    const double p1 = channel.p1;
    const double p2 = channel.p2;
    if (out_of_reach(z, p1, p2)) {
        return 1.0;
    }
    if (!(z >= 0.0)) {
        return std::nan("");
    }
    if (std::max(p1, p2) >= closed_form::kMaxRadius) {
        // The annulus integration takes the angle folded into its range: the line turned by a
        // half turn with the halves' sides kept is the line mirrored in the line of centres.
        const double folded = fold_theta(reduce_line_angle(theta));
        return point_flux<Law>(channel.record, z, p1, p2, kFallbackStep, true,
                               [&] { return folded; });
    }
    const closed_form::Moments m = closed_form::blocked_moments(z, theta, p1, p2);
    return 1.0 - closed_form::blocked_fraction(channel.basis, channel.norm, m);
}

}  // namespace halfmoon::engine
