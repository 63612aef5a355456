#pragma once
// Magnification of a thin uniform ring of radius r (source radii) by a point
// lens at distance l from the ring's centre, in Heyrovsky's form
//   A = 2 (2 q^2 K(m) + (r - l)^2 Pi(n, m)) / (pi (l + r) sqrt(4 q^2 + (r - l)^2)),
// n = 4 l r / (l + r)^2, m = n 4 q^2 / (4 q^2 + (r - l)^2), q = re / rstar.

#include <cmath>
#include <optional>

#include "common/constants.hpp"
#include "common/expected.hpp"
#include "numerics/ellip.hpp"

namespace tovimera {

namespace ring_detail {

// The closed form from the complements 1 - n = (d/s)^2 and
// 1 - m = d^2 (4 q^2 + s^2) / (s^2 (4 q^2 + d^2)), exact where n and m round
// to 1. Every factor is a ratio of lengths, so any common scale serves.
inline double from_complements(double d, double s, double q) noexcept {
    const double w = d / s;
    const double p = w * w;
    const double two_q = q + q;
    const double h2 = two_q * two_q + d * d;
    const double t2 = two_q * two_q + s * s;
    const double kc = std::fabs(w) * std::sqrt(t2 / h2);
    const double h = std::sqrt(h2);
    const ellip::RingIntegrals integrals = ellip::ring_integrals_complement(kc, p, p);
    const double big_k = integrals.k;
    const double big_pi = integrals.scaled_pi;  // (1 - n) Pi(n, m)
    return (((two_q * q) / h) * (big_k / s) + (s / h) * big_pi) * constants::two_over_pi;
}

inline double closed_form(double l, double r, double q) noexcept {
    const double d = r - l;
    const double s = l + r;
    // Lengths near the ends of the double range would square to 0 or infinity.
    const double size = std::fabs(s) + std::fabs(q);
    if (size > 1e-150 && size < 1e150) {
        return from_complements(d, s, q);
    }
    return from_complements(d / size, s / size, q / size);
}

// On the ring the closed form diverges; this logarithmic asymptote, good for
// |r - l| much smaller than l, stands in where the closed form has no value.
inline double logarithmic(double l, double d, double q, double q2) noexcept {
    const double l2 = l * l;
    const double big_l = std::log(((8.0 * q) * l) / (std::sqrt(l2 + q2) * std::fabs(d)));
    const double t = std::atan(l / q);
    return (((1.0 - d / (l + l)) * ((q + q) / l)) * big_l + t * 4.0 +
            ((((l2 + l2) + q2) * q) / ((l2 + q2) * l2)) * d) /
           constants::two_pi;
}

// Inputs for which the closed form's n and m classify as no failure, without
// forming them: finite, l and r not negative, nothing near overflow, and r at
// least 1e-6 (l + r) from l. There n = 1 - (d/s)^2 <= 1 - 1e-12 and m <= n to
// a few ulps, far from 1, and no quotient is NaN. A quadrature calls the ring
// hundreds of times per separation; this spares each call a square root and
// three divisions.
inline bool plainly_valid(double l, double r, double q, double d) noexcept {
    constexpr double large = 1e150;
    const double s = l + r;
    return l >= 0.0 && r >= 0.0 && s < large && std::fabs(q) < large && std::fabs(d) >= 1e-5 &&
           std::fabs(d) > 1e-6 * s;
}

}  // namespace ring_detail

inline Expected<double> heyrovsky_magnification(double l, double r, double re,
                                                double rstar) noexcept {
    const double q = re / rstar;
    const double q2 = q * q;
    const double d = r - l;
    if (ring_detail::plainly_valid(l, r, q, d)) {
        return ring_detail::closed_form(l, r, q);
    }

    // n and m as the closed form writes them decide which inputs fail, and
    // with which message; the value itself comes from the complements.
    const double h = q2 * 4.0 + d * d;
    const double s = l + r;
    const double k = std::sqrt((l * r) / h) * ((q * 4.0) / s);
    const double m = k * k;
    const double n = ((l * 4.0) * r) / (s * s);
    const std::optional<Failure> failure = ellip::failure_of_k_then_pi(n, m);

    // Within 1e-5 source radii of the ring nothing fails: where the closed form
    // has no value (on the ring itself, a NaN lens size) the asymptote answers.
    if (std::fabs(d) < 1e-5) {
        if (!failure) {
            const double value = ring_detail::closed_form(l, r, q);
            if (std::isfinite(value)) {
                return value;
            }
        }
        return ring_detail::logarithmic(l, d, q, q2);
    }
    if (failure) {
        return *failure;
    }
    return ring_detail::closed_form(l, r, q);
}

}  // namespace tovimera
