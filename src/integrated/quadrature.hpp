#pragma once
// Double-exponential (tanh-sinh) quadrature in the Takahasi-Mori form: the
// trapezoid rule in t after x = tanh((pi/2) sinh t), t cut to [-3, 3], started
// with step 1 and refined by six halvings, each reusing the previous sum.

#include <array>
#include <cmath>
#include <cstddef>

namespace tovimera::double_exponential {

struct Estimate {
    double integral;
    double error;
    std::size_t evaluations;
};

namespace detail {

inline constexpr std::size_t unit_steps = 3;  // t runs over [-3, 3]
inline constexpr std::size_t levels = 7;      // step 1, then six halvings
inline constexpr std::size_t finest = std::size_t{1} << (levels - 1);  // 1 / finest step
inline constexpr std::size_t nodes_per_side = unit_steps * finest;

inline constexpr double half_pi = 1.5707963267948966;

// e^x - 1 for 0 <= x < 709 to a few ulps, in plain double arithmetic so
// that the compiler computes the node tables and they are the same bits on
// every platform, whatever its libm.
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
    double scale = 1.0;
    for (int j = 0; j < k; ++j) {
        scale *= 2.0;
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
    double weight;    // (pi/2) cosh t / cosh^2((pi/2) sinh t), before the step
};

constexpr Node make_node(double t) {
    const double em1_t = expm1_nonnegative(t);
    const double e_t = 1.0 + em1_t;
    const double sinh_t = (em1_t + em1_t / e_t) / 2.0;
    const double cosh_t = (e_t + 1.0 / e_t) / 2.0;
    const double u = half_pi * sinh_t;
    const double em1_2u = expm1_nonnegative(2.0 * u);
    const double denominator = em1_2u + 2.0;
    const double distance = 2.0 / denominator;
    // 1 / cosh^2 u = 1 - tanh^2 u = distance * (2 - distance): no cancellation.
    return Node{em1_2u / denominator, distance, half_pi * cosh_t * (distance * (2.0 - distance))};
}

constexpr std::array<Node, nodes_per_side + 1> make_nodes() {
    std::array<Node, nodes_per_side + 1> table{};
    for (std::size_t k = 0; k <= nodes_per_side; ++k) {
        table[k] = make_node(static_cast<double>(k) / static_cast<double>(finest));
    }
    return table;
}

// Node k sits at t = k / finest. Built at compile time: calls from several
// threads share nothing but this read-only table.
inline constexpr std::array<Node, nodes_per_side + 1> nodes = make_nodes();

}  // namespace detail

// Integral of f over [a, b] towards the absolute error target_error. Never
// fails: a non-finite f value counts as 0, and the last estimate is returned
// whether or not it met the target. At most 385 calls of f, all on this thread.
template <class F>
Estimate integrate(F&& f, double a, double b, double target_error) noexcept(noexcept(f(0.0))) {
    using detail::finest;
    using detail::nodes;
    using detail::nodes_per_side;

    const double c = (b - a) / 2.0;
    const double d = (a + b) / 2.0;
    // The sums live on [-1, 1]; the target shrinks accordingly. |c| keeps the
    // test meaningful for b < a, where the integral simply changes sign.
    const double tolerance = 0.25 * target_error / std::fabs(c);

    std::size_t evaluations = 0;
    const auto value = [&](double x) {
        ++evaluations;
        const double y = f(x);
        return std::isfinite(y) ? y : 0.0;
    };
    // Node k and its mirror. Away from the centre a point is placed from its
    // nearer end, so that its tiny distance from that end is not lost: on
    // [0, 1] the outermost nodes sit 2.1e-14 inside and f never sees 0 or 1.
    // A node can still round onto a or b when the interval is narrow against
    // |a| or |b|; f is then called there, and the node keeps its weight.
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
        return node.weight * (f_left + f_right);
    };
    // Nodes first, first - spacing, ... down to the last one above the
    // centre: outermost first, so the small terms are added before the large.
    const auto level_sum = [&](std::size_t first, std::size_t spacing) {
        double sum = 0.0;
        for (std::size_t k = first;; k -= spacing) {
            sum += mirrored_pair(k);
            if (k <= spacing) {
                break;
            }
        }
        return sum;
    };

    // Step 1: t = +-3, +-2, +-1 and the centre.
    double estimate = level_sum(nodes_per_side, finest) + nodes[0].weight * value(d);
    double previous_delta = 0.0;
    double error = 0.0;
    for (std::size_t level = 1; level < detail::levels; ++level) {
        const std::size_t stride = finest >> level;  // new nodes: odd multiples of stride
        const double step = static_cast<double>(stride) / static_cast<double>(finest);
        const double refined = estimate / 2.0 + step * level_sum(nodes_per_side - stride, 2 * stride);
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
            if (error < tolerance) {
                break;
            }
        }
        previous_delta = delta;
    }
    return Estimate{c * estimate, std::fabs(c) * error, evaluations};
}

}  // namespace tovimera::double_exponential
