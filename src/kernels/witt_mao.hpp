#pragma once
// Magnification of a uniformly bright circular source by a point-mass lens, in
// the closed form of Witt & Mao (1994); u and rho in Einstein radii.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "common/expected.hpp"
#include "kernels/ellip.hpp"

namespace tovimera {

namespace witt_mao_detail {

inline constexpr double pi = 3.141592653589793;
inline constexpr double half_pi = 1.5707963267948966;

// One fixed NaN for every failure, whatever the platform's NAN macro carries.
inline constexpr double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Beyond u = 1000 rho the closed form loses about 2.5 eps (u/rho)^2 to
// cancellation (5e-10 at the switch, measured against mpmath); the series below
// is good to 2 ulp there and further out.
inline constexpr double far_ratio = 1000.0;

// Disk mean of the point-source magnification A(u) = (u^2+2)/(u sqrt(u^2+4)):
//   A + (rho^2/8) Lap A + (rho^4/192) Lap^2 A + ...,
// each term written relative to A with e = (rho/u)^2, b = 4/(u^2+4), a = 1 - b:
//   T1 = e   b^2/(2-b) (b/8 + a/2)
//   T2 = e^2 b^2/(2-b) (3/64 b^3 + 7/32 a b^2 + 3/8 a^2 b + 3/4 a^3).
// a and b lie in [0, 1] and every coefficient is positive, so nothing cancels,
// and an overflowing u^2 only sends b to 0. The next term is below
// 0.025 e^3 < 3e-20 for u > 1000 rho (tests/reference/derive_disk_series.py).
inline double far_from_lens(double u, double rho) noexcept {
    const double x = u * u;
    const double b = 4.0 / (x + 4.0);
    const double a = 1.0 - b;
    const double r = rho / u;
    const double e = r * r;
    // A - 1 = 4 / (s (u^2 + 2 + s)) with s = u sqrt(u^2 + 4): no cancellation as A -> 1.
    const double s = u * std::sqrt(x + 4.0);
    const double point = 1.0 + 4.0 / (s * ((x + 2.0) + s));
    const double a2 = a * a;
    const double b2 = b * b;
    const double t1 = b * (1.0 / 8.0) + a * (1.0 / 2.0);
    const double t2 = b * (b2 * (3.0 / 64.0) + a2 * (3.0 / 8.0)) + a * (b2 * (7.0 / 32.0) + a2 * (3.0 / 4.0));
    const double relative = (b2 / (2.0 - b)) * (e * (t1 + e * t2));
    return point + point * relative;
}

}  // namespace witt_mao_detail

// Never fails: an elliptic-integral failure gives the quiet NaN.
inline double witt_mao_magnification_scaled(double u, double rho) noexcept {
    using witt_mao_detail::half_pi;
    using witt_mao_detail::pi;
    using witt_mao_detail::quiet_nan;

    if (rho <= 0.0) {
        return (2.0 + u * u) / (std::sqrt(u * u + 4.0) * u);
    }
    const double rho2 = rho * rho;

    // Spelt out rather than std::max so that a NaN rho falls back to 1e-5.
    const double relative_tolerance = 0.001 * std::fabs(rho);
    const double tolerance = relative_tolerance > 1e-5 ? relative_tolerance : 1e-5;

    // Lens on the source's rim: Pi(n, m) diverges at n = 1, so use the limit.
    if (std::fabs(u - rho) < tolerance) {
        const double a = 2.0 / rho;
        const double b = (1.0 + rho2) / rho2;
        const double c = std::asin((rho2 + (-1.0)) / (1.0 + rho2));
        return ((c + half_pi) * b + a) / pi;
    }

    if (u > rho * witt_mao_detail::far_ratio && u < std::numeric_limits<double>::infinity()) {
        return witt_mao_detail::far_from_lens(u, rho);
    }

    const double d = u - rho;
    const double s = u + rho;
    const double n = ((rho * 4.0) * u) / (s * s);
    const double g = std::sqrt(d * d + 4.0);
    const double k = std::sqrt(n * 4.0) / g;
    const double m = k * k;

    const Expected<double> e_m = ellip::ellipe(m);
    if (!e_m.has_value()) {
        return quiet_nan;
    }
    const Expected<double> k_m = ellip::ellipk(m);
    if (!k_m.has_value()) {
        return quiet_nan;
    }
    const Expected<double> pi_nm = ellip::ellippi(n, m);
    if (!pi_nm.has_value()) {
        return quiet_nan;
    }

    const double t_e = e_m.value() * ((g * s) / (2.0 * rho2));
    const double t_k = ((d * ((u * u - rho2) * 0.5 + 4.0)) / (g * rho2)) * k_m.value();
    const double t_p = pi_nm.value() * (((d * d + d * d) * (1.0 + rho2)) / (g * (rho2 * s)));
    return (t_p + (t_e - t_k)) / pi;
}

}  // namespace tovimera
