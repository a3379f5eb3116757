// Exact blocked flux of a two-half-disc planet in front of a star with a quadratic (or linear,
// or uniform) limb-darkening law.
//
// Frame: lengths in stellar radii, the star is the unit disc about S = (0, 0), the planet's
// centre is P = (z, 0) with z >= 0. The dividing line passes through P with direction
// e = (cos theta, sin theta). Half 1 (radius p1) is the part of the disc |X - P| <= p1 left of
// the line, e x (X - P) >= 0; half 2 (radius p2) is the part of |X - P| <= p2 right of it.
// Any real theta is accepted.
//
// Method. With mu = sqrt(1 - r^2) the intensity is I = c0 + c1 mu + c2 mu^2 (c0 = 1 - u1 - u2,
// c1 = u1 + 2 u2, c2 = -u2). For a radial integrand g(r) and F' = r g, F(0) = 0, the field
// X F(r)/r^2 has divergence g and is regular at S, so by Green's theorem
//
//     integral over R of g dA = closed integral over dR of F(r)/r^2 (X x dX),
//
// where R is the part of the planet inside the star, traversed counter-clockwise. The three
// moments S_k use F_0 = r^2/2, F_1 = (1 - mu^3)/3 and F_2 = r^2/2 - r^4/4 (the last for
// mu^2 = 1 - r^2), and the blocked fraction is D = (c0 S0 + c1 S1 + c2 S2) / N with
// N = pi (1 - u1/3 - u2/6).
//
// The boundary of R is made of: the rims of the two half-discs inside the star, the two pieces
// of the dividing line between radius p2 and radius p1 from P inside the star, and the arcs of
// the limb inside the planet. Every piece is found as an overlap of intervals whose ends move
// continuously with the parameters, so at each change of topology (a rim or a line end touching
// the limb, the line touching the limb, p2 passing p1, theta passing a half turn) pieces shrink
// to zero length instead of appearing or vanishing with a jump; no midpoint tests are made.
//
// Rim integrals are elementary in S0 and S2. In S1 they split into the polar angle swept about
// S (elementary) and an elliptic part written with Carlson's symmetric integrals. The elliptic
// part is integrated from the rim point where a substitution angle psi vanishes: the rim point
// nearest S for a rim that crosses the limb ("near form"), the farthest point for a circle
// wholly inside the star ("far form"). The far form needs, once per planet, the complete
// integral over half a turn of psi.
//
// Range of the moments: radii 0 <= p < 1/2. A rim crossing the limb with p >= 1/2 may pass
// through S, where the near form's third-kind term would need another reduction; the engine
// integrates such planets by quadrature along the same pieces (boundary_quadrature.hpp). The
// enumeration of the pieces (planet_boundary) holds for every radius, a circle holding the
// whole star included.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>

#include "core/carlson.hpp"
#include "core/cel.hpp"
#include "core/constants.hpp"
#include "core/lanes.hpp"
#include "core/laws.hpp"
#include "core/quadrature.hpp"

namespace halfmoon::closed_form {
// Largest radius the closed form handles (exclusive).
inline constexpr double kMaxRadius = 0.5;
// A circle inside the star that touches the limb from within has A = 1 - (z+p)^2 -> 0, where
// R_F, R_D and R_J diverge like log(1/A) with cancelling coefficients; A is kept above this
// floor, which costs about A log(1/A) in the result.
inline constexpr double kMinA = 1e-24;
// A radius below this has a rim whose moments underflow; it counts as absent.
inline constexpr double kMinRadius = 1e-100;
// |z - p| below this fraction of z + p: the rim passes through S as far as doubles can tell
// (the ratio's square would underflow).
inline constexpr double kThroughCentre = 1e-150;
// A crossing rim with 4 z p / (z - p)^2 above this passes close to S (possible only for radii
// above about 0.32): its third-kind term is rewritten (see Circle).
inline constexpr double kNearCentreRatio = 8.0;

// A planet inside the star takes its swept polar angle from the winding of its boundary
// (line_angles_s1) only while each rim keeps ((z-p)/(z+p))^2 above this: closer to S the rims'
// own angles and the elliptic parts they pair with agree in their rounding, and the winding
// alone was measured to lose up to 5e-15 there (3e-16 above it).
inline constexpr double kWindingMinEta = 1e-3;

// Divisions by 3 and 9 as products with their reciprocals (a rounding each, no division).
inline constexpr double kThird = 1.0 / 3.0;
inline constexpr double kNinth = 1.0 / 9.0;

// The three boundary moments S0, S1, S2.
struct Moments {
    double s0 = 0.0;
    double s1 = 0.0;
    double s2 = 0.0;

