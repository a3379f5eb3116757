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

}  // namespace halfmoon
