// Boundary integrals of radial primitives by quadrature, over the pieces of the boundary that
// closed_form::planet_boundary enumerates.
//
// For a radial intensity g(r) with primitive F (F' = r g, F(0) = 0) the blocked flux is the
// integral of F dphi around the boundary of (planet inside the star), which is the integral of
// (F/r^2) (X x dX) (closed_form.hpp). A "primitive" here is anything that gives F/r^2 as a
// function of mu (RadialRemainder in laws.hpp): a law's remainder beyond its polynomial part,
// or a whole law (WholeLaw below). Its pieces:
//
// - limb arcs: F(1) times the angle of the limb inside the planet;
// - rim arcs: with gamma the angle at P from the rim point farthest from S,
//     mu^2 = A + 4 z p sin^2(gamma/2),  A = (1 - (z+p))(1 + (z+p)),
//     X x dX = p (p + z cos gamma) dgamma,
//   split where gamma passes 0 or pi, so that mu is monotone on every sub-piece and its end
//   nearest the limb is known;
// - line pieces: with s = b sin(tau) (b the half-chord), mu = b cos(tau) exactly and
//   X x dX = h ds = h mu dtau, split at the foot s = 0 for the same reason.
//
// Next to the limb. On a rim, mu vanishes like the square root of the distance to a limb
// crossing; in tau on the line it is analytic. The end of a sub-piece nearest the limb takes
// the end map of quadrature.hpp that makes F smooth (for F analytic in mu: squared on rims,
// none on lines; for F analytic in sqrt(mu): fourth power on rims, squared on lines), and a
// sub-piece whose nearest singularity lies close beyond that end is graded towards it. The
// singularity's distance, per kind of sub-piece:
//
// - rim inside the star: mu^2 = 0 at gamma = +-i e, e = 2 asinh(sqrt(A/(4 z p))), so the
//   distance from an end at gamma_0 is |gamma_0 + i e| (small for z + p just below 1);
// - rim crossing the limb at gamma_x: from an end inside the star (a junction with the line
//   next to the limb), gamma_0 - gamma_x; an end on the limb takes the end map alone (grading
//   it towards the mirror crossing at -gamma_x, close for z + p just above 1, was measured to
//   gain nothing: the mapped panel resolves it);
// - line, F analytic in sqrt(mu) only: pi/2 - tau at an end inside the star (an end on the
//   limb has its branch point at the end, which the map takes care of).
//
// A primitive with kinks (a tabulated profile) has its sub-pieces cut again on the circles
// mu = mu_j, where the rim's gamma and the line's tau follow in closed form from mu_j; each
// cell is a polynomial in mu, the one nearest the limb takes the limb treatment.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>

#include "core/closed_form.hpp"
#include "core/constants.hpp"
#include "core/laws.hpp"
#include "core/quadrature.hpp"

namespace halfmoon::boundary_quadrature {

// Gauss-Legendre nodes per panel, per kind of piece, chosen from the convergence measured by
// benchmarks/bench_laws.py --convergence: rims and line pieces, under each end map (square for
// primitives analytic in mu, fourth power for those analytic in sqrt(mu), square on the line
// for the latter), and the cells between two kink circles of a tabulated profile.
struct QuadratureRule {
    quadrature::PanelNodes rim_square{12, 14.0, 4};
    quadrature::PanelNodes rim_fourth{16, 14.0, 4};
    quadrature::PanelNodes line{8, 14.0, 4};
    quadrature::PanelNodes line_square{12, 12.0, 4};
    // A line piece that stays clear of the limb, integrated in s itself: at most `mapped` nodes
    // (beyond that the piece is taken in tau), sized by `resolution` from the branch point at the
    // chord's end (measured: rounding-level errors for every law at 14, 1e-15 at 12, 2e-13 at 10).
    quadrature::PanelNodes chord{12, 14.0, 4};
    // The fewest nodes of a cell between two kink circles (its integrand is a polynomial of
    // degree 5 in mu over 1 - mu^2), and the factor of its node count from the singularity
    // beyond it (or the pole at r = 0 behind it). Measured on the 50-point profile of
    // benchmarks/bench_laws.py over its transit, against every count at 32: largest error
    // 1e-16 at 18, 1.8e-15 at 16, 2.3e-15 at 14, 6.6e-14 at 12 (mean nodes per point 153 at 14).
    int cell = 4;
    double cell_resolution = 14.0;
    // The node-count thresholds of cell_resolution (a rule whose cell_resolution has been
    // changed since is sized from thresholds worked out afresh).
    quadrature::NodeThresholds cell_thresholds{cell_resolution};
    // The fewest nodes of the cell that reaches the sub-piece's end nearest the limb where that
    // end lies on the limb or has its singularity close beyond (end-mapped or graded panels).
    int limb_cell = 10;
    // The first panel of a graded sub-piece spans this multiple of the distance to the
    // singularity.
    double reach = 1.0;
    // Node count factor of a whole half-rim inside the star taken as one panel (measured with
    // benchmarks/bench_laws.py against 30-digit references: largest error 5.7e-14 at 12,
    // 2e-13 at 11, 1.9e-12 at 9, 1e-16 at 14; 12 costs about 8% less than 14), and its fewest
    // nodes.
    double half_rim_resolution = 12.0;
    int half_rim_fewest = 8;
};

inline constexpr QuadratureRule kRule{};

inline constexpr double kNoSingularity = std::numeric_limits<double>::infinity();

// A whole law as one primitive: its polynomial part c0 + c1 mu + c2 mu^2, whose F/r^2 are
// 1/2, (1 - mu^3)/(3 r^2) = (1 + mu + mu^2)/(3 (1 + mu)) and 1/2 - r^2/4, plus its remainder.
template <typename Rest>
struct WholeLaw {
    PowerBasis basis;
    const Rest& rest;