    Moments& operator+=(const Moments& other) {
        s0 += other.s0;
        s1 += other.s1;
        s2 += other.s2;
        return *this;
    }
};

inline Moments operator+(Moments a, const Moments& b) {
    return a += b;
}
inline Moments operator-(const Moments& a, const Moments& b) {
    return Moments{a.s0 - b.s0, a.s1 - b.s1, a.s2 - b.s2};
}

// atan2(y, x) from one atan of y/x and its quadrant: libm's atan costs about half its atan2
// (measured), and the division's rounding moves the angle by at most half an ulp of it. Signed
// zeros and infinities follow atan2; both arguments zero go to atan2 itself.
[[gnu::always_inline]] inline double angle_of(double y, double x) {
    if (x > 0.0) {
        return std::atan(y / x);
    }
    if (x < 0.0) {
        const double half_turn = std::signbit(y) ? -kPi : kPi;
        return std::atan(y / x) + half_turn;
    }
    if (y != 0.0) {
        return y > 0.0 ? kHalfPi : -kHalfPi;
    }
    return std::atan2(y, x);
}

// Reduces an angle into [-pi, pi). Within a turn and a half of zero one subtraction or
// addition of 2 pi does it, exactly (Sterbenz: the operands are within a factor two), and gives
// what the IEEE remainder gives, without its cost.
inline double wrap_angle(double angle) {
    if (angle >= -kPi && angle < kPi) {
        return angle;
    }
    if (angle >= kPi && angle - kTwoPi < kPi) {
        return angle - kTwoPi;
    }
    if (angle < -kPi && angle >= -3.0 * kPi) {
        return angle + kTwoPi;
    }
    const double r = std::remainder(angle, kTwoPi);
    return r >= kPi ? r - kTwoPi : r;
}

// ----------------------------------------------------------------------------------------
// The limb
// ----------------------------------------------------------------------------------------

// Angular length of the intersection of two arcs of the unit circle, given by centre and
// half-width (each half-width in [0, pi]). The second arc is moved to within a half turn of the
// first; then it and its copies one turn either side cover every overlap.
inline double arc_overlap(double centre1, double half1, double centre2, double half2) {
    const double c2 = centre1 + wrap_angle(centre2 - centre1);
    const double lo1 = centre1 - half1;
    const double hi1 = centre1 + half1;
    double total = 0.0;
    for (const double shift : {-kTwoPi, 0.0, kTwoPi}) {
        const double lo = std::max(lo1, c2 - half2 + shift);
        const double hi = std::min(hi1, c2 + half2 + shift);
        total += std::max(0.0, hi - lo);
    }
    return total;
}

// On the limb r = 1 and X x dX = dphi: each moment is F_k(1) times the angle covered.
inline Moments limb_moments(double angle) {
    return Moments{angle / 2.0, angle / 3.0, angle / 4.0};
}

// ----------------------------------------------------------------------------------------
// The dividing line
// ----------------------------------------------------------------------------------------

// Points of the line are X = P + t e. With s = t + z cos(theta) (measured from the foot of the
// perpendicular from S) and h = z sin(theta) (the line's signed distance from S), r^2 = h^2 + s^2
// and X x dX = h ds. The chord inside the star is |s| <= b = sqrt(1 - h^2).
struct Line {
    double h;
    double b;
};

// Antiderivatives in s of the three moments along the line, at one s with |s| <= b.
inline Moments line_primitive(const Line& line, double s) {
    const double h = line.h;
    const double b = line.b;
    // mu on the line; exactly 0 at a chord end, the same value every term below sees.
    const double w = std::sqrt((b - std::fabs(s)) * (b + std::fabs(s)));
    // atan(s/h) - atan(s/(h w)) in one regular expression (the two arguments share their
    // sign, and w - 1 = -r^2/(1 + w)); it vanishes for a line through S and at s = 0.
    const double r2 = h * h + s * s;
    const double t = s == 0.0 ? 0.0 : std::atan(-s * h * r2 / ((1.0 + w) * (h * h * w + s * s)));
    // h (1 - mu^3)/(3 r^2) integrated: the arcsine asin(s/b) is written atan2(s, w) so that a
    // chord end sees w = 0 exactly.
    const double s1 = (t + h * (1.0 + b * b / 2.0) * std::atan2(s, w) + h * s * w / 2.0) / 3.0;
    const double s0 = h * s / 2.0;
    const double s2 = h * ((0.5 - h * h / 4.0) * s - s * s * s / 12.0);
    return Moments{s0, s1, s2};
}

// One piece of the line, from s_from to s_to, already clipped to the chord; an end that the
// clipping put on the chord's end (the limb) says so.
struct Segment {
    double s_from;
    double s_to;
    bool from_on_limb;
    bool to_on_limb;
};

// Clips the piece of the line from s_from to s_to (either order) to the chord |s| <= b,
// keeping its direction. Nothing is left when it misses the chord.
inline std::optional<Segment> clip_segment(const Line& line, double s_from, double s_to) {
    const double lo = std::max(std::min(s_from, s_to), -line.b);
    const double hi = std::min(std::max(s_from, s_to), line.b);
    if (!(lo < hi)) {
        return std::nullopt;
    }
    const bool lo_on_limb = lo == -line.b;
    const bool hi_on_limb = hi == line.b;
    if (s_to > s_from) {
        return Segment{lo, hi, lo_on_limb, hi_on_limb};
    }
    return Segment{hi, lo, hi_on_limb, lo_on_limb};
}

// Moments of one clipped piece of the line, in its direction.
inline Moments segment_moments(const Line& line, const Segment& segment) {
    return line_primitive(line, segment.s_to) - line_primitive(line, segment.s_from);
}

// ----------------------------------------------------------------------------------------
// The rims
// ----------------------------------------------------------------------------------------

// Rim points are X(alpha) = P + p (cos alpha, sin alpha); they are indexed here by
// u = alpha - pi, so that u = 0 is the rim point nearest S. Half 1 is alpha in
// [theta, theta + pi], half 2 alpha in [theta + pi, theta + 2 pi].
enum class RimKind {
    kOutside,   // z - p >= 1: the circle misses the star
    kCovering,  // z - p <= -1: the circle holds the whole star, its rim is outside it
    kInside,    // z + p <= 1: the whole circle lies in the star (far form)
    kCrossing,  // the circle crosses the limb (near form)
};

// Everything about one circle that does not depend on where along the rim we are.
//
// Along the rim r^2 = z^2 + p^2 + 2 z p cos(alpha) and X x dX = (p^2 + z p cos alpha) dalpha.
// The elliptic part of S1 is J = integral of mu^3 (p^2 + z p cos alpha)/r^2 dalpha. With a signed
// radius q and angle psi (near form q = p, psi = (pi - alpha)/2; far form q = -p,
// psi = -alpha/2) one has r^2 = C + B sin^2 psi and mu^2 = A - B sin^2 psi with
// A = 1 - (z-q)^2, B = 4 z q, C = (z-q)^2, and J = H(psi(start)) - H(psi(end)) where
//
//   H(psi) = cf s R_F + cd s^3 R_D + cj s^3 R_J + ce s c sqrt(y),
//   s = sin psi, c = cos psi, y = mu^2/A = c^2 + kappa s^2, rho = r^2/C = c^2 + eta s^2,
//   R_F = R_F(c^2, y, 1), R_D = R_D(c^2, y, 1), R_J = R_J(c^2, y, 1, rho),
//
// from the Legendre forms of the integrals of mu^3, mu, 1/mu and 1/(r^2 mu) over psi.
//
// The last of these is Pi(n) = s R_F + (n/3) s^3 R_J with n = -B/C. For a crossing rim that
// passes close to S, -n is large and the two terms cancel, losing about sqrt(-n) in relative
// accuracy (1e-13 at radius 0.495, 5e-9 at 0.5 - 1e-8). There it is rewritten by the
// Pi(n) <-> Pi(m/n) transformation, m = B/A, m/n = -C/A:
//
//   Pi(n) = (C/(3A)) s^3 R_J(c^2, y, 1, rho') + s R_C(c^2 y, rho rho'),  rho' = 1 + (C/A) s^2,
//
// whose terms share one sign. H then reads
//   cf' s R_F + cd s^3 R_D + cj' s^3 R_J(.., rho') + cc s R_C(c^2 y, rho rho') + ce s c sqrt(y).
struct Circle {
    RimKind kind = RimKind::kOutside;
    double z = 0.0;
    double p = 0.0;
    double kappa = 0.0;     // (1 - (z+q)^2) / A
    double eta = 0.0;       // (z+q)^2 / (z-q)^2
    double root_eta = 0.0;  // |z+q| / |z-q|
    double v = 0.0;         // far form: the third-kind defect's v (half_turn_excess)
    double lambda = 0.0;    // (p - z)/(p + z): G = atan(lambda tan(alpha/2)) in the swept angle
    double winding = 0.0;   // sign of p - z: the swept angle gains 2 pi per turn when S is inside
    double cf = 0.0;
    double cd = 0.0;
    double cj = 0.0;
    double ce = 0.0;
    bool with_rj = false;      // cj != 0 (not for z = 0 or z = p)
    bool near_centre = false;  // crossing rim close to S: the rewritten third-kind term
    double cc = 0.0;           // its R_C coefficient
    double c_over_a = 0.0;     // its C/A
    double window = 0.0;       // crossing rim: inside the star for |u| <= window (mod 2 pi)
    double limb_half = 0.0;    // crossing rim: the limb inside the circle is |phi| <= limb_half
    // Crossing rim: sin and cos of psi at its limb crossings, psi = -+window/2 (sin^2 = A/B).
    double limb_sine = 0.0;
    double limb_cosine = 1.0;
    // The Legendre parameters m = B/A and n = -B/C of the elliptic part.
    double m = 0.0;
    double n = 0.0;
    // A^(3/2) and K/C (K as used: 0 for the rim through S).
    double a_root3 = 0.0;
    double k_over_c = 0.0;
};

// What H's coefficients and the far form's whole half-rims need of a circle, given A, B,
// K = p^2 - z^2 and z -+ q, for either form; lane by lane for V = lanes::Pair.
template <class V>
struct RimCoefficients {
    V kappa;
    V eta;
    V root_eta;
    V v;
    V cf;
    V cd;
    V cj;
    V ce;
    V m;
    V n;
    V a_root3;
    V k_over_c;
    // sqrt(A), and reciprocals the rewritten third-kind term of a rim close to S takes.
    V root_a;
    V inv_a;
    V inv_root_a;
    V inv_a_root3;
    V inv_c;
};

template <class V>
[[gnu::always_inline]] inline RimCoefficients<V> rim_coefficients(V a, V b, V k, V z_minus_q,
                                                                  V z_plus_q) {
    // C = (z - q)^2 through the reciprocal of its root.
    const V inv_root_c = 1.0 / z_minus_q;
    const V ratio = z_plus_q * inv_root_c;
    const V root_a = lanes::sqrt(a);
    // One division for 1/A and 1/sqrt(A).
    const V inv_a_root3 = 1.0 / (a * root_a);
    const V inv_a = root_a * inv_a_root3;
    const V inv_root_a = a * inv_a_root3;
    const V inv_c = inv_root_c * inv_root_c;
    const V k_over_c = k * inv_c;
    const V root_eta = lanes::fabs(ratio);
    return RimCoefficients<V>{
        // kappa = (1 - (z+q)^2) / A, eta = ((z+q)/(z-q))^2.
        .kappa = (1.0 - z_plus_q) * (1.0 + z_plus_q) * inv_a,
        .eta = ratio * ratio,
        .root_eta = root_eta,
        // The third kind's defect of a whole half-rim (half_turn_excess): v = sqrt(n q (n - m)),
        // which with A + C = 1 is 4 z p |z - p| / ((z + p)^3 sqrt A).
        .v = -b * root_eta * inv_c * inv_root_a,
        // The 1/sqrt(A) terms of the coefficient of s R_F cancel because 1/C - 1 = A/C.
        .cf = root_a * (a - b * kThird - k + k_over_c),
        .cd = b * (2.0 * b - 4.0 * a + 3.0 * k) * inv_root_a * kNinth,
        // K B / C^2 as (K/C)(B/C), both at most 1 in size: C^2 underflows for z + q below
        // 1e-77, and the product of K B = 0 (z = 0) with an infinite 1/C^2 is not a number.
        .cj = -k_over_c * (b * inv_c) * inv_root_a * kThird,
        .ce = root_a * b * kThird,
        .m = b * inv_a,
        .n = -b * inv_c,
        .a_root3 = a * root_a,
        .k_over_c = k_over_c,
        .root_a = root_a,
        .inv_a = inv_a,
        .inv_root_a = inv_root_a,
        .inv_a_root3 = inv_a_root3,
        .inv_c = inv_c,
    };
}

// A circle wholly inside the star (z + p <= 1, p >= kMinRadius), far form q = -p: A =
// 1 - (z+p)^2 (floored at kMinA), B = -4 z p, C = (z+p)^2; z and z + p as given to make_circle.
template <class V>
struct FarCircle : RimCoefficients<V> {
    V z;
    double p;
    V winding;                 // sign of p - z (0 for the rim through S)
    lanes::MaskOf<V> with_rj;  // cj != 0 (not for z = 0 or z = p)
};

template <class V>
[[gnu::always_inline]] inline FarCircle<V> far_circle(V z, double p) {
    const V zpp = z + p;
    const V zmp = z - p;
    // The rim through S: K = 0 drops the third-kind term (infinite at the point on S) and the
    // swept angle takes its principal value, half a winding.
    const auto through_centre = lanes::fabs(zmp) < kThroughCentre * zpp;
    // K = p^2 - z^2 as a product: p^2 - z^2 loses all digits where the rim passes S.
    const V k = lanes::select(through_centre, 0.0, (p - z) * (p + z));
    const V winding = lanes::select(through_centre, 0.0,
                                    lanes::select(p > z, 1.0, lanes::select(p < z, -1.0, 0.0)));
    const V a = lanes::max_of((1.0 - zpp) * (1.0 + zpp), kMinA);
    const V b = -4.0 * z * p;
    // Built in place: the coefficients are many, and a copy of them cost measurably.
    FarCircle<V> circle{rim_coefficients(a, b, k, zpp, zmp), z, p, winding, {}};
    circle.with_rj = circle.cj != 0.0;
    return circle;
}

// The circle's fields that both forms take from the coefficients (the rest at their defaults).
inline Circle circle_of(RimKind kind, double z, double p, const RimCoefficients<double>& c) {
    return Circle{
        .kind = kind,
        .z = z,
        .p = p,
        .kappa = c.kappa,
        .eta = c.eta,
        .root_eta = c.root_eta,
        .v = c.v,
        .cf = c.cf,
        .cd = c.cd,
        .cj = c.cj,
        .ce = c.ce,
        .m = c.m,
        .n = c.n,
        .a_root3 = c.a_root3,
        .k_over_c = c.k_over_c,
    };
}

inline Circle make_circle(double z, double p) {
    // Both rounded once: every quantity below that locates the rim relative to the limb is
    // built from these same two numbers, so that a rim arc and a limb arc of rounding-level
    // length (z = 1 +- p) cancel.
    const double zpp = z + p;
    const double zmp = z - p;
    if (zmp >= 1.0 || !(p >= kMinRadius)) {
        return Circle{.kind = RimKind::kOutside, .z = z, .p = p};
    }
    if (zmp <= -1.0) {
        // The whole limb lies inside the circle (possible only for radii of one and more).
        return Circle{.kind = RimKind::kCovering, .z = z, .p = p, .limb_half = kPi};
    }
    if (zpp <= 1.0) {
        // Far form, q = -p: psi = 0 at the rim point farthest from S.
        const FarCircle<double> far = far_circle(z, p);
        Circle circle = circle_of(RimKind::kInside, z, p, far);
        circle.lambda = far.winding == 0.0 ? 0.0 : -(zmp * (1.0 / zpp));
        circle.winding = far.winding;
        circle.with_rj = far.with_rj;
        return circle;
    }
    // Near form, q = p: psi = 0 at the rim point nearest S, which is inside the star.
    const double k = (p - z) * (p + z);
    const double a = (1.0 - zmp) * (1.0 + zmp);
    const double b = 4.0 * z * p;
    RimCoefficients<double> c = rim_coefficients(a, b, k, zmp, zpp);
    // The rim meets the limb where mu = 0, sin^2 psi = A/B: psi = +-window/2.
    const double root_a = c.root_a;
    const double root_beyond = std::sqrt((zpp - 1.0) * (zpp + 1.0));
    const double inv_root_b = 1.0 / std::sqrt(b);
    // A crossing rim that passes close to S: K/(C sqrt(A)) Pi(n) with the transformed Pi, the
    // s R_F part leaving cf and the remaining terms taking their own coefficients. Here
    // z - p < p, so A > 3/4.
    const bool near_centre = b * c.inv_c > kNearCentreRatio;
    Circle circle = circle_of(RimKind::kCrossing, z, p, c);
    if (near_centre) {
        circle.cf = root_a * (a - b / 3.0 - k) - k * c.inv_root_a;
        circle.cj = k * c.inv_a_root3 * kThird;
        circle.cc = k * c.inv_c * c.inv_root_a;
        circle.c_over_a = c.inv_a / c.inv_c;
    }
    circle.lambda = -zmp / zpp;
    circle.winding = p > z ? 1.0 : (p < z ? -1.0 : 0.0);
    circle.with_rj = circle.cj != 0.0;
    circle.near_centre = near_centre;
    circle.window = 2.0 * angle_of(root_a, root_beyond);
    circle.limb_half =
        2.0 * angle_of(std::sqrt((zpp - 1.0) * (1.0 - zmp)), std::sqrt((1.0 + zpp) * (1.0 + zmp)));
    circle.limb_sine = root_a * inv_root_b;
    circle.limb_cosine = root_beyond * inv_root_b;
    return circle;
}

// A weighted sum of values of H over the rim ends of one point. The elliptic integrals of all
// terms are evaluated together: their duplication sequences run side by side in one loop.
class EllipticSum {
  public:
    // Room for every end of one point: at most two arcs per half-rim, and a complete integral.
    static constexpr int kCapacity = 10;

    // Adds weight * H(psi), psi given by s = sin psi and c = cos psi (c >= 0). s = 1, c = 0 is
    // the complete integral H(pi/2). H(0) = 0.
    void add(const Circle& circle, double s, double c, double weight) {
        if (s == 0.0 || weight == 0.0) {
            return;
        }
        if (count_ == kCapacity) {
            flush();
        }
        const double cc = c * c;
        const double ss = s * s;
        // mu^2/A; next to the limb it is a difference of rounding size, but H vanishes like
        // mu^3 there and does not feel it.
        const double y = std::max(cc + circle.kappa * ss, 0.0);
        const double ws = weight * s;
        const double ws3 = ws * ss;
        x_[count_] = cc;
        y_[count_] = y;
        const double rho = cc + circle.eta * ss;  // r^2/C
        // Without a third-kind term the lane's R_J is not used; any positive p will do.
        p_[count_] = !circle.with_rj ? 1.0 : circle.near_centre ? 1.0 + circle.c_over_a * ss : rho;
        if (circle.near_centre) {
            elementary_ += circle.cc * ws * carlson::rc(cc * y, rho * (1.0 + circle.c_over_a * ss));
        }
        wf_[count_] = circle.cf * ws;
        wd_[count_] = circle.cd * ws3;
        wj_[count_] = circle.with_rj ? circle.cj * ws3 : 0.0;
        elementary_ += circle.ce * ws * c * std::sqrt(y);
        ++count_;
    }

    // The sum of all terms added so far.
    double total() {
        flush();
        return done_ + elementary_;
    }

  private:
    void flush() {
        double ones[kCapacity];
        carlson::SymmetricTriple r[kCapacity];
        std::fill(ones, ones + kCapacity, 1.0);
        carlson::rf_rd_rj_batch<kCapacity>(count_, x_, y_, ones, p_, r);
        for (int i = 0; i < count_; ++i) {
            done_ += wf_[i] * r[i].rf + wd_[i] * r[i].rd + wj_[i] * r[i].rj;
        }
        count_ = 0;
    }

