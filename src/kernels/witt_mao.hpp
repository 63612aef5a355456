#pragma once
// Magnification of a uniformly bright circular source by a point-mass lens, in
// the closed form of Witt & Mao (1994); u and rho in Einstein radii.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/constants.hpp"
#include "numerics/ellip.hpp"

namespace tovimera {

namespace witt_mao_detail {

// One fixed NaN for every failure, whatever the platform's NAN macro carries.
inline constexpr double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// The closed form's three terms cancel by about 2.5 eps (u/rho)^2 far from the
// lens: 1e-13 at this switch, where the series below is exact to 2e-18.
inline constexpr double far_ratio = 20.0;

// Coefficients p[j] of T_k / eps^k = b^2/(2-b) sum_j p[j] a^j b^(2k-1-j), as
// printed by tests/reference/derive_disk_series.py.
inline constexpr std::array<double, 2> t1 = {1.0 / 8.0, 1.0 / 2.0};
inline constexpr std::array<double, 4> t2 = {3.0 / 64.0, 7.0 / 32.0, 3.0 / 8.0, 3.0 / 4.0};
inline constexpr std::array<double, 6> t3 = {25.0 / 1024.0, 41.0 / 256.0, 57.0 / 128.0,
                                             11.0 / 16.0,   1.0 / 4.0,   1.0 / 1.0};
inline constexpr std::array<double, 8> t4 = {245.0 / 16384.0, 1045.0 / 8192.0, 123.0 / 256.0, 67.0 / 64.0,
                                             185.0 / 128.0,   105.0 / 64.0,    -5.0 / 8.0,    5.0 / 4.0};
inline constexpr std::array<double, 10> t5 = {1323.0 / 131072.0, 3479.0 / 32768.0, 1035.0 / 2048.0, 735.0 / 512.0,
                                              2765.0 / 1024.0,   903.0 / 256.0,    189.0 / 64.0,    35.0 / 8.0,
                                              -21.0 / 8.0,       3.0 / 2.0};

// sum_j c[j] a^j b^(N-1-j): Horner in a, the powers of b carried along.
template <std::size_t N>
inline double homogeneous(const std::array<double, N>& c, double a, double b) noexcept {
    double sum = c[N - 1];
    double b_power = 1.0;
    for (std::size_t j = N - 1; j-- > 0;) {
        b_power = b_power * b;
        sum = sum * a + c[j] * b_power;
    }
    return sum;
}

// A circularly symmetric source's mean of f is sum_k rho^(2k) M_2k Lap^k f / (4^k k!^2),
// M_2k its brightness-weighted mean of r^2k; the uniform disk has M_2k = 1/(k+1).
// Another profile scales term k by (k+1) M_2k: these are its weights.
using MomentWeights = std::array<double, 5>;
inline constexpr MomentWeights uniform_disk_weights = {1.0, 1.0, 1.0, 1.0, 1.0};

// Disk mean of the point-source magnification A(u) = (u^2+2)/(u sqrt(u^2+4)),
// sum_k rho^(2k) Lap^k A / (4^k k! (k+1)!), each term relative to A in
// e = (rho/u)^2, b = 4/(u^2+4), a = 1 - b. a and b lie in [0, 1], every term
// is below 0.125 e^k, and an overflowing u^2 only sends b to 0. Weights of 1
// leave the disk's bits unchanged.
inline double far_from_lens(double u, double rho, const MomentWeights& w = uniform_disk_weights) noexcept {
    const double x = u * u;
    const double b = 4.0 / (x + 4.0);
    const double a = 1.0 - b;
    const double r = rho / u;
    const double e = r * r;
    // A - 1 = 4 / (s (u^2 + 2 + s)) with s = u sqrt(u^2 + 4): no cancellation as A -> 1.
    const double s = u * std::sqrt(x + 4.0);
    const double point = 1.0 + 4.0 / (s * ((x + 2.0) + s));
    const double series =
        w[0] * homogeneous(t1, a, b) +
        e * (w[1] * homogeneous(t2, a, b) +
             e * (w[2] * homogeneous(t3, a, b) +
                  e * (w[3] * homogeneous(t4, a, b) + e * (w[4] * homogeneous(t5, a, b)))));
    const double relative = (b * b / (2.0 - b)) * (e * series);
    return point + point * relative;
}

// The lens on the rim, ((1 + rho^2)/rho^2 (asin((rho^2-1)/(rho^2+1)) + pi/2) + 2/rho) / pi,
// with asin(...) + pi/2 = 2 atan(rho): all terms positive, and no rho^2 to
// overflow or underflow.
inline double on_rim(double rho) noexcept {
    return (((1.0 / rho + rho) * std::atan(rho) + 1.0) / rho) * constants::two_over_pi;
}

// The closed form, from the complements 1 - n = (d/s)^2 and
// 1 - m = d^2 (s^2 + 4) / (s^2 g^2), g^2 = d^2 + 4, which are exact where n and
// m round to 1. Lengths are in units of rho, and the powers of rho go where
// they cannot overflow: alpha = min(rho^2, 1), beta = min(1, 1/rho^2),
// phi = min(rho, 1). Split around the integrals so that two separations can
// share their evaluation.
struct ClosedFormTerms {
    double dd;
    double ss;
    double g;
    double alpha;
    double beta;
    double phi;
    double kc;
    double p;
};

inline ClosedFormTerms closed_form_terms(double u, double rho) noexcept {
    const double d = u - rho;
    const double s = u + rho;
    const double w = d / s;
    const double p = w * w;
    const double dd = d / rho;
    const double ss = s / rho;
    const bool small = rho < 1.0;
    const double alpha = small ? rho * rho : 1.0;
    const double beta = small ? 1.0 : 1.0 / (rho * rho);
    const double phi = small ? rho : 1.0;
    const double g = std::sqrt(alpha * (dd * dd) + 4.0 * beta);  // g / max(rho, 1)
    const double kc = std::fabs(w) * (std::sqrt(alpha * (ss * ss) + 4.0 * beta) / g);
    return {dd, ss, g, alpha, beta, phi, kc, p};
}

// integrals = disk_integrals_complement(t.kc, t.p, t.p), whose scaled_pi is (1 - n) Pi(n, m).
inline double closed_form_value(const ClosedFormTerms& t, const ellip::DiskIntegrals& integrals) noexcept {
    const double t_e = integrals.e * ((t.g * t.g) * t.ss);
    const double t_k = integrals.k * (t.dd * (8.0 * t.beta + t.alpha * (t.dd * t.ss)));
    const double t_p = integrals.scaled_pi * (4.0 * t.ss * (t.alpha + t.beta));
    const double value = ((t_e - t_k) + t_p) / (constants::two_pi * (t.phi * t.g));
    // A mean of point-source magnifications is at least 1; for a large source
    // far from the lens the terms' rounding can leave it a few ulps below.
    return value < 1.0 ? 1.0 : value;
}

inline double closed_form(double u, double rho) noexcept {
    const ClosedFormTerms t = closed_form_terms(u, rho);
    return closed_form_value(t, ellip::disk_integrals_complement(t.kc, t.p, t.p));
}

// Two separations with the same rho, the integrals' loops side by side.
inline void closed_form_pair(double u0, double u1, double rho, double& out0, double& out1) noexcept {
    const ClosedFormTerms first = closed_form_terms(u0, rho);
    const ClosedFormTerms second = closed_form_terms(u1, rho);
    ellip::DiskIntegrals integrals[2];
    ellip::disk_integrals_complement_pair({first.kc, second.kc}, {first.p, second.p}, {first.p, second.p},
                                          integrals);
    out0 = closed_form_value(first, integrals[0]);
    out1 = closed_form_value(second, integrals[1]);
}

}  // namespace witt_mao_detail

// Never fails: where the closed form has no value the result is the quiet NaN.
inline double witt_mao_magnification_scaled(double u, double rho) noexcept {
    if (rho <= 0.0) {
        return (2.0 + u * u) / (std::sqrt(u * u + 4.0) * u);
    }
    // A negative, NaN or infinite separation, and a NaN or infinite rho
    // (re = 0), have no magnification: the closed form's n and m are NaN there.
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (!(u >= 0.0 && u < infinity && rho < infinity)) {
        return witt_mao_detail::quiet_nan;
    }
    // A - 1 is largest with the lens at the centre, sqrt(1 + 4/rho^2) - 1 < 2/rho^2:
    // beyond here below 2e-16, so 1 is the value to the last bit.
    if (rho > 1e8) {
        return 1.0;
    }
    if (u == rho) {
        return witt_mao_detail::on_rim(rho);
    }
    if (u > rho * witt_mao_detail::far_ratio) {
        return witt_mao_detail::far_from_lens(u, rho);
    }
    return witt_mao_detail::closed_form(u, rho);
}

// witt_mao_magnification_scaled(l[i] * rho, rho) into out[i] for i < n, the
// same bits, with the closed-form separations taken two at a time.
inline void witt_mao_magnification_range(const double* l, double* out, std::size_t n, double rho) noexcept {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (!(rho > 0.0 && rho < infinity && rho <= 1e8)) {
        for (std::size_t i = 0; i < n; ++i) out[i] = witt_mao_magnification_scaled(l[i] * rho, rho);
        return;
    }
    const double far = rho * witt_mao_detail::far_ratio;
    // A closed-form separation waits here for a partner.
    std::size_t waiting = n;
    for (std::size_t i = 0; i < n; ++i) {
        const double u = l[i] * rho;
        if (!(u >= 0.0 && u < infinity) || u == rho || u > far) {
            out[i] = witt_mao_magnification_scaled(u, rho);
        } else if (waiting == n) {
            waiting = i;
        } else {
            witt_mao_detail::closed_form_pair(l[waiting] * rho, u, rho, out[waiting], out[i]);
            waiting = n;
        }
    }
    if (waiting != n) out[waiting] = witt_mao_detail::closed_form(l[waiting] * rho, rho);
}

}  // namespace tovimera
