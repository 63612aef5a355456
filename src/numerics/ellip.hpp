#pragma once
// Complete elliptic integrals K(m), E(m) and Pi(n, m), parameter m = k^2,
// characteristic first, all from Bulirsch's generalised complete integral
//   cel(kc, p, a, b) = integral over [0, pi/2] of
//       (a cos^2 t + b sin^2 t) / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt
// with kc = sqrt(1 - m): K = cel(kc, 1, 1, 1), E = cel(kc, 1, 1, kc^2) and
// Pi(n, m) = cel(kc, 1 - n, 1, 1), a Cauchy principal value for n > 1.
// One AGM-like iteration per integral costs a fraction of Carlson's duplication.

#include <cmath>
#include <limits>
#include <optional>

#include "common/constants.hpp"
#include "common/expected.hpp"

namespace tovimera::ellip {

namespace detail {

// x * pi/2, rounded once but for rare near-ties. The double nearest pi/2 is
// 0.28 ulp low, which would bias every result; Dekker's exact product (our
// targets have no fused multiply-add to lean on) plus the constant's low part
// removes that.
inline constexpr double half_pi_low = 6.123233995736766e-17;  // pi/2 - constants::half_pi
inline constexpr double half_pi_upper = 0x1.921fb58p+0;       // half_pi split in
inline constexpr double half_pi_lower = -0x1.dde974p-27;      // two 26-bit halves

inline double times_half_pi(double x) noexcept {
    const double split = x * 134217729.0;  // 2^27 + 1
    const double x_upper = split - (split - x);
    const double x_lower = x - x_upper;
    const double product = x * constants::half_pi;
    const double error = ((x_upper * half_pi_upper - product) + x_upper * half_pi_lower + x_lower * half_pi_upper) +
                         x_lower * half_pi_lower;
    return product + (error + x * half_pi_low);
}

// The means are close enough once they agree to d <= sqrt(eps) relative: the
// step already taken with them leaves a truncation error near d^2 / 16, below
// the rounding. A NaN ends the loop as well; the cap only guards the unforeseen.
inline constexpr double agm_tolerance = 1.4901161193847656e-08;  // 2^-26
inline constexpr int max_steps = 64;

inline bool means_apart(double mean, double kc) noexcept {
    return std::fabs(mean - kc) > mean * agm_tolerance;
}

// Bulirsch's algorithm "cel" for p > 0: R. Bulirsch, Numer. Math. 7 (1965)
// 78-90 and 13 (1969) 305-315. Needs kc > 0: at kc = 0 (m = 1, the logarithmic
// singularity) the means never meet. mu and kc are the arithmetic and geometric
// means scaled by 2^step, which spares the halvings. The first step is written
// out (there mu = 1 and kc * mu = kc) so that sqrt(p) is rounded into it once
// rather than twice, and the final line divides through by mu; both remove
// roundings that showed up in the error against mpmath.
inline double cel(double kc, double p, double a, double b) noexcept {
    const double root_p = std::sqrt(p);
    const double first_a = a + b / p;
    b = ((b + a * kc) / root_p) * 2.0;
    a = first_a;
    p = (kc + p) / root_p;
    double previous_mu = 1.0;
    double mu = 1.0 + kc;
    for (int step = 1; step < max_steps && means_apart(previous_mu, kc); ++step) {
        kc = std::sqrt(kc * previous_mu) * 2.0;
        const double e = kc * mu;
        const double f = a;
        a = a + b / p;
        const double g = e / p;
        b = (b + f * g) * 2.0;
        p = g + p;
        previous_mu = mu;
        mu = kc + mu;
    }
    return times_half_pi((a + b / mu) / (mu + p));
}

// cel(kc, 1, 1, 1): with p = 1 the recurrences for p, a and b have the closed
// forms p = mu, a = 2^step, b = a * mu, which leaves Gauss's AGM, K = pi / (2 M).
inline double cel_k(double kc) noexcept {
    double previous_mu = 1.0;
    double mu = 1.0 + kc;
    double scale = 2.0;
    for (int step = 1; step < max_steps && means_apart(previous_mu, kc); ++step) {
        kc = std::sqrt(kc * previous_mu) * 2.0;
        previous_mu = mu;
        mu = kc + mu;
        scale = scale * 2.0;
    }
    return times_half_pi(scale / mu);
}

// cel(kc, 1, 1, b): p = 1 again gives p = mu, hence kc * mu / p = kc.
inline double cel_e(double kc, double b) noexcept {
    double a = 1.0 + b;
    b = (b + kc) * 2.0;
    double previous_mu = 1.0;
    double mu = 1.0 + kc;
    for (int step = 1; step < max_steps && means_apart(previous_mu, kc); ++step) {
        kc = std::sqrt(kc * previous_mu) * 2.0;
        const double f = a;
        a = a + b / mu;
        b = (b + f * kc) * 2.0;
        previous_mu = mu;
        mu = kc + mu;
    }
    return times_half_pi((a + b / mu) / (mu * 2.0));
}

// cel_k, cel_e and cel(kc, p, scale, scale) in one loop. The three run the
// same means through the same test, so sharing them (one square root a step
// instead of three) changes no step and no bit of any result. The loop's state
// is spelled out so that two evaluations can advance side by side.
template <bool with_e>
struct Means {
    double kc;
    double previous_mu;
    double mu;
    double k_scale;
    double e_a;
    double e_b;
    double pi_a;
    double pi_b;
    double pi_p;
};

template <bool with_e>
[[gnu::always_inline]] inline Means<with_e> means_start(double kc, double p, double scale) noexcept {
    const double root_p = std::sqrt(p);
    const double kc2 = kc * kc;
    return {kc,
            1.0,
            1.0 + kc,
            2.0,
            1.0 + kc2,
            (kc2 + kc) * 2.0,
            scale + scale / p,
            ((scale + scale * kc) / root_p) * 2.0,
            (kc + p) / root_p};
}

template <bool with_e>
[[gnu::always_inline]] inline bool means_running(const Means<with_e>& s) noexcept {
    return means_apart(s.previous_mu, s.kc);
}

template <bool with_e>
[[gnu::always_inline]] inline void means_step(Means<with_e>& s) noexcept {
    s.kc = std::sqrt(s.kc * s.previous_mu) * 2.0;
    s.k_scale = s.k_scale * 2.0;
    if constexpr (with_e) {
        const double f = s.e_a;
        s.e_a = s.e_a + s.e_b / s.mu;
        s.e_b = (s.e_b + f * s.kc) * 2.0;
    }
    const double f = s.pi_a;
    s.pi_a = s.pi_a + s.pi_b / s.pi_p;
    const double g = (s.kc * s.mu) / s.pi_p;
    s.pi_b = (s.pi_b + f * g) * 2.0;
    s.pi_p = g + s.pi_p;
    s.previous_mu = s.mu;
    s.mu = s.kc + s.mu;
}

template <bool with_e>
[[gnu::always_inline]] inline void means_finish(const Means<with_e>& s, double& k, double& e, double& pi) noexcept {
    k = times_half_pi(s.k_scale / s.mu);
    if constexpr (with_e) {
        e = times_half_pi((s.e_a + s.e_b / s.mu) / (s.mu * 2.0));
    }
    pi = times_half_pi((s.pi_a + s.pi_b / s.mu) / (s.mu + s.pi_p));
}

template <bool with_e>
inline void cel_together(double kc, double p, double scale, double& k, double& e, double& pi) noexcept {
    Means<with_e> s = means_start<with_e>(kc, p, scale);
    for (int step = 1; step < max_steps && means_running(s); ++step) means_step(s);
    means_finish(s, k, e, pi);
}

inline constexpr double infinity = std::numeric_limits<double>::infinity();

}  // namespace detail

// Entry points for callers that know kc = sqrt(1 - m) and p = 1 - n in closed
// form. Near m = 1 and n = 1 forming the complements by subtraction loses
// about eps / (1 - m) and eps / (1 - n), which a kernel next to a rim cannot
// afford. Valid inputs only (kc >= 0, p > 0): no failure values.
//
// Accuracy (tests/cpp/test_ellip.cpp): K, E, Pi and p Pi within 8 ulps of
// Carlson's forms evaluated by mpmath at 60 digits from the same complements,
// rounded once, for kc from 1e-300 to 1 and p from 1e-32 to 1.
inline double ellipk_complement(double kc) noexcept {
    return kc == 0.0 ? detail::infinity : detail::cel_k(kc);
}

inline double ellipe_complement(double kc) noexcept {
    return kc == 0.0 ? 1.0 : detail::cel_e(kc, kc * kc);
}

// scale * Pi(1 - p, 1 - kc^2): cel is linear in its a and b, so the scale goes
// in there and nothing of the size of Pi near n = 1 is ever formed.
inline double ellippi_complement(double kc, double p, double scale) noexcept {
    return kc == 0.0 ? detail::infinity : detail::cel(kc, p, scale, scale);
}

// K, E and scale * Pi(1 - p, 1 - kc^2), what the uniform disk needs, in one
// pass: the same values, bit for bit, as the three entry points above.
//
// Accuracy: that of the complement entry points; the bits are checked equal
// to theirs for kc from 1e-300 to 1.5 and p from 1e-300 to 1e20
// (tests/cpp/test_ellip.cpp), and the pair's to one call each
// (tests/cpp/test_witt_mao_pairs.cpp).
struct DiskIntegrals {
    double k;
    double e;
    double scaled_pi;
};

inline DiskIntegrals disk_integrals_complement(double kc, double p, double scale) noexcept {
    DiskIntegrals out{detail::infinity, 1.0, detail::infinity};
    if (kc != 0.0) {
        detail::cel_together<true>(kc, p, scale, out.k, out.e, out.scaled_pi);
    }
    return out;
}

// Two disk evaluations at once. Each step of the means waits on a square root
// and two divisions; two independent sequences in one loop overlap those
// latencies. Each lane takes exactly its own steps, so both results are the
// bits disk_integrals_complement gives.
inline void disk_integrals_complement_pair(const double (&kc)[2], const double (&p)[2], const double (&scale)[2],
                                           DiskIntegrals (&out)[2]) noexcept {
    if (kc[0] == 0.0 || kc[1] == 0.0) {
        out[0] = disk_integrals_complement(kc[0], p[0], scale[0]);
        out[1] = disk_integrals_complement(kc[1], p[1], scale[1]);
        return;
    }
    detail::Means<true> first = detail::means_start<true>(kc[0], p[0], scale[0]);
    detail::Means<true> second = detail::means_start<true>(kc[1], p[1], scale[1]);
    int step = 1;
    for (; step < detail::max_steps && detail::means_running(first) && detail::means_running(second); ++step) {
        detail::means_step(first);
        detail::means_step(second);
    }
    // The lane still running carries on alone from the same step count.
    for (int rest = step; rest < detail::max_steps && detail::means_running(first); ++rest) detail::means_step(first);
    for (int rest = step; rest < detail::max_steps && detail::means_running(second); ++rest) {
        detail::means_step(second);
    }
    detail::means_finish(first, out[0].k, out[0].e, out[0].scaled_pi);
    detail::means_finish(second, out[1].k, out[1].e, out[1].scaled_pi);
}

// K and scale * Pi, what the ring needs, likewise.
struct RingIntegrals {
    double k;
    double scaled_pi;
};

inline RingIntegrals ring_integrals_complement(double kc, double p, double scale) noexcept {
    RingIntegrals out{detail::infinity, detail::infinity};
    if (kc != 0.0) {
        double unused = 0.0;
        detail::cel_together<false>(kc, p, scale, out.k, unused, out.scaled_pi);
    }
    return out;
}

// The failure that ellipk(m) and then ellippi(n, m) report, decided from n and
// m alone, for the parameters a kernel forms (m >= 0, or NaN): a kernel that
// evaluates the integrals from their complements keeps the same outcomes
// without paying for the values. Everything else of the table below has a
// value there (+inf next to m = 1 and n = 1, a principal value above).
inline std::optional<Failure> failure_of_k_then_pi(double n, double m) noexcept {
    if (std::isnan(m)) {
        return Failure{"ellipk: Arguments cannot be NAN."};
    }
    if (m > 1.0) {
        return Failure{"ellipk: m must not be greater than 1."};
    }
    if (n == 1.0) {
        return Failure{"ellippi: n cannot be 1."};
    }
    if (std::isnan(n)) {
        return Failure{"ellippi: Arguments cannot be NAN."};
    }
    // The principal value at n = +inf is NaN, and only m next to 1 rescues it.
    if (n == detail::infinity && m <= 0.9999999999999998) {
        return Failure{"ellippi: Unexpected error."};
    }
    return std::nullopt;
}

// Accuracy (tests/cpp/test_ellip.cpp, against mpmath at 60 digits rounded once
// to double): K within 2 ulps and E within 3 ulps for m from -1e300 to
// 1 - 2^-53; Pi within 5 ulps for n from -1e3 to 1e6 (principal values
// above 1) and m from -1e3 to 1 - 2^-53. Against the unrounded values the
// worst on that grid are 1.9, 3.0 and 4.96 ulps (4.2 for the principal
// value). In n in (1, 1 + 2^-52] Pi is the limit K - E / (1 - m): within 4e-15
// of mpmath's limit at m = 0.5, where K - 2 E cancels.
//
// For m < 0 (kc > 1) both K and E go through the imaginary-modulus
// transformation, cel(kc, 1, a, b) = cel(1 / kc, 1, b, a) / kc, which keeps the
// scaled means of the AGM from overflowing when m is huge and negative.
inline Expected<double> ellipk(double m) noexcept {
    if (std::isnan(m)) {
        return Failure{"ellipk: Arguments cannot be NAN."};
    }
    if (m > 1.0) {
        return Failure{"ellipk: m must not be greater than 1."};
    }
    if (m == 1.0) {
        return detail::infinity;
    }
    if (m == -detail::infinity) {
        return Failure{"ellipk: Unexpected error."};
    }
    const double kc = std::sqrt(1.0 - m);
    const double value = m >= 0.0 ? detail::cel_k(kc) : detail::cel_k(1.0 / kc) / kc;
    if (!std::isfinite(value)) {
        return Failure{"ellipk: Unexpected error."};
    }
    return value;
}

inline Expected<double> ellipe(double m) noexcept {
    if (std::isnan(m)) {
        return Failure{"ellipe: Arguments cannot be NAN."};
    }
    if (m > 1.0) {
        return Failure{"ellipe: m must not be greater than 1."};
    }
    if (m == 1.0) {
        return 1.0;
    }
    if (m == -detail::infinity) {
        return Failure{"ellipe: Unexpected error."};
    }
    const double kc2 = 1.0 - m;
    const double kc = std::sqrt(kc2);
    const double value = m >= 0.0 ? detail::cel_e(kc, kc2) : detail::cel_e(1.0 / kc, 1.0 / kc2) * kc;
    if (!std::isfinite(value)) {
        return Failure{"ellipe: Unexpected error."};
    }
    return value;
}

inline Expected<double> ellippi(double n, double m) noexcept {
    constexpr double below_one = 0.9999999999999998;  // 1 - 2^-52
    constexpr double above_one = 1.0000000000000002;  // 1 + 2^-52
    if (n == 1.0) {
        return Failure{"ellippi: n cannot be 1."};
    }
    if (n > below_one && n < 1.0) {
        return detail::infinity;
    }
    if (n > 1.0 && n <= above_one) {
        // The principal value's limit as n -> 1 from above.
        const Expected<double> k = ellipk(m);
        if (!k.has_value()) {
            return k;
        }
        const Expected<double> e = ellipe(m);
        if (!e.has_value()) {
            return e;
        }
        return k.value() - e.value() / (1.0 - m);
    }
    // m = 1 (kc = 0, where the means never meet), m = -inf and the invalid m
    // have no finite value; they go straight to the classification below.
    double value = std::numeric_limits<double>::quiet_NaN();
    if (m < 1.0 && m > -detail::infinity) {
        const double kc = std::sqrt(1.0 - m);
        if (n < 1.0) {
            value = detail::cel(kc, 1.0 - n, 1.0, 1.0);
        } else {
            // Principal value: Bulirsch's transformation of cel(kc, p, 1, 1) for
            // p = 1 - n < 0 is cel(kc, (kc^2 - p) / (1 - p), 0, -(1 - kc^2) / (1 - p)).
            // Written in n and m it avoids the cancellation in 1 - kc * kc.
            value = detail::cel(kc, (n - m) / n, 0.0, -(m / n));
        }
    }
    if (std::isfinite(value)) {
        return value;
    }
    if (std::isnan(n) || std::isnan(m)) {
        return Failure{"ellippi: Arguments cannot be NAN."};
    }
    if (m > 1.0) {
        return Failure{"ellippi: m must not be greater than 1."};
    }
    if (m > below_one && m <= 1.0) {
        return detail::infinity;
    }
    if (n < -1.7976931348623156e306 || m < -1.7976931348623156e306) {
        return 0.0;
    }
    return Failure{"ellippi: Unexpected error."};
}

}  // namespace tovimera::ellip