    int count_ = 0;
    double x_[kCapacity] = {};
    double y_[kCapacity] = {};
    double p_[kCapacity] = {};
    double wf_[kCapacity] = {};
    double wd_[kCapacity] = {};
    double wj_[kCapacity] = {};
    double done_ = 0.0;
    double elementary_ = 0.0;
};

// One end of a rim arc: alpha, the continuous branch G of atan(lambda tan(alpha/2)), and the
// angle psi at which H is taken (psi = psi_r + k pi with |psi_r| <= pi/2; s, c of psi_r).
struct RimEnd {
    double sin_alpha;
    double cos_alpha;
    double g;
    double s;
    double c;
    double k;
};

// An end of a near-form arc at u in [-pi, pi] (in practice |u| <= window < pi): psi = -u/2,
// alpha = pi - 2 psi, alpha/2 = pi/2 - psi stays in (0, pi), so G needs no branch tracking.
inline RimEnd near_end(const Circle& circle, double u) {
    const double psi = -u / 2.0;
    const double s = std::sin(psi);
    const double c = std::cos(psi);
    return RimEnd{2.0 * s * c, (s - c) * (s + c), std::atan2(circle.lambda * c, s), s, c, 0.0};
}

// An end of a far-form arc at any u: psi = -(pi + u)/2 = k pi + psi_r with |psi_r| <= pi/2.
// The integrand of H depends on sin^2 psi only and H is odd, so H(psi) = H(psi_r) + 2 k H(pi/2).
// G and H share the same (s, c): near S both vary on the scale |z - p|, and only their
// combination in S1 is smooth there. G jumps by pi sgn(lambda) per half turn of psi: the winding
// of the rim about S.
inline RimEnd far_end(const Circle& circle, double u) {
    const double psi = -(kPi + u) / 2.0;
    const double k = std::nearbyint(psi / kPi);
    const double psi_r = psi - k * kPi;
    const double s = std::sin(psi_r);
    const double c = std::cos(psi_r);
    return RimEnd{-2.0 * s * c,
                  (c - s) * (c + s),
                  -k * kPi * circle.winding + std::atan2(-circle.lambda * s, c),
                  s,
                  c,
                  k};
}

// S0 and S2 of a rim arc along which alpha gains d_alpha, sin alpha changes by d_sin and
// sin 2 alpha by d_sin2: on the rim X x dX = (p^2 + z p cos alpha) dalpha, and F2/r^2 =
// e0 + e1 cos(alpha).
template <class V>
struct RimArcS0S2 {
    V s0;
    V s2;
};

template <class V>
[[gnu::always_inline]] inline RimArcS0S2<V> rim_arc_s0_s2(V z, double p, double d_alpha, V d_sin,
                                                          V d_sin2) {
    const V zp = z * p;
    const double pp = p * p;
    const V e0 = 0.5 - (z * z + pp) / 4.0;
    const V e1 = -zp / 2.0;
    return RimArcS0S2<V>{
        0.5 * (pp * d_alpha + zp * d_sin),
        e0 * pp * d_alpha + (e0 * zp + e1 * pp) * d_sin + e1 * zp * (d_alpha / 2.0 + d_sin2 / 4.0)};
}

// Moments of the rim arc between two ends, traversed with alpha increasing by d_alpha, except
// for the elliptic part of S1 (-J/3).
inline Moments rim_arc_elementary(const Circle& circle, const RimEnd& from, const RimEnd& to,
                                  double d_alpha) {
    // Change of sin alpha and of sin 2 alpha.
    const double d_sin = to.sin_alpha - from.sin_alpha;
    const double d_sin2 = 2.0 * (to.sin_alpha * to.cos_alpha - from.sin_alpha * from.cos_alpha);
    const RimArcS0S2<double> arc = rim_arc_s0_s2(circle.z, circle.p, d_alpha, d_sin, d_sin2);
    // S1 = (swept polar angle - J)/3, the swept angle being d_alpha/2 + dG.
    return Moments{arc.s0, (d_alpha / 2.0 + (to.g - from.g)) / 3.0, arc.s2};
}

// The whole rim arc: the elliptic part -J = H(end) - H(start), whole half turns of psi
// included, goes into `elliptic`, whose total the caller adds to S1 after dividing it by 3.
inline Moments rim_arc(const Circle& circle, const RimEnd& from, const RimEnd& to, double d_alpha,
                       EllipticSum& elliptic) {
    elliptic.add(circle, to.s, to.c, 1.0);
    elliptic.add(circle, from.s, from.c, -1.0);
    elliptic.add(circle, 1.0, 0.0, 2.0 * (to.k - from.k));
    return rim_arc_elementary(circle, from, to, d_alpha);
}

// One arc of a rim inside the star, u increasing from u_from to u_to. For a crossing circle
// u is taken about the window it lies in (|u| <= window), and an end that the window put on
// the limb says so; for a circle inside the star u is as given.
//
// An end on the line lies at u = u0 + j pi (u0 where half 1 begins, j the end's half turns from
// it, less two about the window at 2 pi): its sine and cosine of psi follow from those of half
// the line's angle (rim_end_on_line).
struct RimArc {
    int circle;  // 0: circle 1 (half 1), 1: circle 2 (half 2)
    double u_from;
    double u_to;
    bool from_on_limb;
    bool to_on_limb;
    int from_turns;
    int to_turns;
};

// sin and cos of half the reduced angle theta' in [0, 2 pi) of the direction (along, across) /
// length, length = |(along, across)| > 0 (not checked): the half-angle formulas
// cos^2(theta'/2) = (1 + cos theta)/2 and sin^2(theta'/2) = (1 - cos theta)/2, each taken by its
// square root where it is at least 1/2 and the other from sin(theta) = 2 sin(theta'/2)
// cos(theta'/2), so that nothing cancels. theta'/2 lies beyond a quarter turn exactly where
// sin(theta) < 0. Lane by lane for a packed V.
template <class V>
struct HalfAngle {
    V sine;
    V cosine;
};

template <class V>
[[gnu::always_inline]] inline HalfAngle<V> half_angle_of_vector(V along, V across, V length) {
    const V inv_twice = 0.5 / length;
    const auto forward = along >= 0.0;
    const V root = lanes::sqrt(lanes::select(forward, length + along, length - along) * inv_twice);
    const V other = lanes::select(forward, lanes::fabs(across), across) * inv_twice / root;
    return HalfAngle<V>{lanes::select(forward, other, root),
                        lanes::select(forward, lanes::select(across < 0.0, -root, root), other)};
}

// The dividing line's direction e relative to S -> P, held as half its angle: theta reduced to
// theta' in [0, 2 pi), and sin, cos of theta'/2 (the sine >= 0), from which sin(theta) and
// cos(theta) follow by the double-angle formulas. A planet inside the star needs nothing more;
// the angle itself (`start`, the rim angle u0 = theta' - pi where half 1 begins) is needed only
// where a rim meets the limb, or by the quadrature's rim arcs, and a direction given as a
// vector works it out only then.
struct LineDirection {
    double half_sine = 0.0;
    double half_cosine = 1.0;
    bool has_start = true;
    double start = -kPi;
    // Unreduced theta for the limb's arcs, where known (any angle congruent to it will do).
    double angle = 0.0;

    // From the angle theta (finite for a usable direction).
    static LineDirection of_angle(double theta) {
        const double u0 = wrap_angle(theta - kPi);
        const double half = 0.5 * (u0 + kPi);
        return LineDirection{std::sin(half), std::cos(half), true, u0, theta};
    }

    // From e = (along, across) / length, length = |(along, across)| > 0 (not checked), by
    // half_angle_of_vector.
    [[gnu::always_inline]] static LineDirection of_vector(double along, double across,
                                                          double length) {
        const HalfAngle<double> half = half_angle_of_vector(along, across, length);
        return of_half_angle(half.sine, half.cosine);
    }

    // From the sine and cosine of half the reduced angle alone.
    static LineDirection of_half_angle(double half_sine, double half_cosine) {
        return LineDirection{half_sine, half_cosine, false, std::nan(""), std::nan("")};
    }

    bool valid() const { return std::isfinite(half_sine) && std::isfinite(half_cosine); }

    // The same direction with its angle worked out.
    LineDirection with_start() const {
        if (has_start) {
            return *this;
        }
        const double reduced = 2.0 * angle_of(half_sine, half_cosine);  // theta' in [0, 2 pi]
        return LineDirection{half_sine, half_cosine, true, reduced - kPi, reduced};
    }
};

// The boundary of (planet inside the star) at one point, piece by piece: what both the closed
// form and the quadrature of the boundary integrals work from.
//
// Only the first arc_count arcs and segment_count segments are set (the arrays are left
// uninitialised: the boundary is built once per point, and filling them cost measurably).
struct Boundary {
    // The circles of radii p1 and p2 at separation z, made in place; no pieces yet.
    Boundary(double z_, double theta_, double p1, double p2)
        : z(z_), theta(theta_), circles{make_circle(z_, p1), make_circle(z_, p2)} {}

    double z = 0.0;
    double theta = 0.0;
    std::array<Circle, 2> circles;
    // At most two arcs per half-rim.
    std::array<RimArc, 4> arcs;
    int arc_count = 0;
    Line line{0.0, 0.0};
    std::array<Segment, 2> segments;
    int segment_count = 0;
    // Angle of the limb that lies inside the planet.
    double limb = 0.0;
    // The line's signed distance from S, z sin(theta), whether or not the line meets the star:
    // S lies on the side of half 1 for h >= 0.
    double h = 0.0;
    // sin and cos of half the line's angle reduced to [0, 2 pi): theta' / 2 in [0, pi), from
    // which the far-form ends of whole half-rims follow (theta' = u0 + pi).
    double half_sine = 0.0;
    double half_cosine = 1.0;

