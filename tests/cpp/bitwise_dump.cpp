// Prints the bit pattern of every kernel result over a fixed grid of inputs,
// one value a line, so that two builds (64-bit and 32-bit x86) can be diffed.
// Not a unit test: the CMake target tovimera_bitwise_dump, which scripts/check-32bit
// and scripts/check-musl build for each platform and compare.
//
// Each line is "<what>(<inputs as hex floats>) <result>", where the result is
// the 16 hex digits of the double's bits, a count, or "failure: <message>".
// The C library's own functions are dumped too (libm_*): where a kernel's
// result differs between the builds, they show whether the cause is there.

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "fluxmap/flux_maps.hpp"
#include "fluxmap/tabulated_profile.hpp"
#include "integrated/integrated_heyrovsky.hpp"
#include "integrated/integrated_witt_mao.hpp"
#include "integrated/limb_darkening.hpp"
#include "kernels/ring.hpp"
#include "kernels/witt_mao.hpp"
#include "numerics/ellip.hpp"
#include "numerics/quadrature.hpp"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double max = std::numeric_limits<double>::max();
constexpr double denormal = std::numeric_limits<double>::denorm_min();
constexpr double smallest_normal = std::numeric_limits<double>::min();

std::size_t printed = 0;

std::string hex(double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

std::string args(std::initializer_list<double> values) {
    std::string text;
    for (const double v : values) {
        if (!text.empty()) text += ',';
        text += hex(v);
    }
    return text;
}

void emit(const std::string& what, double value) {
    std::printf("%s %016" PRIx64 "\n", what.c_str(), std::bit_cast<std::uint64_t>(value));
    ++printed;
}

void emit(const std::string& what, const tovimera::Expected<double>& value) {
    if (value.has_value()) {
        emit(what, value.value());
    } else {
        std::printf("%s failure: %s\n", what.c_str(), value.error().message);
        ++printed;
    }
}

void emit_count(const std::string& what, std::size_t count) {
    std::printf("%s %zu\n", what.c_str(), count);
    ++printed;
}

void emit_all(const std::string& what, const std::vector<double>& values) {
    for (std::size_t i = 0; i < values.size(); ++i) emit(what + "[" + std::to_string(i) + "]", values[i]);
}

// Values every argument meets: signed zeros, subnormals, the ends of the
// range, non-finite values, and the neighbours of 1.
std::vector<double> specials() {
    return {0.0,  -0.0,  denormal, -denormal, smallest_normal, 1e-300, 1e-150, 1e-20,
            1e-8, 1e-5,  0.001,    0.1,       0.5,             std::nextafter(1.0, 0.0),
            1.0,  std::nextafter(1.0, 2.0),   2.0,             10.0,   1e5,    1e20,
            1e150, 1e154, 1e155, 1e300, max, -1e-300, -0.5, -1.0, -10.0, -1e300, -max,
            inf,  -inf,  nan};
}

// n points from a to b (both included), spaced evenly.
std::vector<double> linear(double a, double b, std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1);
    return v;
}

// 10^from up to 10^to with 2^halvings points a decade, by repeated
// multiplication so that no libm function enters the inputs themselves.
std::vector<double> decades(int from, int to, int halvings) {
    double step = 10.0;
    for (int i = 0; i < halvings; ++i) step = std::sqrt(step);
    double x = 1.0;
    for (int k = 0; k < (from < 0 ? -from : from); ++k) x = from < 0 ? x / 10.0 : x * 10.0;
    std::vector<double> v;
    const int count = (to - from) * (1 << halvings);
    for (int i = 0; i <= count; ++i) {
        v.push_back(x);
        x *= step;
    }
    return v;
}

// The C library functions the kernels call, over their arguments' ranges.
void dump_libm() {
    for (const double x : decades(-12, 12, 5)) {
        emit("libm_log(" + hex(x) + ")", std::log(x));
        emit("libm_atan(" + hex(x) + ")", std::atan(x));
        emit("libm_sqrt(" + hex(x) + ")", std::sqrt(x));
    }
    for (const double x : linear(-1.0, 1.0, 2001)) emit("libm_asin(" + hex(x) + ")", std::asin(x));
}

