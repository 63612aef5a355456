// The ring kernel skips the failure classification where its inputs cannot
// fail. That rests on a claim about n and m as the closed form writes them;
// checked here where it is tightest: r next to the 1e-6 (l + r) gap, sizes
// next to the overflow guard, and the smallest and subnormal lengths.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/ring.hpp"

namespace {

using namespace tovimera;

// n and m formed as heyrovsky_magnification forms them for the classification.
std::optional<Failure> classified(double l, double r, double q) {
    const double d = r - l;
    const double h = (q * q) * 4.0 + d * d;
    const double s = l + r;
    const double k = std::sqrt((l * r) / h) * ((q * 4.0) / s);
    return ellip::failure_of_k_then_pi(((l * 4.0) * r) / (s * s), k * k);
}

std::vector<double> lengths() {
    return {0.0, 5e-324, 1e-300, 1e-20, 1e-5, 0.3, 1.0, 7.5, 1e6, 1e100, 4.9e149};
}

TEST(RingShortcut, ValidInputsClassifyAsNoFailure) {
    int shortcut = 0;
    for (const double l : lengths()) {
        for (const double q : {1e-300, 1e-8, 0.01, 1.0, 100.0, 1e100, 9.9e149}) {
            // r from l by a gap of a few ulps beyond the shortcut's 1e-6 (l + r)
            // (and beyond 1e-5), both sides, and far from l.
            std::vector<double> rs = {0.0, 1e-5, 0.5, 1.0, 3.0 * l + 1.0};
            // Closer gaps, outside the shortcut, would fail it if it let them in.
            for (const double side : {-1.0, 1.0}) {
                for (const double relative : {2.0000001e-6, 1e-8, 1e-12, 1e-16}) {
                    const double gap = std::fmax(relative * l, 1.0000001e-5);
                    rs.push_back(l + side * gap);
                    rs.push_back(std::nextafter(l + side * gap, l));
                    rs.push_back(l + side * relative * l);
                }
            }
            for (const double r : rs) {
                if (!ring_detail::plainly_valid(l, r, q, r - l)) continue;
                ++shortcut;
                SCOPED_TRACE(testing::Message() << "l = " << l << ", r = " << r << ", q = " << q);
                EXPECT_FALSE(classified(l, r, q).has_value());
                const Expected<double> value = heyrovsky_magnification(l, r, q, 1.0);
                ASSERT_TRUE(value.has_value());
                EXPECT_EQ(std::bit_cast<std::uint64_t>(value.value()),
                          std::bit_cast<std::uint64_t>(ring_detail::closed_form(l, r, q)));
            }
        }
    }
    EXPECT_GT(shortcut, 300);
}

// Inputs next to the shortcut's domain that do fail keep their message.
struct Outside {
    double l;
    double r;
    double re;
    double rstar;
    const char* message;
};

class RingShortcutBoundary : public testing::TestWithParam<Outside> {};

TEST_P(RingShortcutBoundary, FailsAsTheClassificationSays) {
    const Outside& o = GetParam();
    const Expected<double> value = heyrovsky_magnification(o.l, o.r, o.re, o.rstar);
    ASSERT_FALSE(value.has_value()) << value.value();
    EXPECT_STREQ(value.error().message, o.message);
}

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Ring, RingShortcutBoundary,
    testing::Values(
        // A negative product l r: the square root in k is NaN.
        Outside{-0.5, 0.7, 1.0, 1.0, "ellipk: Arguments cannot be NAN."},
        // q = -inf and q = inf: 0 * inf in k.
        Outside{0.5, 0.7, -inf, 1.0, "ellipk: Arguments cannot be NAN."},
        Outside{0.5, 0.7, 1.0, 0.0, "ellipk: Arguments cannot be NAN."},
        // 4 q overflows next to the guard's other side.
        Outside{0.5, 0.7, 1.7e308, 1.0, "ellipk: Arguments cannot be NAN."},
        Outside{0.5, nan, 1.0, 1.0, "ellipk: Arguments cannot be NAN."}));

}  // namespace