    // sin(theta) and cos(theta) from those of theta'/2 by the double-angle formulas.
    double line_sine() const { return 2.0 * half_sine * half_cosine; }
    double line_cosine() const { return (half_cosine - half_sine) * (half_cosine + half_sine); }
};

// Adds the arcs of circle `index` with u in [lo, hi] (hi - lo <= pi) that lie inside the star;
// lo = u0 + j pi with j = first_turns.
inline void add_half_rim(Boundary& boundary, int index, double lo, double hi, int first_turns) {
    const Circle& circle = boundary.circles[static_cast<std::size_t>(index)];
    switch (circle.kind) {
        case RimKind::kOutside:
        case RimKind::kCovering:
            return;
        case RimKind::kInside:
            boundary.arcs[boundary.arc_count++] =
                RimArc{index, lo, hi, false, false, first_turns, first_turns + 1};
            return;
        case RimKind::kCrossing:
            break;
    }
    // The rim is inside the star for u in [-window, window] modulo 2 pi; a range within
    // [-pi, 3 pi) can only meet the windows about 0 and 2 pi.
    for (const double centre : {0.0, kTwoPi}) {
        const double a = std::max(lo, centre - circle.window);
        const double b = std::min(hi, centre + circle.window);
        if (a < b) {
            const int shift = centre == 0.0 ? 0 : 2;
            boundary.arcs[boundary.arc_count++] = RimArc{index,
                                                         a - centre,
                                                         b - centre,
                                                         a != lo,
                                                         b != hi,
                                                         first_turns - shift,
                                                         first_turns + 1 - shift};
        }
    }
}

// Whether a circle's rim meets the limb or holds the star: its arcs then depend on where along
// the rim the line cuts it.
inline bool meets_limb(const Circle& circle) {
    return circle.kind == RimKind::kCrossing || circle.kind == RimKind::kCovering;
}

// The pieces of the boundary for any radii (the closed form's moments take radii below
// kMaxRadius only; the pieces themselves are right for every radius). Without `with_angles` a
// rim wholly inside the star gets its arc without the angles of its ends (the closed form's
// whole half-rims work from the half-angle's sine and cosine alone); the quadrature asks for
// them.
inline Boundary planet_boundary(double z, LineDirection direction, double p1, double p2,
                                bool with_angles = true) {
    Boundary boundary(z, direction.angle, p1, p2);
    const auto& [first, second] = boundary.circles;
    const bool first_limb = meets_limb(first);
    const bool second_limb = meets_limb(second);
    if (with_angles || first_limb || second_limb) {
        direction = direction.with_start();
        boundary.theta = direction.angle;
    }
    // Half 1 is u in [u0, u0 + pi] on circle 1, half 2 u in [u0 + pi, u0 + 2 pi] on circle 2
    // (u0 is not a number where the angles were not asked for: no arc end is then read).
    const double u0 = direction.has_start ? direction.start : std::nan("");
    add_half_rim(boundary, 0, u0, u0 + kPi, 0);
    add_half_rim(boundary, 1, u0 + kPi, u0 + kTwoPi, 1);

    // The sine and cosine of half the reduced angle theta' = u0 + pi in [0, 2 pi) give those of
    // theta by the double-angle formulas.
    boundary.half_sine = direction.half_sine;
    boundary.half_cosine = direction.half_cosine;
    const double sine = boundary.line_sine();
    const double cosine = boundary.line_cosine();

    // The two pieces of the line that belong to the boundary: from P + p2 e to P + p1 e, and
    // from P - p1 e to P - p2 e (none for equal radii, nor for a line that misses the star).
    const double h = z * sine;
    boundary.h = h;
    if (p1 != p2 && std::fabs(h) < 1.0) {
        boundary.line = Line{h, std::sqrt((1.0 - h) * (1.0 + h))};
        const double foot = z * cosine;  // s of the planet's centre
        for (const auto& [from, to] :
             {std::pair{foot + p2, foot + p1}, std::pair{foot - p1, foot - p2}}) {
            if (const auto segment = clip_segment(boundary.line, from, to)) {
                boundary.segments[boundary.segment_count++] = *segment;
            }
        }
    }

    // Limb inside the planet: for each circle that crosses the limb or holds the star, the
    // limb inside it (centred on phi = 0) that lies on its half's side of the line. A limb point
    // at phi is left of the line when sin(phi - theta) + h >= 0: the arc about theta + pi/2 of
    // half-width pi/2 + asin(h).
    if (first_limb || second_limb) {
        const double theta = direction.angle;
        const double tilt = std::asin(std::max(-1.0, std::min(1.0, h)));
        if (first_limb) {
            boundary.limb += arc_overlap(0.0, first.limb_half, theta + kHalfPi, kHalfPi + tilt);
        }
        if (second_limb) {
            boundary.limb += arc_overlap(0.0, second.limb_half, theta - kHalfPi, kHalfPi - tilt);
        }
    }
    return boundary;
}

// The same for the line at angle theta from S -> P (any finite value).
inline Boundary planet_boundary(double z, double theta, double p1, double p2) {
    return planet_boundary(z, LineDirection::of_angle(theta), p1, p2);
}

// The closed-form moments of one rim arc; its elliptic part goes into `elliptic`.
inline Moments rim_arc_moments(const Circle& circle, const RimArc& arc, EllipticSum& elliptic) {
    const double d_alpha = arc.u_to - arc.u_from;
    if (circle.kind == RimKind::kInside) {
        return rim_arc(circle, far_end(circle, arc.u_from), far_end(circle, arc.u_to), d_alpha,
                       elliptic);
    }
    return rim_arc(circle, near_end(circle, arc.u_from), near_end(circle, arc.u_to), d_alpha,
                   elliptic);
}

// The moments of the whole boundary, in closed form (radii below kMaxRadius), every rim arc
// from the values of G and H at its two ends.
inline Moments boundary_moments_by_ends(const Boundary& boundary) {
    EllipticSum elliptic;
    Moments m;
    for (int i = 0; i < boundary.arc_count; ++i) {
        const RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        m += rim_arc_moments(boundary.circles[static_cast<std::size_t>(arc.circle)], arc, elliptic);
    }
    m.s1 += elliptic.total() / 3.0;
    for (int i = 0; i < boundary.segment_count; ++i) {
        m += segment_moments(boundary.line, boundary.segments[static_cast<std::size_t>(i)]);
    }
    return m + limb_moments(boundary.limb);
}

// ----------------------------------------------------------------------------------------
// The boundary's moments with whole half-rims merged
// ----------------------------------------------------------------------------------------
//
// Three facts make the moments of a point much cheaper than taking G and H at every arc end.
//
// 1. Fewer inverse functions. The polar angle a rim arc sweeps about S is one atan2 of the
//    change of G (for a whole half-rim, of its two ends P +- p e seen from S), taken from the
//    same sin psi and cos psi as H: near S both vary on the scale |z - p|, and only their
//    combination in S1 is smooth there. On the line T(s) and atan2(s, w) both grow
//    monotonically along the line, and its two pieces are disjoint and run the same way, so the
//    sum of their changes over both pieces lies within a half turn either way: one atan2 of a
//    product of complex numbers takes each.
//
// 2. Whole half-rims. A half-rim inside the star runs from psi to psi - pi/2 (far form), and
//    since the integrand of H has period pi in psi and H is odd, its elliptic part is
//    Q = H(a) + H(pi/2 - a) for some a in [0, pi/2] or 2 H(pi/2) less that. Legendre's addition
//    theorem takes the sum of the two ends to the complete integral and one more end sigma'',
//
//        F(a) + F(pi/2 - a) = K + F(sigma''),
//        E(a) + E(pi/2 - a) = E(pi/2) + E(sigma'') + m sin(sigma) (s c - sin(sigma'')),
//        Pi(a) + Pi(pi/2 - a) = Pi(pi/2) + Pi(sigma'')
//                               - (n/v) atan(v (Da + Db) s c / (q (kc^2 + Da Db + n m s^2 c^2))),
//
//    with s, c = sin a, cos a, Da^2 = 1 - m s^2, Db^2 = 1 - m c^2, kc^2 = 1 - m, q = 1 - n,
//    v^2 = n q (n - m), sigma the sum a + (pi/2 - a) in the sense of the addition theorem,
//    sin(sigma) = (s^2 Db + c^2 Da)/(1 - m s^2 c^2), and
//
//        tan(sigma'') = -m s c (1 - m s^2 c^2) / ((Da Db + 1) kc (s^2 Db + c^2 Da)),
//
//    every term of one sign for the far form (m < 0, 0 < n < 1: checked against 40-digit
//    integrals). For a small planet sigma'' is small (about -m/4), its arguments nearly equal,
//    and the duplication of its Carlson integrals needs few steps or none. Both half-rims of
//    a planet inside the star then cost one complete triple each and one quick incomplete
//    one.
//
// 3. Rim ends on the limb have mu = 0 exactly: there y = 0 and the Carlson integrals are
//    complete, taken by Bulirsch's iteration like the complete ones above; sin psi and cos psi
//    there come from square roots (sin^2 psi = A/B). The two limb ends of one circle share
//    one triple (H is odd).

// The polar angle about S swept by a whole half-rim of a circle inside the star, from its end
// at alpha to the end at alpha + pi, given sin alpha: the angle between the two ends
// X = P +- p e, whose cross product is -2 z p sin alpha and dot product z^2 - p^2, taken in
// (0, 2 pi) when S lies inside the circle (the rim winds about it) and in (-pi, pi) when not.
// For the rim through S it is the principal value pi/2, as G's is.
inline double half_turn_swept(double winding, double z, double p, double sin_alpha) {
    if (winding == 0.0) {
        return kHalfPi;
    }
    const double angle = angle_of(-2.0 * z * p * sin_alpha, (z - p) * (z + p));
    return winding > 0.0 && angle < 0.0 ? angle + kTwoPi : angle;
}

inline double half_turn_swept(const Circle& circle, double sin_alpha) {
    return half_turn_swept(circle.winding, circle.z, circle.p, sin_alpha);
}

// For a planet wholly inside the star (two whole half-rims and the two line pieces, both
// radii apart from z), the polar angle the rims sweep about S plus the line's T summed over its
// pieces can come from the winding of the closed boundary.
//
// The closed boundary sweeps 2 pi W about S, W = 1 when S lies inside it, 0 when not, and on
// the line the polar angle is atan(s/h), the first half of T = atan(s/h) - atan(s/(h w)). So
// the rims and T together give 2 pi W - sum of atan(s/(h w)) over the pieces' ends: one
// arctangent, of the product of (|h| w + i sgn(h) s) over the ends (conjugated at a start),
// where the rims took one each. The sum lies within a half turn (atan(s/(h w)) grows
// monotonically along the line, and the two pieces are disjoint and run the same way); the
// product is used only where it lies within a quarter turn, so that no rounding can move it
// across the half turn. Near that, where S lies next to a piece, and for a rim close to S
// (kWindingMinEta), the rims' angles are taken one by one.
inline bool may_wind(const Boundary& boundary, int inside_mask) {
    const auto& circles = boundary.circles;
    return inside_mask == 3 && boundary.segment_count == 2 && boundary.line.h != 0.0 &&
           circles[0].eta >= kWindingMinEta && circles[1].eta >= kWindingMinEta;
}

// 2 pi W: a full turn when the closed boundary winds about S, which lies in half 1 when left of
// the line (h > 0) and within p1 of P, in half 2 likewise.
inline double winding_turn(double z, double h, double p1, double p2) {
    const bool covered = h > 0.0 ? z < p1 : z < p2;
    return covered ? kTwoPi : 0.0;
}

// Weighted Carlson parts cf s R_F + cd s^3 R_D + cj s^3 R_J of H, complete ones by Bulirsch's
// iteration (two at a time, interleaved), incomplete ones by duplication side by side.
class CarlsonLanes {
  public:
    static constexpr int kCapacity = 6;
    static constexpr int kCompleteCapacity = 4;

    // weight times the Carlson part of H(psi), s = sin psi != 0, c = cos psi > 0, of a circle
    // with these kappa, eta and coefficients.
    void add_incomplete(double kappa, double eta, bool with_rj, double cf, double cd, double cj,
                        double s, double c, double weight) {
        const double cc = c * c;
        const double ss = s * s;
        const double ws = weight * s;
        const double ws3 = ws * ss;
        x_[count_] = cc;
        y_[count_] = std::max(cc + kappa * ss, 0.0);
        p_[count_] = with_rj ? cc + eta * ss : 1.0;
        wf_[count_] = cf * ws;
        wd_[count_] = cd * ws3;
        wj_[count_] = with_rj ? cj * ws3 : 0.0;
        ++count_;
    }

    void add_incomplete(const Circle& circle, double s, double c, double weight) {
        add_incomplete(circle.kappa, circle.eta, circle.with_rj, circle.cf, circle.cd, circle.cj, s,
                       c, weight);
    }

    // A complete triple R(0, kc^2, 1, r) with its three weights (root_r = sqrt r, inv_root_r
    // its inverse; any positive pair when wj = 0).
    void add_complete(double kc, double root_r, double inv_root_r, double wf, double wd,
                      double wj) {
        complete_[complete_count_++] = Complete{kc, root_r, inv_root_r, wf, wd, wj};
    }

    double total() const {
        double sum = 0.0;
        for (int i = 0; i < complete_count_; i += 2) {
            sum += i + 1 < complete_count_ ? complete_pair(complete_[i], complete_[i + 1])
                                           : complete_one(complete_[i]);
        }
        return with_incomplete(sum);
    }

    // `sum` with the incomplete parts added, one by one in the order they came.
    double with_incomplete(double sum) const {
        if (count_ > 0) {
            double ones[kCapacity];
            std::fill(ones, ones + kCapacity, 1.0);
            carlson::SymmetricTriple r[kCapacity];
            // Most points bring two lanes, or one: they run in the lanes of a packed register.
            carlson::detail::duplication_packed<kCapacity, true>(count_, x_, y_, ones, p_, r);
            for (int i = 0; i < count_; ++i) {
                sum += wf_[i] * r[i].rf + wd_[i] * r[i].rd + wj_[i] * r[i].rj;
            }
        }
        return sum;
    }

    // The weighted complete triple of a whole half-rim, as total() weighs it.
    static double weighted_complete(double wf, double wd, double wj, const cel::CelTriple& t) {
        return wf * t.first + wd * t.second + (wj != 0.0 ? wj * t.third : 0.0);
    }

  private:
    struct Complete {
        double kc;
        double root_r;
        double inv_root_r;
        double wf;
        double wd;
        double wj;

        cel::SharedIteration iteration() const {
            return cel::SharedIteration(kc, root_r, inv_root_r, {1.0, 1.0}, {0.0, 3.0}, {0.0, 3.0});
        }
        double weighted(const cel::CelTriple& t) const { return weighted_complete(wf, wd, wj, t); }
    };

    static double complete_one(const Complete& lane) {
        cel::SharedIteration it = lane.iteration();
        while (it.running() && it.step()) {
        }
        return lane.weighted(it.result());
    }

    static double complete_pair(const Complete& first, const Complete& second) {
        cel::SharedIteration one = first.iteration();
        cel::SharedIteration two = second.iteration();
        cel::run_side_by_side(one, two);
        return first.weighted(one.result()) + second.weighted(two.result());
    }

