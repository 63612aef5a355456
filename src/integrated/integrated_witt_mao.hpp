#pragma once
// Limb-darkened magnification from the uniform-disk kernel: the law's constant
// part is the disk at full radius, its limb part an integral over nested
// disks, written in mu = sqrt(1 - r^2) so that the limb sits at an end point.

#include <cmath>
#include <vector>

#include "integrated/limb_darkening.hpp"
#include "integrated/quadrature.hpp"
#include "kernels/witt_mao.hpp"

namespace tovimera {

inline std::vector<double> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                              double re, double rstar) {
    const double rho = rstar / re;
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        const double u = separation * rho;
        const auto disk = [u, rho](double x) noexcept {
            const double q = 1.0 - x * x;
            if (q == 0.0) return 0.0;
            const double s = std::sqrt(q);
            return witt_mao_magnification_scaled(u, s * rho) * (s * s);
        };
        const double j = double_exponential::integrate(disk, 0.0, 1.0, 1e-16).integral;
        const double m = witt_mao_magnification_scaled(u, rho);
        result.push_back(((j * 0.6) + (m * 0.4)) * 3.141592653589793 / LIMB_DARKENED_FLUX);
    }
    return result;
}

}  // namespace tovimera
