#pragma once
// The fixed linear limb-darkening law I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)).

#include <cmath>
#include <limits>

#include "common/constants.hpp"
#include "kernels/witt_mao.hpp"

namespace tovimera {

// Total flux of the law over the unit disk. Exactly it is 0.8 pi; this stored
// literal sits 1.6e-14 below that, and it stays: both integrated routes divide
// by it, so the results are defined by it (docs/accuracy.md), and a rounded
// 0.8 pi would move every limb-darkened value by those 1.6e-14.
inline constexpr double LIMB_DARKENED_FLUX = 2.5132741228717936;

inline double limb_darkening_profile(double r) noexcept {
    const double t = r * r;
    const double s = std::sqrt(1.0 - t);
    return (1.0 - s) * (-constants::limb_coefficient) + 1.0;
}

// (k+1) M_2k of the law, M_2k = (0.4/(k+1) + 0.6 B(k+1, 3/2)) / 0.8, for k = 1..5
// (the mean of r^2k over the disk weighted by sqrt(1 - r^2) is B(k+1, 3/2)).
inline constexpr witt_mao_detail::MomentWeights LIMB_DARKENED_WEIGHTS = {
    9.0 / 10.0, 59.0 / 70.0, 169.0 / 210.0, 359.0 / 462.0, 1513.0 / 2002.0};

// Both routes divide by the stored flux literal; the series, exact, is scaled
// by 0.8 pi / LIMB_DARKENED_FLUX so that a route is continuous where it starts.
// 2.5132741228718345 is the double nearest 0.8 pi, written as the literal the
// ratio was fixed with.
inline constexpr double LIMB_DARKENED_FLUX_RATIO = 2.5132741228718345 / LIMB_DARKENED_FLUX;

// Far from the lens (beyond the uniform disk's own switch) the law's mean
// magnification is its moment series: exact to rounding, where the integrals
// spend 100 to 200 kernel calls. Only for a positive, finite rho and finite u.
inline bool limb_darkened_far_field(double l, double rho) noexcept {
    return l > witt_mao_detail::far_ratio && rho > 0.0 && rho < 1e8 &&
           l * rho < std::numeric_limits<double>::infinity();
}

inline double limb_darkened_far_from_lens(double l, double rho) noexcept {
    return witt_mao_detail::far_from_lens(l * rho, rho, LIMB_DARKENED_WEIGHTS) * LIMB_DARKENED_FLUX_RATIO;
}

}  // namespace tovimera