    // Lanes i < count_ (complete_count_) are set; the rest are never read.
    int count_ = 0;
    int complete_count_ = 0;
    double x_[kCapacity];
    double y_[kCapacity];
    double p_[kCapacity];
    double wf_[kCapacity];
    double wd_[kCapacity];
    double wj_[kCapacity];
    Complete complete_[kCompleteCapacity];
};

// A short far-form end sigma'' by Gauss-Legendre quadrature instead of Carlson's integrals.
// In u = sin psi, H = int_0^s mu^3 (1 + K/r^2) / sqrt(1 - u^2) du with mu^2 = A (1 - m u^2) and
// r^2 = C (1 - n u^2); its singularities lie at u = +-i/sqrt(-m) (mu = 0) and u = 1, beyond
// which r = 0 (u^2 = 1/n >= 1). With delta the nearer distance, a rule of N nodes is good to
// rounding while s/delta stays below kShortEndRatio[N]: measured against 30-digit integrals over
// 3000 random far-form circles (radii to 0.49, s from 1e-3 to 0.99), the relative error stays at
// its rounding floor (3e-16) up to ratios 0.10, 0.20, 0.35, 0.49, 0.89 and 1.05 for 5, 6, 7, 8, 10
// and 12 nodes; at 0.02 for 4. The bounds below keep a margin under those.
inline constexpr std::array<std::pair<int, double>, 7> kShortEndRatio = {
    {{4, 0.0227}, {5, 0.09}, {6, 0.18}, {7, 0.3}, {8, 0.45}, {10, 0.85}, {12, 1.052}}};

// The node count of the short-end rule for sin sigma'' = s of a circle of parameter m, or 0
// where no rule of kShortEndRatio is good to rounding.
inline int short_end_nodes(double s, double m) {
    const double ratio_real = s / (1.0 - s);
    // (s/delta)^2 for the imaginary pair, s^2 (-m).
    const double ratio_imaginary_sq = s * s * -m;
    for (const auto& [count, ratio] : kShortEndRatio) {
        if (ratio_real <= ratio && ratio_imaginary_sq <= ratio * ratio) {
            return count;
        }
    }
    return 0;
}

// One node's term of the short end: weight times the integrand at u = s (1 + node)/2.
template <class V>
[[gnu::always_inline]] inline V short_end_term(V s, V node, V weight, V m, V n, V k_over_c) {
    const V u = 0.5 * s * (1.0 + node);
    const V uu = u * u;
    const V y = 1.0 - m * uu;    // mu^2 / A
    const V rest = 1.0 - uu;     // cos^2 psi
    const V rho = 1.0 - n * uu;  // r^2 / C
    // One division for y / cos^2 and 1 / rho.
    const V inv = 1.0 / (rest * rho);
    return weight * (y * lanes::sqrt(y * rho * inv) * (1.0 + k_over_c * rest * inv));
}

template <std::size_t N, class C>
double short_end_integral(const C& circle, double s) {
    constexpr quadrature::GaussLegendre<N> rule = quadrature::make_gauss_legendre<N>();
    double sum = 0.0;
    for (std::size_t j = 0; j < N; ++j) {
        sum +=
            short_end_term(s, rule.nodes[j], rule.weights[j], circle.m, circle.n, circle.k_over_c);
    }
    return circle.a_root3 * 0.5 * s * sum;
}

// The short-end rules padded to the longest, so that two lanes can run rules of different
// lengths side by side: a padded node has weight 0 at u = 0, where the integrand is finite, and
// adds exactly nothing.
struct PaddedShortRule {
    std::array<double, 12> nodes;
    std::array<double, 12> weights;
};

template <std::size_t N>
constexpr PaddedShortRule padded_short_rule() {
    constexpr quadrature::GaussLegendre<N> rule = quadrature::make_gauss_legendre<N>();
    PaddedShortRule padded{};
    for (std::size_t j = 0; j < 12; ++j) {
        padded.nodes[j] = j < N ? rule.nodes[j] : -1.0;
        padded.weights[j] = j < N ? rule.weights[j] : 0.0;
    }
    return padded;
}

// Indexed by node count (the counts kShortEndRatio does not use, 0 among them, add nothing).
inline constexpr std::array<PaddedShortRule, 13> kPaddedShortRules = {
    padded_short_rule<0>(), padded_short_rule<0>(), padded_short_rule<0>(),  padded_short_rule<0>(),
    padded_short_rule<4>(), padded_short_rule<5>(), padded_short_rule<6>(),  padded_short_rule<7>(),
    padded_short_rule<8>(), padded_short_rule<0>(), padded_short_rule<10>(), padded_short_rule<0>(),
    padded_short_rule<12>()};

// The short ends of the lanes of a packed V, lane l by the rule of nodes[l] points (each
// lane's sum the one short_end_integral gives it alone).
template <class V>
V short_end_integral_lanes(const int nodes[], V s, V m, V n, V k_over_c, V a_root3) {
    constexpr int kLanes = lanes::kWidth<V>;
    int count = nodes[0];
    for (int l = 1; l < kLanes; ++l) {
        count = std::max(count, nodes[l]);
    }
    auto rule = [&](int l) -> const PaddedShortRule& {
        return kPaddedShortRules[static_cast<std::size_t>(nodes[l])];
    };
    V sum = lanes::splat<V>(0.0);
    for (std::size_t j = 0; j < static_cast<std::size_t>(count); ++j) {
        sum += short_end_term(s, lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
                                  return rule(l).nodes[j];
                              }),
                              lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
                                  return rule(l).weights[j];
                              }),
                              m, n, k_over_c);
    }
    return a_root3 * 0.5 * s * sum;
}

// The algebraic term ce s c sqrt(y) of H(psi), sin psi = s, cos psi = c.
template <class V, class C>
V algebraic_term(const C& circle, V s, V c) {
    return circle.ce * s * c * lanes::sqrt(lanes::max_of(c * c + circle.kappa * (s * s), 0.0));
}

// H(psi) less its algebraic term ce s c sqrt(y), for sin psi = s, cos psi = c, by the short
// rule of `nodes` points (short_end_nodes); false where none applies (nodes 0).
template <class C>
bool short_end_by_rule(const C& circle, int nodes, double s, double c, double& value) {
    double h = 0.0;
    switch (nodes) {
        case 4:
            h = short_end_integral<4>(circle, s);
            break;
        case 5:
            h = short_end_integral<5>(circle, s);
            break;
        case 6:
            h = short_end_integral<6>(circle, s);
            break;
        case 7:
            h = short_end_integral<7>(circle, s);
            break;
        case 8:
            h = short_end_integral<8>(circle, s);
            break;
        case 10:
            h = short_end_integral<10>(circle, s);
            break;
        case 12:
            h = short_end_integral<12>(circle, s);
            break;
        default:
            return false;
    }
    value = h - algebraic_term(circle, s, c);
    return true;
}

// The same with the rule chosen here.
template <class C>
bool short_end(const C& circle, double s, double c, double& value) {
    return short_end_by_rule(circle, short_end_nodes(s, circle.m), s, c, value);
}

// A sum of arctangents, each in (-pi/2, pi/2), kept as the argument of the product of their
// complex numbers x + i y (x > 0): two of them lie within a half turn either way, so one
// arctangent of the product gives their sum.
template <class V = double>
struct ArgumentProduct {
    V re = lanes::splat<V>(1.0);
    V im = lanes::splat<V>(0.0);
    // Where any arctangent has been added.
    lanes::MaskOf<V> any = lanes::splat_mask<V>(false);

    // Adds sign * atan(y / x), x > 0, where `where` holds.
    void add(V x, V y, V sign, lanes::MaskOf<V> where) {
        const V signed_y = sign * y;
        const V t = re * x - im * signed_y;
        im = lanes::select(where, re * signed_y + im * x, im);
        re = lanes::select(where, t, re);
        any = any || where;
    }
};

// Y(a) = H(a) + H(pi/2 - a) - H(pi/2) of a far-form circle, a in [0, pi/2] given by s = sin a,
// c = cos a, taken apart: `rest` is all of it but H at sigma'' (sin, cos = end_sine,
// end_cosine) less its algebraic term, and the third kind's defect, an arctangent of
// defect_y / defect_x whose sign is that of z - p.
template <class V>
struct HalfTurnExcess {
    V rest;
    V end_sine;
    V end_cosine;
    V defect_x;
    V defect_y;
};

template <class V, class C>
[[gnu::always_inline]] inline HalfTurnExcess<V> half_turn_excess_parts(const C& circle, V kc, V s,
                                                                       V c) {
    const V m = circle.m;
    const V n = circle.n;
    const V q = circle.eta;  // 1 - n
    const V ss = s * s;
    const V cc = c * c;
    const V sc = s * c;
    // Delta at a and at pi/2 - a.
    const V da = lanes::sqrt(cc + circle.kappa * ss);
    const V db = lanes::sqrt(ss + circle.kappa * cc);
    const V dadb = da * db;
    const V spread = 1.0 - m * (ss * cc);
    const V weighted_deltas = ss * db + cc * da;
    // sigma'' from its tangent, both parts positive.
    const V rise = -m * sc * spread;
    const V run = (dadb + 1.0) * kc * weighted_deltas;
    const V inv_length = 1.0 / lanes::sqrt(rise * rise + run * run);
    const V s2 = rise * inv_length;
    const V c2 = run * inv_length;
    const V sigma_sine = weighted_deltas / spread;
    // The second kind's defect, -(3 cd/m) m sin(sigma) (s c - sin sigma''), and the algebraic
    // term cE s c Delta at both ends (it vanishes at pi/2 and is left out at sigma'').
    //
    // The third kind's defect, -(3 cj / v) atan(v (Da + Db) s c / (q (kc^2 + Da Db + n m s^2
    // c^2))). With v = 4 z p |z - p| / ((z + p)^3 sqrt A) and 3 cj = 4 z p (p - z) / ((z +
    // p)^3 sqrt A) its weight -3 cj / v is the sign of z - p, and the denominator is positive
    // (q > 0 where cj != 0, and kc^2 + Da Db + n m s^2 c^2 >= 2).
    return HalfTurnExcess<V>{
        .rest = -3.0 * circle.cd * sigma_sine * (sc - s2) + circle.ce * sc * (da + db),
        .end_sine = s2,
        .end_cosine = c2,
        .defect_x = q * (circle.kappa + dadb + n * m * (ss * cc)),
        .defect_y = circle.v * (da + db) * sc,
    };
}

// A whole half-rim of a circle inside the star, alpha from theta' (index 0, half 1) or
// theta' + pi (index 1, half 2) on, half a turn: d_alpha = pi, sin alpha changes by
// -2 sin(alpha_from), sin 2 alpha by 0. Its S0 and S2, sin(alpha) at its start (for the polar
// angle it sweeps), the complete triple of its H(pi/2) with weights, and weight times Y(a).
//
// H(end) - H(start) = -Q: with theta'/2 beyond a quarter turn half 1 takes Q = H(pi/2) + Y(a),
// a = pi - theta'/2, and half 2 Q = H(pi/2) - Y(a); below it a = pi/2 - theta'/2 and the signs
// of Y swap.
template <class V>
struct WholeHalfRim {
    V s0;
    V s2;
    V inside_sine;
    V kc;
    V root_eta;  // sqrt(eta) and its inverse; 1 without a third kind
    V inv_root_eta;
    V wf;
    V wd;
    V wj;
    V weight;
    HalfTurnExcess<V> excess;
};

template <class V, class C>
[[gnu::always_inline]] inline WholeHalfRim<V> whole_half_rim(const C& circle, int index,
                                                             V half_sine, V half_cosine) {
    const V sine = 2.0 * half_sine * half_cosine;  // sin(theta)
    const V d_sin = index == 0 ? -2.0 * sine : 2.0 * sine;
    const auto beyond = half_cosine <= 0.0;
    const V s = lanes::select(beyond, half_sine, half_cosine);
    const V c = lanes::select(beyond, -half_cosine, half_sine);
    const auto plus = index == 0 ? beyond : !beyond;
    const V kc = lanes::sqrt(circle.kappa);
    const V root_eta = lanes::select(circle.with_rj, circle.root_eta, 1.0);
    const RimArcS0S2<V> arc =
        rim_arc_s0_s2(V(circle.z), circle.p, kPi, d_sin, lanes::splat<V>(0.0));
    return WholeHalfRim<V>{
        .s0 = arc.s0,
        .s2 = arc.s2,
        .inside_sine = -0.5 * d_sin,
        .kc = kc,
        .root_eta = root_eta,
        .inv_root_eta = 1.0 / root_eta,
        .wf = -circle.cf,
        .wd = -circle.cd,
        .wj = lanes::select(circle.with_rj, -circle.cj, 0.0),
        .weight = lanes::select(plus, -1.0, 1.0),
        .excess = half_turn_excess_parts(circle, kc, s, c),
    };
}

// weight times Y(a) of one whole half-rim: the short end sigma'' by quadrature where a short
// rule does, else its Carlson part into `lanes`; the defect into `defects`.
inline double finish_half_turn_excess(const Circle& circle, const WholeHalfRim<double>& rim,
                                      CarlsonLanes& lanes, ArgumentProduct<>& defects) {
    const HalfTurnExcess<double>& excess = rim.excess;
    double rest = excess.rest;
    const double s2 = excess.end_sine;
    if (s2 != 0.0) {
        double short_value = 0.0;
        if (short_end(circle, s2, excess.end_cosine, short_value)) {
            rest += short_value;
        } else {
            lanes.add_incomplete(circle.kappa, circle.eta, circle.with_rj, circle.cf, circle.cd,
                                 circle.cj, s2, excess.end_cosine, rim.weight);
        }
    }
    if (circle.with_rj) {
        const double sign = circle.z > circle.p ? rim.weight : -rim.weight;
        defects.add(excess.defect_x, excess.defect_y, sign, true);
    }
    return rim.weight * rest;
}

// sin psi and cos psi of a near-form rim end on the line, j half turns from u0: psi = -u/2 =
// -theta'/2 + (1 - j) pi/2, a quarter-turn rotation of -theta'/2 whose sine and cosine the
// boundary holds.
inline std::pair<double, double> rim_end_on_line(const Boundary& boundary, int turns) {
    const double hs = boundary.half_sine;
    const double hc = boundary.half_cosine;
    switch ((1 - turns) & 3) {
        case 0:
            return {-hs, hc};
        case 1:
            return {hc, hs};
        case 2:
            return {hs, -hc};
        default:
            return {-hc, -hs};
    }
}

