// Gauss-Legendre quadrature of a smooth function over one interval, with the two maps the
// boundary integrals of the exact engine need next to the stellar limb.
//
// Along a boundary piece that reaches the limb, mu = sqrt(1 - r^2) falls like the square root
// of the distance to the limb crossing, and an intensity law's primitive F(mu) then behaves
// like a fractional power of that distance. The end map x = L (1 - (1 - sigma)^k) has
// dx ~ (1 - sigma)^(k-1): with k = 2 it makes mu a smooth function of sigma at the end
// sigma = 1, with k = 4 it makes sqrt(mu) one.
//
// A piece that comes close to the limb without touching it has its singularity just off the
// interval, and plain Gauss-Legendre converges slowly there. Such a piece is cut into panels
// graded geometrically towards the end nearest the limb (each panel three times as long as the
// next one nearer the limb), down to a first panel about as long as the distance to the
// singularity, which takes the end map. Every panel then sees the singularity at a distance
// comparable with its own length, where Gauss-Legendre converges geometrically.
//
// The nodes are computed at compile time by Newton's iteration on the Legendre recurrence.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "core/constants.hpp"

namespace halfmoon::quadrature {

// Nodes in (-1, 1) and weights of the n-point Gauss-Legendre rule, and the nodes carried to
// (0, 1), sigma = (1 + node)/2.
template <std::size_t N>
struct GaussLegendre {
    std::array<double, N> nodes{};
    std::array<double, N> weights{};
    std::array<double, N> unit{};
};

namespace detail {

// cos(x) for |x| <= pi by its Taylor series: a starting guess for the nodes only.
constexpr long double taylor_cos(long double x) {
    long double term = 1.0L;
    long double sum = 1.0L;
    for (int k = 1; k < 40; ++k) {
        term *= -x * x / ((2.0L * k - 1.0L) * (2.0L * k));
        sum += term;
    }
    return sum;
}

// sin(x) for |x| <= pi by its Taylor series: for tables of fixed nodes.
constexpr long double taylor_sin(long double x) {
    long double term = x;
    long double sum = x;
    for (int k = 1; k < 40; ++k) {
        term *= -x * x / ((2.0L * k) * (2.0L * k + 1.0L));
        sum += term;
    }
    return sum;
}

// P_n(x) and P_n'(x) from the three-term recurrence.
constexpr void legendre(std::size_t n, long double x, long double& value, long double& slope) {
    long double p0 = 1.0L;
    long double p1 = x;
    for (std::size_t k = 2; k <= n; ++k) {
        const long double p2 = ((2.0L * k - 1.0L) * x * p1 - (k - 1.0L) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    value = n == 0 ? 1.0L : p1;
    slope = n * (x * p1 - p0) / (x * x - 1.0L);
}

// sinh(x) by its Taylor series (x up to about 10): node-count thresholds at compile time.
constexpr double taylor_sinh(double x) {
    long double term = x;
    long double sum = x;
    for (int k = 1; k < 60; ++k) {
        term *= static_cast<long double>(x) * x / ((2.0L * k) * (2.0L * k + 1.0L));
        sum += term;
    }
    return static_cast<double>(sum);
}

}  // namespace detail

template <std::size_t N>
constexpr GaussLegendre<N> make_gauss_legendre() {
    GaussLegendre<N> rule;
    for (std::size_t i = 0; i < N; ++i) {
        // Tricomi's first approximation of the i-th root, then Newton.
        long double x =
            detail::taylor_cos(3.14159265358979323846264338L * (i + 0.75L) / (N + 0.5L));
        long double value = 0.0L;
        long double slope = 1.0L;
        for (int step = 0; step < 12; ++step) {
            detail::legendre(N, x, value, slope);
            x -= value / slope;
        }
        detail::legendre(N, x, value, slope);
        rule.nodes[i] = static_cast<double>(x);
        rule.unit[i] = 0.5 * (1.0 + rule.nodes[i]);
        rule.weights[i] = static_cast<double>(2.0L / ((1.0L - x * x) * slope * slope));
    }
    return rule;
}

template <std::size_t N>
inline constexpr GaussLegendre<N> kGaussLegendre = make_gauss_legendre<N>();

// The N-point rule over an interval of length pi, as offsets delta_j from its start: their
// cosines, sines and the weights (with the half-length pi/2 folded in). A rim wholly inside
// the star is two half-turns of fixed length, so its nodes follow from the start's cosine and
// sine by angle addition, without a trigonometric call per node.
template <std::size_t N>
struct HalfTurnNodes {
    std::array<double, N> cosine{};
    std::array<double, N> sine{};
    std::array<double, N> weight{};
};

template <std::size_t N>
constexpr HalfTurnNodes<N> make_half_turn_nodes() {
    const GaussLegendre<N> rule = make_gauss_legendre<N>();
    constexpr long double kHalfTurn = 3.14159265358979323846264338L;
    HalfTurnNodes<N> out;
    for (std::size_t j = 0; j < N; ++j) {
        const long double delta = 0.5L * kHalfTurn * (1.0L + rule.nodes[j]);
        // cos(delta) = -sin(delta - pi/2) keeps the series' argument within pi/2.
        out.cosine[j] = static_cast<double>(-detail::taylor_sin(delta - 0.5L * kHalfTurn));
        out.sine[j] = static_cast<double>(detail::taylor_sin(delta));
        out.weight[j] = static_cast<double>(0.5L * kHalfTurn * rule.weights[j]);
    }
    return out;
}

template <std::size_t N>
inline constexpr HalfTurnNodes<N> kHalfTurnNodes = make_half_turn_nodes<N>();

// sin(x) for 0 <= x <= pi/2: x + x u P(u), u = x^2, with P of degree 7 fitted (weighted least
// squares on Chebyshev nodes, 50 digits) to (sin(x)/x - 1)/u. The fit's relative error is below
// 6e-18 over the range, so the result is within about one rounding of sin(x). P is evaluated by
// Estrin's scheme: pairs of coefficients in parallel, joined with u^2 and u^4, a chain about half
// as long as Horner's. The rim nodes need no argument reduction, and a panel's nodes go through
// it side by side (sines_to_quarter_turn), in the vector registers where the target has them.
inline double sine_to_quarter_turn(double x) {
    constexpr double kC[8] = {-0.16666666666666666,    0.00833333333333321,
                              -0.00019841269841214533, 2.7557319212021904e-06,
                              -2.5052106951355734e-08, 1.6058943534108974e-10,
                              -7.64308811092882e-13,   2.7221623441283363e-15};
    const double u = x * x;
    const double u2 = u * u;
    const double u4 = u2 * u2;
    const double low = (kC[0] + kC[1] * u) + (kC[2] + kC[3] * u) * u2;
    const double high = (kC[4] + kC[5] * u) + (kC[6] + kC[7] * u) * u2;
    return x + (x * u) * (low + high * u4);
}

// asin(sqrt(w)) for 0 <= w <= 1, the half-angle gamma/2 of a rim point from sin^2(gamma/2) (a
// tabulated profile's cells end where the rim meets a kink circle, one such angle per kink). With
// y = sqrt(w): for y <= 1/2, asin(y) = y + y w R(w); above, asin(y) = pi/2 - 2 asin(s) with
// s^2 = (1 - y)/2 <= 1/4, the same series at s. R, of degree 11, is interpolated (50 digits, at
// Chebyshev nodes of [0, 1/4]) to (asin(sqrt v)/sqrt(v) - 1)/v, within 6e-17 of it; the result
// is within 6 ulp of the library's asin(sqrt(w)), and no branch: both square roots are taken.
inline double arcsine_of_root(double w) {
    constexpr double kC[12] = {0.1666666666666665,   0.07500000000020764,   0.044642857103423646,
                               0.03038194736709848,  0.02237204763174451,   0.017355259955786323,
                               0.013929652902326633, 0.011875494382636922,  0.0078029494773533175,
                               0.01603551434914882,  -0.010749050339697808, 0.028169218060881414};
    const double y = std::sqrt(w);
    const bool low = y <= 0.5;
    const double v = low ? w : 0.5 * (1.0 - y);
    const double s = low ? y : std::sqrt(v);
    const double v2 = v * v;
    const double v4 = v2 * v2;
    const double q0 = (kC[0] + kC[1] * v) + (kC[2] + kC[3] * v) * v2;
    const double q1 = (kC[4] + kC[5] * v) + (kC[6] + kC[7] * v) * v2;
    const double q2 = (kC[8] + kC[9] * v) + (kC[10] + kC[11] * v) * v2;
    const double angle = s + (s * v) * ((q0 + q1 * v4) + q2 * (v4 * v4));
    return low ? angle : kHalfPi - 2.0 * angle;
}

template <std::size_t N>
std::array<double, N> sines_to_quarter_turn(const std::array<double, N>& x) {
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = sine_to_quarter_turn(x[i]);
    }
    return out;
}

// How the end nearest the limb is mapped: not at all, or with (1 - sigma)^k, k = 2 or 4.
enum class EndMap { kNone = 0, kSquare = 2, kFourth = 4 };

// The N-point rule over x in [0, length] under the end map at x = length,
// x = length (1 - (1 - sigma)^k) for sigma in [0, 1]: the nodes, and the weights with the map's
// Jacobian k (1 - sigma)^(k-1) but without the half-length, which multiplies the sum once.
template <std::size_t N>
struct MappedNodes {
    std::array<double, N> x{};
    std::array<double, N> weight{};
};

template <std::size_t N>
MappedNodes<N> mapped_nodes(double length, EndMap map) {
    const GaussLegendre<N>& rule = kGaussLegendre<N>;
    const int k = static_cast<int>(map);
    MappedNodes<N> out;
    for (std::size_t i = 0; i < N; ++i) {
        const double sigma = rule.unit[i];
        if (k == 0) {
            out.x[i] = length * sigma;
            out.weight[i] = rule.weights[i];
            continue;
        }
        const double rest = 1.0 - sigma;
        const double rest_k1 = k == 2 ? rest : rest * rest * rest;
        out.x[i] = length * (1.0 - rest_k1 * rest);
        out.weight[i] = rule.weights[i] * (k * rest_k1);
    }
    return out;
}

// f(std::integral_constant<std::size_t, N>) for the rule of `nodes` points among those the
// engine uses (32 for any other count).
template <typename F>
decltype(auto) with_node_count(int nodes, F&& f) {
    switch (nodes) {
        case 4:
            return f(std::integral_constant<std::size_t, 4>{});
        case 6:
            return f(std::integral_constant<std::size_t, 6>{});
        case 8:
            return f(std::integral_constant<std::size_t, 8>{});
        case 10:
            return f(std::integral_constant<std::size_t, 10>{});
        case 12:
            return f(std::integral_constant<std::size_t, 12>{});
        case 16:
            return f(std::integral_constant<std::size_t, 16>{});
        case 20:
            return f(std::integral_constant<std::size_t, 20>{});
        case 24:
            return f(std::integral_constant<std::size_t, 24>{});
        default:
            return f(std::integral_constant<std::size_t, 32>{});
    }
}

// Node counts: a fixed count for the panel that takes the end map, and for panels without it a
// count from the distance of the nearest singularity. For a singularity at a distance d beyond
// the end of a panel of width w, Gauss-Legendre's error falls like rho^(-2n), with
// rho = x + sqrt(x^2 - 1), x = 1 + 2 d / w, the Bernstein ellipse through it; n = resolution /
// ln(rho), between `fewest` and 32.
struct PanelNodes {
    int mapped;
    double resolution;
    int fewest;
};

// The node counts of plain panels (with_node_count has a rule for each), increasing.
inline constexpr std::array<int, 9> kPlainCounts = {4, 6, 8, 10, 12, 16, 20, 24, 32};

// The fewest nodes of a rule the engine has (with_node_count) that are at least `wanted`.
inline int supported_nodes(double wanted) {
    for (std::size_t i = 0; i + 1 < kPlainCounts.size(); ++i) {
        if (wanted <= kPlainCounts[i]) {
            return kPlainCounts[i];
        }
    }
    return kPlainCounts.back();
}

inline int plain_nodes(const PanelNodes& nodes, double distance, double width) {
    const double x = 1.0 + 2.0 * distance / width;
    const double log_rho = std::log(x + std::sqrt((x - 1.0) * (x + 1.0)));
    const double wanted = nodes.resolution / log_rho;
    return supported_nodes(std::max(wanted, static_cast<double>(nodes.fewest)));
}

// The counts of plain_nodes decided by comparisons alone: resolution / acosh(1 + 2 d / w) <= n
// exactly where d >= w sinh^2(resolution / (2 n)). The ratios are worked out once per
// resolution, so that a panel's count costs a few products where plain_nodes puts a division,
// a square root and a logarithm before the branch on the count (a tabulated profile's many
// cells each take one).
class NodeThresholds {
  public:
    explicit constexpr NodeThresholds(double resolution) : resolution_(resolution) {
        for (std::size_t i = 0; i < kPlainCounts.size(); ++i) {
            const double half_angle = resolution / (2.0 * kPlainCounts[i]);
            const double sh = std::is_constant_evaluated() ? detail::taylor_sinh(half_angle)
                                                           : std::sinh(half_angle);
            ratio_[i] = sh * sh;
        }
    }

