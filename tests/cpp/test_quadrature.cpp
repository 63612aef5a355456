// Reference values: closed forms, and 40-digit mpmath values printed by
// tests/reference/make_quadrature_table.py (e^x - 1, the lowest node, and the
// rule itself summed where it has not converged), rounded to double.

#include "numerics/quadrature.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstddef>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace de = tovimera::double_exponential;

constexpr double pi = 3.141592653589793;
constexpr double half_ulp = 0x1p-53;

using Integrand = double (*)(double);

struct Sweep {
    de::Estimate estimate;
    std::size_t calls;
    double lowest_x;
    double highest_x;
    bool touched_a;
    bool touched_b;
};

template <class F>
Sweep sweep(F f, double a, double b, double target = 1e-16) {
    Sweep r{{}, 0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), false, false};
    r.estimate = de::integrate(
        [&](double x) {
            ++r.calls;
            r.lowest_x = std::min(r.lowest_x, x);
            r.highest_x = std::max(r.highest_x, x);
            r.touched_a = r.touched_a || x == a;
            r.touched_b = r.touched_b || x == b;
            return f(x);
        },
        a, b, target);
    return r;
}

// After the first level and L halvings the rule has used 6 * 2^L + 1 nodes,
// and the stopping test starts at the third level.
bool is_level_count(std::size_t n) {
    for (std::size_t count : {25u, 49u, 97u, 193u, 385u}) {
        if (n == count) {
            return true;
        }
    }
    return false;
}

void expect_sound_count(const Sweep& r) {
    EXPECT_EQ(r.estimate.evaluations, r.calls);
    EXPECT_TRUE(is_level_count(r.calls)) << r.calls;
}

struct Case {
    const char* name;
    Integrand f;
    double a;
    double b;
    double reference;
    double half_ulps;  // allowed error, relative to the reference
};

std::string case_name(const testing::TestParamInfo<Case>& info) { return info.param.name; }
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// With t cut at 4 the part left out is 1e-37 of the interval, so every
// integrand, zero at its ends or not, singular there or not, must reach the
// closed form to rounding at the target the module uses.
class ClosedForm : public testing::TestWithParam<Case> {};

TEST_P(ClosedForm, MatchesToRounding) {
    const Case& c = GetParam();
    const Sweep r = sweep(c.f, c.a, c.b);
    EXPECT_NEAR(r.estimate.integral, c.reference, c.half_ulps * half_ulp * std::fabs(c.reference));
    expect_sound_count(r);
}

INSTANTIATE_TEST_SUITE_P(
    Quadrature, ClosedForm,
    testing::Values(
        // Zero at both ends.
        Case{"x_1mx", [](double x) { return x * (1.0 - x); }, 0.0, 1.0, 0.16666666666666666666666666666667, 4},
        Case{"x2_1mx3", [](double x) { return x * x * ((1.0 - x) * (1.0 - x) * (1.0 - x)); }, 0.0, 1.0,
             0.016666666666666666666666666666667, 4},
        Case{"x_1mx_exp", [](double x) { return x * (1.0 - x) * std::exp(x); }, 0.0, 1.0,
             0.28171817154095476463971252864734, 4},  // 3 - e
        Case{"sin_pi_x", [](double x) { return std::sin(pi * x); }, 0.0, 1.0,
             0.63661977236758134307553505349006, 4},  // 2 / pi
        Case{"parabola_on_2_5", [](double x) { return (x - 2.0) * (5.0 - x); }, 2.0, 5.0, 4.5, 4},
        Case{"cos_on_half_pi", [](double x) { return std::cos(x); }, -1.5707963267948966, 1.5707963267948966,
             2.0, 4},  // 2 sin(double(pi / 2)) = 2 to 40 digits
        Case{"rational_on_m1_1", [](double x) { return (1.0 - x * x) / (1.0 + x * x); }, -1.0, 1.0,
             1.1415926535897932384626433832795, 4},  // pi - 2
        // Not zero at an end: what the cut at |t| = 3 used to lose, 3e-14.
        Case{"one", [](double) { return 1.0; }, 0.0, 1.0, 1.0, 4},
        Case{"x2", [](double x) { return x * x; }, 0.0, 1.0, 0.33333333333333333333333333333333, 4},
        Case{"exp", [](double x) { return std::exp(x); }, 0.0, 1.0, 1.7182818284590452353602874713527, 4},
        Case{"cos", [](double x) { return std::cos(x); }, 0.0, 1.0, 0.84147098480789650665250232163030, 4},
        Case{"rational", [](double x) { return 1.0 / (1.0 + x * x); }, 0.0, 1.0,
             0.78539816339744830961566084581988, 4},  // pi / 4
        Case{"rational_on_m3_2", [](double x) { return 1.0 / (1.0 + x * x); }, -3.0, 2.0,
             2.3561944901923449288469825374596, 4},  // atan 2 + atan 3
        Case{"cubic_on_m1_1", [](double x) { return x * x * (x + 1.0); }, -1.0, 1.0,
             0.66666666666666666666666666666667, 4},
        Case{"quintic_on_m2_3", [](double x) { return x * (x * x * (x * x - 3.0) + 1.0) - 2.0; }, -2.0, 3.0,
             54.583333333333333333333333333333, 4},
        Case{"x10", [](double x) { return std::pow(x, 10.0); }, 0.0, 1.0, 0.090909090909090909090909090909091, 4},
        // Singular at 0: the nodes near 0 must sit at their true tiny
        // distance, or these tails are off by far more than an ulp.
        Case{"inverse_cube_root", [](double x) { return 1.0 / std::cbrt(x); }, 0.0, 1.0, 1.5, 4},
        Case{"log", [](double x) { return std::log(x); }, 0.0, 1.0, -1.0, 4},
        // Reached only at the seventh level (the fifth is 5e-9 off), so the
        // finest nodes are checked too. Its integral is 1/34 of that of
        // |cos 40x|, and the rounding with it.
        Case{"cos_40x", [](double x) { return std::cos(40.0 * x); }, 0.0, 1.0,
             0.018627829011983719674692735065909, 16}),  // sin(40) / 40
    case_name);