// The line's pieces: the signed sums over their ends (start -1, end +1) of s, s^3 and s w,
// which give S0, S2 and part of S1, and two products of complex numbers whose arguments sum
// arctangents over the ends: (w + i s) for the arcsine atan2(s, w), and (|h| w + i sgn(h) s)
// for the winding (may_wind), both conjugated at a start. An end whose `present` lane is false
// adds nothing to that lane.
template <class V>
struct LineSums {
    V s_sum = lanes::splat<V>(0.0);
    V cube_sum = lanes::splat<V>(0.0);
    V sw = lanes::splat<V>(0.0);
    V re2 = lanes::splat<V>(1.0);
    V im2 = lanes::splat<V>(0.0);
    V re3 = lanes::splat<V>(1.0);
    V im3 = lanes::splat<V>(0.0);

    // The end at s, mu w on the line there; the winding product only where `winds`.
    [[gnu::always_inline]] void add(V s, V w, double sign, V abs_h, V side, lanes::MaskOf<V> winds,
                                    lanes::MaskOf<V> present) {
        s_sum = lanes::select(present, s_sum + sign * s, s_sum);
        cube_sum = lanes::select(present, cube_sum + sign * (s * s * s), cube_sum);
        sw = lanes::select(present, sw + sign * s * w, sw);
        const V y2 = sign * s;
        const V t2 = re2 * w - im2 * y2;
        im2 = lanes::select(present, re2 * y2 + im2 * w, im2);
        re2 = lanes::select(present, t2, re2);
        if (lanes::any(winds)) {
            const V x3 = abs_h * w;
            const V y3 = sign * side * s;
            const V t3 = re3 * x3 - im3 * y3;
            im3 = lanes::select(present, re3 * y3 + im3 * x3, im3);
            re3 = lanes::select(present, t3, re3);
        }
    }
};

// mu on the line at s: exactly 0 at a chord end.
template <class V>
V line_mu(V b, V s) {
    return lanes::sqrt((b - lanes::fabs(s)) * (b + lanes::fabs(s)));
}

// The angles of S1 from the line's sums: the line's share line_s1, and whether the winding
// takes the place of the polar angle the whole half-rims sweep (then with the line's T).
// T(s) = atan(s/h) - atan(s/(h w)) is summed over the ends as the argument of a product where
// the winding does not replace it; where the winding does, the defects' arctangent merges with
// it (and `defects` is left with none). Lane by lane for a packed V, each lane's
// arctangents its own.
template <class V>
struct LineAngles {
    V h;
    V b;
    LineSums<V> sums;
    // The ends in order (start, end of each piece), mu there, and which are there.
    std::array<V, 4> end_s;
    std::array<V, 4> end_w;
    std::array<lanes::MaskOf<V>, 4> present;
    lanes::MaskOf<V> winds;
    V turn;  // winding_turn: 2 pi where the closed boundary winds about S
};

// angle_of lane by lane.
template <class V>
[[gnu::always_inline]] inline V angles_of(V y, V x) {
    return lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
        return angle_of(lanes::lane(y, l), lanes::lane(x, l));
    });
}

template <class V>
[[gnu::always_inline]] inline V line_angles_s1(const LineAngles<V>& line,
                                               ArgumentProduct<V>& defects,
                                               lanes::MaskOf<V>& by_winding) {
    const LineSums<V>& sums = line.sums;
    const V h = line.h;
    by_winding = line.winds && sums.re3 > 0.0;
    // The product of T's complex numbers, where the winding does not take its place.
    V re1 = lanes::splat<V>(1.0);
    V im1 = lanes::splat<V>(0.0);
    if (!lanes::all(by_winding)) {
        for (std::size_t j = 0; j < 4; ++j) {
            const V s = line.end_s[j];
            const V w = line.end_w[j];
            const double sign = j % 2 == 0 ? -1.0 : 1.0;
            // tan T = -s h r^2 / ((1 + w)(h^2 w + s^2)); T(0) = 0.
            const V r2 = h * h + s * s;
            const auto at_foot = s == 0.0;
            const V x1 = lanes::select(at_foot, 1.0, (1.0 + w) * (h * h * w + s * s));
            const V y1 = lanes::select(at_foot, 0.0, sign * (-s * h * r2));
            const V t1 = re1 * x1 - im1 * y1;
            im1 = lanes::select(line.present[j], re1 * y1 + im1 * x1, im1);
            re1 = lanes::select(line.present[j], t1, re1);
        }
    }
    // The winding's arctangent and the defects' sum both lie within a quarter turn where both
    // are taken: their difference is one argument, of the defects' product times the winding
    // product's conjugate.
    const auto merged = by_winding && defects.any && defects.re > 0.0;
    const V merged_re = defects.re * sums.re3 + defects.im * sums.im3;
    const V merged_im = defects.im * sums.re3 - defects.re * sums.im3;
    const V angle =
        angles_of(lanes::select(merged, merged_im, lanes::select(by_winding, sums.im3, im1)),
                  lanes::select(merged, merged_re, lanes::select(by_winding, sums.re3, re1)));
    const V angles = lanes::select(merged, line.turn + angle,
                                   lanes::select(by_winding, line.turn - angle, angle));
    defects.any = defects.any && !merged;
    const V b = line.b;
    return (angles + h * (1.0 + b * b / 2.0) * angles_of(sums.im2, sums.re2) + h * sums.sw / 2.0) /
           3.0;
}

// The moments of the whole boundary, in closed form (radii below kMaxRadius).
inline Moments boundary_moments(const Boundary& boundary) {
    const auto& circles = boundary.circles;
    if (circles[0].near_centre || circles[1].near_centre) {
        return boundary_moments_by_ends(boundary);
    }
    CarlsonLanes lanes;
    // The third-kind defects of the whole half-rims, at most two.
    ArgumentProduct<> defects;
    // The elementary part of the sum of H(end) - H(start) over the rim arcs.
    double elementary = 0.0;
    // The polar angle about S swept by the rim arcs.
    double swept = 0.0;
    // The weights of H at the limb crossing psi = +window/2 of each circle.
    double limb_weight[2] = {0.0, 0.0};
    // sin(alpha) at the start of each circle's whole half-rim inside the star (bit i of
    // inside_mask: circle i has one).
    double inside_sines[2] = {0.0, 0.0};
    int inside_mask = 0;
    Moments m;
    for (int i = 0; i < boundary.arc_count; ++i) {
        const RimArc& arc = boundary.arcs[static_cast<std::size_t>(i)];
        const Circle& circle = circles[static_cast<std::size_t>(arc.circle)];
        if (circle.kind == RimKind::kInside) {
            const WholeHalfRim<double> rim =
                whole_half_rim(circle, arc.circle, boundary.half_sine, boundary.half_cosine);
            m.s0 += rim.s0;
            m.s2 += rim.s2;
            // The polar angle it sweeps, unless the closed boundary's winding gives it below.
            inside_sines[arc.circle] = rim.inside_sine;
            inside_mask |= 1 << arc.circle;
            lanes.add_complete(rim.kc, rim.root_eta, rim.inv_root_eta, rim.wf, rim.wd, rim.wj);
            elementary += finish_half_turn_excess(circle, rim, lanes, defects);
            continue;
        }
        // A crossing rim in the near form, psi = -u/2: each end on the limb or on the line.
        double sin_alpha[2];
        double cos_alpha[2];
        // G = atan2(lambda c, s) in (-pi, 0) at each end; its change as the argument of
        // (s_to + i lambda c_to) (s_from - i lambda c_from).
        double g_re[2];
        double g_im[2];
        const double ends[2] = {arc.u_from, arc.u_to};
        const bool on_limb[2] = {arc.from_on_limb, arc.to_on_limb};
        for (int e = 0; e < 2; ++e) {
            const double weight = e == 0 ? -1.0 : 1.0;
            double s = 0.0;
            double c = 0.0;
            if (on_limb[e]) {
                // u = -+window: psi = +-window/2, H(psi) = +-H(window/2).
                const double sign = ends[e] < 0.0 ? 1.0 : -1.0;
                s = sign * circle.limb_sine;
                c = circle.limb_cosine;
                limb_weight[arc.circle] += sign * weight;
            } else {
                std::tie(s, c) = rim_end_on_line(boundary, e == 0 ? arc.from_turns : arc.to_turns);
                if (s != 0.0) {
                    lanes.add_incomplete(circle, s, c, weight);
                    const double y = std::max(c * c + circle.kappa * (s * s), 0.0);
                    elementary += weight * circle.ce * s * c * std::sqrt(y);
                }
            }
            // alpha = pi - 2 psi.
            sin_alpha[e] = 2.0 * s * c;
            cos_alpha[e] = (s - c) * (s + c);
            g_re[e] = s;
            g_im[e] = circle.lambda * c;
        }
        const double d_alpha = arc.u_to - arc.u_from;
        swept += d_alpha / 2.0 + angle_of(g_im[1] * g_re[0] - g_re[1] * g_im[0],
                                          g_re[1] * g_re[0] + g_im[1] * g_im[0]);
        const double d_sin = sin_alpha[1] - sin_alpha[0];
        const double d_sin2 = 2.0 * (sin_alpha[1] * cos_alpha[1] - sin_alpha[0] * cos_alpha[0]);
        const RimArcS0S2<double> rim = rim_arc_s0_s2(circle.z, circle.p, d_alpha, d_sin, d_sin2);
        m.s0 += rim.s0;
        m.s2 += rim.s2;
    }
    for (int k = 0; k < 2; ++k) {
        if (limb_weight[k] != 0.0) {
            // R(c_x^2, 0, 1, rho) with rho = r^2/C = 1/(z - p)^2 on the limb.
            const Circle& circle = circles[static_cast<std::size_t>(k)];
            const double s = circle.limb_sine;
            const double ws = limb_weight[k] * s;
            const double ws3 = ws * (s * s);
            const double zmp = circle.z - circle.p;
            lanes.add_complete(circle.limb_cosine, 1.0 / zmp, zmp, circle.cf * ws, circle.cd * ws3,
                               circle.with_rj ? circle.cj * ws3 : 0.0);
        }
    }
    // The line: the regular T(s) = atan(s/h) - atan(s/(h w)) and the arcsine atan2(s, w), each
    // summed over both pieces as the argument of a product (LineSums, line_angles_s1).
    double line_s1 = 0.0;
    bool by_winding = false;  // the rims' swept angle taken with T from the winding
    if (boundary.segment_count > 0) {
        const double h = boundary.line.h;
        LineAngles<double> line{.h = h,
                                .b = boundary.line.b,
                                .sums = {},
                                .end_s = {},
                                .end_w = {},
                                .present = {},
                                .winds = may_wind(boundary, inside_mask),
                                .turn = winding_turn(boundary.z, h, circles[0].p, circles[1].p)};
        const double side = h > 0.0 ? 1.0 : -1.0;
        for (int j = 0; j < 2 * boundary.segment_count; ++j) {
            const Segment& segment = boundary.segments[static_cast<std::size_t>(j / 2)];
            const bool start = j % 2 == 0;
            const double s = start ? segment.s_from : segment.s_to;
            const double w = line_mu(line.b, s);
            line.end_s[static_cast<std::size_t>(j)] = s;
            line.end_w[static_cast<std::size_t>(j)] = w;
            line.present[static_cast<std::size_t>(j)] = true;
            line.sums.add(s, w, start ? -1.0 : 1.0, std::fabs(h), side, line.winds, true);
        }
        m.s0 += h * line.sums.s_sum / 2.0;
        m.s2 += h * ((0.5 - h * h / 4.0) * line.sums.s_sum - line.sums.cube_sum / 12.0);
        line_s1 = line_angles_s1(line, defects, by_winding);
    }
    if (!by_winding) {
        for (int k = 0; k < 2; ++k) {
            if (inside_mask & (1 << k)) {
                swept += half_turn_swept(circles[static_cast<std::size_t>(k)], inside_sines[k]);
            }
        }
    }
    if (defects.any) {
        elementary += angle_of(defects.im, defects.re);
    }
    m.s1 += (swept + elementary + lanes.total() + boundary.limb) / 3.0 + line_s1;
    return m + Moments{boundary.limb / 2.0, 0.0, boundary.limb / 4.0};
}

// ----------------------------------------------------------------------------------------
// A planet wholly inside the star
// ----------------------------------------------------------------------------------------
//
// Most points of a transit have the whole planet inside the star: both rims are whole
// half-rims, and both pieces of the line lie inside it. Their moments are worked out here
// without enumerating the pieces, and for several points at once in the lanes of a packed V
// (lanes::Pair, lanes::Quad), each lane the same bit for bit as the point alone (V = double), and
// as boundary_moments of its boundary: the same functions in the same order. What depends on one
// lane's values alone (the choice of a short-end rule, Carlson's duplication where no rule does,
// the arctangents) runs lane by lane.

// Whether a planet of radii p1, p2 can take the route below where it lies inside the star:
// both radii of the closed form and apart, both with a rim (p >= kMinRadius).
inline bool inside_route(double p1, double p2) {
    return p1 >= kMinRadius && p2 >= kMinRadius && p1 != p2 && std::max(p1, p2) < kMaxRadius;
}