    static constexpr LimbBehaviour kLimbBehaviour = std::remove_cvref_t<Rest>::kLimbBehaviour;
    bool present() const { return true; }
    double over_r2(int cell, double mu) const {
        const double r2 = (1.0 - mu) * (1.0 + mu);
        const double polynomial = basis.c0 * 0.5 +
                                  basis.c1 * (1.0 + mu + mu * mu) / (3.0 * (1.0 + mu)) +
                                  basis.c2 * (0.5 - 0.25 * r2);
        return rest.present() ? polynomial + rest.over_r2(cell, mu) : polynomial;
    }
    double at_limb() const {
        return basis.c0 / 2.0 + basis.c1 / 3.0 + basis.c2 / 4.0 + rest.at_limb();
    }
    std::span<const double> kinks() const { return rest.kinks(); }
    int cell_of(double mu) const { return rest.cell_of(mu); }
};

template <typename P>
constexpr quadrature::EndMap rim_end_map() {
    return std::remove_cvref_t<P>::kLimbBehaviour == LimbBehaviour::kAnalyticInMu
               ? quadrature::EndMap::kSquare
               : quadrature::EndMap::kFourth;
}

template <typename P>
constexpr bool line_needs_map() {
    return std::remove_cvref_t<P>::kLimbBehaviour != LimbBehaviour::kAnalyticInMu;
}

// What the sub-pieces of one circle's rim share, with gamma the angle at P from the rim point
// farthest from S: mu^2 = A + 4 z p sin^2(gamma/2), A = (1 - (z+p))(1 + (z+p)), and where mu
// and r vanish off the rim.
struct RimShape {
    double a = 0.0;
    double four_zp = 0.0;
    // For A > 0, mu^2 = 0 at gamma = +-i branch, branch = 2 asinh(sqrt(A/(4 z p))); otherwise
    // the rim crosses the limb at gamma = +-crossing.
    double branch = kNoSingularity;
    double crossing = 0.0;
    // r^2 = (z+p)^2 - 4 z p sin^2(gamma/2) vanishes at gamma = pi +- i centre,
    // centre = 2 acosh(c), c = (z+p)/(2 sqrt(zp)) = 1 + t, t = (sqrt z - sqrt p)^2 / (2 sqrt(zp)):
    // worked out only for a primitive with kinks (its cells' F/r^2 have a pole there).
    double centre = kNoSingularity;

    static RimShape of(const closed_form::Circle& circle, bool with_centre) {
        const double zpp = circle.z + circle.p;
        RimShape shape{(1.0 - zpp) * (1.0 + zpp), 4.0 * circle.z * circle.p};
        if (!(shape.four_zp > 0.0)) {
            return shape;
        }
        if (shape.a > 0.0) {
            shape.branch = 2.0 * std::asinh(std::sqrt(shape.a / shape.four_zp));
        } else {
            shape.crossing = 2.0 * std::asin(std::min(1.0, std::sqrt(-shape.a / shape.four_zp)));
        }
        if (with_centre && circle.z > 0.0 && circle.p > 0.0) {
            const double root_zp = std::sqrt(circle.z * circle.p);
            const double gap = std::sqrt(circle.z) - std::sqrt(circle.p);
            const double t = gap * gap / (2.0 * root_zp);
            shape.centre = 2.0 * std::log1p(t + std::sqrt(t * (t + 2.0)));
        }
        return shape;
    }
};

// Where the star's centre r = 0 lies relative to a sub-piece, in its variable x: at
// x = -back +- i imag. A cell's primitive other than the innermost one is a polynomial in mu that
// need not vanish at r = 0, so its F/r^2 has a pole there, which sizes the cell's nodes as much as
// the singularity beyond the piece's far end does.
struct CentrePole {
    double back = kNoSingularity;
    double imag = 0.0;