TEST(Quadrature, SmoothIntegrandStopsEarly) {
    // Not zero at an end, singular there or not: converged before the
    // seventh level (385 nodes). With the cut at |t| = 3 the end nodes kept
    // moving the sum by 1e-14 per halving and every level ran.
    for (Integrand f : {+[](double x) { return std::exp(x); }, +[](double x) { return 1.0 / (1.0 + x * x); },
                        +[](double x) { return 1.0 / std::cbrt(x); }, +[](double x) { return std::log(x); },
                        +[](double x) { return x * (1.0 - x) * std::exp(x); }}) {
        const Sweep r = sweep(f, 0.0, 1.0);
        expect_sound_count(r);
        EXPECT_LE(r.calls, 193u);
    }
}

// Where the rule has not converged the closed form cannot tell a wrong node
// from the rule's own error; the same rule summed at 40 digits can.
struct Level {
    Case c;
    double target;
    std::size_t calls;
};

std::string level_name(const testing::TestParamInfo<Level>& info) { return info.param.c.name; }
void PrintTo(const Level& l, std::ostream* os) { *os << l.c.name; }

class SameRuleInHighPrecision : public testing::TestWithParam<Level> {};

TEST_P(SameRuleInHighPrecision, MatchesToRounding) {
    const Level& l = GetParam();
    const Sweep r = sweep(l.c.f, l.c.a, l.c.b, l.target);
    EXPECT_EQ(r.calls, l.calls);
    EXPECT_EQ(r.estimate.evaluations, r.calls);
    EXPECT_NEAR(r.estimate.integral, l.c.reference, l.c.half_ulps * half_ulp * std::fabs(l.c.reference));
}

// A target no estimate can miss stops the sweep at the third level, the
// first that is tested: 25 nodes, step 1/3, 1e-10 to 1e-2 off the closed form.
constexpr double any = 1e300;

