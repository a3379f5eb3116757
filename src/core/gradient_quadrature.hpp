// Boundary integrals for the gradient of the blocked flux, by quadrature along the pieces that
// closed_form::planet_boundary enumerates.
//
// Moving a piece of the boundary of R = (planet inside the star) changes the blocked flux
// B = integral over R of I dA by the integral of I times the piece's normal velocity along it
// (the limb does not move, corners add nothing). With the rim points X = P + p (cos a, sin a)
// and the line points X = P + t e, the velocities of the engine's parameters need, per circle,
//
//     integral of I p da,   of I p cos(a) da,   of I p sin(a) da,
//
// over its arcs inside the star, and along the line pieces, in their direction,
//
//     integral of I ds,   of I s ds.
//
// Where the intensity has no closed form (a law's remainder beyond c0 + c1 mu + c2 mu^2) these
// are taken here by Gauss-Legendre quadrature on the same sub-pieces, end maps and grading as
// the flux's quadrature (boundary_quadrature.hpp), so that the nodes see the limb the same way:
// on a rim mu falls like the square root of the distance to a limb crossing, and the intensity
// of every remainder (a power of mu, or 1/(e^mu - 1), which grows like 1/mu) becomes smooth in
// the mapped variable once multiplied by the map's Jacobian.
//
// The same pass integrates the primitives F_j/r^2 of the remainder's parts (the pieces that the
// law's coefficients multiply) against X x dX, so that the blocked flux of each part, and with
// them the flux and its derivatives with respect to the coefficients, come from one walk over the
// nodes.
//
// Instead of returning values, the integrators call `visit(batch)` for every panel, with its
// nodes and their quadrature weights (Jacobian included) side by side; the caller accumulates
// as many sums as it needs.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "core/boundary_quadrature.hpp"
#include "core/closed_form.hpp"
#include "core/constants.hpp"
#include "core/quadrature.hpp"

namespace halfmoon::gradient {

// The velocity integrals of one intensity over the moving pieces.
struct RimIntegrals {
    double radial = 0.0;  // integral of I p da
    double cosine = 0.0;  // of I p cos(a) da
    double sine = 0.0;    // of I p sin(a) da

    RimIntegrals& operator+=(const RimIntegrals& o) {
        radial += o.radial;
        cosine += o.cosine;
        sine += o.sine;
        return *this;
    }
};

struct LineIntegrals {
    double plain = 0.0;   // integral of I ds along the pieces, in their direction
    double moment = 0.0;  // of I s ds

    LineIntegrals& operator+=(const LineIntegrals& o) {
        plain += o.plain;
        moment += o.moment;
        return *this;
    }
};

struct VelocityIntegrals {
    std::array<RimIntegrals, 2> rims{};
    LineIntegrals line{};

