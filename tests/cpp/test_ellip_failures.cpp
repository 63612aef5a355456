// The kernels decide their failures from n and m without evaluating K and Pi;
// that decision must be the one the facade's own K(m)-then-Pi(n, m) calls make,
// message for message, over every edge of the failure table a kernel can reach.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "numerics/ellip.hpp"

namespace {

namespace ellip = tovimera::ellip;
using tovimera::Expected;
using tovimera::Failure;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// What calling K(m) and then Pi(n, m) reports, as the ring's closed form does.
std::optional<std::string> called(double n, double m) {
    const Expected<double> k = ellip::ellipk(m);
    if (!k.has_value()) return std::string(k.error().message);
    const Expected<double> pi = ellip::ellippi(n, m);
    if (!pi.has_value()) return std::string(pi.error().message);
    return std::nullopt;
}

std::optional<std::string> decided(double n, double m) {
    const std::optional<Failure> failure = ellip::failure_of_k_then_pi(n, m);
    if (!failure) return std::nullopt;
    return std::string(failure->message);
}

std::vector<double> edges() {
    const double below_one = 0.9999999999999999;
    return {nan,       -0.0,      0.0,     1e-300,    0.5,      0.9999999999999998, below_one,
            1.0,       1.0000000000000002,  1.0000000000000004, 1.5, 2.0,       1e300,
            inf,       -inf,      0.75};
}

TEST(EllipFailureDecision, MatchesTheFacadeAtEveryEdge) {
    for (const double n : edges()) {
        for (const double m : edges()) {
            if (m < 0.0) continue;  // kernels square their modulus
            EXPECT_EQ(decided(n, m), called(n, m)) << "n=" << n << " m=" << m;
        }
    }
}

// The values a kernel's n and m take next to the rim, where rounding puts n on
// 1 or just past it.
TEST(EllipFailureDecision, MatchesTheFacadeNextToOne) {
    for (int step = -8; step <= 8; ++step) {
        const double n = 1.0 + step * 1.1102230246251565e-16;
        for (const double m : {0.0, 0.3, 0.9999, 0.9999999999999998, 1.0}) {
            EXPECT_EQ(decided(n, m), called(n, m)) << "n=" << n << " m=" << m;
        }
    }
}

TEST(EllipFailureDecision, NamesTheFirstFailingIntegral) {
    // K fails first whatever n is; Pi's own message only once K has a value.
    EXPECT_EQ(decided(1.0, nan), "ellipk: Arguments cannot be NAN.");
    EXPECT_EQ(decided(nan, 2.0), "ellipk: m must not be greater than 1.");
    EXPECT_EQ(decided(1.0, 0.5), "ellippi: n cannot be 1.");
    EXPECT_EQ(decided(nan, 0.5), "ellippi: Arguments cannot be NAN.");
    EXPECT_EQ(decided(0.5, 1.0), std::nullopt);
}

}  // namespace