INSTANTIATE_TEST_SUITE_P(
    Quadrature, SameRuleInHighPrecision,
    testing::Values(
        Level{{"one", [](double) { return 1.0; }, 0.0, 1.0, 1.0000000003948503967414532508797, 4}, any, 25},
        Level{{"x2", [](double x) { return x * x; }, 0.0, 1.0, 0.33333327678096420455051401859876, 4}, any, 25},
        Level{{"exp", [](double x) { return std::exp(x); }, 0.0, 1.0, 1.7182818208575831346366806648364, 4},
              any, 25},
        Level{{"cos", [](double x) { return std::cos(x); }, 0.0, 1.0, 0.84147103363320654864037231363718, 4},
              any, 25},
        Level{{"rational", [](double x) { return 1.0 / (1.0 + x * x); }, 0.0, 1.0,
               0.78539721655691348344397109757217, 4},
              any, 25},
        Level{{"rational_on_m3_2", [](double x) { return 1.0 / (1.0 + x * x); }, -3.0, 2.0,
               2.3260575033746889880166414188585, 4},
              any, 25},
        Level{{"inverse_cube_root", [](double x) { return 1.0 / std::cbrt(x); }, 0.0, 1.0,
               1.5000000000905313635975097456849, 4},
              any, 25},
        Level{{"log", [](double x) { return std::log(x); }, 0.0, 1.0, -0.99999999861421610635803910875008, 4},
              any, 25},
        Level{{"cubic_on_m1_1", [](double x) { return x * x * (x + 1.0); }, -1.0, 1.0,
               0.66666621345801284292120564703075, 4},
              any, 25},
        // Values up to 163 against an integral of 55: the rounding grows with them.
        Level{{"quintic_on_m2_3", [](double x) { return x * (x * x * (x * x - 3.0) + 1.0) - 2.0; }, -2.0, 3.0,
               54.588063051676946746504868051170, 10},
              any, 25},
        // Poles at +-0.1i: still 1e-8 off the closed form 20 atan 10 after
        // all seven levels, and returned as it is.
        Level{{"near_pole", [](double x) { return 1.0 / (x * x + 0.01); }, -1.0, 1.0,
               29.422553789302020707710473880312, 4},
              1e-16, 385}),
    level_name);

TEST(Quadrature, UnconvergedErrorCoversTheTrueError) {
    const Sweep r = sweep([](double x) { return 1.0 / (x * x + 0.01); }, -1.0, 1.0);
    const double exact = 29.422553486074691837057511435235;  // 20 atan 10
    EXPECT_GT(r.estimate.error, std::fabs(r.estimate.integral - exact));
    EXPECT_GT(r.estimate.error, 1e-16);
}

// Non-finite values must count exactly as zeros would.
class NonFiniteValues : public testing::TestWithParam<double> {};

TEST_P(NonFiniteValues, CountAsZero) {
    const double bad = GetParam();
    // The centre node carries the largest weight; x < 0.3 covers many nodes;
    // the outer nodes land on 1 itself.
    const auto spoiled = [](double x) { return x < 0.3 || x == 0.5 || x == 1.0; };
    const Sweep with_bad = sweep([&](double x) { return spoiled(x) ? bad : x * (1.0 - x); }, 0.0, 1.0);
    const Sweep with_zero = sweep([&](double x) { return spoiled(x) ? 0.0 : x * (1.0 - x); }, 0.0, 1.0);
    EXPECT_TRUE(with_bad.touched_b);
    EXPECT_TRUE(std::isfinite(with_bad.estimate.integral));
    EXPECT_EQ(with_bad.estimate.integral, with_zero.estimate.integral);
    EXPECT_EQ(with_bad.estimate.error, with_zero.estimate.error);
    EXPECT_EQ(with_bad.calls, with_zero.calls);
    // Not a vacuous comparison: the spoiled nodes matter.
    EXPECT_LT(with_zero.estimate.integral, 0.16);
}

INSTANTIATE_TEST_SUITE_P(Quadrature, NonFiniteValues,
                         testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity()));

TEST(Quadrature, ExactlyZeroDifferenceStopsAtOnce) {
    // With target 0 no error estimate can pass the test; the exact-zero rule
    // ends the sweep at the third level (the rounding floor, a share of the
    // integral of |f|, is 0 too).
    const Sweep zero = sweep([](double) { return 0.0; }, 0.0, 1.0, 0.0);
    EXPECT_EQ(zero.calls, 25u);
    EXPECT_EQ(zero.estimate.evaluations, 25u);
    EXPECT_EQ(zero.estimate.integral, 0.0);
    EXPECT_EQ(zero.estimate.error, 0.0);
    const Sweep other = sweep([](double x) { return x * (1.0 - x); }, 0.0, 1.0, 0.0);
    EXPECT_GT(other.calls, 25u);
    expect_sound_count(other);
}

class ConstantIntegrand : public testing::TestWithParam<std::array<double, 2>> {};

