// The package's exact engine: the relative flux of a limb-darkened star behind the
// two-half-disc planet, point by point, for any law of ExactLaws.
//
// Each point is given by its separation z (any value the planet cannot reach from, such as the
// orbit's far-side value, gives exactly 1) and the angle theta from the star-to-planet
// direction to the dividing line (sky_theta). Half 1 of radius p1 lies left of the line, half 2
// of radius p2 right of it.
//
// A law is its polynomial part c0 + c1 mu + c2 mu^2 plus a remainder (laws.hpp). The blocked
// flux is the boundary integral of F dphi over the pieces of closed_form::planet_boundary,
// enumerated once per point:
//
// - radii below one half: the polynomial part in closed form (closed_form.hpp, about 1e-15),
//   the remainder, if the law has one, by quadrature along the same pieces
//   (boundary_quadrature.hpp);
// - a radius of one half or more, where a rim crossing the limb can pass through the star's
//   centre and the closed form's reduction of the elliptic part no longer holds: the whole law
//   by the same quadrature (the polynomial part's F/r^2 is elementary). That covers every
//   radius, a planet covering the whole star included.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#include "core/boundary_quadrature.hpp"
#include "core/closed_form.hpp"
#include "core/dividing_line.hpp"
#include "core/laws.hpp"

namespace halfmoon::engine {

// One law's coefficients, prepared once for all points of a channel.
template <ExactLaw Law>
struct Channel {
    using Rest =
        std::remove_cvref_t<decltype(Law::remainder(std::declval<const typename Law::Record&>()))>;
    PowerBasis basis;
    Rest rest;
    double norm;
    double p1;
    double p2;
};

template <ExactLaw Law>
Channel<Law> make_channel(const typename Law::Record& record, double p1, double p2) {
    return Channel<Law>{Law::power_basis(record), Law::remainder(record),
                        exact_normalisation<Law>(record), p1, p2};
}

// Whether the planet cannot reach the star at separation z (NaN counts as reachable, so that it
// propagates).
inline bool out_of_reach(double z, double p1, double p2) {
    return z - std::max(p1, p2) >= 1.0;
}

// The blocked flux (not normalised) of a planet wholly inside the star from its moments, for a
// law without remainder.
template <ExactLaw Law>
[[gnu::always_inline]] inline double inside_blocked(const Channel<Law>& channel,
                                                    const closed_form::Moments& m) {
    return channel.basis.present() ? closed_form::blocked_fraction(channel.basis, 1.0, m) : 0.0;
}

// The blocked flux (not normalised) at one point, the line given by its direction;
// `rule` sets the quadrature's node counts.
template <ExactLaw Law>
double blocked_flux(const Channel<Law>& channel, double z, const closed_form::LineDirection& line,
                    const boundary_quadrature::QuadratureRule& rule = boundary_quadrature::kRule) {
    const double p1 = channel.p1;
    const double p2 = channel.p2;
    const bool closed = std::max(p1, p2) < closed_form::kMaxRadius;
    if (closed && !channel.rest.present() && p1 == p2) {
        // Equal radii make the full disc, whose closed form needs no piece enumeration.
        const closed_form::Moments m = closed_form::full_disc_moments(z, p1);
        return closed_form::blocked_fraction(channel.basis, 1.0, m);
    }
    if (closed && !channel.rest.present() && closed_form::wholly_inside(z, p1, p2)) {
        // Both halves inside the star: no pieces to enumerate.
        return inside_blocked(channel, closed_form::inside_planet_moments(
                                           z, line.half_sine, line.half_cosine, p1, p2)[0]);
    }
    // Equal radii make the full disc, which does not depend on the line: its pieces are taken
    // for one fixed line, so that the quadrature's nodes do not move with the line either. The
    // quadrature needs the angles of the rims' ends; the closed form alone does not.
    const bool quadrature = !closed || channel.rest.present();
    const closed_form::Boundary boundary = closed_form::planet_boundary(
        z, p1 == p2 ? closed_form::LineDirection::of_angle(0.0) : line, p1, p2, quadrature);
    if (!closed) {
        const boundary_quadrature::WholeLaw<typename Channel<Law>::Rest> whole{channel.basis,
                                                                               channel.rest};
        return boundary_quadrature::boundary_integral(boundary, whole, rule);
    }
    double blocked = 0.0;
    if (channel.basis.present()) {
        const closed_form::Moments m = p1 == p2 ? closed_form::full_disc_moments(z, p1)
                                                : closed_form::boundary_moments(boundary);
        blocked = closed_form::blocked_fraction(channel.basis, 1.0, m);
    }
    if (channel.rest.present()) {
        blocked += boundary_quadrature::boundary_integral(boundary, channel.rest, rule);
    }
    return blocked;
}

// The same for the line at angle theta from S -> P.
template <ExactLaw Law>
double blocked_flux(const Channel<Law>& channel, double z, double theta,
                    const boundary_quadrature::QuadratureRule& rule = boundary_quadrature::kRule) {
    return blocked_flux(channel, z, closed_form::LineDirection::of_angle(theta), rule);
}

// Relative flux at one point. A negative or NaN separation is not a distance and gives NaN, as
// does a line direction that is not finite.
template <ExactLaw Law>
double transit_flux(const Channel<Law>& channel, double z, const closed_form::LineDirection& line,
                    const boundary_quadrature::QuadratureRule& rule = boundary_quadrature::kRule) {
    if (out_of_reach(z, channel.p1, channel.p2)) {
        return 1.0;
    }
    if (!(z >= 0.0) || !line.valid()) {
        return std::nan("");
    }
    return 1.0 - blocked_flux(channel, z, line, rule) / channel.norm;
}

// The same for the line at angle theta from S -> P (a line angle that is not finite gives a
// direction that is not finite either, hence NaN).
template <ExactLaw Law>
double transit_flux(const Channel<Law>& channel, double z, double theta,
                    const boundary_quadrature::QuadratureRule& rule = boundary_quadrature::kRule) {
    if (out_of_reach(z, channel.p1, channel.p2)) {
        return 1.0;
    }
    return transit_flux(channel, z, closed_form::LineDirection::of_angle(theta), rule);
}

// The cosine and sine of the line's sky angle along a run of points, worked out again only when
// the angle changes (it is often one value for a whole light curve).
class LineAngleTrig {
  public:
    void update(double angle) {
        if (!(angle == angle_)) {
            angle_ = angle;
            cosine_ = std::cos(angle);
            sine_ = std::sin(angle);
        }
    }
    double cosine() const { return cosine_; }
    double sine() const { return sine_; }