    double distance_from(double x) const {
        const double along = back + x;
        return std::sqrt(along * along + imag * imag);
    }

    // On a rim, x = gamma_hi - gamma: at gamma = pi +- i shape.centre.
    static CentrePole of_rim(const RimShape& shape, double gamma_hi) {
        if (shape.centre == kNoSingularity) {
            return {};
        }
        return {kPi - gamma_hi, shape.centre};
    }
    // On the line in s, x = s - s_in: r^2 = h^2 + s^2 vanishes at s = +-i h.
    static CentrePole of_chord(const closed_form::Line& line, double s_in) {
        return {s_in, std::fabs(line.h)};
    }
    // On the line in tau, s = b sin(tau), x = tau - tau_in: at tau = +-i asinh(h/b).
    static CentrePole of_line(const closed_form::Line& line, double tau_in) {
        return {tau_in, std::asinh(std::fabs(line.h) / line.b)};
    }
};

// The nodes of cell `cell` over x in [start, end]: from the singularity `beyond` the end, and
// from the pole at r = 0 behind the start unless the cell is the innermost one (index
// kink_count, the cell reaching mu = 1), whose primitive vanishes at r = 0.
inline int cell_node_count(const quadrature::NodeThresholds& nodes, int fewest,
                           std::size_t kink_count, int cell, const CentrePole& centre,
                           double beyond, double start, double end) {
    // The count falls with the distance: the nearer singularity decides.
    const bool innermost = static_cast<std::size_t>(cell) == kink_count;
    const double nearest = innermost ? beyond : std::min(beyond, centre.distance_from(start));
    return nodes.nodes(nearest, end - start, fewest);
}

// The cells of a sub-piece along which mu falls monotonically from x = 0 to the end x = length
// nearest the limb, for a primitive with kinks: the kink circles cut it where x_at(mu_j) lies
// inside. `distance` is that of the nearest singularity beyond x = length, `map` the end map
// there, `on_limb` whether that end lies on the limb; `centre_of()` gives where r = 0 lies (a
// sub-piece without kinks never asks). Calls
// plain(start, width, nodes, cell) for each cell taken as one panel of that many nodes, and, for
// a last cell that takes the end map or graded panels, towards_limb(start, width, nodes, cell)
// with its PanelNodes. Cell k lies between kinks k - 1 and k (the innermost one, index
// kinks.size(), reaches mu = 1).
template <typename CentreOf, typename MuAt, typename XAt, typename Plain, typename TowardsLimb>
void for_each_cell(std::span<const double> kinks, double length, double distance,
                   quadrature::EndMap map, bool on_limb, const quadrature::PanelNodes& nodes,
                   const QuadratureRule& rule, CentreOf&& centre_of, MuAt&& mu_at, XAt&& x_at,
                   Plain&& plain, TowardsLimb&& towards_limb) {
    const CentrePole centre = centre_of();
    // The kinks strictly between mu at the limb end and mu at the inner end, from x = 0
    // outwards (decreasing mu): the cell below the kink at index k is cell k. Those below mu at
    // the inner end are the sub-piece's cells, few, and a scan from the first finds them; it
    // also keeps last >= first where mu is one value all along and that value is a kink (a rim
    // about the star's centre).
    const auto first = std::upper_bound(kinks.begin(), kinks.end(), mu_at(length));
    const double mu_inner = mu_at(0.0);
    auto last = first;
    while (last != kinks.end() && *last < mu_inner) {
        ++last;
    }
    const int fewest = std::max(nodes.fewest, rule.cell);
    std::optional<quadrature::NodeThresholds> fresh;
    const quadrature::NodeThresholds& cell_nodes =
        rule.cell_thresholds.resolution() == rule.cell_resolution
            ? rule.cell_thresholds
            : fresh.emplace(rule.cell_resolution);
    // A cell short of the end x = length sees the singularity beyond that end, or, where the
    // end map removes a branch point at the end itself (on the limb), that branch point.
    const double beyond = on_limb && map != quadrature::EndMap::kNone ? 0.0 : distance;
    double start = 0.0;
    // The cells' ends are worked out a block of kinks at a time before the block's panels: the
    // inverse maps of neighbouring kinks (two dependent square roots and a series on a rim) then
    // run side by side, where one at a time each would hold up the node count and the panel
    // that depend on it (measured: about 13% off the tabulated flux, against 3% less with
    // blocks of 16 or 4).
    constexpr std::ptrdiff_t kBlock = 8;
    for (auto block_end = last; block_end != first;) {
        const auto block_start = block_end - std::min(kBlock, block_end - first);
        std::array<double, kBlock> ends{};
        for (std::ptrdiff_t j = 0; j < block_end - block_start; ++j) {
            ends[static_cast<std::size_t>(j)] = x_at(*(block_end - 1 - j));
        }
        for (std::ptrdiff_t j = 0; j < block_end - block_start; ++j) {
            const auto it = block_end - 1 - j;
            const int cell = static_cast<int>(it - kinks.begin()) + 1;
            const double end = std::min(std::max(ends[static_cast<std::size_t>(j)], start), length);
            plain(start, end - start,
                  cell_node_count(cell_nodes, fewest, kinks.size(), cell, centre,
                                  beyond + (length - end), start, end),
                  cell);
            start = end;
        }
        block_end = block_start;
    }
    const int cell = static_cast<int>(first - kinks.begin());
    if (!on_limb && !(rule.reach * distance < length - start)) {
        // The last cell ends inside the star with its singularity far beyond: one plain panel,
        // sized like the cells before it.
        plain(start, length - start,
              cell_node_count(cell_nodes, fewest, kinks.size(), cell, centre, distance, start,
                              length),
              cell);
        return;
    }
    quadrature::PanelNodes last_cell = nodes;
    last_cell.fewest = std::max(nodes.fewest, rule.limb_cell);
    towards_limb(start, length - start, last_cell, cell);
}

// F/r^2 of cell `cell` of a primitive as a function of mu: f(over_r2) with over_r2(mu) a
// callable that a panel's nodes share. A primitive may provide its own (with_cell), whose
// coefficients are then read once per panel rather than once per node.
template <typename P, typename F>
decltype(auto) with_cell(const P& primitive, int cell, F&& f) {
    if constexpr (requires { primitive.with_cell(cell, f); }) {
        return primitive.with_cell(cell, f);
    } else {
        return f([&primitive, cell](double mu) { return primitive.over_r2(cell, mu); });
    }
}

// One panel of n nodes over x in [start, start + width] of cell `cell`, under the end map `map`
// at its far end. `values(x, over_r2)` returns the integrand at all the nodes x at once (arrays
// of a compile-time length), over_r2 being the cell's F/r^2: a panel's nodes are taken side by
// side, so that the square roots, divisions and polynomials of neighbouring nodes overlap.
template <typename P, typename Values>
double cell_panel(const P& primitive, int cell, int n, double start, double width,
                  quadrature::EndMap map, Values&& values) {
    return with_cell(primitive, cell, [&](const auto& over_r2) {
        return quadrature::with_node_count(n, [&](auto count) {
            constexpr std::size_t N = decltype(count)::value;
            auto sum_at = [&](const std::array<double, N>& x, const std::array<double, N>& weight) {
                const std::array<double, N> v = values(x, over_r2);
                double sum = 0.0;
                for (std::size_t i = 0; i < N; ++i) {
                    sum += weight[i] * v[i];
                }
                return 0.5 * width * sum;
            };
            std::array<double, N> x{};
            if (map == quadrature::EndMap::kNone) {
                // Most panels: the rule's own nodes and weights.
                const quadrature::GaussLegendre<N>& rule = quadrature::kGaussLegendre<N>;
                for (std::size_t i = 0; i < N; ++i) {
                    x[i] = start + width * rule.unit[i];
                }
                return sum_at(x, rule.weights);
            }
            const quadrature::MappedNodes<N> nodes = quadrature::mapped_nodes<N>(width, map);
            for (std::size_t i = 0; i < N; ++i) {
                x[i] = start + nodes.x[i];
            }
            return sum_at(x, nodes.weight);
        });
    });
}

// The integral over x in [0, length] of a sub-piece along which mu falls monotonically from
// x = 0 to the end x = length nearest the limb. `mu_at(x)` gives mu, `x_at(mu)` its inverse,
// `values` the integrand at a panel's nodes (as for cell_panel); the other arguments as for
// for_each_cell.
template <typename P, typename CentreOf, typename MuAt, typename XAt, typename Values>
double monotone_piece(const P& primitive, double length, double distance, quadrature::EndMap map,
                      bool on_limb, const quadrature::PanelNodes& nodes, const QuadratureRule& rule,
                      CentreOf&& centre_of, MuAt&& mu_at, XAt&& x_at, Values&& values) {
    if (!(length > 0.0)) {
        return 0.0;
    }
    double sum = 0.0;
    auto towards_limb = [&](double start, double width, const quadrature::PanelNodes& last_cell,
                            int cell) {
        quadrature::for_each_panel_towards_limb(
            width, distance, map, on_limb, rule.reach, last_cell,
            [&](double from, double panel_width, int n, quadrature::EndMap panel_map) {
                sum += cell_panel(primitive, cell, n, start + from, panel_width, panel_map, values);
            });
    };
    const std::span<const double> kinks = primitive.kinks();
    if (kinks.empty()) {
        towards_limb(0.0, length, nodes, 0);
        return sum;
    }
    auto plain = [&](double start, double width, int n, int cell) {
        sum += cell_panel(primitive, cell, n, start, width, quadrature::EndMap::kNone, values);
    };
    for_each_cell(kinks, length, distance, map, on_limb, nodes, rule, centre_of, mu_at, x_at, plain,
                  towards_limb);
    return sum;
}

// mu along the rim of a circle for gamma in [gamma_lo, gamma_hi] within [0, pi] (gamma from the
// rim point farthest from S), in x = gamma_hi - gamma so that the end nearest the limb is
// x = gamma_hi - gamma_lo: with half = sin(gamma/2), mu^2 = A + 4 z p half^2, A = 1 - (z + p)^2.
// `distance` is how far (in x beyond the far end) mu's nearest singularity lies, for grading
// the panels towards it; `on_limb`: the end gamma_lo is a limb crossing.
struct RimMuMap {
    RimMuMap(const RimShape& shape, double gamma_lo, double gamma_hi_, bool on_limb)
        : a(shape.a), four_zp(shape.four_zp), gamma_hi(gamma_hi_) {
        if (four_zp > 0.0) {
            if (a > 0.0) {
                // mu vanishes nowhere on the rim; its zeros lie off the real axis, at
                // gamma = +-i branch (the two terms are of order one: no overflow to guard).
                distance = std::sqrt(gamma_lo * gamma_lo + shape.branch * shape.branch);
            } else if (!on_limb) {
                // An end on the limb takes the end map; one just inside it is graded towards
                // the crossing beyond it.
                distance = std::max(gamma_lo - shape.crossing, 0.0);
            }
        }
    }