TEST_P(ConstantIntegrand, StopsOnAnExactlyZeroDifference) {
    // Nothing is left out at the ends, so the sums of a constant settle to
    // the last bit and the difference becomes exactly 0 before the seventh
    // level. Target 0 leaves that rule and the rounding floor; an error of 0
    // shows it was the former.
    const double a = GetParam()[0];
    const double b = GetParam()[1];
    const Sweep r = sweep([](double) { return 1.0; }, a, b, 0.0);
    EXPECT_LT(r.calls, 385u);
    expect_sound_count(r);
    EXPECT_EQ(r.estimate.error, 0.0);
    EXPECT_NEAR(r.estimate.integral, b - a, 2.0 * half_ulp * std::fabs(b - a));
}

INSTANTIATE_TEST_SUITE_P(Quadrature, ConstantIntegrand,
                         testing::Values(std::array<double, 2>{0.0, 1.0}, std::array<double, 2>{2.0, 5.0},
                                         std::array<double, 2>{-3.0, 2.0}, std::array<double, 2>{1.0, 0.0}));

// The stopping rule, checked on integrands built so that the level estimates
// on [-1, 1] follow a chosen sequence. Only nodes with |t| <= 2 take part
// (beyond, x is too close to an end, or on it, to tell which node it is) and
// they return zero past it: every node of level L in |t| <= 2 returns G_L / w(t).
struct Design {
    const char* name;
    std::array<double, 7> estimates;
    double a;
    double b;
    double target;
    std::size_t evaluations;
    double error;  // on [a, b]
};

constexpr long last_node = 96;  // t = 2

// Nodes of level `level` (0 = the first, step 4/3) with 0 < k <= last_node.
double new_pairs(int level) {
    const long stride = level == 0 ? 64 : 64 >> level;
    const long spacing = level == 0 ? 64 : 2 * stride;
    double n = 0.0;
    for (long k = stride; k <= last_node; k += spacing) {
        n += 1.0;
    }
    return n;
}

double designed_integrand(const Design& design, double x) {
    const double y = (2.0 * x - design.a - design.b) / (design.b - design.a);
    const double t = std::asinh(std::atanh(y) / (pi / 2.0));
    if (!(std::fabs(t) < 2.0 + 1.0 / 96.0)) {
        return 0.0;
    }
    const long k = std::lround(48.0 * t);
    int level = 0;
    if (k != 0) {
        long m = k < 0 ? -k : k;
        level = 6;
        while (level > 0 && m % 2 == 0) {
            m /= 2;
            --level;
        }
    }
    // Level 0: the centre and one pair; level L adds step 2^-L times its pairs.
    const std::array<double, 7>& e = design.estimates;
    const double g = level == 0 ? e[0] / (1.0 + 2.0 * new_pairs(0))
                                : (e[level] - e[level - 1] / 2.0) * std::ldexp(1.0, level) / (2.0 * new_pairs(level));
    const double tk = static_cast<double>(k) / 48.0;
    const double weight =
        (4.0 / 3.0) * (pi / 2.0) * std::cosh(tk) / std::pow(std::cosh((pi / 2.0) * std::sinh(tk)), 2.0);
    // The rule multiplies by the half-width of [a, b] on the way out.
    return g / weight;
}

std::string design_name(const testing::TestParamInfo<Design>& info) { return info.param.name; }
void PrintTo(const Design& d, std::ostream* os) { *os << d.name; }

class StoppingRule : public testing::TestWithParam<Design> {};

TEST_P(StoppingRule, StopsWhereTheRuleSays) {
    const Design& design = GetParam();
    const Sweep r = sweep([&](double x) { return designed_integrand(design, x); }, design.a, design.b, design.target);
    const double half_width = (design.b - design.a) / 2.0;
    const std::size_t levels_run = (r.calls == 25) ? 3 : (r.calls == 49) ? 4 : (r.calls == 97) ? 5 : (r.calls == 193) ? 6 : 7;
    EXPECT_EQ(r.calls, design.evaluations);
    EXPECT_EQ(r.estimate.evaluations, r.calls);
    EXPECT_NEAR(r.estimate.integral, half_width * design.estimates[levels_run - 1], 1e-13);
    // Slack for the rounding in the built integrand, about 1e-15 per level.
    EXPECT_NEAR(r.estimate.error, design.error, 1e-6 * design.error + 1e-14);
}

constexpr double p = 0.01;