  private:
    double angle_ = std::nan("");
    double cosine_ = std::nan("");
    double sine_ = std::nan("");
};

// along, across and their length for a centre at (x, y), lane by lane for V = lanes::Pair.
template <class V>
struct SkyVector {
    V along;
    V across;
    V length;
};

template <class V>
[[gnu::always_inline]] inline SkyVector<V> sky_vector(V x, V y, V line_cosine, V line_sine) {
    const V along = x * line_cosine + y * line_sine;
    const V across = x * line_sine - y * line_cosine;
    return SkyVector<V>{along, across, lanes::sqrt(along * along + across * across)};
}

// Whether the length lets the direction follow from the vector (see sky_direction).
template <class V>
[[gnu::always_inline]] inline lanes::MaskOf<V> ordinary_length(V length) {
    constexpr double kSmallest = 1e-150;
    return length >= kSmallest && length < HUGE_VAL;
}

// The line's direction relative to S -> P for a planet centre at sky (x, y) and a line at sky
// angle line_angle, given its cosine and sine: turning the sky by -phi, phi = atan2(y, x), puts
// the centre on the positive x axis and the line at theta = line_angle - phi (sky_theta), whose
// direction is (x cos + y sin, x sin - y cos) / |(x, y)|. No inverse function and no reduction
// of the angle is needed. A centre at S, or one whose coordinates are not finite or so small
// that their squares underflow, takes sky_theta itself.
[[gnu::always_inline]] inline closed_form::LineDirection sky_direction(double x, double y,
                                                                       double line_angle,
                                                                       double line_cosine,
                                                                       double line_sine) {
    const SkyVector<double> v = sky_vector(x, y, line_cosine, line_sine);
    if (!ordinary_length(v.length)) {
        return closed_form::LineDirection::of_angle(sky_theta(x, y, line_angle));
    }
    return closed_form::LineDirection::of_vector(v.along, v.across, v.length);
}

// The directions of the points of a packed V at once, each the one sky_direction gives it alone.
template <class V>
[[gnu::always_inline]] inline std::array<closed_form::LineDirection, lanes::kWidth<V>>
sky_directions(const double* x, const double* y, const double* line_angle,
               const double* line_cosine, const double* line_sine) {
    constexpr int kLanes = lanes::kWidth<V>;
    auto gather = [](const double* v) {
        return lanes::from_lanes<V>([v](int l) __attribute__((always_inline)) { return v[l]; });
    };
    const SkyVector<V> v = sky_vector(gather(x), gather(y), gather(line_cosine), gather(line_sine));
    std::array<closed_form::LineDirection, kLanes> directions;
    if (!lanes::all(ordinary_length(v.length))) {
        for (int l = 0; l < kLanes; ++l) {
            directions[static_cast<std::size_t>(l)] =
                sky_direction(x[l], y[l], line_angle[l], line_cosine[l], line_sine[l]);
        }
        return directions;
    }
    const closed_form::HalfAngle<V> half =
        closed_form::half_angle_of_vector(v.along, v.across, v.length);
    for (int l = 0; l < kLanes; ++l) {
        directions[static_cast<std::size_t>(l)] = closed_form::LineDirection::of_half_angle(
            lanes::lane(half.sine, l), lanes::lane(half.cosine, l));
    }
    return directions;
}

// The lanes in which points with the planet wholly inside the star go together: four where the
// build targets AVX2, else two.
#if defined(__AVX2__)
using InsideLanes = lanes::Quad;
#else
using InsideLanes = lanes::Pair;
#endif

}  // namespace halfmoon::engine
