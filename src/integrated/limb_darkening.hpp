#pragma once
// The fixed linear limb-darkening law I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)).

#include <cmath>

namespace tovimera {

// Total flux of the law over the unit disk, 0.8 pi, as the stored literal
// (which differs from 0.8 * pi in the last digits).
inline constexpr double LIMB_DARKENED_FLUX = 2.5132741228717936;

inline double limb_darkening_profile(double r) noexcept {
    const double t = r * r;
    const double s = std::sqrt(1.0 - t);
    return (1.0 - s) * (-0.6) + 1.0;
}

}  // namespace tovimera
