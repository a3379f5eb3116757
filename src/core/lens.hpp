// Area of the lens shared by two discs, one of radius r about the star's centre S and one of
// radius p about the planet's centre P.
//
// The common chord cuts each disc into a circular segment; the lens is the two segments
// together. Written with the half-angles that the chord subtends at each centre, that is the
// sector of each disc between S (or P) and the chord's ends, less the kite S, Q1, P, Q2 that
// the two sectors both cover:
//
//     lens = p^2 angle_p + r^2 angle_r - kite.
//
// The callers differ in how they form the half-angles and the kite next to tangencies (and in
// which rounding they must reproduce); the lens itself is this one sum.
#pragma once

namespace halfmoon {

inline double lens_area(double r_sq, double angle_r, double p_sq, double angle_p, double kite) {
    return (p_sq * angle_p + r_sq * angle_r) - kite;
}

}  // namespace halfmoon
