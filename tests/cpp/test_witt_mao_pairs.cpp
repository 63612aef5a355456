// Two evaluations side by side (the integrals' loops, the uniform disk over a
// sequence) give every separation the bits of its own scalar evaluation.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "integrated/disk_sequences.hpp"
#include "kernels/witt_mao.hpp"
#include "numerics/ellip.hpp"

namespace {

namespace ellip = tovimera::ellip;
using tovimera::witt_mao_magnification_scaled;

constexpr double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Lanes whose means meet after different numbers of steps (kc near 1: one or
// two; kc near 0: six or more), in both orders, and kc = 0 in either lane.
TEST(DiskIntegralsPair, SameBitsAsOneAtATime) {
    const double kcs[] = {0.0, 1e-300, 3e-17, 1e-9, 1e-4, 0.01, 0.3, 0.7071067811865476, 0.999999, 1.0, 1.5};
    const double ps[] = {1e-300, 1e-16, 1e-3, 0.5, 1.0, 1e4};
    std::vector<double> kc_list;
    std::vector<double> p_list;
    for (const double kc : kcs) {
        for (const double p : ps) {
            kc_list.push_back(kc);
            p_list.push_back(p);
        }
    }
    for (std::size_t i = 0; i < kc_list.size(); ++i) {
        for (std::size_t j = 0; j < kc_list.size(); ++j) {
            SCOPED_TRACE(testing::Message() << "kc " << kc_list[i] << ", " << kc_list[j] << "; p " << p_list[i]
                                            << ", " << p_list[j]);
            ellip::DiskIntegrals pair[2];
            ellip::disk_integrals_complement_pair({kc_list[i], kc_list[j]}, {p_list[i], p_list[j]},
                                                  {p_list[i], 1.0}, pair);
            const ellip::DiskIntegrals first = ellip::disk_integrals_complement(kc_list[i], p_list[i], p_list[i]);
            const ellip::DiskIntegrals second = ellip::disk_integrals_complement(kc_list[j], p_list[j], 1.0);
            ASSERT_EQ(bits(pair[0].k), bits(first.k));
            ASSERT_EQ(bits(pair[0].e), bits(first.e));
            ASSERT_EQ(bits(pair[0].scaled_pi), bits(first.scaled_pi));
            ASSERT_EQ(bits(pair[1].k), bits(second.k));
            ASSERT_EQ(bits(pair[1].e), bits(second.e));
            ASSERT_EQ(bits(pair[1].scaled_pi), bits(second.scaled_pi));
        }
    }
}

// Separations (source radii) for one rho: a dense sweep through the centre,
// the limb and out past the series switch at 20, ulps either side of the rim
// and of the switch, and what has no value.
std::vector<double> separations() {
    std::vector<double> l;
    for (int i = 0; i <= 2500; ++i) l.push_back(i * 0.01);
    for (int k = 1; k <= 15; ++k) {
        const double step = std::pow(10.0, -k);
        l.push_back(1.0 - step);
        l.push_back(1.0 + step);
    }
    for (const double edge : {1.0, 20.0}) {
        double below = edge;
        double above = edge;
        for (int i = 0; i < 4; ++i) {
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, inf);
            l.push_back(below);
            l.push_back(above);
        }
    }
    for (const double odd : {0.0, -0.0, 5e-324, 1e-300, -1e-300, -0.5, -1.0, 1e300, inf, -inf, std::nan(""),
                             -std::bit_cast<double>(std::uint64_t{0x7FF0000000000123})}) {
        l.push_back(odd);
    }
    // Scattered, so that a pair joins points whose means need different step counts.
    for (std::size_t i = 0; i < 400; ++i) l.push_back(std::fmod(static_cast<double>(i) * 0.7548776662466927, 1.3));
    return l;
}

class WittMaoRange : public testing::TestWithParam<double> {};

// Every prefix length (odd and even) of the first points, then the whole set.
TEST_P(WittMaoRange, SameBitsAsTheScalarKernel) {
    const double rho = GetParam();
    const std::vector<double> l = separations();
    std::vector<double> expected(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) expected[i] = witt_mao_magnification_scaled(l[i] * rho, rho);
    for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                                     std::size_t{64}, std::size_t{101}, l.size()}) {
        std::vector<double> out(length, -1.0);
        tovimera::witt_mao_magnification_range(l.data(), out.data(), length, rho);
        for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(bits(out[i]), bits(expected[i]))
                << "length " << length << ", l[" << i << "] = " << std::hexfloat << l[i] << ", rho " << rho;
        }
    }
    // Backwards, so that each point meets another partner.
    const std::vector<double> reversed(l.rbegin(), l.rend());
    std::vector<double> out(l.size());
    tovimera::witt_mao_magnification_range(reversed.data(), out.data(), l.size(), rho);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_EQ(bits(out[l.size() - 1 - i]), bits(expected[i])) << std::hexfloat << "l = " << l[i];
    }
}

// rho over the closed form's range and each rho the scalar kernel routes
// elsewhere: point source (0, negative), no value (NaN, inf), and A = 1 above 1e8.
INSTANTIATE_TEST_SUITE_P(Radii, WittMaoRange,
                         testing::Values(1e-6, 1e-3, 0.01, 0.1, 0.5, 1.0, 3.7, 1e4, 1e8, 2e8, 0.0, -0.1, inf,
                                         std::nan("")));

// The sequence entry, through the pool's ranges (whatever their split).
TEST(WittMaoSequence, SameBitsAsTheScalarKernel) {
    const std::vector<double> l = separations();
    for (const double rho : {1e-3, 0.1, 2.0}) {
        const std::vector<double> out = tovimera::witt_mao_magnification(l, 1.0, rho);
        ASSERT_EQ(out.size(), l.size());
        for (std::size_t i = 0; i < l.size(); ++i) {
            ASSERT_EQ(bits(out[i]), bits(witt_mao_magnification_scaled(l[i] * rho, rho))) << "l = " << l[i];
        }
    }
    EXPECT_TRUE(tovimera::witt_mao_magnification({}, 1.0, 0.1).empty());
    EXPECT_EQ(bits(tovimera::witt_mao_magnification(std::vector<double>{0.5}, 2.0, 0.2)[0]),
              bits(witt_mao_magnification_scaled(0.05, 0.1)));
}

}  // namespace
