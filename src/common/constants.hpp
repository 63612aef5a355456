#pragma once
// The numbers more than one file uses, written once. Each literal is the value
// every result was computed with; the asserts tie it to where it comes from.

#include <numbers>

namespace tovimera::constants {

// pi, the double nearest it.
inline constexpr double pi = 3.141592653589793;
static_assert(pi == std::numbers::pi);

// 2 pi, pi / 2 and 2 / pi: pi and 1 / pi scaled by a power of two, exactly.
inline constexpr double two_pi = 6.283185307179586;
inline constexpr double half_pi = 1.5707963267948966;
inline constexpr double two_over_pi = 0.6366197723675814;
static_assert(two_pi == 2.0 * std::numbers::pi);
static_assert(half_pi == std::numbers::pi / 2.0);
static_assert(two_over_pi == 2.0 * std::numbers::inv_pi);

// The absolute error every integrated route asks of the double-exponential
// rule: below the ulp of a magnification (at least 1, ulp 2.2e-16), so a sweep
// ends on convergence or on the rule's rounding floor (numerics/quadrature.hpp).
inline constexpr double quadrature_target = 1e-16;

// The fixed linear limb-darkening law I(mu) = 0.4 + 0.6 mu, mu = sqrt(1 - r^2):
// its limb coefficient and its constant part. The law's total flux is a stored
// literal of its own (integrated/limb_darkening.hpp).
inline constexpr double limb_coefficient = 0.6;
inline constexpr double limb_constant_part = 0.4;
static_assert(limb_constant_part == 1.0 - limb_coefficient);

}  // namespace tovimera::constants