    double mu_at(double x) const {
        const double half = quadrature::sine_to_quarter_turn(0.5 * (gamma_hi - x));
        return std::sqrt(std::max(a + four_zp * half * half, 0.0));
    }

    // sin(gamma/2) at the nodes x.
    template <std::size_t N>
    std::array<double, N> halves(const std::array<double, N>& x) const {
        std::array<double, N> half_angle{};
        for (std::size_t i = 0; i < N; ++i) {
            half_angle[i] = 0.5 * (gamma_hi - x[i]);
        }
        return quadrature::sines_to_quarter_turn(half_angle);
    }

    // sin^2(gamma/2) and mu = sqrt(A + 4 z p sin^2(gamma/2)) from the sines at the nodes.
    template <std::size_t N>
    struct NodeMu {
        std::array<double, N> half_sq{};
        std::array<double, N> mu{};
    };
    template <std::size_t N>
    NodeMu<N> mu_of_halves(const std::array<double, N>& half) const {
        NodeMu<N> out;
        for (std::size_t i = 0; i < N; ++i) {
            out.half_sq[i] = half[i] * half[i];
        }
        for (std::size_t i = 0; i < N; ++i) {
            out.mu[i] = std::sqrt(std::max(a + four_zp * out.half_sq[i], 0.0));
        }
        return out;
    }

