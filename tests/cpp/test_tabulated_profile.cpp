// Expected values are worked by hand from the interpolation rules, except the
// large table, which is checked against a linear-scan evaluation of them.

#include "fluxmap/tabulated_profile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using tovimera::TabulatedProfile;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) {
        return true;
    }
    std::uint64_t ua = 0;
    std::uint64_t ub = 0;
    std::memcpy(&ua, &a, sizeof a);
    std::memcpy(&ub, &b, sizeof b);
    return ua == ub;
}

TEST(TabulatedProfile, EmptyTableIsDarkEverywhere) {
    const std::vector<double> none;
    const TabulatedProfile profile(none, none);
    for (double x : {0.0, 0.5, 1.0, -2.0, inf, nan}) {
        EXPECT_TRUE(same_bits(profile(x), 0.0)) << x;
    }
}

TEST(TabulatedProfile, OneEntryIsUniformWhereverItsRadius) {
    // bl[0] = 5 lies far outside [0, 1]; the out-of-range rule does not apply.
    const std::vector<double> bl{5.0};
    const std::vector<double> bf{0.7};
    const TabulatedProfile profile(bl, bf);
    for (double x : {0.0, 0.5, 1.0, 5.0, -3.0, 1e300, -inf, inf, nan}) {
        EXPECT_EQ(profile(x), 0.7) << x;
    }
}

TEST(TabulatedProfile, EndsGiveTheTableValues) {
    // Here the segment formula misses both end values by an ulp, so the end
    // rules must be what answers.
    const std::vector<double> bl{0.5, 0.6};
    const std::vector<double> bf{0.6, 0.5};
    const double m = (bf[1] - bf[0]) / (bl[1] - bl[0]);
    const double c = bf[0] - bl[0] * m;
    ASSERT_NE(m * bl[0] + c, bf[0]);
    ASSERT_NE(m * bl[1] + c, bf[1]);
    const TabulatedProfile profile(bl, bf);
    EXPECT_EQ(profile(0.5), 0.6);
    EXPECT_EQ(profile(0.6), 0.5);
}

TEST(TabulatedProfile, OutsideTheTableIsZero) {
    const std::vector<double> bl{0.2, 0.5};
    const std::vector<double> bf{3.0, 4.0};
    const TabulatedProfile profile(bl, bf);
    for (double x : {std::nextafter(0.2, 0.0), 0.0, -1.0, -inf, std::nextafter(0.5, 1.0), 1.0, inf}) {
        EXPECT_TRUE(same_bits(profile(x), 0.0)) << x;
    }
    EXPECT_GT(profile(std::nextafter(0.2, 1.0)), 2.9);
    EXPECT_GT(profile(std::nextafter(0.5, 0.0)), 3.9);
}

TEST(TabulatedProfile, InteriorIsLinearInEachSegment) {
    // Dyadic table: slopes -2, 1, -1.5 and intercepts 1, 0.25, 1.5 are exact,
    // and so is every value below.
    const std::vector<double> bl{0.0, 0.25, 0.5, 1.0};
    const std::vector<double> bf{1.0, 0.5, 0.75, 0.0};
    const TabulatedProfile profile(bl, bf);
    EXPECT_EQ(profile(0.125), 0.75);
    EXPECT_EQ(profile(0.25), 0.5);
    EXPECT_EQ(profile(0.375), 0.625);
    EXPECT_EQ(profile(0.5), 0.75);
    EXPECT_EQ(profile(0.75), 0.375);
    EXPECT_EQ(profile(0.9375), 0.09375);
}

TEST(TabulatedProfile, NaNRadiusGivesNaN) {
    const std::vector<double> bl{0.0, 1.0};
    const std::vector<double> bf{1.0, 2.0};
    EXPECT_TRUE(std::isnan(TabulatedProfile(bl, bf)(nan)));
}