INSTANTIATE_TEST_SUITE_P(
    Quadrature, StoppingRule,
    testing::Values(
        // Differences 1e-2 then 1e-4: log ratio 2, error 1e-8 < 0.25 * 1e-7.
        Design{"ratio_two_squares", {1, 1 + p, 1 + p + 1e-4, 1, 1, 1, 1}, -1, 1, 1e-7, 25, 1e-8},
        // 1e-2 then 1e-3 (ratio 1.5): error 1e-3 although its square would
        // pass 0.25 * 1e-5; then 1e-6 (ratio 2): error 1e-12.
        Design{"ratio_off_keeps_delta",
               {1, 1 + p, 1 + p + 1e-3, 1 + p + 1e-3 + 1e-6, 1, 1, 1},
               -1, 1, 1e-5, 49, 1e-12},
        // Ratios 2.2 and 1.8, just outside the band: the difference stands.
        Design{"ratio_above_band",
               {1, 1 + p, 1 + p + 3.9810717055349725e-5, 1 + p + 3.9810717055349725e-5 + 1e-8, 1, 1, 1},
               -1, 1, 1e-6, 49, 1e-8},
        Design{"ratio_below_band",
               {1, 1 + p, 1 + p + 2.5118864315095795e-4, 1 + p + 2.5118864315095795e-4 + 1e-6, 1, 1, 1},
               -1, 1, 1e-5, 49, 1e-6},
        // The second level's small difference is not tested: the sweep goes
        // on to the third, where 1e-9 (ratio 1) passes 0.25 * 1e-7.
        Design{"no_test_before_third_level", {1, 1 + 1e-9, 1 + 2e-9, 1, 1, 1, 1}, -1, 1, 1e-7, 25, 1e-9},
        // Never below the target: all seven levels, the last difference.
        Design{"never_converges",
               {1, 1 + p, 1 + 2 * p, 1 + 3 * p, 1 + 4 * p, 1 + 5 * p, 1 + 6 * p},
               -1, 1, 1e-7, 385, 1e-2},
        // On [0, 4] the error comes back times the half-width 2.
        Design{"error_scaled_by_half_width", {1, 1 + p, 1 + p + 1e-4, 1, 1, 1, 1}, 0, 4, 1e-7, 25, 2e-8},
        // On [0, 4] the target becomes 0.25 * 5e-8 / 2 = 6.25e-9 on [-1, 1]:
        // 1e-8 fails it, and the next level's zero change passes.
        Design{"interval_scales_the_target", {1, 1 + p, 1 + p + 1e-4, 1 + p + 1e-4, 1, 1, 1}, 0, 4, 5e-8, 49, 0.0}),
    design_name);

TEST(Quadrature, OuterNodesOnTheUnitInterval) {
    // Near 0 the outermost node keeps its distance, (1 - tanh((pi/2) sinh 4))
    // / 2 = 5.84e-38, to the rounding of 2u = pi sinh 4 = 85.7 (its ulp,
    // 1.4e-14, is a relative error in e^-2u); f never sees 0. Near 1 the
    // outer nodes round onto 1, and f is called there.
    const double lowest = 5.8382444875493046637168244818664e-38;
    const Sweep r = sweep([](double x) { return x; }, 0.0, 1.0);
    EXPECT_FALSE(r.touched_a);
    EXPECT_TRUE(r.touched_b);
    EXPECT_NEAR(r.lowest_x, lowest, 5e-14 * lowest);
    EXPECT_EQ(r.highest_x, 1.0);
}

TEST(Quadrature, InfiniteAtAnEndThatIsNotZero) {
    // 1 / sqrt(1 - x): the nodes that land on 1 give inf and count as 0;
    // they stand for the last 2^-54, where the integral is 2 sqrt(2^-54) =
    // 1.5e-8. Nothing else is lost.
    const Sweep r = sweep([](double x) { return 1.0 / std::sqrt(1.0 - x); }, 0.0, 1.0);
    EXPECT_TRUE(r.touched_b);
    EXPECT_TRUE(std::isfinite(r.estimate.integral));
    EXPECT_NEAR(r.estimate.integral, 2.0, 1.5e-8);
}

