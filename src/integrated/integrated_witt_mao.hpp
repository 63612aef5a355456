#pragma once
// Limb-darkened magnification from the uniform-disk kernel: the law's constant
// part is the disk at full radius, its limb part an integral over nested
// disks, written in mu = sqrt(1 - r^2) so that the limb sits at an end point.

#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "common/constants.hpp"
#include "integrated/limb_darkening.hpp"
#include "kernels/witt_mao.hpp"
#include "numerics/quadrature.hpp"

namespace tovimera {

// The limb integrand at x = mu: the nested disk of radius rho sqrt(1 - x^2)
// times its squared radius.
inline double nested_disk(double u, double rho, double x) noexcept {
    const double q = 1.0 - x * x;
    if (q == 0.0) return 0.0;
    const double s = std::sqrt(q);
    return witt_mao_magnification_scaled(u, s * rho) * (s * s);
}

// Where the nested disk's rim passes the lens, x = sqrt(1 - l^2): a kink of the
// limb integrand. (1 - l)(1 + l) keeps the digits 1 - l * l loses next to
// l = 1. Without a kink (l outside (0, 1)) NaN, which a split skips.
inline double nested_disk_kink(double l) noexcept {
    return (l > 0.0 && l < 1.0) ? std::sqrt((1.0 - l) * (1.0 + l)) : std::numeric_limits<double>::quiet_NaN();
}

inline std::vector<double> integrated_witt_mao_magnification(std::span<const double> l,
                                                              double re, double rstar) {
    const double rho = rstar / re;
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        if (limb_darkened_far_field(separation, rho)) {
            result.push_back(limb_darkened_far_from_lens(separation, rho));
            continue;
        }
        const double u = separation * rho;
        const auto disk = [u, rho](double x) noexcept { return nested_disk(u, rho, x); };
        const std::array<double, 1> kink{nested_disk_kink(separation)};
        const double j =
            double_exponential::integrate_split(disk, 0.0, 1.0, kink, constants::quadrature_target).integral;
        const double m = witt_mao_magnification_scaled(u, rho);
        result.push_back(((j * constants::limb_coefficient) + (m * constants::limb_constant_part)) * constants::pi /
                          LIMB_DARKENED_FLUX);
    }
    return result;
}

}  // namespace tovimera