TEST(TabulatedProfile, EndRulesApplyInTheirOrder) {
    // x = bl[0] wins over x = bl[n - 1] when both hold.
    const std::vector<double> same{0.5, 0.5};
    const std::vector<double> values{1.0, 2.0};
    EXPECT_EQ(TabulatedProfile(same, values)(0.5), 1.0);
    // Descending table: x = bl[n - 1] is also below bl[0], and that comes first.
    const std::vector<double> descending{0.5, 0.2};
    EXPECT_EQ(TabulatedProfile(descending, values)(0.2), 0.0);
    EXPECT_EQ(TabulatedProfile(descending, values)(0.5), 1.0);
    // Above the last abscissa is dark even when inside the table's span.
    const std::vector<double> ragged{0.0, 1.0, 0.5};
    const std::vector<double> three{1.0, 2.0, 3.0};
    EXPECT_EQ(TabulatedProfile(ragged, three)(0.75), 0.0);
}

TEST(TabulatedProfile, DuplicateAbscissaMakesAStep) {
    // The segment between the two 0.5 entries has slope 1 / 0; the search
    // never selects it, since no x lies above one 0.5 and at or below the
    // other. At 0.5 itself the left segment answers.
    const std::vector<double> bl{0.0, 0.5, 0.5, 1.0};
    const std::vector<double> bf{0.0, 1.0, 2.0, 3.0};
    const TabulatedProfile profile(bl, bf);
    EXPECT_EQ(profile(0.25), 0.5);
    EXPECT_EQ(profile(0.5), 1.0);
    EXPECT_EQ(profile(0.75), 2.5);
    EXPECT_NEAR(profile(std::nextafter(0.5, 1.0)), 2.0, 1e-15);
    EXPECT_NEAR(profile(std::nextafter(0.5, 0.0)), 1.0, 1e-15);
}

TEST(TabulatedProfile, UnsortedTableFollowsTheBisection) {
    // bl = [0, 0.8, 0.2, 0.6, 1], x = 0.5. Bisection: x > bl[2] = 0.2, base 2;
    // x > bl[3] = 0.6 fails twice; x > bl[2], so p = 3 and the segment is
    // [0.2, 0.6]: slope 1 / 0.4, value 2 + 0.3 * 2.5 = 2.75. Counting the
    // entries below x would give segment [0.8, 0.2] (1.5), the first
    // bracketing segment [0, 0.8] (0.625).
    const std::vector<double> bl{0.0, 0.8, 0.2, 0.6, 1.0};
    const std::vector<double> bf{0.0, 1.0, 2.0, 3.0, 4.0};
    EXPECT_NEAR(TabulatedProfile(bl, bf)(0.5), 2.75, 1e-15);
}

TEST(TabulatedProfile, NonFiniteEntriesFlowThroughTheFormulas) {
    {
        // bf[1] = inf: slope inf with intercept 0 - 0 * inf = NaN, then slope
        // -inf with intercept inf + inf = inf; both segments give NaN.
        const std::vector<double> bl{0.0, 0.5, 1.0};
        const std::vector<double> bf{0.0, inf, 0.0};
        const TabulatedProfile profile(bl, bf);
        EXPECT_TRUE(std::isnan(profile(0.25)));
        EXPECT_TRUE(std::isnan(profile(0.5)));
        EXPECT_TRUE(std::isnan(profile(0.75)));
        EXPECT_EQ(profile(0.0), 0.0);
        EXPECT_EQ(profile(1.0), 0.0);
    }
    {
        // bl[2] = NaN: the upper end tests never hold. x = 0.25 lands in
        // segment 0 (slope 2); x = 5 bisects to p = 2, segment 1, slope NaN.
        const std::vector<double> bl{0.0, 0.5, nan};
        const std::vector<double> bf{0.0, 1.0, 2.0};
        const TabulatedProfile profile(bl, bf);
        EXPECT_EQ(profile(0.25), 0.5);
        EXPECT_TRUE(std::isnan(profile(5.0)));
        EXPECT_TRUE(same_bits(profile(-1.0), 0.0));
    }
    {
        // bl[1] = NaN: every comparison with it fails, so x = 0.25 stays in
        // segment 0, whose slope is 1 / NaN.
        const std::vector<double> bl{0.0, nan, 1.0};
        const std::vector<double> bf{0.0, 1.0, 2.0};
        const TabulatedProfile profile(bl, bf);
        EXPECT_TRUE(std::isnan(profile(0.25)));
        EXPECT_EQ(profile(1.0), 2.0);
    }
}