TEST(Quadrature, NodesLandingOnAnEndAreEvaluatedThere) {
    // On an interval narrow against its position, the outer nodes round to
    // a and b exactly. They are evaluated there and keep their weight.
    const double a = 1.0;
    const double b = 1.0 + 0x1p-20;
    const Sweep one = sweep([](double) { return 1.0; }, a, b, 0.0);
    EXPECT_TRUE(one.touched_a);
    EXPECT_TRUE(one.touched_b);
    EXPECT_GE(one.lowest_x, a);
    EXPECT_LE(one.highest_x, b);
    // Dropping the nodes on the ends would lose 2.2e-10 of the weights.
    EXPECT_NEAR(one.estimate.integral / (b - a), 1.0, 2.0 * half_ulp);

    // An integrand infinite at b itself: that value counts as 0, the rest is
    // kept. The nodes within half an ulp of b are lost, sqrt(2^-53) of the
    // sqrt(2^-20) the integral scales with: 1.1e-5.
    const Sweep singular = sweep([&](double x) { return 1.0 / std::sqrt(b - x); }, a, b);
    const double exact = 2.0 * std::sqrt(b - a);
    EXPECT_TRUE(singular.touched_b);
    EXPECT_LT(singular.estimate.integral, exact);
    EXPECT_NEAR(singular.estimate.integral, exact, 2e-5 * exact);
}

TEST(Quadrature, ReversedIntervalFlipsTheSign) {
    const auto f = [](double x) { return std::exp(x) * x * (1.0 - x); };
    const Sweep forward = sweep(f, 0.0, 1.0);
    const Sweep backward = sweep(f, 1.0, 0.0);
    EXPECT_EQ(backward.estimate.integral, -forward.estimate.integral);
    EXPECT_EQ(backward.estimate.error, forward.estimate.error);
    EXPECT_EQ(backward.calls, forward.calls);
}

TEST(Quadrature, EmptyIntervalGivesZero) {
    const Sweep r = sweep([](double x) { return std::exp(x); }, 0.75, 0.75);
    EXPECT_EQ(r.estimate.integral, 0.0);
    expect_sound_count(r);
}

double plain_function(double x) { return x * x; }

TEST(Quadrature, TakesAPlainFunction) {
    const de::Estimate e = de::integrate(plain_function, 0.0, 1.0, 1e-16);
    EXPECT_NEAR(e.integral, 1.0 / 3.0, 4.0 * half_ulp);
}

// An integrand of size 1e3 carries rounding noise far above the absolute
// target 1e-16, so the target alone would run every level. Noise of 1e-14
// relative (as a difference of two disks has) is below the rounding floor
// and the sweep stops once converged; 1e-10 is not, and every level runs.
struct Noisy {
    const char* name;
    double (*f)(double);
    double reference;
    bool stops_early;
};

std::string noisy_name(const testing::TestParamInfo<Noisy>& info) { return info.param.name; }
void PrintTo(const Noisy& n, std::ostream* os) { *os << n.name; }

class RoundingFloor : public testing::TestWithParam<Noisy> {};

TEST_P(RoundingFloor, StopsOnlyBelowIt) {
    const Noisy& n = GetParam();
    const Sweep r = sweep(n.f, 0.0, 1.0);
    expect_sound_count(r);
    EXPECT_EQ(r.calls < 385u, n.stops_early) << r.calls;
    // Measured against the integral of |f| (636 for the sine): the noise
    // itself integrates to below 1e-20 of it.
    const double scale = n.reference != 0.0 ? std::fabs(n.reference) : 636.6;
    EXPECT_NEAR(r.estimate.integral, n.reference, (n.stops_early ? 2e-15 : 2e-11) * scale);
}

INSTANTIATE_TEST_SUITE_P(
    Quadrature, RoundingFloor,
    testing::Values(
        Noisy{"noise_1e_14", [](double x) { return 1e3 * std::exp(x) * (1.0 + 1e-14 * std::sin(1e7 * x)); },
              1718.2818284590452353602874713527, true},
        // An integral of 0: a floor taken from the estimate would never stop it.
        Noisy{"noise_1e_14_cancelling",
              [](double x) { return 1e3 * std::sin(2.0 * pi * x) * (1.0 + 1e-14 * std::sin(1e7 * x)); }, 0.0, true},
        Noisy{"noise_1e_10", [](double x) { return 1e3 * std::exp(x) * (1.0 + 1e-10 * std::sin(1e7 * x)); },
              1718.2818284590452353602874713527, false}),
    noisy_name);