    double x_at(double mu) const {
        const double half_sq = (mu * mu - a) / four_zp;
        return gamma_hi - 2.0 * quadrature::arcsine_of_root(std::min(std::max(half_sq, 0.0), 1.0));
    }

    double a;
    double four_zp;
    double gamma_hi;
    double distance = kNoSingularity;
};

// The rim of `circle` for gamma in [gamma_lo, gamma_hi] within [0, pi] (gamma from the point
// farthest from S); `on_limb`: the end gamma_lo is a limb crossing.
template <typename P>
double rim_sub_piece(const closed_form::Circle& circle, const RimShape& shape, double gamma_lo,
                     double gamma_hi, bool on_limb, const P& primitive,
                     const QuadratureRule& rule) {
    const double z = circle.z;
    const double p = circle.p;
    const double zpp = z + p;
    const RimMuMap rim(shape, gamma_lo, gamma_hi, on_limb);
    const double distance = rim.distance;
    auto mu_at = [&](double x) { return rim.mu_at(x); };
    auto x_at = [&](double mu) { return rim.x_at(mu); };
    auto values = [&]<std::size_t N>(const std::array<double, N>& x, const auto& over_r2) {
        const auto [half_sq, mu] = rim.mu_of_halves(rim.halves(x));
        std::array<double, N> v{};
        for (std::size_t i = 0; i < N; ++i) {
            // p (p + z cos gamma), cos gamma = 1 - 2 sin^2(gamma/2).
            v[i] = over_r2(mu[i]) * (p * (zpp - 2.0 * z * half_sq[i]));
        }
        return v;
    };
    constexpr quadrature::EndMap map = rim_end_map<P>();
    const quadrature::PanelNodes& nodes =
        map == quadrature::EndMap::kSquare ? rule.rim_square : rule.rim_fourth;
    return monotone_piece(
        primitive, gamma_hi - gamma_lo, distance, map, on_limb, nodes, rule,
        [&] { return CentrePole::of_rim(shape, gamma_hi); }, mu_at, x_at, values);
}

// A whole half-rim of a circle inside the star, alpha from alpha0 to alpha0 + pi, as one panel
// of N nodes (cos0, sin0 those of alpha0): on it mu^2 = A + 2 z p (1 - cos alpha) never
// vanishes. Calls visit(weight, mu, cos alpha, sin alpha) at every node.
template <std::size_t N, typename Visit>
void visit_half_rim_panel(const closed_form::Circle& circle, double cos0, double sin0,
                          Visit&& visit) {
    const quadrature::HalfTurnNodes<N>& nodes = quadrature::kHalfTurnNodes<N>;
    const double zpp = circle.z + circle.p;
    const double a = (1.0 - zpp) * (1.0 + zpp);
    const double two_zp = 2.0 * circle.z * circle.p;
    for (std::size_t j = 0; j < N; ++j) {
        // alpha0 + delta_j by angle addition.
        const double cos_alpha = cos0 * nodes.cosine[j] - sin0 * nodes.sine[j];
        const double sin_alpha = sin0 * nodes.cosine[j] + cos0 * nodes.sine[j];
        const double mu = std::sqrt(std::max(a + two_zp * (1.0 - cos_alpha), 0.0));
        visit(nodes.weight[j], mu, cos_alpha, sin_alpha);
    }
}

// The same with n nodes, one of the counts half_rim_nodes chooses.
template <typename Visit>
void visit_half_rim(int n, const closed_form::Circle& circle, double cos0, double sin0,
                    Visit&& visit) {
    switch (n) {
        case 8:
            return visit_half_rim_panel<8>(circle, cos0, sin0, visit);
        case 12:
            return visit_half_rim_panel<12>(circle, cos0, sin0, visit);
        case 16:
            return visit_half_rim_panel<16>(circle, cos0, sin0, visit);
        case 20:
            return visit_half_rim_panel<20>(circle, cos0, sin0, visit);
        default:
            return visit_half_rim_panel<24>(circle, cos0, sin0, visit);
    }
}

// The fewest nodes of one panel over a whole half-rim inside the star, from the nearest
// singularity mu = 0 at alpha = 2 k pi +- i e, e = 2 asinh(sqrt(A/(4 z p))): n = resolution /
// ln(rho), rho of the Bernstein ellipse of the half-turn through it, and at least the rule's
// fewest. 0 where more than 24 would be needed (a rim close to the limb), which the graded
// sub-pieces take instead.
inline int half_rim_nodes(const closed_form::Circle& circle, double alpha0,
                          const QuadratureRule& rule) {
    const double z = circle.z;
    const double p = circle.p;
    const double zpp = z + p;
    const double four_zp = 4.0 * z * p;
    double wanted = rule.half_rim_fewest;
    if (four_zp > 0.0) {
        // z = 0: mu is constant along the rim. Otherwise the singularity's place w = x + i y
        // relative to the panel's centre, in half-lengths; the ellipse with foci -+1 through it
        // has semi-major axis (|w - 1| + |w + 1|)/2 = major, and rho = major + sqrt(major^2 - 1).
        const double e = 2.0 * std::asinh(std::sqrt((1.0 - zpp) * (1.0 + zpp) / four_zp));
        const double x = std::remainder(alpha0 + kHalfPi, kTwoPi) / kHalfPi;
        const double y = e / kHalfPi;
        const double major = 0.5 * (std::sqrt((x - 1.0) * (x - 1.0) + y * y) +
                                    std::sqrt((x + 1.0) * (x + 1.0) + y * y));
        const double rho = major + std::sqrt((major - 1.0) * (major + 1.0));
        // (A count that is not a number, where rounding puts the singularity on the panel,
        // stays one and sends the rim to the graded sub-pieces.)
        wanted = std::max(rule.half_rim_resolution / std::log(rho), wanted);
    }
    for (const int n : {8, 12, 16, 20, 24}) {
        if (wanted <= n) {
            return n;
        }
    }
    return 0;
}

// One rim arc, alpha = pi + u from pi + u_from to pi + u_to, cut where alpha passes a
// multiple of pi. On [2 n pi, (2n+1) pi] gamma = alpha - 2 n pi, on the next half turn
// gamma = (2n+2) pi - alpha; the integrand depends on gamma only.
template <typename P>
double rim_arc(const closed_form::Circle& circle, const closed_form::RimArc& arc,
               const P& primitive, const QuadratureRule& rule) {
    const double from = kPi + arc.u_from;
    const double to = kPi + arc.u_to;
    if (circle.kind == closed_form::RimKind::kInside && primitive.kinks().empty()) {
        // A whole half-rim inside the star: one panel, if few nodes do.
        const int n = half_rim_nodes(circle, from, rule);
        if (n > 0) {
            const double p = circle.p;
            const double z = circle.z;
            double sum = 0.0;
            // X x dX = p (p + z cos alpha) dalpha.
            visit_half_rim(n, circle, std::cos(from), std::sin(from),
                           [&](double weight, double mu, double cos_alpha, double /*sin_alpha*/) {
                               sum += weight * primitive.over_r2(0, mu) * (p * (p + z * cos_alpha));
                           });
            return sum;
        }
    }
    const RimShape shape = RimShape::of(circle, !primitive.kinks().empty());
    const double k0 = std::floor(from / kPi);
    double sum = 0.0;
    for (double k = k0 - 1.0; k <= k0 + 2.0; k += 1.0) {
        const double lo = std::max(from, k * kPi);
        const double hi = std::min(to, (k + 1.0) * kPi);
        if (!(lo < hi)) {
            continue;
        }
        if (std::fmod(std::fabs(k), 2.0) == 0.0) {
            // The far point at lo's end of the half turn.
            const double base = k * kPi;
            const bool on_limb = lo == from && arc.from_on_limb;
            sum += rim_sub_piece(circle, shape, lo - base, hi - base, on_limb, primitive, rule);
        } else {
            const double base = (k + 1.0) * kPi;
            const bool on_limb = hi == to && arc.to_on_limb;
            sum += rim_sub_piece(circle, shape, base - hi, base - lo, on_limb, primitive, rule);
        }
    }
    return sum;
}

// mu along the part of the line from |s| = s_in outwards, in x = |s| - s_in: mu = sqrt(b^2 - s^2).
struct ChordMuMap {
    ChordMuMap(const closed_form::Line& line, double s_in_) : b(line.b), s_in(s_in_) {}