void dump_ellip() {
    using namespace tovimera::ellip;
    std::vector<double> ms = specials();
    for (const double m : linear(-10.0, 1.0, 1101)) ms.push_back(m);
    for (const double d : decades(-17, -1, 3)) ms.push_back(1.0 - d);
    for (const double m : ms) {
        emit("ellipk(" + hex(m) + ")", ellipk(m));
        emit("ellipe(" + hex(m) + ")", ellipe(m));
    }
    std::vector<double> ns = specials();
    for (const double n : {-5.0, 0.3, 0.9, 0.99, 0.999999, 0.9999999999999998, 0.9999999999999997,
                           1.0000000000000002, 1.0000000000000004, 1.000001, 1.5, 4.0, 1e10}) {
        ns.push_back(n);
    }
    std::vector<double> pm = specials();
    for (const double m : {-3.0, 0.2, 0.7, 0.99, 0.9999999999999998, 0.9999999999999997}) pm.push_back(m);
    for (const double n : ns) {
        for (const double m : pm) emit("ellippi(" + args({n, m}) + ")", ellippi(n, m));
    }
    // A dense interior grid, both sides of n = 1.
    for (const double n : linear(-3.0, 3.0, 61)) {
        for (const double m : linear(-2.0, 0.98, 31)) emit("ellippi(" + args({n, m}) + ")", ellippi(n, m));
    }
}

void dump_witt_mao() {
    using tovimera::witt_mao_magnification_scaled;
    std::vector<double> rhos = specials();
    for (const double r : {0.003, 0.05, 0.3, 0.9999, 1.0000001, 3.0, 100.0}) rhos.push_back(r);
    // Multiples of rho around the rim, the closed form and the far series.
    const double factors[] = {0.0,   1e-6,  0.1,    0.5,    0.99,  0.998,  0.999,  0.9989999,
                              0.9999, 1.0,   1.0001, 1.0009, 1.001, 1.0011, 1.01,   1.5,
                              2.0,   10.0,  999.0,  999.999, 1000.0, 1000.001, 1001.0, 1e4,
                              1e8,   1e200};
    for (const double rho : rhos) {
        for (const double f : factors) {
            const double u = rho * f;
            emit("witt_mao(" + args({u, rho}) + ")", witt_mao_magnification_scaled(u, rho));
        }
        for (const double u : specials()) emit("witt_mao(" + args({u, rho}) + ")", witt_mao_magnification_scaled(u, rho));
    }
    // Next to the rim, where the closed form's integrals run closest to their
    // singularities, and on it, where the value comes from atan.
    for (const double rho : decades(-4, 2, 4)) {
        for (const double f : {0.9991, 0.9995, 0.99999, 0.999999999999, 1.0, 1.000000000001, 1.00001, 1.0003}) {
            emit("witt_mao(" + args({rho * f, rho}) + ")", witt_mao_magnification_scaled(rho * f, rho));
        }
    }
    // The light-curve region, densely.
    for (const double rho : {0.001, 0.01, 0.1, 0.5, 1.0, 2.0}) {
        for (const double u : linear(0.0, 3.0, 401)) emit("witt_mao(" + args({u, rho}) + ")", witt_mao_magnification_scaled(u, rho));
    }
    // What the sequence entry runs on each range, closed-form separations in
    // pairs; no l is within an ulp of 1, so none takes the rim's atan.
    std::vector<double> l = linear(0.0, 3.0, 401);
    for (int k = 1; k <= 12; ++k) {
        l.push_back(1.0 - std::pow(10.0, -k));
        l.push_back(1.0 + std::pow(10.0, -k));
    }
    for (const double x : {std::nextafter(20.0, 0.0), 20.0, std::nextafter(20.0, 30.0), 25.0, 100.0, -0.5, inf, nan}) {
        l.push_back(x);
    }
    for (const double rho : {1e-4, 0.01, 0.5, 1.5}) {
        std::vector<double> out(l.size());
        tovimera::witt_mao_magnification_range(l.data(), out.data(), l.size(), rho);
        emit_all("witt_mao_range(" + args({rho}) + ")", out);
    }
}