TEST(TabulatedProfile, AbscissaeBeyondTheUnitRange) {
    // A segment from -1 to 2: slope 1, intercept 1.5.
    const std::vector<double> bl{-1.0, 2.0};
    const std::vector<double> bf{0.5, 3.5};
    const TabulatedProfile profile(bl, bf);
    EXPECT_EQ(profile(-1.0), 0.5);
    EXPECT_EQ(profile(0.0), 1.5);
    EXPECT_EQ(profile(0.25), 1.75);
    EXPECT_EQ(profile(1.0), 2.5);
    EXPECT_EQ(profile(2.0), 3.5);
    EXPECT_EQ(profile(-1.5), 0.0);
    EXPECT_EQ(profile(2.5), 0.0);
}

TEST(TabulatedProfile, ReadsOnlyTheCommonLength) {
    const std::vector<double> bl{0.0, 1.0, 2.0};
    const std::vector<double> bf{1.0, 3.0};
    const TabulatedProfile profile(bl, bf);
    EXPECT_EQ(profile(0.5), 2.0);
    EXPECT_EQ(profile(1.0), 3.0);
    EXPECT_EQ(profile(1.5), 0.0);
}

std::size_t count_below(const std::vector<double>& bl, double x) {
    std::size_t below = 0;
    for (double v : bl) {
        below += (v < x) ? 1 : 0;
    }
    return below;
}

// The rules evaluated with a linear count of the abscissae below x and the
// segment's slope and intercept formed afresh on every call.
double linear_scan_reference(const std::vector<double>& bl, const std::vector<double>& bf, double x,
                             std::size_t below) {
    const std::size_t n = bl.size();
    if (x == bl[0]) {
        return bf[0];
    }
    if (x < bl[0]) {
        return 0.0;
    }
    if (x == bl[n - 1]) {
        return bf[n - 1];
    }
    if (x > bl[n - 1]) {
        return 0.0;
    }
    std::size_t i = below == 0 ? 0 : below - 1;
    i = i > n - 2 ? n - 2 : i;
    const double m = (bf[i + 1] - bf[i]) / (bl[i + 1] - bl[i]);
    const double c = bf[i] - bl[i] * m;
    return m * x + c;
}

TEST(TabulatedProfile, LargeTableMatchesALinearScan) {
    // 100,000 ascending radii from -0.05, about 1% of them repeated, with
    // random brightness.
    const std::size_t n = 100000;
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> gap(0.0, 2e-5);
    std::uniform_real_distribution<double> brightness(0.0, 1.0);
    std::vector<double> bl(n);
    std::vector<double> bf(n);
    double radius = -0.05;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && rng() % 100 != 0) {
            radius += gap(rng);
        }
        bl[i] = radius;
        bf[i] = brightness(rng);
    }
    const TabulatedProfile profile(bl, bf);

    std::vector<double> queries;
    std::uniform_real_distribution<double> anywhere(bl.front() - 0.01, bl.back() + 0.01);
    for (int k = 0; k < 3000; ++k) {
        queries.push_back(anywhere(rng));
    }
    std::uniform_int_distribution<std::size_t> index(0, n - 1);
    for (int k = 0; k < 1000; ++k) {
        queries.push_back(bl[index(rng)]);
    }
    for (double x : {bl.front(), bl.back(), bl[1], bl[n - 2], 0.0, 1.0, nan}) {
        queries.push_back(x);
    }

    std::size_t grouping_matters = 0;
    for (double x : queries) {
        const std::size_t below = count_below(bl, x);
        const double expected = linear_scan_reference(bl, bf, x, below);
        ASSERT_TRUE(same_bits(profile(x), expected)) << x << ": " << profile(x) << " vs " << expected;
        // Keeps the bitwise check honest: the other grouping of the same
        // line differs in the last bit for some of these queries.
        if (x > bl[0] && x < bl[n - 1]) {
            const std::size_t i = below - 1;
            const double m = (bf[i + 1] - bf[i]) / (bl[i + 1] - bl[i]);
            grouping_matters += (bf[i] + m * (x - bl[i]) != expected) ? 1 : 0;
        }
    }
    EXPECT_GT(grouping_matters, 0u);
}

}  // namespace