// For such radii, whether both circles lie inside the star: far form, z + p <= 1, as
// make_circle decides.
inline bool both_inside(double z, double p1, double p2) {
    return z + p1 <= 1.0 && z + p2 <= 1.0;
}

inline bool wholly_inside(double z, double p1, double p2) {
    return inside_route(p1, p2) && both_inside(z, p1, p2);
}

// H at sigma'' less its algebraic term by the short rules, lane by lane (`nodes` its rules'
// node counts, 0 for a lane that takes none; that lane's value is not used).
template <class V>
inline V short_end_values(const FarCircle<V>& circle, const int nodes[], V s, V c) {
    if constexpr (std::is_same_v<V, double>) {
        double value = 0.0;
        return short_end_by_rule(circle, nodes[0], s, c, value) ? value : 0.0;
    } else {
        return short_end_integral_lanes(nodes, s, circle.m, circle.n, circle.k_over_c,
                                        circle.a_root3) -
               algebraic_term(circle, s, c);
    }
}

// R_F(0, kappa, 1) and R_D(0, kappa, 1) of both circles' complete integrals, as
// cel::SharedIteration::first_two gives them (for the gradient's rims).
using CompleteRims = std::array<std::array<double, 2>, 2>;

template <class V>
inline std::array<Moments, lanes::kWidth<V>> inside_planet_moments(
    V z, V half_sine, V half_cosine, double p1, double p2,
    std::array<CompleteRims, lanes::kWidth<V>>* completes = nullptr) {
    constexpr int kLanes = lanes::kWidth<V>;
    using Mask = lanes::MaskOf<V>;
    const std::array<FarCircle<V>, 2> circles{far_circle(z, p1), far_circle(z, p2)};
    const std::array<WholeHalfRim<V>, 2> rims{
        whole_half_rim(circles[0], 0, half_sine, half_cosine),
        whole_half_rim(circles[1], 1, half_sine, half_cosine)};
    const V zero = lanes::splat<V>(0.0);
    V s0 = zero + rims[0].s0 + rims[1].s0;
    V s2 = zero + rims[0].s2 + rims[1].s2;

    // weight times Y(a) of each half-rim (finish_half_turn_excess).
    std::array<CarlsonLanes, kLanes> incomplete;
    ArgumentProduct<V> defects;
    std::array<V, 2> excess;
    for (int k = 0; k < 2; ++k) {
        const FarCircle<V>& circle = circles[static_cast<std::size_t>(k)];
        const WholeHalfRim<V>& rim = rims[static_cast<std::size_t>(k)];
        const HalfTurnExcess<V>& parts = rim.excess;
        int nodes[kLanes];
        bool short_lane[kLanes];
        for (int l = 0; l < kLanes; ++l) {
            const double s2 = lanes::lane(parts.end_sine, l);
            nodes[l] = s2 != 0.0 ? short_end_nodes(s2, lanes::lane(circle.m, l)) : 0;
            short_lane[l] = nodes[l] != 0;
            if (s2 != 0.0 && nodes[l] == 0) {
                incomplete[static_cast<std::size_t>(l)].add_incomplete(
                    lanes::lane(circle.kappa, l), lanes::lane(circle.eta, l),
                    lanes::lane(circle.with_rj, l), lanes::lane(circle.cf, l),
                    lanes::lane(circle.cd, l), lanes::lane(circle.cj, l), s2,
                    lanes::lane(parts.end_cosine, l), lanes::lane(rim.weight, l));
            }
        }
        // The defect's sign is that of z - p, times the excess's weight.
        defects.add(parts.defect_x, parts.defect_y,
                    lanes::select(z > circle.p, rim.weight, -rim.weight), circle.with_rj);
        V rest = parts.rest;
        const Mask take_short = lanes::mask_from_lanes<V>(
            [&](int l) __attribute__((always_inline)) { return short_lane[l]; });
        if (lanes::any(take_short)) {
            const V value = short_end_values(circle, nodes, parts.end_sine, parts.end_cosine);
            rest = lanes::select(take_short, rest + value, rest);
        }
        excess[static_cast<std::size_t>(k)] = rim.weight * rest;
    }

    // The line's two pieces, from P + p2 e to P + p1 e and from P - p1 e to P - p2 e, clipped
    // to the chord |s| <= b as clip_segment does (inside the star nothing is cut, but a piece
    // of rounding length can vanish).
    const V sine = 2.0 * half_sine * half_cosine;
    const V cosine = (half_cosine - half_sine) * (half_cosine + half_sine);
    const V h = z * sine;
    const V b = lanes::sqrt((1.0 - h) * (1.0 + h));
    const V foot = z * cosine;  // s of the planet's centre
    const std::array<std::pair<V, V>, 2> pieces{std::pair{foot + p2, foot + p1},
                                                std::pair{foot - p1, foot - p2}};
    // A line that misses the star (|h| >= 1) has no pieces.
    const Mask on_chord = lanes::fabs(h) < 1.0;
    std::array<Mask, 2> present;
    std::array<V, 4> end_s;
    for (int i = 0; i < 2; ++i) {
        const auto& [from, to] = pieces[static_cast<std::size_t>(i)];
        const V lo = lanes::max_of(lanes::min_of(from, to), -b);
        const V hi = lanes::min_of(lanes::max_of(from, to), b);
        present[static_cast<std::size_t>(i)] = on_chord && lo < hi;
        const auto forward = to > from;
        end_s[static_cast<std::size_t>(2 * i)] = lanes::select(forward, lo, hi);
        end_s[static_cast<std::size_t>(2 * i + 1)] = lanes::select(forward, hi, lo);
    }
    const Mask winds = present[0] && present[1] && h != 0.0 && circles[0].eta >= kWindingMinEta &&
                       circles[1].eta >= kWindingMinEta;
    const V side = lanes::select(h > 0.0, 1.0, -1.0);
    const V abs_h = lanes::fabs(h);
    LineSums<V> sums;
    std::array<V, 4> end_w;
    for (int j = 0; j < 4; ++j) {
        const V s = end_s[static_cast<std::size_t>(j)];
        end_w[static_cast<std::size_t>(j)] = line_mu(b, s);
        sums.add(s, end_w[static_cast<std::size_t>(j)], j % 2 == 0 ? -1.0 : 1.0, abs_h, side, winds,
                 present[static_cast<std::size_t>(j / 2)]);
    }
    const Mask any_piece = present[0] || present[1];
    s0 = lanes::select(any_piece, s0 + h * sums.s_sum / 2.0, s0);
    s2 = lanes::select(any_piece,
                       s2 + h * ((0.5 - h * h / 4.0) * sums.s_sum - sums.cube_sum / 12.0), s2);

    // The complete triples of both half-rims of every lane, run side by side.
    auto iteration = [&](int k, int l) {
        const WholeHalfRim<V>& rim = rims[static_cast<std::size_t>(k)];
        return cel::SharedIteration(lanes::lane(rim.kc, l), lanes::lane(rim.root_eta, l),
                                    lanes::lane(rim.inv_root_eta, l), {1.0, 1.0}, {0.0, 3.0},
                                    {0.0, 3.0});
    };
    std::array<std::array<cel::CelTriple, 2>, kLanes> triples;
    if constexpr (kLanes == 1) {
        cel::SharedIteration first = iteration(0, 0);
        cel::SharedIteration second = iteration(1, 0);
        cel::run_side_by_side(first, second);
        triples[0] = {first.result(), second.result()};
        if (completes != nullptr) {
            (*completes)[0] = {first.first_two(), second.first_two()};
        }
    } else {
        // Two lanes' four iterations at a time.
        for (int l = 0; l < kLanes; l += 2) {
            cel::SharedIteration first_one = iteration(0, l);
            cel::SharedIteration first_two = iteration(0, l + 1);
            cel::SharedIteration second_one = iteration(1, l);
            cel::SharedIteration second_two = iteration(1, l + 1);
            cel::run_side_by_side(first_one, first_two, second_one, second_two);
            triples[static_cast<std::size_t>(l)] = {first_one.result(), second_one.result()};
            triples[static_cast<std::size_t>(l + 1)] = {first_two.result(), second_two.result()};
            if (completes != nullptr) {
                (*completes)[static_cast<std::size_t>(l)] = {first_one.first_two(),
                                                             second_one.first_two()};
                (*completes)[static_cast<std::size_t>(l + 1)] = {first_two.first_two(),
                                                                 second_two.first_two()};
            }
        }
    }

    // The angles: the line's share, and the polar angle the half-rims sweep where the winding
    // does not take its place (line_angles_s1).
    V line_s1 = lanes::splat<V>(0.0);
    Mask by_winding = lanes::splat_mask<V>(false);
    if (lanes::any(any_piece)) {
        // winding_turn: S lies in half 1 when left of the line and within p1 of P, in half 2
        // likewise.
        const auto left = h > 0.0;
        const auto covered = (left && z < p1) || (!left && z < p2);
        const LineAngles<V> line{.h = h,
                                 .b = b,
                                 .sums = sums,
                                 .end_s = end_s,
                                 .end_w = end_w,
                                 .present = {present[0], present[0], present[1], present[1]},
                                 .winds = winds,
                                 .turn = lanes::select(covered, kTwoPi, 0.0)};
        Mask line_winding = by_winding;
        const V share = line_angles_s1(line, defects, line_winding);
        line_s1 = lanes::select(any_piece, share, line_s1);
        by_winding = any_piece && line_winding;
    }
    V swept = lanes::splat<V>(0.0);
    if (!lanes::all(by_winding)) {
        V lane_swept = swept;
        for (int k = 0; k < 2; ++k) {
            const FarCircle<V>& circle = circles[static_cast<std::size_t>(k)];
            const V sine = rims[static_cast<std::size_t>(k)].inside_sine;
            lane_swept += lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
                return half_turn_swept(lanes::lane(circle.winding, l), lanes::lane(z, l), circle.p,
                                       lanes::lane(sine, l));
            });
        }
        swept = lanes::select(by_winding, swept, lane_swept);
    }
    V elementary = lanes::splat<V>(0.0);
    elementary += excess[0];
    elementary += excess[1];
    if (lanes::any(defects.any)) {
        elementary =
            lanes::select(defects.any, elementary + angles_of(defects.im, defects.re), elementary);
    }
    // The complete triples' weighted sum, then any incomplete ends, lane by lane (CarlsonLanes).
    const V carlson = lanes::from_lanes<V>([&](int l) __attribute__((always_inline)) {
        const std::size_t ul = static_cast<std::size_t>(l);
        double complete = 0.0;
        double pair_sum = 0.0;
        for (int k = 0; k < 2; ++k) {
            const WholeHalfRim<V>& rim = rims[static_cast<std::size_t>(k)];
            const double weighted = CarlsonLanes::weighted_complete(
                lanes::lane(rim.wf, l), lanes::lane(rim.wd, l), lanes::lane(rim.wj, l),
                triples[ul][static_cast<std::size_t>(k)]);
            pair_sum = k == 0 ? weighted : pair_sum + weighted;
        }
        complete += pair_sum;
        return incomplete[ul].with_incomplete(complete);
    });
    const double limb = 0.0;
    V s1 = lanes::splat<V>(0.0);
    s1 += (swept + elementary + carlson + limb) / 3.0 + line_s1;
    std::array<Moments, kLanes> out;
    for (int l = 0; l < kLanes; ++l) {
        out[static_cast<std::size_t>(l)] =
            Moments{lanes::lane(s0, l), lanes::lane(s1, l), lanes::lane(s2, l)} +
            Moments{limb / 2.0, 0.0, limb / 4.0};
    }
    return out;
}

// The moments of the whole boundary of (planet inside the star) for two different radii, or
// for equal ones the long way round (pieces of both half-rims, no line pieces).
inline Moments blocked_moments_halves(double z, double theta, double p1, double p2) {
    return boundary_moments(planet_boundary(z, theta, p1, p2));
}

// ----------------------------------------------------------------------------------------
// The full disc (equal radii)
// ----------------------------------------------------------------------------------------
//
// For equal radii the two halves make one disc of radius p, and its whole rim inside the star
// needs only complete elliptic integrals:
//
// - a disc inside the star: one full turn of the rim, J = 2 H(pi/2), whose R_F, R_D and R_J are
//   complete with (x, y, z, p) = (0, kappa, 1, eta);
// - a disc crossing the limb: the rim from psi = x to -x, x the angle of the crossing, so
//   J = 2 H(x) (H is odd). There mu = 0, so y = mu^2/A vanishes: R_F(c^2, 0, 1) and its
//   partners are complete too, with kc^2 = c^2 = cos^2 x = ((z+p)^2 - 1)/B, and
//   rho = r^2/C = 1/C because the crossing lies on the limb, r = 1.
//
// So each point takes a single complete triple from Bulirsch's iteration (core/cel.hpp), and
// sin x, cos x from square roots: sin^2 x = A/B. Along the closed boundary of the part of the
// disc inside the star the polar angle about S sums to 2 pi or 0 (2 pi when S lies inside the
// disc): for a crossing disc, which never covers S (z - p > 1 - 2p > 0), the swept angles of
// rim and limb cancel in S1 exactly, and only the rim and limb angles of S0 and S2 remain.