void dump_ring() {
    using tovimera::heyrovsky_magnification;
    struct Scale {
        double re;
        double rstar;
    };
    const Scale scales[] = {{1.0, 1.0}, {0.1, 1.0}, {1.0, 0.1}, {10.0, 1.0}, {1.0, 0.0},
                            {0.0, 1.0}, {nan, 1.0}, {inf, 1.0}, {1.0, inf}, {-1.0, 1.0}};
    std::vector<double> ls = {0.0, 0.01, 0.3, 0.5, 0.99, 1.0, 1.5, 3.0, 100.0, 1e200, -1.0, inf, nan};
    for (const Scale s : scales) {
        for (const double l : ls) {
            // Radii around l (inside and outside the 1e-5 band) and fixed ones.
            const double rs[] = {0.0,     1e-6,     0.1,      0.5,      1.0,     2.0,      l - 2e-5, l - 1e-5,
                                 l - 9e-6, l - 1e-9, l,        l + 1e-9, l + 9e-6, l + 1e-5, l + 2e-5, nan,
                                 inf,     -0.5};
            for (const double r : rs) {
                emit("heyrovsky(" + args({l, r, s.re, s.rstar}) + ")", heyrovsky_magnification(l, r, s.re, s.rstar));
            }
        }
    }
    // Within 1e-5 of the ring, where the closed form answers unless it has no
    // value there, and log and atan then give the result.
    for (const double q : {0.1, 1.0, 10.0}) {
        for (const double l : linear(0.001, 3.0, 150)) {
            for (const double d : {-9.9e-6, -5e-6, -1e-7, 1e-7, 5e-6, 9.9e-6}) {
                emit("heyrovsky(" + args({l, l + d, q, 1.0}) + ")", heyrovsky_magnification(l, l + d, q, 1.0));
            }
        }
    }
    for (const double q : {0.05, 1.0, 20.0}) {
        for (const double l : linear(0.0, 2.0, 41)) {
            for (const double r : linear(0.0, 1.0, 21)) {
                emit("heyrovsky(" + args({l, r, q, 1.0}) + ")", heyrovsky_magnification(l, r, q, 1.0));
            }
        }
    }
}

void dump_quadrature() {
    using tovimera::double_exponential::integrate;
    namespace de = tovimera::double_exponential;
    for (std::size_t k = 0; k < de::detail::nodes.size(); ++k) {
        const auto& node = de::detail::nodes[k];
        const std::string at = "node[" + std::to_string(k) + "]";
        emit(at + ".abscissa", node.abscissa);
        emit(at + ".distance", node.distance);
        emit(at + ".weight", node.weight);
    }
    for (const double x : linear(0.0, 40.0, 161)) emit("expm1_nonnegative(" + hex(x) + ")", de::detail::expm1_nonnegative(x));

    struct Interval {
        double a;
        double b;
    };
    const Interval intervals[] = {{0.0, 1.0},   {-1.0, 2.0},  {1.0, 0.0}, {0.0, 0.0},
                                  {1e-10, 1e-10 + 1e-20},     {-1e300, 1e300}, {0.0, 1e-300},
                                  {0.25, 0.75}, {0.0, inf},   {nan, 1.0}};
    const auto report = [](const std::string& what, const de::Estimate& e) {
        emit(what + ".integral", e.integral);
        emit(what + ".error", e.error);
        emit_count(what + ".evaluations", e.evaluations);
    };
    for (const Interval iv : intervals) {
        const std::string on = args({iv.a, iv.b});
        for (const double target : {1e-16, 1e-8, 0.0}) {
            const std::string at = on + "," + hex(target) + ")";
            report("integrate(x^3," + at, integrate([](double x) { return x * x * x; }, iv.a, iv.b, target));
            report("integrate(sqrt," + at, integrate([](double x) { return std::sqrt(x); }, iv.a, iv.b, target));
            report("integrate(1/sqrt," + at, integrate([](double x) { return 1.0 / std::sqrt(x); }, iv.a, iv.b, target));
            report("integrate(1/(1+x^2)," + at, integrate([](double x) { return 1.0 / (1.0 + x * x); }, iv.a, iv.b, target));
            report("integrate(x sqrt(1-x^2)," + at,
                   integrate([](double x) { return x * std::sqrt(1.0 - x * x); }, iv.a, iv.b, target));
            report("integrate(log," + at, integrate([](double x) { return std::log(x); }, iv.a, iv.b, target));
            report("integrate(nan," + at, integrate([](double) { return nan; }, iv.a, iv.b, target));
        }
    }
}

