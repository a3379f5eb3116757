// Numerical constants shared by every part of the core, written once.
//
// The angles are the doubles nearest to their exact values, spelled out so that every
// translation unit sees the same bits; the tolerance is the one absolute tolerance of the
// overlap geometry.
#pragma once

namespace halfmoon {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kMinusPi = -3.141592653589793;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kTwoPi = 6.283185307179586;

// Absolute tolerance of every equality test of the overlap geometry (unscaled).
inline constexpr double kTolerance = 1e-9;
// Folding threshold of the dividing-line angle: a quarter turn plus the tolerance.
inline constexpr double kFoldLimit = 1.5707963277948966;

// Seams of the overlap classification. Its decisions compare lengths with the tolerance, and
// inside a band about a decision's threshold neighbouring decisions can disagree; there the
// classification's area is checked against a direct evaluation along the overlap's boundary.
// Half-width of that band, in the star circle's radius about each radius at which a decision
// changes (and in the line's angle about 0 and +-pi/2): twenty tolerances.
inline constexpr double kSeamBand = 2e-8;
// Below this separation every distance in the picture is tiny, the chord of the two circles is
// formed with heavy cancellation, and the whole band |r - p| <= z about the rim is a seam.
inline constexpr double kTinySeparation = 1e-6;
// The classification's area is kept where it agrees with the direct evaluation to within this:
// just above the lens formula's own rounding floor at internal tangency (its arccosines get
// arguments within rounding of +-1 there; up to 2.1e-8 measured for separations above 0.01).
inline constexpr double kSeamAgreement = 3e-8;

}  // namespace halfmoon
