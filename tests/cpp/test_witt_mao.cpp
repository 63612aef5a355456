// Uniform-disk magnification against mpmath (tests/reference/make_witt_mao_table.py),
// with tolerances that follow how each branch is conditioned.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "kernels/witt_mao.hpp"

namespace {

using tovimera::witt_mao_magnification_scaled;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t quiet_nan_bits = 0x7FF8000000000000;

enum class Branch { point, rim, closed, far };

struct Reference {
    double u;
    double rho;
    double expected;
    Branch branch;
};

constexpr Reference references[] = {
#include "data/witt_mao_reference.inc"
};

// Relative error allowed for a row, from measured error growth:
// - rim: asin near -1 (small rho) or +1 (large rho) amplifies rounding by
//   about 0.2/rho^2 and 0.1 rho;
// - closed form: Pi(n, m) near n = 1 costs ((u+rho)/(u-rho))^2, the cancellation
//   of its three terms (u/rho)^2; both measured below 3.2 eps times that;
// - far from the lens the series is good to 2 ulp.
double allowed(const Reference& r) {
    switch (r.branch) {
        case Branch::point:
            return 4 * eps;
        case Branch::rim:
            return eps * (4 + 1 / (r.rho * r.rho) + r.rho / 2);
        case Branch::closed: {
            const double near = (r.u + r.rho) / (r.u - r.rho);
            const double ratio = r.u / r.rho;
            return eps * (8 * near * near + 5 * ratio * ratio);
        }
        case Branch::far:
            return 6 * eps;
    }
    return 0;
}

const char* name_of(Branch b) {
    switch (b) {
        case Branch::point:
            return "point";
        case Branch::rim:
            return "rim";
        case Branch::closed:
            return "closed";
        case Branch::far:
            return "far";
    }
    return "";
}

void PrintTo(const Reference& r, std::ostream* out) {
    *out << name_of(r.branch) << " u=" << r.u << " rho=" << r.rho;
}

class WittMaoReference : public testing::TestWithParam<Reference> {};

TEST_P(WittMaoReference, MatchesMpmath) {
    const Reference& r = GetParam();
    const double got = witt_mao_magnification_scaled(r.u, r.rho);
    const double relative = std::fabs(got / r.expected - 1);
    EXPECT_LE(relative, allowed(r)) << "u=" << r.u << " rho=" << r.rho << " got " << got << " expected "
                                    << r.expected << " (" << relative / eps << " eps)";
}

INSTANTIATE_TEST_SUITE_P(Table, WittMaoReference, testing::ValuesIn(references),
                         [](const testing::TestParamInfo<Reference>& row) {
                             return std::string(name_of(row.param.branch)) + "_" + std::to_string(row.index);
                         });

// Inside the coincidence band the value depends on rho alone, whatever u is
// (even a negative u, which outside the band would give NaN).
struct BandCase {
    double u;
    double rho;
};

void PrintTo(const BandCase& c, std::ostream* out) { *out << "u=" << c.u << " rho=" << c.rho; }

class WittMaoBand : public testing::TestWithParam<BandCase> {};

TEST_P(WittMaoBand, EqualsTheRimValue) {
    const BandCase& c = GetParam();
    EXPECT_EQ(witt_mao_magnification_scaled(c.u, c.rho), witt_mao_magnification_scaled(c.rho, c.rho));
}

INSTANTIATE_TEST_SUITE_P(Band, WittMaoBand,
                         testing::Values(BandCase{-1e-6, 1e-6}, BandCase{9e-6, 1e-6}, BandCase{0.0, 5e-6},
                                         BandCase{0.010009, 0.01}, BandCase{0.99901, 1.0},
                                         BandCase{1000.9, 1000.0}));

// rstar = 0 makes rho = 0 and u = l * 0 = +-0: the point source at the lens.
TEST(WittMaoInfinity, ZeroSeparationOfAPointSourceIsInfiniteBySign) {
    EXPECT_EQ(witt_mao_magnification_scaled(0.0, 0.0), inf);
    EXPECT_EQ(witt_mao_magnification_scaled(-0.0, 0.0), -inf);
    EXPECT_EQ(witt_mao_magnification_scaled(0.0, -0.0), inf);
}

// Inputs the elliptic integrals reject: the one fixed quiet NaN, whatever NaN
// (sign, payload) came in.
struct NanCase {
    double u;
    double rho;
    const char* why;
};

void PrintTo(const NanCase& c, std::ostream* out) { *out << c.why; }

class WittMaoNan : public testing::TestWithParam<NanCase> {};

TEST_P(WittMaoNan, IsTheQuietNan) {
    const NanCase& c = GetParam();
    EXPECT_EQ(std::bit_cast<std::uint64_t>(witt_mao_magnification_scaled(c.u, c.rho)), quiet_nan_bits) << c.why;
}

const double signed_nan = -std::bit_cast<double>(std::uint64_t{0x7FF0000000000123});

INSTANTIATE_TEST_SUITE_P(
    Failures, WittMaoNan,
    testing::Values(NanCase{-0.5, 0.1, "negative u: n < 0, m = NaN"}, NanCase{-3.0, 1.0, "negative u"},
                    NanCase{-1e6, 1e-6, "negative u far from the lens: no series"},
                    NanCase{std::nan(""), 0.1, "NaN u"}, NanCase{signed_nan, 0.1, "signalling, negative NaN u"},
                    NanCase{0.5, std::nan(""), "NaN rho"}, NanCase{0.5, signed_nan, "signalling, negative NaN rho"},
                    NanCase{inf, 0.1, "infinite u: not the series"}, NanCase{0.5, inf, "re = 0: rho = +inf"},
                    NanCase{0.0, inf, "re = 0 and l = 0"}));

// The point-source branch only does arithmetic: a NaN u stays NaN.
TEST(WittMaoNanPointSource, NanSeparationGivesNan) {
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(std::nan(""), 0.0)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(std::nan(""), -1.0)));
}

}  // namespace