void dump_integrated() {
    for (const double r : linear(-0.1, 1.1, 121)) emit("limb_darkening_profile(" + hex(r) + ")", tovimera::limb_darkening_profile(r));

    std::vector<double> l = linear(0.0, 3.0, 61);
    for (const double x : {0.999999, 1.0000001, 10.0, 1e4, -0.5, inf, nan}) l.push_back(x);
    struct Scale {
        double re;
        double rstar;
    };
    const Scale scales[] = {{1.0, 0.1}, {1.0, 1.0}, {0.5, 2.0}, {1.0, 0.001}, {1.0, 0.0}, {nan, 1.0}};
    for (const Scale s : scales) {
        const std::string at = args({s.re, s.rstar});
        emit_all("integrated_witt_mao(" + at + ")", tovimera::integrated_witt_mao_magnification(l, s.re, s.rstar));
        emit_all("integrated_heyrovsky(" + at + ")", tovimera::integrated_heyrovsky_magnification(l, s.re, s.rstar));
    }
}

void dump_profile() {
    struct Table {
        const char* name;
        std::vector<double> bl;
        std::vector<double> bf;
    };
    std::vector<Table> tables;
    {
        Table limb{"limb", linear(0.0, 1.0, 11), {}};
        for (const double r : limb.bl) limb.bf.push_back(tovimera::limb_darkening_profile(r));
        tables.push_back(limb);
    }
    tables.push_back({"empty", {}, {}});
    tables.push_back({"one", {0.4}, {2.0}});
    tables.push_back({"two", {0.0, 1.0}, {1.0, 0.25}});
    tables.push_back({"step", {0.0, 0.5, 0.5, 1.0}, {1.0, 1.0, 0.3, 0.3}});
    tables.push_back({"unsorted", {0.2, 0.9, 0.1, 0.6, 1.0}, {1.0, 0.8, 0.9, 0.5, 0.1}});
    tables.push_back({"inner", {0.25, 0.75}, {1.0, 1.0}});
    tables.push_back({"wide", {-1.0, 0.5, 3.0}, {0.5, 1.0, 2.0}});
    tables.push_back({"nonfinite", {0.0, 0.3, nan, 0.8, 1.0}, {1.0, inf, 0.5, nan, 0.2}});

    std::vector<double> xs = linear(-0.2, 1.2, 141);
    for (const double x : {0.5, std::nextafter(0.5, 0.0), std::nextafter(0.5, 1.0), -0.0, inf, -inf, nan}) xs.push_back(x);
    std::vector<double> l = linear(0.0, 2.0, 21);
    l.push_back(nan);
    for (const Table& t : tables) {
        const tovimera::TabulatedProfile profile(t.bl, t.bf);
        const std::string name = t.name;
        for (const double x : xs) emit("profile_" + name + "(" + hex(x) + ")", profile(x));
        emit("tabulated_flux_" + name, tovimera::tabulated_flux(profile));
        for (const double re : {1.0, 0.2}) {
            const std::string at = name + "," + args({re, 0.5}) + ")";
            emit_all("flux_map_witt_mao(" + at, tovimera::integrated_flux_map_witt_mao_magnification(l, re, 0.5, t.bl, t.bf));
            emit_all("flux_map_heyrovsky(" + at, tovimera::integrated_flux_map_heyrovsky_magnification(l, re, 0.5, t.bl, t.bf));
            const auto discrete = tovimera::discrete_flux_map_heyrovsky_magnification(l, re, 0.5, t.bl, t.bf);
            if (discrete.has_value()) {
                emit_all("discrete_flux_map(" + at, discrete.value());
            } else {
                std::printf("discrete_flux_map(%s failure: %s\n", at.c_str(), discrete.error().message);
                ++printed;
            }
        }
    }
}

}  // namespace

int main() {
    // On stderr: this line differs between the builds by design.
    std::fprintf(stderr, "bitwise_dump: sizeof(void*)=%zu sizeof(std::size_t)=%zu FLT_EVAL_METHOD=%d\n", sizeof(void*),
                sizeof(std::size_t), static_cast<int>(__FLT_EVAL_METHOD__));
    dump_libm();
    dump_ellip();
    dump_witt_mao();
    dump_ring();
    dump_quadrature();
    dump_integrated();
    dump_profile();
    std::fprintf(stderr, "bitwise_dump: %zu values\n", printed);
    return 0;
}
