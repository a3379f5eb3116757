// Orientation of the planet's dividing line relative to the line of centres.
//
// Two reductions live here. `sky_theta` is the package engine's: from the planet centre's sky
// coordinates (x, y) it is the line's sky angle less the polar angle atan2(y, x), any real
// value. `find_theta` and `line_theta` are the light-curve modules': they see only the
// separation and y, take the sign of x from the point's index, and fold the angle into the
// range the overlap area handles.
//
// Sky frame of the light-curve modules: origin at the star's centre, X the reference axis, Y a
// quarter turn counter-clockwise from it. The caller gives the planet centre's Y (the normal
// offset) and its distance z from the star's centre; the sign of X follows from the point's index:
// points up to and including the crossing index lie before the crossing (X < 0), later points after
// it (X > 0). The polar angle of the centre is alpha = asin(Y/z) after the crossing and pi -
// asin(Y/z) (equivalently -pi - asin(Y/z) for Y < 0) before it.
//
// The angle theta from the line of centres to the dividing line is d = line_angle - alpha or its
// mirror image in the line of centres, which leaves the overlap with any circle about the star's
// centre unchanged; the mirror is taken where d leaves the half-turn about zero.
#pragma once

#include <cmath>

#include "core/constants.hpp"

namespace halfmoon {

// Sine of the planet centre's elevation above the reference axis, |Y|/z or Y/z. When the offset
// exceeds the separation only by rounding (the two are often computed by different formulas),
// the centre lies on the normal axis: s is +-1 exactly.
inline double elevation_sine(double offset, double separation) {
    const double s = offset / separation;
    const double excess = std::fabs(offset) - separation;
    if (separation > 0.0 && excess > 0.0 && excess <= kTolerance) {
        return std::copysign(1.0, s);
    }
    return s;
}

inline double find_theta(int index, double line_angle, double separation, double normal_offset,
                         double crossing_index) {
    const bool before = crossing_index >= static_cast<double>(index);
    // Upper case: the centre on or above the reference axis (within the tolerance, keeping the
    // sign of a tiny negative offset); lower case: clearly below it.
    const bool upper = normal_offset >= 0.0 || std::fabs(normal_offset) < kTolerance;
    const double s = elevation_sine(upper ? normal_offset : std::fabs(normal_offset), separation);
    const double a = std::acos(s);
    const double low_cut = a + (-kTolerance);
    const double high_cut = kTolerance - a;

    // Each pair of conditions is complementary for ordered values; a NaN angle or offset ratio
    // satisfies neither and gives 0.
    if (upper && before) {
        if (line_angle >= low_cut) {
            return -((kPi - std::asin(s)) - line_angle);
        }
        if (line_angle < low_cut) {
            return (-line_angle) - std::asin(s);
        }
    } else if (upper) {
        if (line_angle > high_cut) {
            return -(std::asin(s) - line_angle);
        }
        if (line_angle <= high_cut) {
            return -((line_angle + kPi) - std::asin(s));
        }
    } else if (before) {
        if (line_angle > high_cut) {
            return -(line_angle - std::asin(s));
        }
        if (line_angle <= high_cut) {
            return (kPi - std::asin(s)) + line_angle;
        }
    } else {
        if (line_angle < low_cut) {
            return -((-line_angle) - std::asin(s));
        }
        if (line_angle >= low_cut) {
            return (kPi - std::asin(s)) - line_angle;
        }
    }
    return 0.0;
}

// Angle from the star-to-planet direction to the dividing line, for a planet centre at sky
// (x, y) and a line at sky angle line_angle. Turning the sky so that the centre lies on the
// positive x axis keeps each half on its side of the line.
inline double sky_theta(double x, double y, double line_angle) {
    return line_angle - std::atan2(y, x);
}

// A sky orientation outside [-pi, pi] is first brought into that range (the IEEE remainder does
// it in one step); an angle inside the range is used exactly as given.
inline double reduce_line_angle(double line_angle) {
    return std::fabs(line_angle) > kPi ? std::remainder(line_angle, kTwoPi) : line_angle;
}

// Mirrors an angle beyond a quarter turn back into the range the overlap area handles.
inline double fold_theta(double theta) {
    if (theta >= kFoldLimit) {
        return kPi - theta;
    }
    if (theta <= -kFoldLimit) {
        return -(theta + kPi);
    }
    return theta;
}

// The angle the overlap area takes for point `index` of a light curve.
inline double line_theta(int index, double line_angle, double separation, double normal_offset,
                         double crossing_index) {
    return fold_theta(find_theta(index, reduce_line_angle(line_angle), separation, normal_offset,
                                 crossing_index));
}

}  // namespace halfmoon
