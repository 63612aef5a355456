#pragma once
// Magnification of a thin uniform ring of radius r (source radii) by a point
// lens at distance l from the ring's centre, in Heyrovsky's form. The grouping
// of every expression is part of the contract: results must reproduce bit for
// bit whatever platform evaluates them.

#include <cmath>

#include "common/expected.hpp"
#include "kernels/ellip.hpp"

namespace tovimera {

inline Expected<double> heyrovsky_magnification(double l, double r, double re,
                                                double rstar) noexcept {
    constexpr double two_pi = 6.283185307179586;
    const double q = re / rstar;
    const double q2 = q * q;
    const double d = r - l;

    // On the ring itself the elliptic form is singular; its logarithmic
    // asymptote is used inside an absolute band of 1e-5 source radii.
    if (std::fabs(d) < 1e-5) {
        const double l2 = l * l;
        const double big_l = std::log(((8.0 * q) * l) / (std::sqrt(l2 + q2) * std::fabs(d)));
        const double t = std::atan(l / q);
        return (((1.0 - d / (l + l)) * ((q + q) / l)) * big_l + t * 4.0 +
                ((((l2 + l2) + q2) * q) / ((l2 + q2) * l2)) * d) /
               two_pi;
    }

    const double h = q2 * 4.0 + d * d;
    const double s = l + r;
    const double k = std::sqrt((l * r) / h) * ((q * 4.0) / s);
    const double m = k * k;
    const Expected<double> big_k = ellip::ellipk(m);
    if (!big_k.has_value()) return big_k.error();
    const double n = ((l * 4.0) * r) / (s * s);
    const Expected<double> big_pi = ellip::ellippi(n, m);
    if (!big_pi.has_value()) return big_pi.error();
    return (((q2 + q2) * big_k.value() + (d * d) * big_pi.value()) * (4.0 / (s * std::sqrt(h)))) /
           two_pi;
}

}  // namespace tovimera
