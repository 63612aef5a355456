// Uniform-disk magnification against mpmath (tests/reference/make_witt_mao_table.py),
// at the accuracy targets of each region.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>

#include "kernels/witt_mao.hpp"

namespace {

using tovimera::witt_mao_magnification_scaled;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t quiet_nan_bits = 0x7FF8000000000000;

enum class Region { point, rim, inside, outside };

struct Reference {
    double u;
    double rho;
    double expected;
    Region region;
};

constexpr Reference references[] = {
#include "data/witt_mao_reference.inc"
};

// The targets: within half a source radius of the rim (the rim itself
// included) and inside the source 1e-13, everywhere else 1e-12; the point
// source is plain arithmetic.
double allowed(Region region) {
    switch (region) {
        case Region::point:
            return 4 * eps;
        case Region::rim:
        case Region::inside:
            return 1e-13;
        case Region::outside:
            return 1e-12;
    }
    return 0;
}

const char* name_of(Region region) {
    switch (region) {
        case Region::point:
            return "point";
        case Region::rim:
            return "rim";
        case Region::inside:
            return "inside";
        case Region::outside:
            return "outside";
    }
    return "";
}

void PrintTo(const Reference& r, std::ostream* out) {
    *out << name_of(r.region) << " u=" << r.u << " rho=" << r.rho;
}

class WittMaoReference : public testing::TestWithParam<Reference> {};

TEST_P(WittMaoReference, MatchesMpmath) {
    const Reference& r = GetParam();
    const double got = witt_mao_magnification_scaled(r.u, r.rho);
    const double relative = std::fabs(got / r.expected - 1);
    EXPECT_LE(relative, allowed(r.region)) << std::hexfloat << "u=" << r.u << " rho=" << r.rho << std::defaultfloat
                                           << " got " << got << " expected " << r.expected << " ("
                                           << relative / eps << " eps)";
}

INSTANTIATE_TEST_SUITE_P(Table, WittMaoReference, testing::ValuesIn(references),
                         [](const testing::TestParamInfo<Reference>& row) {
                             return std::string(name_of(row.param.region)) + "_" + std::to_string(row.index);
                         });

double ulps_away(double x, int count) {
    const double toward = count > 0 ? inf : -inf;
    for (int i = 0; i < std::abs(count); ++i) {
        x = std::nextafter(x, toward);
    }
    return x;
}

// Next to the rim n = 4 u rho / (u + rho)^2 rounds to 1; only a negative or
// NaN input may give NaN, so a few ulps away from any radius must not.
TEST(WittMaoRim, NoNanWithinUlpsOfTheRim) {
    for (double rho = 1e-6; rho < 1e3; rho *= 1.37) {
        for (int count = -16; count <= 16; ++count) {
            const double u = ulps_away(rho, count);
            const double value = witt_mao_magnification_scaled(u, rho);
            EXPECT_TRUE(std::isfinite(value) && value > 1.0) << std::hexfloat << "u=" << u << " rho=" << rho;
        }
    }
}

// The value depends on u right up to the rim: 64 ulps away it differs from
// the rim value by dozens of ulps (tests/test_witt_mao.py checks the gap).
TEST(WittMaoRim, ValueMovesUpToTheRim) {
    for (const double rho : {1e-6, 1e-4, 1e-2, 1.0, 10.0}) {
        const double rim = witt_mao_magnification_scaled(rho, rho);
        EXPECT_NE(witt_mao_magnification_scaled(ulps_away(rho, -64), rho), rim) << rho;
        EXPECT_NE(witt_mao_magnification_scaled(ulps_away(rho, 64), rho), rim) << rho;
    }
}

// -0.0 is not a negative separation: the lens at the centre.
TEST(WittMaoCentre, NegativeZeroIsTheCentre) {
    for (const double rho : {1e-6, 0.1, 1.0, 10.0}) {
        const double centre = witt_mao_magnification_scaled(-0.0, rho);
        EXPECT_EQ(centre, witt_mao_magnification_scaled(0.0, rho)) << rho;
        EXPECT_NEAR(centre, std::sqrt(rho * rho + 4.0) / rho, 1e-13 * centre) << rho;
    }
}

// Any finite u >= 0 and rho > 0 has a finite magnification, whatever squares
// of them over- or underflow.
TEST(WittMaoExtremes, FiniteFromTinyToHuge) {
    for (int rho_exponent = -300; rho_exponent <= 300; rho_exponent += 20) {
        const double rho = std::pow(10.0, rho_exponent);
        for (int u_exponent = -300; u_exponent <= 300; u_exponent += 20) {
            for (const double factor : {0.0, 0.5, 1.0, 1.5}) {
                const double u = factor * std::pow(10.0, u_exponent);
                const double value = witt_mao_magnification_scaled(u, rho);
                EXPECT_TRUE(std::isfinite(value) && value >= 1.0) << "u=" << u << " rho=" << rho << " got " << value;
            }
        }
    }
}

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
                    NanCase{-0.1, 0.1, "u = -rho, the rim mirrored"}, NanCase{-5e-324, 1.0, "negative subnormal u"},
                    NanCase{-1e-300, 1e-300, "negative u at a tiny radius"}, NanCase{-inf, 0.1, "u = -inf"},
                    NanCase{std::nan(""), 0.1, "NaN u"}, NanCase{signed_nan, 0.1, "signalling, negative NaN u"},
                    NanCase{0.5, std::nan(""), "NaN rho"}, NanCase{0.5, signed_nan, "signalling, negative NaN rho"},
                    NanCase{inf, 0.1, "infinite u: not the series"}, NanCase{0.5, inf, "re = 0: rho = +inf"},
                    NanCase{0.0, inf, "re = 0 and l = 0"}, NanCase{inf, inf, "both infinite"}));

// The point-source branch only does arithmetic: a NaN u stays NaN.
TEST(WittMaoNanPointSource, NanSeparationGivesNan) {
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(std::nan(""), 0.0)));
    EXPECT_TRUE(std::isnan(witt_mao_magnification_scaled(std::nan(""), -1.0)));
}

}  // namespace