// A short piece after a long one stops at the rounding of the sum, not of its
// own small integral: noise of 1e-8 relative (far above the floor of a sweep
// on its own) in a piece holding 1e-6 of the whole. Only the order counts.
double bit_noise(double x) {
    std::uint64_t b = std::bit_cast<std::uint64_t>(x);
    b ^= b >> 29;
    b *= 0xbf58476d1ce4e5b9u;
    b ^= b >> 32;
    return static_cast<double>(b & 1023u) / 1023.0 - 0.5;
}

TEST(Quadrature, ShortPieceSharesTheFloorOfThePiecesBefore) {
    const auto f = [](double x) { return std::exp(x) * (1.0 + (x > 0.999999 ? 1e-8 * bit_noise(x) : 0.0)); };
    const std::array<double, 1> cut{0.999999};
    const de::Estimate alone = de::integrate(f, 0.999999, 1.0, 1e-16);
    const de::Estimate split = de::integrate_split(f, 0.0, 1.0, cut, 1e-16);
    const de::Estimate first = de::integrate(f, 0.0, 0.999999, 1e-16);
    EXPECT_EQ(alone.evaluations, 385u);
    EXPECT_LT(split.evaluations - first.evaluations, 385u);
    EXPECT_NEAR(split.integral, 1.7182818284590452353602874713527, 2e-14);
    // Reversed, the short piece comes first and has nothing to share.
    const auto g = [&](double x) { return f(1.0 - x); };
    const std::array<double, 1> mirrored{1.0 - 0.999999};
    const de::Estimate reversed = de::integrate_split(g, 0.0, 1.0, mirrored, 1e-16);
    EXPECT_GE(reversed.evaluations, 385u + 25u);
}

// Split integrals: closed forms of integrands with a kink or an infinite
// slope at the cuts. One sweep across them is 1e-9 to 1e-4 off.
struct Kinked {
    const char* name;
    double (*f)(double);
    std::vector<double> cuts;
    double reference;  // integral over [0, 1]
};

std::string kinked_name(const testing::TestParamInfo<Kinked>& info) { return info.param.name; }
void PrintTo(const Kinked& k, std::ostream* os) { *os << k.name; }

class SplitAtKinks : public testing::TestWithParam<Kinked> {};

TEST_P(SplitAtKinks, ReachesRoundingWhereOneSweepCannot) {
    const Kinked& k = GetParam();
    const de::Estimate split = de::integrate_split(k.f, 0.0, 1.0, k.cuts, 1e-16);
    const de::Estimate one = de::integrate(k.f, 0.0, 1.0, 1e-16);
    EXPECT_NEAR(split.integral, k.reference, 8.0 * half_ulp * std::fabs(k.reference));
    EXPECT_GT(std::fabs(one.integral - k.reference), 1e-10 * std::fabs(k.reference));
}

// (x - k) log|x - k| is the shape of the nested disk's kink.
double x_log_x(double t) { return t == 0.0 ? 0.0 : t * std::log(std::fabs(t)); }

INSTANTIATE_TEST_SUITE_P(
    Quadrature, SplitAtKinks,
    testing::Values(
        // (t^2 / 2) log|t| - t^2 / 4 from t = -k to 1 - k (k the double).
        Kinked{"t_log_t_at_0_3", [](double x) { return x_log_x(x - 0.3); }, {0.3}, -0.13320658507032231994752903508400},
        Kinked{"t_log_t_at_0_999", [](double x) { return x_log_x(x - 0.999); }, {0.999},
               0.24999579628906885893278901787934},
        Kinked{"t_log_t_at_0_001", [](double x) { return x_log_x(x - 0.001); }, {0.001},
               -0.24999579628906885893964746841620},
        // 2/3 (k^1.5 + (1 - k)^1.5).
        Kinked{"sqrt_abs_at_0_6", [](double x) { return std::sqrt(std::fabs(x - 0.6)); }, {0.6},
               0.47849347623890691203144828886211},
        // Three kinks, e^x (x - c - 1) summed piecewise; and cuts a split must
        // skip: NaN, outside (0, 1), on an end, repeated, out of order.
        Kinked{"three_kinks_and_skipped_cuts",
               [](double x) { return std::exp(x) * (std::fabs(x - 0.2) + std::fabs(x - 0.5) + std::fabs(x - 0.7)); },
               {std::numeric_limits<double>::quiet_NaN(), -1.0, 0.0, 0.2, 0.2, 0.1, 0.5, 0.7, 1.0, 2.0},
               1.5621589128188856473912243724010}),
    kinked_name);

