// The exact engine's flux and its partial derivatives at one point, for every law of
// ExactLaws: with respect to the planet's sky position (x, y), the dividing line's sky angle,
// both radii and the law's coefficients, in one pass.
//
// Geometry. The blocked flux B is the integral of the intensity I over R = (planet inside the
// star). A parameter that moves the boundary of R changes B by the integral of I times the
// boundary's outward normal velocity over the pieces that move: the rims and the line pieces
// (the limb stays where it is, and the corners, of zero length, add nothing). In the engine's
// frame (centre P = (z, 0), line direction e = (cos theta, sin theta)), with rim points
// X = P + p_i (cos a, sin a) and line points X = P + t e, s = t + z cos(theta):
//
// - radius p_i: the arcs of circle i move outwards with speed 1: dB/dp_i = integral of I p_i da;
// - a shift v of the centre moves every rim and line point with velocity v. The outward normal
//   of a rim is (cos a, sin a); that of a line piece run in direction +-e (the boundary taken
//   counter-clockwise) is n ds = (sin theta, -cos theta) ds with ds signed. So the shift along
//   the line of centres gives the rim integrals of I p cos(a) da plus sin(theta) times the line
//   integral of I ds, and the shift across it those of I p sin(a) da less cos(theta) times it;
// - turning the line about P moves a line point with speed |t| along e_perp, whose component on
//   the normal is -t: dB/dtheta = -integral of I (s - z cos theta) ds.
//
// The sky frame is the engine's turned by the centre's polar angle phi = atan2(y, x)
// (theta = line angle - phi), so the sky derivatives are the two shifts turned by phi; the
// line angle enters theta with derivative 1.
//
// The polynomial part c0 + c1 mu + c2 mu^2 of a law has closed forms (see RimForm and
// line_polynomial below); a remainder is integrated by quadrature on the flux's sub-pieces
// (gradient_quadrature.hpp), which also gives the blocked flux of each of its parts. The flux is
// 1 - B/N; the coefficients enter B linearly through the polynomial part and the parts of the
// remainder (the power2 law's exponent and the tabulated profile aside, see law_gradient.hpp),
// and N through the law's normalisation. What a law's partials need beyond its record is
// prepared once per channel (PreparedLaw, prepare_law).
//
// Smoothness. B is continuously differentiable in the geometry wherever the planet's rim is not
// tangent to the limb: at the contacts (z = 1 +- p_i), where a junction of rim and line crosses
// the limb and where the line touches it, the derivatives are continuous but their own
// derivatives are not bounded, so finite differences across a contact converge slowly; the
// values here are the common limits from both sides. An intensity that diverges at the limb
// (the exponential law's c2/mu) makes the rim integrals grow like log(1/distance) next to an
// inner tangency (second and third contact) and gives B a kink at first and last contact.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

#include "core/boundary_quadrature.hpp"
#include "core/carlson.hpp"
#include "core/cel.hpp"
#include "core/closed_form.hpp"
#include "core/constants.hpp"
#include "core/dividing_line.hpp"
#include "core/engine.hpp"
#include "core/gradient_quadrature.hpp"
#include "core/law_gradient.hpp"
#include "core/laws.hpp"