    VelocityIntegrals& operator+=(const VelocityIntegrals& o) {
        rims[0] += o.rims[0];
        rims[1] += o.rims[1];
        line += o.line;
        return *this;
    }
};

// The flux's rule with more nodes at the least: the velocity integrals carry the factors
// cos(gamma), sin(gamma) on rims and s on the line, which the flux's integrand lacks. Where that
// integrand is nearly constant (a rim about S, far from the limb) the flux's rule takes its
// fewest nodes, 4, which leave an error of about 1e-7 on those factors over a half turn; 10 on
// rims (a half turn) and 8 on the line (a quarter turn) bring it below 1e-14. A whole half-rim
// inside the star taken as one panel takes as many (its counts come in steps of 4: 12). A line
// piece taken in s needs no more: there the factor s is a polynomial. The intensity is more
// singular at the limb than the flux's primitive (sqrt(mu) against mu^(3/2), 1/mu for the
// exponential law), so the panels whose count comes from the distance to mu = 0 alone (the whole
// half-rim, the line piece in s) take more: measured against a rule of 32 nodes everywhere over
// the gradient tests' geometries, the flux's resolutions (12 and 14) left errors up to 3e-13 in
// the partials (square-root law, large planets), 16 and 18 none above the 5e-14 that the graded
// sub-pieces leave.
inline constexpr boundary_quadrature::QuadratureRule kGradientRule = [] {
    boundary_quadrature::QuadratureRule rule = boundary_quadrature::kRule;
    rule.rim_square.fewest = std::max(rule.rim_square.fewest, 10);
    rule.rim_fourth.fewest = std::max(rule.rim_fourth.fewest, 10);
    rule.line.fewest = std::max(rule.line.fewest, 8);
    rule.line_square.fewest = std::max(rule.line_square.fewest, 8);
    rule.half_rim_fewest = std::max(rule.half_rim_fewest, 10);
    rule.half_rim_resolution = 16.0;
    rule.chord.resolution = 18.0;
    return rule;
}();

// ----------------------------------------------------------------------------------------
// Node visitors with the rules of quadrature.hpp
// ----------------------------------------------------------------------------------------

// The N nodes of one panel and their quadrature weights (the end map's Jacobian and the
// half-length included).
template <std::size_t N>
struct NodeBatch {
    std::array<double, N> x{};
    std::array<double, N> weight{};
};

// The N-point rule over x in [start, start + length] under the end map at the far end.
template <std::size_t N>
NodeBatch<N> node_batch(double start, double length, quadrature::EndMap map) {
    const quadrature::MappedNodes<N> nodes = quadrature::mapped_nodes<N>(length, map);
    const double half = 0.5 * length;
    NodeBatch<N> out;
    for (std::size_t i = 0; i < N; ++i) {
        out.x[i] = start + nodes.x[i];
        out.weight[i] = half * nodes.weight[i];
    }
    return out;
}

// Calls visit(batch) with the panel's NodeBatch of `nodes` points (a count the engine uses):
// the visitor takes a panel's nodes side by side.
template <typename Visit>
void visit_nodes(int nodes, Visit& visit, double start, double length, quadrature::EndMap map) {
    quadrature::with_node_count(
        nodes, [&](auto count) { visit(node_batch<decltype(count)::value>(start, length, map)); });
}

// The panels of quadrature::for_each_panel_towards_limb over [start, start + length], the end
// nearest the limb at start + length.
template <typename Visit>
void visit_towards_limb(Visit& visit, double start, double length, double distance,
                        quadrature::EndMap map, bool on_limb, double reach,
                        const quadrature::PanelNodes& nodes) {
    quadrature::for_each_panel_towards_limb(
        length, distance, map, on_limb, reach, nodes,
        [&](double from, double width, int n, quadrature::EndMap panel_map) {
            visit_nodes(n, visit, start + from, width, panel_map);
        });
}

// A sub-piece along which mu falls monotonically from x = 0 to x = length (the end nearest the
// limb), cut on the kink circles of a primitive that has them (boundary_quadrature's
// monotone_piece); `visit(batch, cell)` for each panel.
template <typename CentreOf, typename MuAt, typename XAt, typename Visit>
void visit_monotone_piece(std::span<const double> kinks, double length, double distance,
                          quadrature::EndMap map, bool on_limb, const quadrature::PanelNodes& nodes,
                          const boundary_quadrature::QuadratureRule& rule, CentreOf&& centre_of,
                          MuAt&& mu_at, XAt&& x_at, Visit& visit) {
    if (!(length > 0.0)) {
        return;
    }
    auto towards_limb = [&](double start, double width, const quadrature::PanelNodes& last_cell,
                            int cell) {
        auto in_cell = [&](const auto& batch) { visit(batch, cell); };
        visit_towards_limb(in_cell, start, width, distance, map, on_limb, rule.reach, last_cell);
    };
    if (kinks.empty()) {
        towards_limb(0.0, length, nodes, 0);
        return;
    }
    auto plain = [&](double start, double width, int n, int cell) {
        auto in_cell = [&](const auto& batch) { visit(batch, cell); };
        visit_nodes(n, in_cell, start, width, quadrature::EndMap::kNone);
    };
    boundary_quadrature::for_each_cell(kinks, length, distance, map, on_limb, nodes, rule,
                                       centre_of, mu_at, x_at, plain, towards_limb);
}

// ----------------------------------------------------------------------------------------
// The remainder's pass over the boundary
// ----------------------------------------------------------------------------------------

// What the pass integrates, at every node: the remainder's intensity (for the velocity
// integrals) and the primitives F_j/r^2 of its parts (for their blocked fluxes). A source
// provides
//   kParts (or kDynamicParts), part_count(), kLimbBehaviour, kinks(), cell_of(mu),
//   intensity(cell, mu), parts(cell, mu, double* out), parts_at_limb(double* out),
// and may provide add_parts(cell, mu, cross, double* out), which adds to out[j] the sum over a
// panel's nodes of cross_i F_j/r^2(mu_i) (spans mu and cross), sharing work between the nodes
// and the parts.
// A count of parts known only at run time (the tabulated profile's).
inline constexpr std::size_t kDynamicParts = std::numeric_limits<std::size_t>::max();

template <std::size_t Parts>
struct PartValues {
    using Type = std::array<double, Parts>;
    static Type make(std::size_t /*count*/) { return Type{}; }
};

template <>
struct PartValues<kDynamicParts> {
    using Type = std::vector<double>;
    static Type make(std::size_t count) { return Type(count, 0.0); }
};

template <std::size_t Parts>
struct RemainderIntegrals {
    explicit RemainderIntegrals(std::size_t count)
        : parts(PartValues<Parts>::make(count)), scratch(PartValues<Parts>::make(count)) {}

