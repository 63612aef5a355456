#pragma once
// Magnification of a source whose radial brightness is a table: radii `bl`
// (source radii) and brightness or ring weights `bf`.

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "common/expected.hpp"
#include "common/panic.hpp"
#include "fluxmap/tabulated_profile.hpp"
#include "integrated/integrated_heyrovsky.hpp"
#include "kernels/ring.hpp"
#include "kernels/witt_mao.hpp"
#include "numerics/quadrature.hpp"

namespace tovimera {

// Unequal tables are a caller's broken precondition, reported before any work.
inline void check_table(std::span<const double> bl, std::span<const double> bf) {
    if (bl.size() != bf.size()) {
        panic("assertion `left == right` failed\n  left: " + std::to_string(bl.size()) +
              "\n right: " + std::to_string(bf.size()));
    }
}

// Sum of ring magnifications weighted by `bf`; the first ring failure, in
// separation then table order, ends the call.
inline Expected<std::vector<double>> discrete_flux_map_heyrovsky_magnification(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf) {
    check_table(bl, bf);
    std::vector<double> result;
    if (l.empty()) return result;
    if (bl.empty()) return std::vector<double>(l.size(), 0.0);
    result.reserve(l.size());
    for (const double separation : l) {
        double sum = 0.0;
        for (std::size_t i = 0; i < bl.size(); ++i) {
            const Expected<double> ring = heyrovsky_magnification(separation, bl[i], re, rstar);
            if (!ring.has_value()) return ring.error();
            sum = sum + ring.value() * bf[i];
        }
        result.push_back(sum);
    }
    return result;
}

// Total flux of the tabulated profile over the unit disk.
inline double tabulated_flux(const TabulatedProfile& profile) {
    return double_exponential::integrate([&profile](double x) { return profile(x) * (constants::two_pi * x); },
                                         0.0, 1.0, constants::quadrature_target)
        .integral;
}

// Half the width of the thin annuli, in source radii.
inline constexpr double annulus_half_width = 0.0001;

// A thin uniform annulus around radius x (source radii), as the difference of
// two uniform disks half a width inside and outside, clipped to [0, 1].
inline double annulus_magnification(double u, double rho, double x) noexcept {
    double inner = x + (-annulus_half_width);
    if (!(inner > 0.0)) inner = 0.0;
    double outer = x + annulus_half_width;
    if (!(outer < 1.0)) outer = 1.0;
    const double inner2 = inner * inner;
    const double outer2 = outer * outer;
    if (inner2 >= outer2) return std::nan("");
    const double inner_term =
        inner2 == 0.0 ? 0.0 : witt_mao_magnification_scaled(u, inner * rho) * inner2;
    return (witt_mao_magnification_scaled(u, outer * rho) * outer2 - inner_term) /
           (outer2 - inner2);
}

// Cuts for the annulus integrand, ascending; each is a kink of it. An edge of
// the annulus passes the lens at x = l - h (outer) and x = l + h (inner), and
// the peak between them is cut at x = l. An edge meets the source's centre or
// rim at x = h and 1 - h, where the clipping starts: left inside a sweep, that
// kink alone is 1.2e-8 off for a lens 5e-5 outside the rim. Cuts outside
// (0, 1), and NaN, are skipped by the split.
inline std::array<double, 5> annulus_cuts(double l) noexcept {
    const double h = annulus_half_width;
    const std::array<double, 3> lens{l + (-h), l, l + h};
    const std::array<double, 2> clipping{h, 1.0 - h};
    std::array<double, 5> cuts{};
    std::merge(lens.begin(), lens.end(), clipping.begin(), clipping.end(), cuts.begin());
    return cuts;
}

inline std::vector<double> integrated_flux_map_witt_mao_magnification(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf) {
    check_table(bl, bf);
    const TabulatedProfile profile(bl, bf);
    const double flux = tabulated_flux(profile);
    const double rho = rstar / re;
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        const double u = separation * rho;
        const auto weighted_annulus = [&](double x) {
            return profile(x) * ((constants::two_pi * x) * annulus_magnification(u, rho, x));
        };
        // As on the ring route, the table's own break points are not cuts.
        const double g = double_exponential::integrate_split(weighted_annulus, 0.0, 1.0,
                                                             annulus_cuts(separation), constants::quadrature_target)
                             .integral;
        result.push_back(g / flux);
    }
    return result;
}

inline std::vector<double> integrated_flux_map_heyrovsky_magnification(
    std::span<const double> l, double re, double rstar, std::span<const double> bl,
    std::span<const double> bf) {
    check_table(bl, bf);
    const TabulatedProfile profile(bl, bf);
    return _integrated_heyrovsky_magnification(l, re, rstar, tabulated_flux(profile), profile);
}

}  // namespace tovimera