namespace halfmoon::gradient {

// Positions of the partials of one point: the geometry first, then the coefficients.
enum Partial : int { kX = 0, kY, kLineAngle, kFirstRadius, kSecondRadius, kGeometryCount };

// ----------------------------------------------------------------------------------------
// The polynomial part along the line
// ----------------------------------------------------------------------------------------

// Antiderivatives in s of I and I s along the line, I = c0 + c1 mu + c2 mu^2 and
// mu^2 = b^2 - s^2:
//   integral of mu ds   = (s mu + b^2 asin(s/b))/2,  asin(s/b) written atan2(s, mu),
//   integral of mu^2 ds = b^2 s - s^3/3,
//   integral of s mu ds = -mu^3/3,   integral of s mu^2 ds = -mu^4/4.
// The arcsines of all ends are summed as the argument of one product of (mu + i s), conjugated
// at the start of a piece, as the closed form sums them (its pieces are disjoint and run the
// same way, so the sum lies within a half turn): one arctangent instead of four.
inline LineIntegrals line_polynomial(const closed_form::Boundary& boundary,
                                     const PowerBasis& basis) {
    LineIntegrals sum;
    if (boundary.segment_count == 0) {
        return sum;
    }
    const closed_form::Line& line = boundary.line;
    const double bb = line.b * line.b;
    double re = 1.0;
    double im = 0.0;
    for (int i = 0; i < boundary.segment_count; ++i) {
        const closed_form::Segment& piece = boundary.segments[static_cast<std::size_t>(i)];
        for (const auto& [s, sign] : {std::pair{piece.s_to, 1.0}, std::pair{piece.s_from, -1.0}}) {
            // mu exactly 0 at a chord end.
            const double mu = std::sqrt((line.b - std::fabs(s)) * (line.b + std::fabs(s)));
            const double mu2 = mu * mu;
            sum.plain += sign * (basis.c0 * s + basis.c1 * 0.5 * (s * mu) +
                                 basis.c2 * (bb * s - s * s * s / 3.0));
            sum.moment += sign * (basis.c0 * 0.5 * s * s - basis.c1 * mu2 * mu / 3.0 -
                                  basis.c2 * 0.25 * mu2 * mu2);
            const double y = sign * s;
            const double t = re * mu - im * y;
            im = re * y + im * mu;
            re = t;
        }
    }
    sum.plain += basis.c1 * 0.5 * bb * closed_form::angle_of(im, re);
    return sum;
}

// ----------------------------------------------------------------------------------------
// The polynomial part along the rims
// ----------------------------------------------------------------------------------------
//
// Along a rim r^2 = z^2 + p^2 + 2 z p cos(a), so mu^2 = E0 + E1 cos(a) with E0 = 1 - z^2 - p^2,
// E1 = -2 z p: the c0 and c2 terms are trigonometric polynomials in a. Of the c1 terms,
//
//   integral of mu sin(a) da = mu^3/(3 z p)   (d(mu^2)/da = 2 z p sin a),
//
// written without the division as -2 d(cos a) (mu_1^2 + mu_1 mu_2 + mu_2^2) / (3 (mu_1 + mu_2))
// between two ends, and the other two are elliptic. With the closed form's substitution
// (closed_form.hpp: signed radius q, angle psi, mu^2 = w^2 = A - B sin^2 psi, da = -2 dpsi,
// cos(a) = sigma (1 - 2 sin^2 psi), sigma = -1 in the near form and +1 in the far form),
//
//   integral of mu da       = -2 [Phi1],      Phi1(psi) = integral from 0 to psi of w,
//   integral of mu cos a da = -2 sigma [Phi1 - 2 Phi2],  Phi2(psi) = integral of w sin^2 psi.
//
// With s = sin psi, c = cos psi, y = w^2/A = c^2 + kappa s^2, m = B/A and R_F, R_D at
// (c^2, y, 1), the arguments of the flux's own elliptic terms:
//
//   Phi1 = sqrt(A) [s R_F - (m/3) s^3 R_D]                 (Legendre's E),
//   Phi2 = sqrt(A) [s R_F + (1 - 2m) s^3 R_D / 3 - s c sqrt(y)] / 3,
//
// the second from d/dpsi (s c Delta) = (1 - (2 + 2m) s^2 + 3 m s^4)/Delta, Delta^2 = 1 - m s^2,
// which gives the integral of s^4/Delta, and Delta s^2 = (s^2 - m s^4)/Delta. Both integrands
// depend on sin^2 psi only and are odd: past a half turn, Phi(psi_r + k pi) = Phi(psi_r) +
// 2 k Phi(pi/2), as for the flux.

// One circle's constants for the closed form of its velocity integrals.
struct RimForm {
    bool far = false;
    double z = 0.0;
    double p = 0.0;
    double a = 0.0;
    double root_a = 0.0;
    double b = 0.0;
    double kappa = 0.0;
    double sigma = 0.0;  // cos(a) = sigma (1 - 2 sin^2 psi)
    // The s^3 R_D coefficients of Phi1 and Phi2 (phi_pair), B / (3 sqrt A) and
    // (A - 2 B) / (9 sqrt A).
    double phi1_rd = 0.0;
    double phi2_rd = 0.0;
};

inline RimForm make_rim_form(const closed_form::Circle& circle) {
    RimForm form;
    form.z = circle.z;
    form.p = circle.p;
    form.kappa = circle.kappa;
    const double zpp = circle.z + circle.p;
    const double zmp = circle.z - circle.p;
    form.far = circle.kind == closed_form::RimKind::kInside;
    if (form.far) {
        // The same floor as the flux's: A -> 0 only where the circle touches the limb from
        // inside.
        form.a = std::max((1.0 - zpp) * (1.0 + zpp), closed_form::kMinA);
        form.b = -4.0 * circle.z * circle.p;
        form.sigma = 1.0;
    } else {
        form.a = (1.0 - zmp) * (1.0 + zmp);
        form.b = 4.0 * circle.z * circle.p;
        form.sigma = -1.0;
    }
    form.root_a = std::sqrt(form.a);
    form.phi1_rd = form.b / (3.0 * form.root_a);
    form.phi2_rd = (form.a - 2.0 * form.b) / (9.0 * form.root_a);
    return form;
}

// One end of a rim arc: the substitution angle psi = k pi + psi_r (s, c of psi_r), the rim
// angle's sine and cosine, and mu there.
struct ArcEnd {
    double s = 0.0;
    double c = 1.0;
    double k = 0.0;
    double y = 1.0;
    double root_y = 1.0;  // sqrt(y)
    double sin_a = 0.0;
    double cos_a = 0.0;
    double mu = 0.0;
};

// The end of `arc` (its start, or with `at_end` its end) without a trigonometric call: sin psi
// and cos psi of the near form's psi = -u/2 come, for an end on the line, from the line's
// half-angle by a quarter-turn rotation (closed_form::rim_end_on_line) and, for an end on the
// limb, from the crossing's own sine and cosine. The far form's psi = -(pi + u)/2 lies a quarter
// turn behind, reduced by k half turns into [-pi/2, pi/2].
inline ArcEnd arc_end(const RimForm& form, const closed_form::Boundary& boundary,
                      const closed_form::RimArc& arc, bool at_end) {
    const double u = at_end ? arc.u_to : arc.u_from;
    const bool on_limb = at_end ? arc.to_on_limb : arc.from_on_limb;
    double s = 0.0;
    double c = 0.0;
    if (on_limb) {
        // u = -+window: psi = +-window/2.
        const closed_form::Circle& circle = boundary.circles[static_cast<std::size_t>(arc.circle)];
        s = u < 0.0 ? circle.limb_sine : -circle.limb_sine;
        c = circle.limb_cosine;
    } else {
        std::tie(s, c) =
            closed_form::rim_end_on_line(boundary, at_end ? arc.to_turns : arc.from_turns);
    }
    ArcEnd end;
    if (form.far) {
        const double psi = -(kPi + u) / 2.0;
        end.k = std::nearbyint(psi / kPi);
        // sin and cos of psi_r = -u/2 - pi/2 - k pi.
        // k is a small whole number (|u| < 3 pi): its parity from its integer value, without
        // fmod (NaN counts as odd, as fmod's test would have it).
        const bool even = std::fabs(end.k) < 0x1p52 && (static_cast<std::int64_t>(end.k) & 1) == 0;
        const double flip = even ? 1.0 : -1.0;
        end.s = -c * flip;
        end.c = s * flip;
        end.sin_a = -2.0 * end.s * end.c;
        end.cos_a = (end.c - end.s) * (end.c + end.s);
    } else {
        end.s = s;
        end.c = c;
        end.sin_a = 2.0 * end.s * end.c;
        end.cos_a = (end.s - end.c) * (end.s + end.c);
    }
    end.y = std::max(end.c * end.c + form.kappa * end.s * end.s, 0.0);
    end.root_y = std::sqrt(end.y);
    end.mu = on_limb ? 0.0 : form.root_a * end.root_y;
    return end;
}

// Phi1 and Phi2 at psi_r from R_F and R_D.
struct PhiPair {
    double first = 0.0;
    double second = 0.0;
};

inline PhiPair phi_pair(const RimForm& form, double s, double c, double root_y, double rf,
                        double rd) {
    const double s3 = s * s * s;
    PhiPair phi;
    phi.first = form.root_a * s * rf - form.phi1_rd * s3 * rd;
    phi.second =
        form.root_a * s * rf / 3.0 + form.phi2_rd * s3 * rd - form.root_a * s * c * root_y / 3.0;
    return phi;
}

// The velocity integrals of c0 + c1 mu + c2 mu^2 over every rim arc of the boundary; the
// complete integrals of its far-form circles from `completes` where given.
inline void rim_polynomial(const closed_form::Boundary& boundary, const PowerBasis& basis,
                           VelocityIntegrals& out, const closed_form::CompleteRims* completes) {
    constexpr int kMaxArcs = 4;
    constexpr int kLanes = 2 * kMaxArcs + 2;
    const int arcs = boundary.arc_count;
    if (arcs == 0) {
        return;
    }
    const std::array<RimForm, 2> forms = {make_rim_form(boundary.circles[0]),
                                          make_rim_form(boundary.circles[1])};
    ArcEnd from[kMaxArcs];
    ArcEnd to[kMaxArcs];
    for (int i = 0; i < arcs; ++i) {
        const closed_form::RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        const RimForm& form = forms[static_cast<std::size_t>(arc.circle)];
        from[i] = arc_end(form, boundary, arc, false);
        to[i] = arc_end(form, boundary, arc, true);
    }
    // R_F and R_D of every end, in one batch, and of the complete integral of a far-form
    // circle whose arcs pass the point nearest S.
    PhiPair phi_from[kMaxArcs];
    PhiPair phi_to[kMaxArcs];
    std::array<PhiPair, 2> complete{};
    if (basis.c1 != 0.0) {
        double x[kLanes] = {};
        double y[kLanes] = {};
        double one[kLanes] = {};
        int owner[kLanes] = {};  // 2 i: from of arc i, 2 i + 1: its to
        int lanes = 0;
        auto add = [&](double xv, double yv, int who) {
            x[lanes] = xv;
            y[lanes] = yv;
            one[lanes] = 1.0;
            owner[lanes] = who;
            ++lanes;
        };
        std::array<bool, 2> needs_complete{false, false};
        for (int i = 0; i < arcs; ++i) {
            if (from[i].s != 0.0) {
                add(from[i].c * from[i].c, from[i].y, 2 * i);
            }
            if (to[i].s != 0.0) {
                add(to[i].c * to[i].c, to[i].y, 2 * i + 1);
            }
            if (to[i].k != from[i].k) {
                needs_complete[static_cast<std::size_t>(
                    boundary.arcs[static_cast<std::size_t>(i)].circle)] = true;
            }
        }
        // The complete R_F(0, kappa, 1), R_D(0, kappa, 1) by Bulirsch's iteration.
        for (std::size_t j = 0; j < 2; ++j) {
            if (needs_complete[j]) {
                const RimForm& form = forms[j];
                const std::array<double, 2> rf_rd =
                    completes != nullptr ? (*completes)[j]
                                         : cel::complete_rf_rd(std::sqrt(form.kappa));
                complete[j] = phi_pair(form, 1.0, 0.0, std::sqrt(form.kappa), rf_rd[0], rf_rd[1]);
            }
        }
        carlson::SymmetricTriple r[kLanes];
        carlson::rf_rd_batch<kLanes>(lanes, x, y, one, r);
        for (int l = 0; l < lanes; ++l) {
            const int who = owner[l];
            const int i = who / 2;
            const RimForm& form =
                forms[static_cast<std::size_t>(boundary.arcs[static_cast<std::size_t>(i)].circle)];
            const ArcEnd& end = who % 2 == 0 ? from[i] : to[i];
            (who % 2 == 0 ? phi_from[i] : phi_to[i]) =
                phi_pair(form, end.s, end.c, end.root_y, r[l].rf, r[l].rd);
        }
    }
    for (int i = 0; i < arcs; ++i) {
        const closed_form::RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        const RimForm& form = forms[static_cast<std::size_t>(arc.circle)];
        const ArcEnd& e1 = from[i];
        const ArcEnd& e2 = to[i];
        const double z = form.z;
        const double p = form.p;
        const double d_a = arc.u_to - arc.u_from;
        const double d_sin = e2.sin_a - e1.sin_a;
        const double d_cos = e2.cos_a - e1.cos_a;
        const double d_sin2 = 2.0 * (e2.sin_a * e2.cos_a - e1.sin_a * e1.cos_a);
        const double d_sin_sq = (e2.sin_a - e1.sin_a) * (e2.sin_a + e1.sin_a);
        // c0: I = 1.
        RimIntegrals sum;
        sum.radial = basis.c0 * d_a;
        sum.cosine = basis.c0 * d_sin;
        sum.sine = -basis.c0 * d_cos;
        // c2: mu^2 = E0 + E1 cos a.
        if (basis.c2 != 0.0) {
            const double e0 = 1.0 - z * z - p * p;
            const double e1 = -2.0 * z * p;
            sum.radial += basis.c2 * (e0 * d_a + e1 * d_sin);
            sum.cosine += basis.c2 * (e0 * d_sin + e1 * (0.5 * d_a + 0.25 * d_sin2));
            sum.sine += basis.c2 * (-e0 * d_cos + 0.5 * e1 * d_sin_sq);
        }
        // c1: mu.
        if (basis.c1 != 0.0) {
            const PhiPair& whole = complete[static_cast<std::size_t>(arc.circle)];
            const double turns = 2.0 * (e2.k - e1.k);
            const double d_phi1 = phi_to[i].first - phi_from[i].first + turns * whole.first;
            const double d_phi2 = phi_to[i].second - phi_from[i].second + turns * whole.second;
            const double mu_sum = e1.mu + e2.mu;
            const double mu_sin =
                mu_sum > 0.0 ? -2.0 * d_cos * (e1.mu * e1.mu + e1.mu * e2.mu + e2.mu * e2.mu) /
                                   (3.0 * mu_sum)
                             : 0.0;
            sum.radial += basis.c1 * (-2.0 * d_phi1);
            sum.cosine += basis.c1 * (-2.0 * form.sigma * (d_phi1 - 2.0 * d_phi2));
            sum.sine += basis.c1 * mu_sin;
        }
        RimIntegrals& rim = out.rims[static_cast<std::size_t>(arc.circle)];
        rim.radial += p * sum.radial;
        rim.cosine += p * sum.cosine;
        rim.sine += p * sum.sine;
    }
}

inline VelocityIntegrals polynomial_velocity(const closed_form::Boundary& boundary,
                                             const PowerBasis& basis,
                                             const closed_form::CompleteRims* completes) {
    VelocityIntegrals out;
    if (!basis.present()) {
        return out;
    }
    out.line = line_polynomial(boundary, basis);
    rim_polynomial(boundary, basis, out, completes);
    return out;
}

// ----------------------------------------------------------------------------------------
// From velocity integrals to derivatives of B
// ----------------------------------------------------------------------------------------

// dB with respect to the engine frame's parameters.
struct FrameDerivatives {
    double along = 0.0;   // the centre moved away from S
    double across = 0.0;  // the centre moved a quarter turn counter-clockwise from that
    double turn = 0.0;    // the line turned counter-clockwise about the centre
    std::array<double, 2> radius{};
};

inline FrameDerivatives frame_derivatives(const closed_form::Boundary& boundary,
                                          const VelocityIntegrals& v) {
    const double sine = boundary.line_sine();
    const double cosine = boundary.line_cosine();
    const double foot = boundary.z * cosine;  // s of the centre
    FrameDerivatives d;
    d.along = v.rims[0].cosine + v.rims[1].cosine + sine * v.line.plain;
    d.across = v.rims[0].sine + v.rims[1].sine - cosine * v.line.plain;
    d.turn = -(v.line.moment - foot * v.line.plain);
    d.radius = {v.rims[0].radial, v.rims[1].radial};
    return d;
}

// The moments S0, S1, S2 of the polynomial basis: in closed form below radius one half, else by
// the quadrature of each term.
inline closed_form::Moments basis_moments(const closed_form::Boundary& boundary, double z,
                                          double p1, double p2) {
    if (std::max(p1, p2) < closed_form::kMaxRadius) {
        return p1 == p2 ? closed_form::full_disc_moments(z, p1)
                        : closed_form::boundary_moments(boundary);
    }
    const NoRemainder none;
    auto moment = [&](PowerBasis basis) {
        const boundary_quadrature::WholeLaw<NoRemainder> term{basis, none};
        return boundary_quadrature::boundary_integral(boundary, term);
    };
    return closed_form::Moments{moment({1.0, 0.0, 0.0}), moment({0.0, 1.0, 0.0}),
                                moment({0.0, 0.0, 1.0})};
}

// ----------------------------------------------------------------------------------------
// One point
// ----------------------------------------------------------------------------------------

// The relative flux at one point, and its partials into `partials` (kGeometryCount + K values:
// d/dx, d/dy, d/dline_angle, d/dp1, d/dp2, then d/dcoefficient_k). A point the planet cannot
// reach gives 1 and zero partials; a negative or NaN separation, or a line angle that is not
// finite, gives NaN everywhere. line_cosine and line_sine are those of line_angle (callers keep
// them while the angle stays the same). `known`, where given, holds what
// closed_form::inside_planet_moments worked out already for this point (for several points at
// once): the basis moments of its boundary (the same as basis_moments here) and its circles'
// complete integrals.
struct KnownParts {
    closed_form::Moments moments;
    closed_form::CompleteRims completes;
};

template <ExactLaw Law>
double flux_and_partials(const engine::Channel<Law>& channel, const PreparedLaw<Law>& law, double z,
                         double x, double y, double line_angle, double line_cosine,
                         double line_sine, std::span<double> partials,
                         const KnownParts* known = nullptr) {
    const double p1 = channel.p1;
    const double p2 = channel.p2;
    if (engine::out_of_reach(z, p1, p2)) {
        std::fill(partials.begin(), partials.end(), 0.0);
        return 1.0;
    }
    const closed_form::LineDirection direction =
        engine::sky_direction(x, y, line_angle, line_cosine, line_sine);
    if (!(z >= 0.0) || !direction.valid()) {
        std::fill(partials.begin(), partials.end(), std::nan(""));
        return std::nan("");
    }
    const closed_form::Boundary boundary = closed_form::planet_boundary(z, direction, p1, p2);
    const closed_form::Moments moments =
        known != nullptr ? known->moments : basis_moments(boundary, z, p1, p2);
    VelocityIntegrals velocity = polynomial_velocity(
        boundary, channel.basis, known != nullptr ? &known->completes : nullptr);
    double blocked = closed_form::blocked_fraction(channel.basis, 1.0, moments);
    const double norm = channel.norm;
    // The geometry's partials, then the coefficients' from the parts' blocked fluxes.
    auto finish = [&](std::span<const double> parts) {
        const FrameDerivatives d = frame_derivatives(boundary, velocity);
        // The engine frame is the sky's turned by the centre's polar angle.
        const double cos_polar = z > 0.0 ? x / z : std::cos(std::atan2(y, x));
        const double sin_polar = z > 0.0 ? y / z : std::sin(std::atan2(y, x));
        const double scale = -1.0 / norm;
        partials[kX] = scale * (d.along * cos_polar - d.across * sin_polar);
        partials[kY] = scale * (d.along * sin_polar + d.across * cos_polar);
        partials[kLineAngle] = scale * d.turn;
        partials[kFirstRadius] = scale * d.radius[0];
        partials[kSecondRadius] = scale * d.radius[1];
        coefficient_partials<Law>(law, moments, parts, blocked, norm,
                                  partials.subspan(kGeometryCount));
        return 1.0 - blocked / norm;
    };
    using Rest = LawRest<Law>;
    if constexpr (Rest::kParts > 0) {
        const auto source = Rest::source(law);
        const RemainderIntegrals<Rest::kParts> rest =
            remainder_integrals<Rest::kParts>(boundary, source);
        velocity += rest.velocity;
        const std::span<const double> parts(rest.parts.data(), rest.parts.size());
        blocked += Rest::blocked(law, parts);
        return finish(parts);
    } else {
        return finish({});
    }
}

}  // namespace halfmoon::gradient