    VelocityIntegrals velocity{};
    typename PartValues<Parts>::Type parts;    // blocked flux of each part (not normalised)
    typename PartValues<Parts>::Type scratch;  // the parts' primitives at one node
};

// out.parts[j] += the sum over a panel's nodes of cross_i F_j/r^2(mu_i): by the source's
// add_parts where it has one, else node by node.
template <typename Source, std::size_t N, std::size_t Parts>
void add_parts(const Source& source, int cell, const std::array<double, N>& mu,
               const std::array<double, N>& cross, RemainderIntegrals<Parts>& out) {
    const std::span<const double> mu_span(mu);
    const std::span<const double> cross_span(cross);
    if constexpr (requires { source.add_parts(cell, mu_span, cross_span, out.parts.data()); }) {
        source.add_parts(cell, mu_span, cross_span, out.parts.data());
    } else {
        for (std::size_t i = 0; i < N; ++i) {
            source.parts(cell, mu[i], out.scratch.data());
            for (std::size_t j = 0; j < out.parts.size(); ++j) {
                out.parts[j] += out.scratch[j] * cross[i];
            }
        }
    }
}

// The rim of circle `index` for gamma in [gamma_lo, gamma_hi] within [0, pi], gamma measured
// from the rim point farthest from S; `sine_sign` is the sign of sin(alpha)/sin(gamma) on this
// half turn.
template <typename Source, std::size_t Parts>
void rim_sub_piece(const closed_form::Circle& circle, const boundary_quadrature::RimShape& shape,
                   int index, double gamma_lo, double gamma_hi, bool on_limb, double sine_sign,
                   const Source& source, const boundary_quadrature::QuadratureRule& rule,
                   RemainderIntegrals<Parts>& out) {
    const double z = circle.z;
    const double p = circle.p;
    const double zpp = z + p;
    const boundary_quadrature::RimMuMap map_of_mu(shape, gamma_lo, gamma_hi, on_limb);
    const double distance = map_of_mu.distance;
    auto mu_at = [&](double x) { return map_of_mu.mu_at(x); };
    auto x_at = [&](double mu) { return map_of_mu.x_at(mu); };
    RimIntegrals& rim = out.velocity.rims[static_cast<std::size_t>(index)];
    auto visit = [&]<std::size_t N>(const NodeBatch<N>& nodes, int cell) {
        // half = sin(gamma/2): mu^2 = A + 4 z p half^2, cos(gamma) = 1 - 2 half^2,
        // sin(gamma) = 2 half cos(gamma/2).
        const std::array<double, N> half = map_of_mu.halves(nodes.x);
        const auto [half_sq, mu] = map_of_mu.mu_of_halves(half);
        std::array<double, N> sin_gamma{};
        for (std::size_t i = 0; i < N; ++i) {
            sin_gamma[i] = 2.0 * half[i] * std::sqrt((1.0 - half[i]) * (1.0 + half[i]));
        }
        for (std::size_t i = 0; i < N; ++i) {
            const double v = nodes.weight[i] * p * source.intensity(cell, mu[i]);
            rim.radial += v;
            rim.cosine += v * (1.0 - 2.0 * half_sq[i]);
            rim.sine += sine_sign * v * sin_gamma[i];
        }
        if constexpr (Parts > 0) {
            // X x dX = p (p + z cos gamma) dgamma.
            std::array<double, N> cross{};
            for (std::size_t i = 0; i < N; ++i) {
                cross[i] = nodes.weight[i] * p * (zpp - 2.0 * z * half_sq[i]);
            }
            add_parts(source, cell, mu, cross, out);
        }
    };
    constexpr quadrature::EndMap map = boundary_quadrature::rim_end_map<Source>();
    const quadrature::PanelNodes& nodes =
        map == quadrature::EndMap::kSquare ? rule.rim_square : rule.rim_fourth;
    visit_monotone_piece(
        source.kinks(), gamma_hi - gamma_lo, distance, map, on_limb, nodes, rule,
        [&] { return boundary_quadrature::CentrePole::of_rim(shape, gamma_hi); }, mu_at, x_at,
        visit);
}

// A whole half-rim of circle `index` inside the star, alpha from alpha0 over half a turn (alpha
// from the rim point farthest from S), as one panel of n nodes.
template <typename Source, std::size_t Parts>
void half_rim(const closed_form::Circle& circle, int index, int n, double alpha0,
              const Source& source, RemainderIntegrals<Parts>& out) {
    const double z = circle.z;
    const double p = circle.p;
    RimIntegrals& rim = out.velocity.rims[static_cast<std::size_t>(index)];
    auto visit = [&](double weight, double mu, double cos_alpha, double sin_alpha) {
        const double v = weight * p * source.intensity(0, mu);
        rim.radial += v;
        rim.cosine += v * cos_alpha;
        rim.sine += v * sin_alpha;
        if constexpr (Parts > 0) {
            source.parts(0, mu, out.scratch.data());
            // X x dX = p (p + z cos alpha) dalpha.
            const double cross = weight * p * (p + z * cos_alpha);
            for (std::size_t j = 0; j < out.parts.size(); ++j) {
                out.parts[j] += out.scratch[j] * cross;
            }
        }
    };
    boundary_quadrature::visit_half_rim(n, circle, std::cos(alpha0), std::sin(alpha0), visit);
}

// One rim arc, alpha = pi + u, cut where alpha passes a multiple of pi (on [2n pi, (2n+1) pi]
// gamma = alpha - 2n pi; on the next half turn gamma = (2n+2) pi - alpha, where sin(alpha) =
// -sin(gamma); da = +-dgamma and every sub-piece is integrated with dgamma > 0).
template <typename Source, std::size_t Parts>
void rim_arc(const closed_form::Circle& circle, const closed_form::RimArc& arc,
             const Source& source, const boundary_quadrature::QuadratureRule& rule,
             RemainderIntegrals<Parts>& out) {
    const double from = kPi + arc.u_from;
    const double to = kPi + arc.u_to;
    if (circle.kind == closed_form::RimKind::kInside && source.kinks().empty()) {
        // A whole half-rim inside the star: one panel in alpha, if few nodes do. Its factors
        // cos(alpha) and sin(alpha) are entire, and the half-rim's fewest nodes resolve them.
        const int n = boundary_quadrature::half_rim_nodes(circle, from, rule);
        if (n > 0) {
            half_rim(circle, arc.circle, n, from, source, out);
            return;
        }
    }
    const boundary_quadrature::RimShape shape =
        boundary_quadrature::RimShape::of(circle, !source.kinks().empty());
    const double k0 = std::floor(from / kPi);
    for (double k = k0 - 1.0; k <= k0 + 2.0; k += 1.0) {
        const double lo = std::max(from, k * kPi);
        const double hi = std::min(to, (k + 1.0) * kPi);
        if (!(lo < hi)) {
            continue;
        }
        if (std::fmod(std::fabs(k), 2.0) == 0.0) {
            const double base = k * kPi;
            const bool on_limb = lo == from && arc.from_on_limb;
            rim_sub_piece(circle, shape, arc.circle, lo - base, hi - base, on_limb, 1.0, source,
                          rule, out);
        } else {
            const double base = (k + 1.0) * kPi;
            const bool on_limb = hi == to && arc.to_on_limb;
            rim_sub_piece(circle, shape, arc.circle, base - hi, base - lo, on_limb, -1.0, source,
                          rule, out);
        }
    }
}

// The part of the line with |s| from s_in to s_out, clear of the limb, in s itself with the nodes
// of boundary_quadrature::chord_nodes: the weights are ds, and X x dX = h ds. `direction` and
// `mirror` as for line_sub_piece.
template <typename Source, std::size_t Parts>
void chord_sub_piece(const closed_form::Line& line, double s_in, double s_out, int nodes,
                     double direction, double mirror, const Source& source,
                     const boundary_quadrature::QuadratureRule& rule,
                     RemainderIntegrals<Parts>& out) {
    const boundary_quadrature::ChordMuMap chord(line, s_in);
    auto mu_at = [&](double x) { return chord.mu_at(x); };
    auto x_at = [&](double mu) { return chord.x_at(mu); };
    LineIntegrals& sums = out.velocity.line;
    auto visit = [&]<std::size_t N>(const NodeBatch<N>& nodes, int cell) {
        std::array<double, N> mu{};
        for (std::size_t i = 0; i < N; ++i) {
            mu[i] = chord.mu_at(nodes.x[i]);
        }
        for (std::size_t i = 0; i < N; ++i) {
            const double v = direction * nodes.weight[i] * source.intensity(cell, mu[i]);
            sums.plain += v;
            sums.moment += v * mirror * (s_in + nodes.x[i]);
        }
        if constexpr (Parts > 0) {
            std::array<double, N> cross{};
            for (std::size_t i = 0; i < N; ++i) {
                cross[i] = direction * nodes.weight[i] * line.h;
            }
            add_parts(source, cell, mu, cross, out);
        }
    };
    const double length = s_out - s_in;
    const std::span<const double> kinks = source.kinks();
    if (kinks.empty()) {
        auto in_cell = [&](const auto& batch) { visit(batch, 0); };
        visit_nodes(nodes, in_cell, 0.0, length, quadrature::EndMap::kNone);
        return;
    }
    visit_monotone_piece(
        kinks, length, line.b - s_out, quadrature::EndMap::kNone, false, rule.chord, rule,
        [&] { return boundary_quadrature::CentrePole::of_chord(line, s_in); }, mu_at, x_at, visit);
}

// The part of the line with |s| from s_in to s_out (0 <= s_in < s_out <= b), with s = b sin(tau)
// and mu = b cos(tau), ds = mu dtau; `direction` is +1 for a piece run towards s increasing,
// `mirror` is -1 for the part at s < 0 (where s = -|s|).
template <typename Source, std::size_t Parts>
void line_sub_piece(const closed_form::Line& line, double s_in, double s_out, bool on_limb,
                    double direction, double mirror, const Source& source,
                    const boundary_quadrature::QuadratureRule& rule,
                    RemainderIntegrals<Parts>& out) {
    if (const int nodes = boundary_quadrature::chord_nodes(line, s_in, s_out, on_limb, rule);
        nodes > 0) {
        chord_sub_piece(line, s_in, s_out, nodes, direction, mirror, source, rule, out);
        return;
    }
    const double b = line.b;
    auto tau_of = [&](double s) {
        return std::atan2(s, std::sqrt(std::max((b - s) * (b + s), 0.0)));
    };
    const double tau_in = tau_of(s_in);
    const double tau_out = on_limb ? kHalfPi : tau_of(s_out);
    constexpr bool mapped = boundary_quadrature::line_needs_map<Source>();
    const double distance = !mapped   ? kHalfPi
                            : on_limb ? boundary_quadrature::kNoSingularity
                                      : kHalfPi - tau_out;
    auto mu_at = [&](double x) { return b * std::cos(tau_in + x); };
    auto x_at = [&](double mu) {
        return std::atan2(std::sqrt(std::max((b - mu) * (b + mu), 0.0)), mu) - tau_in;
    };
    LineIntegrals& sums = out.velocity.line;
    auto visit = [&]<std::size_t N>(const NodeBatch<N>& nodes, int cell) {
        std::array<double, N> mu{};
        for (std::size_t i = 0; i < N; ++i) {
            const double tau = tau_in + nodes.x[i];
            mu[i] = b * std::cos(tau);
            const double v = direction * nodes.weight[i] * mu[i] * source.intensity(cell, mu[i]);
            sums.plain += v;
            sums.moment += v * mirror * b * std::sin(tau);
        }
        if constexpr (Parts > 0) {
            // X x dX = h ds = h mu dtau.
            std::array<double, N> cross{};
            for (std::size_t i = 0; i < N; ++i) {
                cross[i] = direction * nodes.weight[i] * line.h * mu[i];
            }
            add_parts(source, cell, mu, cross, out);
        }
    };
    const quadrature::EndMap map = mapped ? quadrature::EndMap::kSquare : quadrature::EndMap::kNone;
    const quadrature::PanelNodes& nodes = mapped ? rule.line_square : rule.line;
    visit_monotone_piece(
        source.kinks(), tau_out - tau_in, distance, map, mapped && on_limb, nodes, rule,
        [&] { return boundary_quadrature::CentrePole::of_line(line, tau_in); }, mu_at, x_at, visit);
}

// One piece of the line in its direction, cut at the foot s = 0.
template <typename Source, std::size_t Parts>
void segment(const closed_form::Line& line, const closed_form::Segment& piece, const Source& source,
             const boundary_quadrature::QuadratureRule& rule, RemainderIntegrals<Parts>& out) {
    const double lo = std::min(piece.s_from, piece.s_to);
    const double hi = std::max(piece.s_from, piece.s_to);
    const bool forward = piece.s_to > piece.s_from;
    const bool lo_on_limb = forward ? piece.from_on_limb : piece.to_on_limb;
    const bool hi_on_limb = forward ? piece.to_on_limb : piece.from_on_limb;
    const double direction = forward ? 1.0 : -1.0;
    if (hi > 0.0) {
        line_sub_piece(line, std::max(lo, 0.0), hi, hi_on_limb, direction, 1.0, source, rule, out);
    }
    if (lo < 0.0) {
        line_sub_piece(line, std::max(-hi, 0.0), -lo, lo_on_limb, direction, -1.0, source, rule,
                       out);
    }
}

// The whole pass: velocity integrals of the source's intensity and the blocked flux of each of
// its parts (limb arcs included).
template <std::size_t Parts, typename Source>
RemainderIntegrals<Parts> remainder_integrals(
    const closed_form::Boundary& boundary, const Source& source,
    const boundary_quadrature::QuadratureRule& rule = kGradientRule) {
    RemainderIntegrals<Parts> out(source.part_count());
    if constexpr (Parts > 0) {
        source.parts_at_limb(out.scratch.data());
        for (std::size_t j = 0; j < out.parts.size(); ++j) {
            out.parts[j] = out.scratch[j] * boundary.limb;
        }
    }
    for (int i = 0; i < boundary.arc_count; ++i) {
        const closed_form::RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        rim_arc(boundary.circles[static_cast<std::size_t>(arc.circle)], arc, source, rule, out);
    }
    for (int i = 0; i < boundary.segment_count; ++i) {
        segment(boundary.line, boundary.segments[static_cast<std::size_t>(i)], source, rule, out);
    }
    return out;
}

}  // namespace halfmoon::gradient