    constexpr double resolution() const { return resolution_; }

    // The count, at least `fewest`, for a singularity `distance` beyond the end of a panel of
    // `width`.
    int nodes(double distance, double width, int fewest) const {
        for (std::size_t i = 0; i + 1 < kPlainCounts.size(); ++i) {
            if (kPlainCounts[i] >= fewest && distance >= width * ratio_[i]) {
                return kPlainCounts[i];
            }
        }
        return kPlainCounts.back();
    }

  private:
    double resolution_;
    std::array<double, kPlainCounts.size()> ratio_{};
};

// Ratio of consecutive panel lengths, and the most panels one piece is cut into: the smallest
// panel is then 3^-19 (about 1e-9) of the piece, and what the integral gathers beyond it is of
// the order of its length to the power 3/2 (the worst primitive falls like the square root of
// the distance to the limb), below 1e-13 of the piece's integral.
inline constexpr double kPanelRatio = 3.0;
inline constexpr int kMaxPanels = 20;

// The panels that take x in [0, length], whose integrand's nearest singularity lies at about
// `distance` beyond the end x = length. On a piece that ends on the limb (`on_limb`) the
// integrand has a branch point at that end, which the end map removes; `distance` is then that
// of the next singularity. `reach` is the multiple of `distance` that the first panel spans;
// below it the piece is one panel, mapped only if it ends on the limb. Calls
// panel(start, width, nodes, map) for each, from the end nearest the limb inwards.
template <typename Panel>
void for_each_panel_towards_limb(double length, double distance, EndMap map, bool on_limb,
                                 double reach, const PanelNodes& nodes, Panel&& panel) {
    if (!(length > 0.0)) {
        return;
    }
    double first = reach * distance;
    if (!(first < length)) {
        if (on_limb) {
            panel(0.0, length, nodes.mapped, map);
        } else {
            panel(0.0, length, plain_nodes(nodes, distance, length), EndMap::kNone);
        }
        return;
    }
    // Panels [length - first R^j, length - first R^(j-1)], j = 1.., the last ending at 0.
    const double smallest = length * std::pow(kPanelRatio, 1 - kMaxPanels);
    first = std::max(first, smallest);
    panel(length - first, first, nodes.mapped, map);
    double near_end = length - first;  // panels cover [near_end, length] so far
    double width = first * (kPanelRatio - 1.0);
    while (near_end > 0.0) {
        // The last panel takes all that is left once that is at most half a panel more.
        const double this_width = near_end <= 1.5 * width ? near_end : width;
        const double start = near_end - this_width;
        panel(start, this_width, plain_nodes(nodes, distance + (length - near_end), this_width),
              EndMap::kNone);
        near_end = start;
        width *= kPanelRatio;
    }
}

}  // namespace halfmoon::quadrature
