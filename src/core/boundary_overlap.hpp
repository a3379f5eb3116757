// Overlap of the star circle's disc with a half-disc, found by walking the half-disc's boundary.
//
// This evaluation needs no configuration. Frame as in overlap.hpp: S at the origin, P = (z, 0),
// the dividing line through P along d = (cos theta, sin theta), the half-disc K on the side of
// n = (-sin theta, cos theta). K's boundary is the semicircle from E1 = P + p d anticlockwise
// about P to E2 = P - p d, followed by the diameter from E2 back to E1. The region
// R = K ∩ D_r is convex; its boundary alternates between pieces of K's boundary lying inside
// the star circle and arcs of the star circle lying inside K, and Green's theorem
//
//     area(R) = 1/2 ∮ (x dy - y dx)
//
// adds the two kinds of piece up. Along K's boundary the sign of h(X) = |X|^2 - r^2 tells
// inside from outside. h is evaluated once at each corner E1, E2 (a value shared by the arc and
// the diameter that meet there) and at the extremum of each piece; a crossing of the star
// circle is placed on a monotonic stretch exactly when the signs at its two ends differ, and
// its computed position is clamped into that stretch. The crossings therefore always come in
// entering/leaving pairs around the boundary, whatever the rounding, and no tolerance decides
// anything. Each arc of the star circle is added as the sector it sweeps about S, so the
// radial gap between a crossing computed a little off the star circle and the circle itself
// adds nothing; a crossing misplaced along a nearly tangent boundary (its position is
// ill-conditioned there) changes the area only by the thin sliver between the two curves.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "core/constants.hpp"

namespace halfmoon {

// A point where the star circle crosses K's boundary.
struct BoundaryCrossing {
    double x;
    double y;
    double primitive;  // 1/2 ∫ (x dy - y dx) along K's boundary from E1 up to this point
};

// The fixed quantities of one evaluation.
struct BoundaryWalk {
    double z, r, p, theta, s, c;
    double f;          // z s: signed distance of S from the line, > 0 on K's side
    double rim_level;  // z^2 + p^2 - r^2, with p^2 - r^2 formed as (p - r)(p + r)
    double rim_swing;  // 2 z p: h on the rim is rim_level + rim_swing cos(psi)
    double h_e1;       // h at E1
    double h_e2;       // h at E2
};

inline double rim_primitive(const BoundaryWalk& w, double lambda, double sin_psi) {
    // Arc of the rim from E1 (psi = theta) to psi = theta + lambda.
    return 0.5 * (w.p * w.p * lambda + w.p * w.z * (sin_psi - w.s));
}

inline double diameter_primitive(const BoundaryWalk& w, double t) {
    // Semicircle E1 -> E2, then the diameter from E2 (t = -p) to the point at position t along d:
    // a straight piece through P + t d contributes 1/2 (t2 - t1) (P x d) = 1/2 (t2 - t1) z s.
    const double at_e2 = rim_primitive(w, kPi, -w.s);
    return at_e2 + 0.5 * (t + w.p) * w.f;
}

inline bool inside_star(double h) {
    return h < 0.0;
}

// Crossing on the rim stretch theta + [lambda_a, lambda_b], where cos(psi) is monotonic.
inline BoundaryCrossing rim_crossing(const BoundaryWalk& w, double lambda_a, double lambda_b) {
    // h = 0 where cos(psi) = -rim_level / rim_swing; the stretch lies within one half-turn in
    // which sin(psi) keeps its sign, and that sign picks the root.
    const double cosine = std::fmax(-1.0, std::fmin(1.0, -w.rim_level / w.rim_swing));
    const double mid = 0.5 * (lambda_a + lambda_b);
    const double root = std::sin(w.theta + mid) >= 0.0 ? std::acos(cosine) : -std::acos(cosine);
    // Bring the root to the turn of the stretch, then clamp it into the stretch.
    double lambda = root - w.theta;
    lambda -= kTwoPi * std::nearbyint((lambda - mid) / kTwoPi);
    lambda = std::fmax(lambda_a, std::fmin(lambda_b, lambda));
    const double psi = w.theta + lambda;
    const double sin_psi = std::sin(psi);
    return BoundaryCrossing{w.z + w.p * std::cos(psi), w.p * sin_psi,
                            rim_primitive(w, lambda, sin_psi)};
}

// Crossing on the diameter stretch [t_a, t_b], where h = (t + z c)^2 + (z s)^2 - r^2 is
// monotonic; it falls on the far or near side of the foot of the perpendicular from S.
inline BoundaryCrossing diameter_crossing(const BoundaryWalk& w, double t_a, double t_b) {
    const double foot = -w.z * w.c;
    const double g = std::fabs(w.f);
    const double half_chord = std::sqrt(std::fmax(0.0, (w.r - g) * (w.r + g)));
    const double mid = 0.5 * (t_a + t_b);
    const double root = mid < foot ? foot - half_chord : foot + half_chord;
    const double t = std::fmax(t_a, std::fmin(t_b, root));
    return BoundaryCrossing{w.z + t * w.c, t * w.s, diameter_primitive(w, t)};
}

// The crossings in the order of the walk E1 -> semicircle -> E2 -> diameter -> E1.
struct Crossings {
    std::array<BoundaryCrossing, 6> at{};
    std::size_t count = 0;