// What a full disc of radius p needs that does not depend on where it is.
struct FullDisc {
    double p = 0.0;
    double pp = 0.0;
    double area = 0.0;       // pi p^2, S0 of the disc inside the star
    double inside_s2 = 0.0;  // pi p^2 (1 - p^2/2): S2 of the disc inside the star at z = 0
    bool has_rim = false;    // p >= kMinRadius
};

inline FullDisc make_full_disc(double p) {
    const double pp = p * p;
    return FullDisc{p, pp, kPi * pp, kPi * pp * (1.0 - pp / 2.0), p >= kMinRadius};
}

// One point of a full disc, prepared for its complete integrals: its moments are S0 = s0,
// S2 = s2 and S1 = (swept - 2 H)/3 with H = w1 T.first + w2 T.second + w3 T.third, where T are
// the three cel's of kc with numerators first, second (p = 1) and third (p = root_r^2).
struct DiscPoint {
    double s0 = 0.0;
    double s2 = 0.0;
    double swept = 0.0;  // polar angle about S swept along the boundary: 2 pi, pi or 0
    double w1 = 0.0;
    double w2 = 0.0;
    double w3 = 0.0;  // 0: no third-kind term
    double kc = 1.0;
    double root_r = 1.0;
    double inv_root_r = 1.0;
    cel::Numerator first{};
    cel::Numerator second{};
    cel::Numerator third{};

    cel::SharedIteration iteration() const {
        return cel::SharedIteration(kc, root_r, inv_root_r, first, second, third);
    }
};

// The disc wholly inside the star (z + p <= 1), far form q = -p: A = 1 - (z+p)^2 (floored),
// B = -4 z p, C = (z+p)^2.
inline DiscPoint inside_disc_point(const FullDisc& disc, double z, double zpp, double zmp) {
    const double p = disc.p;
    const double a = std::max((1.0 - zpp) * (1.0 + zpp), kMinA);
    const double b = -4.0 * z * p;
    const double root_a = std::sqrt(a);
    // One division for 1/sqrt(A) and 1/(z+p).
    const double inv_both = 1.0 / (root_a * zpp);
    const double inv_root_a = zpp * inv_both;
    const double inv_zpp = root_a * inv_both;
    const double inv_c = inv_zpp * inv_zpp;
    // The rim through S (to the precision of doubles): K = 0 drops the third-kind term, and the
    // swept angle takes its principal value, half a winding.
    const bool through_centre = std::fabs(zmp) < kThroughCentre * zpp;
    const double k = through_centre ? 0.0 : (p - z) * (p + z);
    const double winding = through_centre ? 0.0 : (p > z ? 1.0 : (p < z ? -1.0 : 0.0));
    // Divisions by 3 and 9 as products with their reciprocals (a rounding each, no division).
    const double cf = root_a * (a - b * kThird - k + k * inv_c);
    const double cd = b * (2.0 * b - 4.0 * a + 3.0 * k) * inv_root_a * kNinth;
    // K B / C^2 as (K/C)(B/C), which cannot overflow (rim_coefficients).
    const double cj = -(k * inv_c) * (b * inv_c) * inv_root_a * kThird;
    // kappa = (1 - (z-p)^2)/A, eta = ((z-p)/(z+p))^2; without a third-kind term any r will do.
    const double kc = std::sqrt((1.0 - zmp) * (1.0 + zmp)) * inv_root_a;
    // sqrt(eta) and its inverse: R_F = cel(kc, 1, 1, 1), R_D = cel(kc, 1, 0, 3),
    // R_J = cel(kc, eta, 0, 3).
    const bool with_rj = cj != 0.0;
    const double root_eta = with_rj ? std::fabs(zmp) * inv_zpp : 1.0;
    const double inv_root_eta = with_rj ? zpp / std::fabs(zmp) : 1.0;
    // A full turn: S0 = pi p^2; S2 = pi p^2 (1 - z^2 - p^2/2); S1 = (swept angle - 2 H(pi/2))/3
    // with the swept angle pi + pi sgn(p - z) (2 pi around S, 0 beside it), and
    // H(pi/2) = cf R_F + cd R_D + cj R_J.
    DiscPoint point;
    point.s0 = disc.area;
    point.s2 = disc.inside_s2 - disc.area * (z * z);
    point.swept = kPi + kPi * winding;
    point.w1 = cf;
    point.w2 = cd;
    point.w3 = with_rj ? cj : 0.0;
    point.kc = kc;
    point.root_r = root_eta;
    point.inv_root_r = inv_root_eta;
    point.first = {1.0, 1.0};
    point.second = {0.0, 3.0};
    point.third = {0.0, 3.0};
    return point;
}

// The disc crossing the limb, near form q = p: A = 1 - (z-p)^2, B = 4 z p, C = (z-p)^2, and
// z - p > 1 - 2p > 0.
//
// H(x) = int_0^x w^3 (1 + K/r^2) dpsi with w^2 = A - B sin^2 psi, r^2 = C + B sin^2 psi and
// sin^2 x = A/B. Written in R_F, R_D and R_J of kc = cos x, its terms grow like log(1/kc) with
// cancelling coefficients as the disc comes to touch the limb from inside (z + p -> 1+),
// losing about log(1/kc) digits. The substitution sin psi = sin x sin t (t from 0 to pi/2)
// makes w = sqrt(A) cos t and
//
//   H(x) = A^2 / sqrt(B) int_0^(pi/2) cos^4 t (1 + K/D) / Delta dt,
//   D = C + A sin^2 t = C cos^2 t + sin^2 t,  Delta^2 = cos^2 t + kc^2 sin^2 t,
//
// whose integrand vanishes like cos^4 t where Delta is smallest. With 1 - sin^2 t = (1 - D)/A,
// cos^2 t (1 + K/D) = (1 - K/A) - sin^2 t + (K/A)/D, so that H is made of three bounded
// integrals, each a cel of kc:
//
//   T1 = int cos^2 / Delta                       = cel(kc, 1, 1, 0),
//   T2 = int cos^2 sin^2 / Delta = (2 T1 - E)/(3 m) = cel(kc, 1, 1, -kc^2) / (3 m),  m = A/B,
//   T3 = int cos^2 / (D Delta)                   = cel(kc, 1/C, 1, 0) / C,
//
// (T2 from d/dt (sin t cos t Delta) integrating to zero), and
// H = A^2/sqrt(B) ((1 - K/A) T1 - T2 + (K/A) T3). Where A is small (the disc about to leave)
// the terms grow like 1/A but H like A^2: the absolute error stays about A B eps.
inline DiscPoint crossing_disc_point(const FullDisc& disc, double z, double zpp, double zmp) {
    const double p = disc.p;
    const double zp = z * p;
    const double a = (1.0 - zmp) * (1.0 + zmp);
    const double beyond = (zpp - 1.0) * (zpp + 1.0);  // (z+p)^2 - 1 = B - A
    const double b = 4.0 * zp;
    const double root_a = std::sqrt(a);
    const double root_beyond = std::sqrt(beyond);
    const double root_b = std::sqrt(b);
    // One division for 1/A, 1/sqrt(B) and 1/(z-p).
    const double inv_all = 1.0 / (a * root_b * zmp);
    const double inv_a = root_b * zmp * inv_all;
    const double inv_root_b = a * zmp * inv_all;
    const double inv_zmp = a * root_b * inv_all;
    // The crossing at psi = x: sin x = sqrt(A/B), cos x = sqrt((B - A)/B).
    const double s = root_a * inv_root_b;
    const double c = root_beyond * inv_root_b;
    const double ss = s * s;
    const double cc = c * c;

    // The rim inside the star spans u in [-window, window] about the point nearest S; the limb
    // inside the disc is |phi| <= limb_half, from the triangle S, P, crossing: its area is
    // sqrt(A (B - A))/4 (Heron) and cos(limb_half) = (1 + z^2 - p^2)/(2 z). Both come from the
    // same rounded z + p and z - p, so that a rim arc and a limb arc of rounding-level length
    // cancel.
    const double window = 2.0 * std::atan2(root_a, root_beyond);
    const double limb_half = std::atan2(root_a * root_beyond, 1.0 + zpp * zmp);
    // The rim arc from u = -window to window (alpha gains 2 window; at its ends
    // sin alpha = -+2 s c, cos alpha = s^2 - c^2), then the limb arc of 2 limb_half.
    const double pp = disc.pp;
    const double sc = s * c;
    const double e0 = 0.5 - (z * z + pp) / 4.0;
    const double e1 = -zp / 2.0;
    DiscPoint point;
    point.s0 = pp * window - 2.0 * zp * sc + limb_half;
    point.s2 = 2.0 * e0 * pp * window - 4.0 * sc * (e0 * zp + e1 * pp) +
               e1 * zp * (window - 2.0 * sc * (ss - cc)) + limb_half / 2.0;
    // The swept angles of rim and limb cancel: the disc never covers S.
    point.swept = 0.0;
    // H = A^2/sqrt(B) ((1 - K/A) T1 - T2 + (K/A) T3), with K = p^2 - z^2 as a product,
    // T2 = cel(kc, 1, 1, -kc^2) B/(3A) and T3 = cel(kc, 1/C, 1, 0)/C.
    const double scale = (a * a) * inv_root_b;
    const double k_over_a = (p - z) * (p + z) * inv_a;
    point.w1 = scale * (1.0 - k_over_a);
    point.w2 = -scale * (b * inv_a * kThird);
    point.w3 = scale * (k_over_a * (inv_zmp * inv_zmp));
    point.kc = c;
    point.root_r = inv_zmp;
    point.inv_root_r = zmp;
    point.first = {1.0, 0.0};
    point.second = {1.0, -cc};
    point.third = {1.0, 0.0};
    return point;
}

// Whether the disc reaches the star at separation z, and then the point prepared. z + p and
// z - p are rounded once: every quantity that places the rim against the limb is built from
// them.
inline bool prepare_disc_point(const FullDisc& disc, double z, DiscPoint& point) {
    const double zpp = z + disc.p;
    const double zmp = z - disc.p;
    if (zmp >= 1.0 || !disc.has_rim) {
        return false;
    }
    point =
        zpp <= 1.0 ? inside_disc_point(disc, z, zpp, zmp) : crossing_disc_point(disc, z, zpp, zmp);
    return true;
}

inline Moments finish_disc_point(const DiscPoint& point, const cel::CelTriple& t) {
    const double h =
        point.w1 * t.first + point.w2 * t.second + (point.w3 != 0.0 ? point.w3 * t.third : 0.0);
    return Moments{point.s0, (point.swept - 2.0 * h) * kThird, point.s2};
}

// The moments of a full disc of radius p at separation z, which the two halves make for equal
// radii.
inline Moments full_disc_moments(const FullDisc& disc, double z) {
    DiscPoint point;
    if (!prepare_disc_point(disc, z, point)) {
        return Moments{};
    }
    cel::SharedIteration iteration = point.iteration();
    while (iteration.running() && iteration.step()) {
    }
    return finish_disc_point(point, iteration.result());
}

// The same at two separations at once, each result bit for bit the one it has alone: the two
// iterations, each a chain of dependent square roots and divisions, run interleaved so that
// the processor overlaps them (measured: a pair costs about 13% less than two single points;
// groups of four held in arrays cost more than pairs).
inline void full_disc_moments_pair(const FullDisc& disc, double z1, double z2, Moments& m1,
                                   Moments& m2) {
    DiscPoint first;
    DiscPoint second;
    const bool has_first = prepare_disc_point(disc, z1, first);
    const bool has_second = prepare_disc_point(disc, z2, second);
    if (!has_first || !has_second) {
        m1 = has_first ? full_disc_moments(disc, z1) : Moments{};
        m2 = has_second ? full_disc_moments(disc, z2) : Moments{};
        return;
    }
    cel::SharedIteration one = first.iteration();
    cel::SharedIteration two = second.iteration();
    cel::run_side_by_side(one, two);
    m1 = finish_disc_point(first, one.result());
    m2 = finish_disc_point(second, two.result());
}

inline Moments full_disc_moments(double z, double p) {
    return full_disc_moments(make_full_disc(p), z);
}

// The moments of the planet's part inside the star, at one point.
inline Moments blocked_moments(double z, double theta, double p1, double p2) {
    return p1 == p2 ? full_disc_moments(z, p1) : blocked_moments_halves(z, theta, p1, p2);
}

// Fraction of the star's flux hidden, for a law I = c0 + c1 mu + c2 mu^2 with normalisation
// N, from the boundary moments: D = (c0 S0 + c1 S1 + c2 S2) / N.
inline double blocked_fraction(const PowerBasis& law, double norm, const Moments& m) {
    return (law.c0 * m.s0 + law.c1 * m.s1 + law.c2 * m.s2) / norm;
}

}  // namespace halfmoon::closed_form