TEST(Quadrature, SplitIsTheSumOfItsSweepsInOrder) {
    // Skipped cuts leave no trace: the same sweeps, summed left to right,
    // bit for bit, and the evaluations and errors added; each sweep's floor
    // counts the integral of |f| over the pieces before it.
    const auto f = [](double x) { return std::sqrt(std::fabs(x - 0.25)) * std::exp(x); };
    const std::vector<double> cuts{std::numeric_limits<double>::quiet_NaN(), 0.0, 0.25, 0.25, 0.1, 0.75, 1.0};
    const de::Estimate split = de::integrate_split(f, 0.0, 1.0, cuts, 1e-16);
    const de::Estimate p1 = de::integrate(f, 0.0, 0.25, 1e-16);
    const de::Estimate p2 = de::integrate(f, 0.25, 0.75, 1e-16, p1.magnitude);
    const de::Estimate p3 = de::integrate(f, 0.75, 1.0, 1e-16, p1.magnitude + p2.magnitude);
    EXPECT_EQ(split.integral, (p1.integral + p2.integral) + p3.integral);
    EXPECT_EQ(split.error, (p1.error + p2.error) + p3.error);
    EXPECT_EQ(split.evaluations, p1.evaluations + p2.evaluations + p3.evaluations);
    // The integrand is positive: the magnitudes are the integral, to the rule's accuracy.
    EXPECT_NEAR(split.magnitude, split.integral, 1e-14);
    // Without cuts inside (a, b) it is one sweep.
    const de::Estimate none = de::integrate_split(f, 0.0, 1.0, std::vector<double>{-0.5, 1.5}, 1e-16);
    const de::Estimate one = de::integrate(f, 0.0, 1.0, 1e-16);
    EXPECT_EQ(none.integral, one.integral);
    EXPECT_EQ(none.evaluations, one.evaluations);
}

TEST(Quadrature, NodesStayWithinTheirPiece) {
    // What a split relies on: no node of a sweep crosses a cut by rounding,
    // for the pieces the integrated routes make, wherever the cut lies. Placed
    // from the centre, the nodes of [0, 1e-3] would fall below 0.
    std::vector<std::array<double, 2>> pieces{{0.0, 1e-3}, {1e-3, 1.0}, {0.4999, 0.5}, {0.5, 0.5001}};
    for (int i = 1; i < 1000; ++i) {
        const double l = i / 1000.0;
        const double kink = std::sqrt((1.0 - l) * (1.0 + l));
        pieces.push_back({0.0, kink});
        pieces.push_back({kink, 1.0});
        pieces.push_back({l - 0.0001, l});
    }
    for (const auto& [a, b] : pieces) {
        const Sweep r = sweep([](double x) { return std::sqrt(x) * std::exp(-x); }, a, b, 0.0);
        EXPECT_GE(r.lowest_x, a) << a << " " << b;
        EXPECT_LE(r.highest_x, b) << a << " " << b;
    }
}

// The node table is built from this at compile time, up to 2u = pi sinh 4.
class Expm1 : public testing::TestWithParam<std::array<double, 2>> {};

TEST_P(Expm1, MatchesToAFewUlps) {
    const double x = GetParam()[0];
    const double reference = GetParam()[1];
    EXPECT_NEAR(de::detail::expm1_nonnegative(x), reference, 4.0 * half_ulp * reference);
}

INSTANTIATE_TEST_SUITE_P(
    Quadrature, Expm1,
    testing::Values(std::array<double, 2>{1e-10, 1.0000000000500000364338639858077e-10},
                    std::array<double, 2>{0.25, 0.28402541668774148407342056806244},
                    std::array<double, 2>{1.0, 1.7182818284590452353602874713527},
                    std::array<double, 2>{4.0, 53.598150033144239078110261202861},
                    std::array<double, 2>{31.5, 4.7893456332462727075440358901806e+13},
                    std::array<double, 2>{85.7338033835703, 1.7128436504031398455150869729944e+37},
                    std::array<double, 2>{700.0, 1.0142320547350045094553295952313e+304}));

// noexcept follows the integrand's.
static_assert(noexcept(de::integrate([](double x) noexcept { return x; }, 0.0, 1.0, 1e-16)));
static_assert(!noexcept(de::integrate([](double x) { return x; }, 0.0, 1.0, 1e-16)));

}  // namespace