    double mu_at(double x) const {
        const double s = s_in + x;
        return std::sqrt(std::max((b - s) * (b + s), 0.0));
    }

    double x_at(double mu) const { return std::sqrt(std::max((b - mu) * (b + mu), 0.0)) - s_in; }

    double b;
    double s_in;
};

// The nodes that take the part of the line with |s| from s_in to s_out in s itself, or 0 where
// it is taken in tau. In s, X x dX = h ds and mu = sqrt(b^2 - s^2) needs one square root per
// node where tau needs a cosine and the ends two arctangents; but the integrand then has a
// branch point at the chord's end s = b, b - s_out beyond the piece, so only a piece clear of
// the limb and resolved by at most rule.chord.mapped nodes goes in s (the pieces between the two
// radii of a planet inside the star, short and far from the limb, nearly always are).
inline int chord_nodes(const closed_form::Line& line, double s_in, double s_out, bool on_limb,
                       const QuadratureRule& rule) {
    if (on_limb || !(s_out < line.b)) {
        return 0;
    }
    const int nodes = quadrature::plain_nodes(rule.chord, line.b - s_out, s_out - s_in);
    return nodes <= rule.chord.mapped ? nodes : 0;
}

// The part of the line with |s| from s_in to s_out in s, with the nodes of chord_nodes.
template <typename P>
double chord_sub_piece(const closed_form::Line& line, double s_in, double s_out, int nodes,
                       const P& primitive, const QuadratureRule& rule) {
    const ChordMuMap chord(line, s_in);
    auto mu_at = [&](double x) { return chord.mu_at(x); };
    auto x_at = [&](double mu) { return chord.x_at(mu); };
    auto values = [&]<std::size_t N>(const std::array<double, N>& x, const auto& over_r2) {
        std::array<double, N> v{};
        for (std::size_t i = 0; i < N; ++i) {
            v[i] = over_r2(chord.mu_at(x[i]));
        }
        return v;
    };
    const double length = s_out - s_in;
    if (primitive.kinks().empty()) {
        return line.h *
               cell_panel(primitive, 0, nodes, 0.0, length, quadrature::EndMap::kNone, values);
    }
    return line.h * monotone_piece(
                        primitive, length, line.b - s_out, quadrature::EndMap::kNone, false,
                        rule.chord, rule, [&] { return CentrePole::of_chord(line, s_in); }, mu_at,
                        x_at, values);
}

// The part of the line with |s| from s_in to s_out (0 <= s_in < s_out <= b), integrated
// towards |s| increasing; `on_limb`: s_out is the chord's end.
template <typename P>
double line_sub_piece(const closed_form::Line& line, double s_in, double s_out, bool on_limb,
                      const P& primitive, const QuadratureRule& rule) {
    if (const int nodes = chord_nodes(line, s_in, s_out, on_limb, rule); nodes > 0) {
        return chord_sub_piece(line, s_in, s_out, nodes, primitive, rule);
    }
    const double b = line.b;
    auto tau_of = [&](double s) {
        return std::atan2(s, std::sqrt(std::max((b - s) * (b + s), 0.0)));
    };
    const double tau_in = tau_of(s_in);
    const double tau_out = on_limb ? kHalfPi : tau_of(s_out);
    constexpr bool mapped = line_needs_map<P>();
    // In tau the integrand is analytic but for sqrt(mu) at the limb, tau = pi/2; for primitives
    // analytic in mu the node count is sized as if a singularity lay a quarter turn beyond the
    // piece (the piece is at most that long).
    const double distance = !mapped ? kHalfPi : on_limb ? kNoSingularity : kHalfPi - tau_out;
    auto mu_at = [&](double x) { return b * std::cos(tau_in + x); };
    auto x_at = [&](double mu) {
        return std::atan2(std::sqrt(std::max((b - mu) * (b + mu), 0.0)), mu) - tau_in;
    };
    auto values = [&]<std::size_t N>(const std::array<double, N>& x, const auto& over_r2) {
        std::array<double, N> v{};
        for (std::size_t i = 0; i < N; ++i) {
            const double mu = b * std::cos(tau_in + x[i]);
            v[i] = over_r2(mu) * mu;
        }
        return v;
    };
    const quadrature::EndMap map = mapped ? quadrature::EndMap::kSquare : quadrature::EndMap::kNone;
    const quadrature::PanelNodes& nodes = mapped ? rule.line_square : rule.line;
    return line.h * monotone_piece(
                        primitive, tau_out - tau_in, distance, map, mapped && on_limb, nodes, rule,
                        [&] { return CentrePole::of_line(line, tau_in); }, mu_at, x_at, values);
}

// One piece of the line in its direction, cut at the foot s = 0.
template <typename P>
double segment(const closed_form::Line& line, const closed_form::Segment& piece, const P& primitive,
               const QuadratureRule& rule) {
    const double lo = std::min(piece.s_from, piece.s_to);
    const double hi = std::max(piece.s_from, piece.s_to);
    const bool forward = piece.s_to > piece.s_from;
    const bool lo_on_limb = forward ? piece.from_on_limb : piece.to_on_limb;
    const bool hi_on_limb = forward ? piece.to_on_limb : piece.from_on_limb;
    double sum = 0.0;
    if (hi > 0.0) {
        sum += line_sub_piece(line, std::max(lo, 0.0), hi, hi_on_limb, primitive, rule);
    }
    if (lo < 0.0) {
        sum += line_sub_piece(line, std::max(-hi, 0.0), -lo, lo_on_limb, primitive, rule);
    }
    return forward ? sum : -sum;
}

// The integral of F dphi around the boundary of (planet inside the star).
template <typename P>
double boundary_integral(const closed_form::Boundary& boundary, const P& primitive,
                         const QuadratureRule& rule = kRule) {
    double sum = primitive.at_limb() * boundary.limb;
    for (int i = 0; i < boundary.arc_count; ++i) {
        const closed_form::RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        sum +=
            rim_arc(boundary.circles[static_cast<std::size_t>(arc.circle)], arc, primitive, rule);
    }
    for (int i = 0; i < boundary.segment_count; ++i) {
        sum +=
            segment(boundary.line, boundary.segments[static_cast<std::size_t>(i)], primitive, rule);
    }
    return sum;
}

}  // namespace halfmoon::boundary_quadrature
