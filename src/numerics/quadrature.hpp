#pragma once
// Double-exponential (tanh-sinh) quadrature in the Takahasi-Mori form: the
// trapezoid rule in t after x = tanh((pi/2) sinh t), t cut to [-4, 4], started
// with step 4/3 and refined by six halvings, each reusing the previous sum.
// At |t| = 4 the part of [-1, 1] left out is 1.2e-37 at each end and the
// weight 1.0e-35: the cut costs nothing in double. (At |t| = 3 it left out
// 4.3e-14, which every integrand not vanishing at an end would lose.)

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "common/constants.hpp"

namespace tovimera::double_exponential {

struct Estimate {
    double integral;
    double error;
    std::size_t evaluations;
    double magnitude = 0.0;  // the integral of |f| as the last level saw it
};

namespace detail {

inline constexpr std::size_t first_steps = 3;  // t = 4 is three first-level steps out
inline constexpr std::size_t levels = 7;       // step 4/3, then six halvings
inline constexpr std::size_t finest = std::size_t{1} << (levels - 1);  // first step / finest step
inline constexpr std::size_t nodes_per_side = first_steps * finest;
inline constexpr double t_max = 4.0;

// The first step 4/3 times pi/2, folded into the weights so that the steps
// the sums see are powers of two and exact.
inline constexpr double first_step_half_pi = 2.0943951023931957;

// e^x - 1 for 0 <= x < 709 to a few ulps, in plain double arithmetic so
// that the compiler computes the node tables and they are the same bits on
// every platform, whatever its libm. The largest argument is 2u at t = 4,
// pi sinh 4 = 85.7: e^85.7 = 1.7e37, far from overflow.
// Accuracy: within 2^-51 relative of mpmath for x from 1e-10 to 700
// (tests/cpp/test_quadrature.cpp).
constexpr double expm1_nonnegative(double x) {
    constexpr double ln2 = 0.6931471805599453;
    constexpr double ln2_hi = 6.93147180369123816490e-01;  // trailing zeros: k * ln2_hi is exact
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    const int k = static_cast<int>(x / ln2 + 0.5);
    const double r = (x - k * ln2_hi) - k * ln2_lo;  // |r| <= ln2 / 2
    double p = 1.0;                                  // Taylor series of (e^r - 1) / r
    for (int j = 18; j >= 2; --j) {
        p = 1.0 + r * p / j;
    }
    const double e_r = r * p;
    // 2^k by squaring: a handful of steps even at k = 124, light on the
    // compilers' limits for constant evaluation. No square beyond the last
    // bit, so that power stays finite up to k = 1023.
    double scale = 1.0;
    double power = 2.0;
    for (int j = k; j > 0; j /= 2) {
        if (j % 2 == 1) {
            scale *= power;
        }
        if (j > 1) {
            power *= power;
        }
    }
    // 2^k e^r - 1 without rounding e^r first, which for small x would take
    // the digits of e^x - 1 with it.
    return scale * e_r + (scale - 1.0);
}

// One node at t >= 0 and its mirror at -t. The distance from the nearer end
// of [-1, 1] is kept on its own: near the ends it is tiny and 1 - tanh would
// lose it.
struct Node {
    double abscissa;  // tanh((pi/2) sinh t)
    double distance;  // 1 - abscissa
    double weight;    // (4/3) (pi/2) cosh t / cosh^2((pi/2) sinh t): the first step included
};

constexpr Node make_node(double t) {
    const double em1_t = expm1_nonnegative(t);
    const double e_t = 1.0 + em1_t;
    const double sinh_t = (em1_t + em1_t / e_t) / 2.0;
    const double cosh_t = (e_t + 1.0 / e_t) / 2.0;
    const double u = constants::half_pi * sinh_t;
    const double em1_2u = expm1_nonnegative(2.0 * u);
    const double denominator = em1_2u + 2.0;
    const double distance = 2.0 / denominator;
    // 1 / cosh^2 u = 1 - tanh^2 u = distance * (2 - distance): no cancellation.
    return Node{em1_2u / denominator, distance, first_step_half_pi * cosh_t * (distance * (2.0 - distance))};
}

constexpr std::array<Node, nodes_per_side + 1> make_nodes() {
    std::array<Node, nodes_per_side + 1> table{};
    for (std::size_t k = 0; k <= nodes_per_side; ++k) {
        // k / 48 rounded once, not (4/3) rounded and then scaled.
        table[k] = make_node(static_cast<double>(k) * t_max / static_cast<double>(nodes_per_side));
    }
    return table;
}

// Node k sits at t = k (4/3) / 64 = k / 48. Built at compile time: calls from
// several threads share nothing but this read-only table.
inline constexpr std::array<Node, nodes_per_side + 1> nodes = make_nodes();

}  // namespace detail

// A level difference below this share of the sum of |f| ends the sweep. Its
// digits double each level, so the estimate is then good to rounding; f's own
// rounding keeps later differences about this size (1e-14 to 1e-13 for a
// difference of two disks), and an absolute target below f's ulp would only
// run every level. Costs nothing measurable against mpmath down to 1e-10.
inline constexpr double rounding_floor = 0x1p-40;

// Integral of f over [a, b] towards the absolute error target_error, or until
// a level changes it by less than rounding_floor of the integral of |f|, that
// over [a, b] plus shared_magnitude (the integral of |f| over the other pieces
// of a split, whose sum this piece only adds to). Never fails: a non-finite f
// value counts as 0, and the last estimate is returned whether or not it met
// the target. At most 385 calls of f, all on this thread.
//
// Accuracy (tests/cpp/test_quadrature.cpp, against closed forms and 40-digit
// mpmath, at target 1e-16): smooth integrands, zero at the ends or not, and
// the end-point singularities x^(-1/3) and log x on [0, 1] come within 2^-51
// (4.4e-16) of the exact integral relative; cos 40x, done only at the seventh
// level, within 2^-49 (1.8e-15). Unconverged, the returned error exceeds the
// true one (poles at +-0.1i: 1e-8 off after all seven levels). Rounding noise
// of 1e-14 relative still stops early, within 2e-15 of the integral of |f|.
template <class F>
Estimate integrate(F&& f, double a, double b, double target_error,
                   double shared_magnitude = 0.0) noexcept(noexcept(f(0.0))) {
    using detail::finest;
    using detail::nodes;
    using detail::nodes_per_side;

    const double c = (b - a) / 2.0;
    const double d = (a + b) / 2.0;
    // The sums live on [-1, 1]; the target shrinks accordingly. |c| keeps the
    // test meaningful for b < a, where the integral simply changes sign.
    const double tolerance = 0.25 * target_error / std::fabs(c);
    const double shared = shared_magnitude > 0.0 ? shared_magnitude / std::fabs(c) : 0.0;

    std::size_t evaluations = 0;
    const auto value = [&](double x) {
        ++evaluations;
        const double y = f(x);
        return std::isfinite(y) ? y : 0.0;
    };
    // Node k and its mirror. Away from the centre a point is placed from its
    // nearer end, so that its tiny distance from that end is not lost where
    // the end is 0: on [0, 1] the lowest node is 5.8e-38, never 0 itself.
    // Next to an end that is not 0 the outer nodes round onto it (on [0, 1]
    // every node with t > 3.17 lands on 1) and f is called at the end point,
    // the node keeping its weight. That is intended: the integrands here are
    // finite at their ends, and one that is not loses only those nodes.
    // Placed so, no node leaves [a, b], which split integrals rely on; from
    // the centre, d - c * abscissa can round below a (40 nodes on [0, 1e-3]).
    struct Sums {
        double signed_sum;
        double absolute_sum;
    };
    const auto mirrored_pair = [&](std::size_t k) {
        const detail::Node& node = nodes[k];
        double left = 0.0;
        double right = 0.0;
        if (node.distance >= 0.5) {
            left = d - c * node.abscissa;
            right = d + c * node.abscissa;
        } else {
            left = a + c * node.distance;
            right = b - c * node.distance;
        }
        const double f_left = value(left);
        const double f_right = value(right);
        return Sums{node.weight * (f_left + f_right), node.weight * (std::fabs(f_left) + std::fabs(f_right))};
    };
    // Nodes first, first - spacing, ... down to the last one above the
    // centre: outermost first, so the small terms are added before the large.
    const auto level_sum = [&](std::size_t first, std::size_t spacing) {
        Sums sum{0.0, 0.0};
        for (std::size_t k = first;; k -= spacing) {
            const Sums pair = mirrored_pair(k);
            sum.signed_sum += pair.signed_sum;
            sum.absolute_sum += pair.absolute_sum;
            if (k <= spacing) {
                break;
            }
        }
        return sum;
    };

    // Step 4/3: t = +-4, +-8/3, +-4/3 and the centre. The weights carry the
    // 4/3, so this level's step counts as 1 and each halving's as 1/2^level.
    const Sums first = level_sum(nodes_per_side, finest);
    const double centre = value(d);
    double estimate = first.signed_sum + nodes[0].weight * centre;
    double magnitude = first.absolute_sum + nodes[0].weight * std::fabs(centre);
    double previous_delta = 0.0;
    double error = 0.0;
    for (std::size_t level = 1; level < detail::levels; ++level) {
        const std::size_t stride = finest >> level;  // new nodes: odd multiples of stride
        const double step = static_cast<double>(stride) / static_cast<double>(finest);
        const Sums added = level_sum(nodes_per_side - stride, 2 * stride);
        const double refined = estimate / 2.0 + step * added.signed_sum;
        magnitude = magnitude / 2.0 + step * added.absolute_sum;
        const double delta = std::fabs(refined - estimate);
        estimate = refined;
        if (level >= 2) {
            if (delta == 0.0) {
                error = 0.0;
                break;
            }
            // Convergence that doubles the digits each level: the next
            // difference will be about delta squared.
            const double ratio = std::log(delta) / std::log(previous_delta);
            error = (ratio > 1.9 && ratio < 2.1) ? delta * delta : delta;
            if (error < tolerance || delta <= rounding_floor * (magnitude + shared)) {
                break;
            }
        }
        previous_delta = delta;
    }
    return Estimate{c * estimate, std::fabs(c) * error, evaluations, std::fabs(c) * magnitude};
}

// Integral of f over [a, b], a < b, as one sweep between each pair of
// neighbouring cuts: a kink or singularity at a cut then sits at an end,
// where the rule converges fast, instead of inside, where it crawls. Cuts
// not above the previous one or not below b (NaN included) are skipped. Each
// sweep aims at target_error, and its rounding floor counts the integral of
// |f| over the pieces before it: a short piece next to a singularity (the
// lens just inside the rim) is done once it is exact to the rounding of the
// sum, not of its own small part. Integrals, errors and evaluations add up,
// left to right. Nodes stay within their own piece (see integrate), so none
// crosses a cut by rounding.
//
// Accuracy (tests/cpp/test_quadrature.cpp): kinks and infinite slopes at the
// cuts, which one sweep misses by 1e-10 or more, come within 2^-50 (8.9e-16)
// of the closed form relative; no node of a piece lies outside it.
template <class F>
Estimate integrate_split(F&& f, double a, double b, std::span<const double> cuts,
                         double target_error) noexcept(noexcept(f(0.0))) {
    Estimate total{0.0, 0.0, 0};
    const auto add = [&](double from, double to) {
        const Estimate piece = integrate(f, from, to, target_error, total.magnitude);
        total.integral += piece.integral;
        total.error += piece.error;
        total.evaluations += piece.evaluations;
        total.magnitude += piece.magnitude;
    };
    double from = a;
    for (const double cut : cuts) {
        if (cut > from && cut < b) {
            add(from, cut);
            from = cut;
        }
    }
    add(from, b);
    return total;
}

}  // namespace tovimera::double_exponential
