#pragma once
// Brightness-weighted mean of the ring magnification over the source:
// J = integral over r in [0, 1] of profile(r) 2 pi r A_ring(l, r), divided by
// the profile's total flux.

#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "common/constants.hpp"
#include "integrated/limb_darkening.hpp"
#include "kernels/ring.hpp"
#include "numerics/quadrature.hpp"

namespace tovimera {

// `profile` maps a radius (source radii) to a brightness; it is called once
// per quadrature node, on this thread.
inline std::optional<double> no_shortcut(double) noexcept { return std::nullopt; }

// `shortcut` may give a separation's value without the integral (a series far
// from the lens).
template <class Profile, class Shortcut = decltype(&no_shortcut)>
std::vector<double> _integrated_heyrovsky_magnification(std::span<const double> l, double re,
                                                         double rstar, double normalisation,
                                                         const Profile& profile,
                                                         const Shortcut& shortcut = &no_shortcut) {
    std::vector<double> result;
    result.reserve(l.size());
    for (const double separation : l) {
        if (const std::optional<double> value = shortcut(separation)) {
            result.push_back(*value);
            continue;
        }
        bool any_finite = false;
        const auto weighted_ring = [&](double r) {
            const Expected<double> ring = heyrovsky_magnification(separation, r, re, rstar);
            // A failed ring counts as nothing: the quadrature drops NaN nodes.
            const double value = ring.has_value() ? ring.value() : std::nan("");
            const double weighted = profile(r) * ((constants::two_pi * r) * value);
            any_finite = any_finite || std::isfinite(weighted);
            return weighted;
        };
        // The ring magnification is logarithmically singular at r = l; the
        // rule converges fast on an end-point singularity, slowly inside.
        // Outside 0 < l < 1 the split skips the cut: one sweep.
        const std::array<double, 1> lens{separation};
        const double j =
            double_exponential::integrate_split(weighted_ring, 0.0, 1.0, lens, constants::quadrature_target).integral;
        // With no finite node the sum is an empty 0, not a magnification.
        result.push_back(any_finite ? j / normalisation : std::nan(""));
    }
    return result;
}

inline std::vector<double> integrated_heyrovsky_magnification(std::span<const double> l,
                                                               double re, double rstar) {
    const double rho = rstar / re;
    const auto far = [rho](double separation) -> std::optional<double> {
        if (!limb_darkened_far_field(separation, rho)) return std::nullopt;
        return limb_darkened_far_from_lens(separation, rho);
    };
    return _integrated_heyrovsky_magnification(l, re, rstar, LIMB_DARKENED_FLUX, limb_darkening_profile, far);
}

}  // namespace tovimera