    void add(const BoundaryCrossing& crossing) { at[count++] = crossing; }
};

inline Crossings boundary_crossings(const BoundaryWalk& w) {
    Crossings crossings;
    // Semicircle psi = theta + lambda, lambda in [0, pi]. cos(psi) is extreme at psi = pi
    // (h smallest, the rim point nearest S) and psi = 0 (h largest); at most one of them lies
    // strictly inside the semicircle for |theta| < pi.
    double lambda_extreme = -1.0;
    double h_extreme = 0.0;
    if (w.theta > 0.0 && w.theta < kPi) {
        lambda_extreme = kPi - w.theta;
        h_extreme = w.rim_level - w.rim_swing;
    } else if (w.theta < 0.0 && w.theta > -kPi) {
        lambda_extreme = -w.theta;
        h_extreme = w.rim_level + w.rim_swing;
    }
    if (lambda_extreme > 0.0 && lambda_extreme < kPi) {
        if (inside_star(w.h_e1) != inside_star(h_extreme)) {
            crossings.add(rim_crossing(w, 0.0, lambda_extreme));
        }
        if (inside_star(h_extreme) != inside_star(w.h_e2)) {
            crossings.add(rim_crossing(w, lambda_extreme, kPi));
        }
    } else if (inside_star(w.h_e1) != inside_star(w.h_e2)) {
        crossings.add(rim_crossing(w, 0.0, kPi));
    }
    // Diameter t in [-p, p] from E2 to E1; h is smallest at the foot t = -z c.
    const double foot = -w.z * w.c;
    if (foot > -w.p && foot < w.p) {
        const double g = std::fabs(w.f);
        const double h_foot = (g - w.r) * (g + w.r);
        if (inside_star(w.h_e2) != inside_star(h_foot)) {
            crossings.add(diameter_crossing(w, -w.p, foot));
        }
        if (inside_star(h_foot) != inside_star(w.h_e1)) {
            crossings.add(diameter_crossing(w, foot, w.p));
        }
    } else if (inside_star(w.h_e2) != inside_star(w.h_e1)) {
        crossings.add(diameter_crossing(w, -w.p, w.p));
    }
    return crossings;
}

// How far the point lies inside K (negative outside): the smaller of its distance from the line
// on K's side and, to first order, its distance inside the rim.
inline double half_disc_margin(const BoundaryWalk& w, double x, double y) {
    const double dx = x - w.z;
    const double across = -w.s * dx + w.c * y;
    const double within_rim = (w.p * w.p - (dx * dx + y * y)) / (w.p + w.p);
    return std::fmin(across, within_rim);
}

// Angle swept anticlockwise about S along the star circle from `from` to `to`, an arc of R's
// boundary that lies inside K. When the two points (nearly) coincide the arc is either almost
// nothing or almost the whole circle. With only two crossings the star circle consists of one
// arc inside K and one outside; the long candidate is sampled at three points spread over it
// (its middle and a quarter turn to either side), and the sample lying farthest from K's
// boundary tells on which side of K that arc lies.
inline double star_arc_angle(const BoundaryWalk& w, const BoundaryCrossing& from,
                             const BoundaryCrossing& to, std::size_t crossing_count) {
    constexpr double kAmbiguousAngle = 1e-6;
    const double turn = std::atan2(from.x * to.y - from.y * to.x, from.x * to.x + from.y * to.y);
    if (std::fabs(turn) >= kAmbiguousAngle) {
        return turn < 0.0 ? turn + kTwoPi : turn;
    }
    bool whole_way = false;
    if (crossing_count == 2) {
        const double opposite = std::atan2(from.y, from.x) + 0.5 * turn + kPi;
        double decisive = 0.0;
        for (const double offset : {0.0, 0.5 * kPi, -0.5 * kPi}) {
            const double angle = opposite + offset;
            const double margin = half_disc_margin(w, w.r * std::cos(angle), w.r * std::sin(angle));
            if (std::fabs(margin) > std::fabs(decisive)) {
                decisive = margin;
            }
        }
        whole_way = decisive > 0.0;
    }
    return whole_way ? kTwoPi + std::fmin(turn, 0.0) : std::fmax(turn, 0.0);
}

// Area of the intersection of the disc of radius r about S with the half-disc of radius p whose
// centre lies at distance z and whose dividing line makes the angle theta (|theta| < pi) with
// the line of centres; z >= 0, r > 0 and p > 0, all finite.
inline double boundary_overlap_area(double z, double r, double p, double theta) {
    BoundaryWalk w{};
    w.z = z;
    w.r = r;
    w.p = p;
    w.theta = theta;
    w.s = std::sin(theta);
    w.c = std::cos(theta);
    w.f = z * w.s;
    w.rim_level = z * z + (p - r) * (p + r);
    w.rim_swing = 2.0 * z * p;
    w.h_e1 = w.rim_level + w.rim_swing * w.c;
    w.h_e2 = w.rim_level - w.rim_swing * w.c;

    const Crossings crossings = boundary_crossings(w);
    const double half_disc = 0.5 * kPi * p * p;
    if (crossings.count == 0) {
        // K's boundary lies wholly inside or wholly outside the star circle: K lies inside the
        // star's disc, or the disc lies inside K (then S is in K), or they are disjoint.
        if (inside_star(w.h_e1)) {
            return half_disc;
        }
        return z <= p && w.f >= 0.0 ? kPi * r * r : 0.0;
    }
    // The walk alternates between inside and outside; start at the first entering crossing.
    const std::size_t n = crossings.count;
    const std::size_t first = inside_star(w.h_e1) ? 1 : 0;
    const double loop = rim_primitive(w, kPi, -w.s) + w.p * w.f;  // all of K's boundary
    double area = 0.0;
    for (std::size_t k = 0; k < n; k += 2) {
        const std::size_t enter = (first + k) % n;
        const std::size_t leave = (first + k + 1) % n;
        const std::size_t next = (first + k + 2) % n;
        // K's boundary inside the star circle from `enter` to `leave` (past E1 if it wraps)...
        double along = crossings.at[leave].primitive - crossings.at[enter].primitive;
        if (leave < enter) {
            along += loop;
        }
        // ...then the star circle inside K back to the next entering crossing.
        const double sweep = star_arc_angle(w, crossings.at[leave], crossings.at[next], n);
        area += along + 0.5 * r * r * sweep;
    }
    return std::fmax(area, 0.0);
}

}  // namespace halfmoon
