// Cost of the uniform-disk kernel per evaluation against E(m) + K(m) + Pi(n, m)
// alone at the same (n, m), and one separation at a time against the sequence
// path that pairs them, timed alternately in one run (best of the rounds).
// g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/witt_mao_bench.cpp -o /tmp/witt_mao_bench && /tmp/witt_mao_bench

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/witt_mao.hpp"
#include "numerics/ellip.hpp"

namespace {

volatile double sink;

struct Point {
    double u;
    double rho;
    double n;  // the characteristic and parameter the closed form would use
    double m;
};

Point make_point(double u, double rho) {
    const double d = u - rho;
    const double s = u + rho;
    const double n = ((rho * 4.0) * u) / (s * s);
    const double k = std::sqrt(n * 4.0) / std::sqrt(d * d + 4.0);
    return {u, rho, n, k * k};
}

bool in_band(double u, double rho) {
    const double relative = 0.001 * rho;
    return std::fabs(u - rho) < (relative > 1e-5 ? relative : 1e-5);
}

// Finite-source light curves: rho from 1e-4 to 0.05, u from 1e-3 to 5, both
// log-uniform; `general_only` keeps the points the closed form evaluates.
std::vector<Point> make_points(std::size_t count, bool general_only) {
    std::mt19937 generator(12345);
    std::uniform_real_distribution<double> log_rho(std::log(1e-4), std::log(0.05));
    std::uniform_real_distribution<double> log_u(std::log(1e-3), std::log(5.0));
    std::vector<Point> points;
    while (points.size() < count) {
        const double rho = std::exp(log_rho(generator));
        const double u = std::exp(log_u(generator));
        if (general_only && (in_band(u, rho) || u > rho * 1000.0)) continue;
        points.push_back(make_point(u, rho));
    }
    return points;
}

[[gnu::noinline]] double ns_kernel(const std::vector<Point>& points) {
    const auto start = std::chrono::steady_clock::now();
    double total = 0.0;
    for (const Point& p : points) total += tovimera::witt_mao_magnification_scaled(p.u, p.rho);
    const auto stop = std::chrono::steady_clock::now();
    sink = total;
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(points.size());
}

[[gnu::noinline]] double ns_integrals(const std::vector<Point>& points) {
    const auto start = std::chrono::steady_clock::now();
    double total = 0.0;
    for (const Point& p : points) {
        total += tovimera::ellip::ellipe(p.m).value();
        total += tovimera::ellip::ellipk(p.m).value();
        total += tovimera::ellip::ellippi(p.n, p.m).value();
    }
    const auto stop = std::chrono::steady_clock::now();
    sink = total;
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(points.size());
}

void compare(const char* label, const std::vector<Point>& points) {
    double best_kernel = 1e300;
    double best_integrals = 1e300;
    for (int round = 0; round < 41; ++round) {
        const double k = ns_kernel(points);
        const double e = ns_integrals(points);
        best_kernel = k < best_kernel ? k : best_kernel;
        best_integrals = e < best_integrals ? e : best_integrals;
    }
    std::size_t far = 0;
    for (const Point& p : points) far += p.u > p.rho * 1000.0 ? 1 : 0;
    std::printf("%-34s kernel %6.1f ns   E+K+Pi %6.1f ns   ratio %.3f   (%zu points, %zu beyond u = 1000 rho)\n",
                label, best_kernel, best_integrals, best_kernel / best_integrals, points.size(), far);
}

// The grid of bench/compare_peers.py's disk table: 2,000 even steps of l in
// [0, 3] with 100 points within 1e-9..1e-1 of the rim, 200 geometric steps to 100.
std::vector<double> disk_grid() {
    std::vector<double> l;
    for (int i = 0; i < 1900; ++i) l.push_back(3.0 * i / 1899.0);
    for (int i = 0; i < 100; ++i) {
        const double gap = std::pow(10.0, -9.0 + 8.0 * (i / 2) / 49.0);
        l.push_back(i % 2 == 0 ? 1.0 - gap : 1.0 + gap);
    }
    for (int i = 1; i <= 200; ++i) l.push_back(3.0 * std::pow(100.0 / 3.0, i / 200.0));
    return l;
}

[[gnu::noinline]] double ns_one_at_a_time(const std::vector<double>& l, double rho, std::vector<double>& out) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < l.size(); ++i) out[i] = tovimera::witt_mao_magnification_scaled(l[i] * rho, rho);
    const auto stop = std::chrono::steady_clock::now();
    sink = out[l.size() / 2];
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(l.size());
}

[[gnu::noinline]] double ns_paired(const std::vector<double>& l, double rho, std::vector<double>& out) {
    const auto start = std::chrono::steady_clock::now();
    tovimera::witt_mao_magnification_range(l.data(), out.data(), l.size(), rho);
    const auto stop = std::chrono::steady_clock::now();
    sink = out[l.size() / 2];
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(l.size());
}

void compare_paired(double rho) {
    const std::vector<double> l = disk_grid();
    std::vector<double> scalar(l.size());
    std::vector<double> paired(l.size());
    double best_scalar = 1e300;
    double best_paired = 1e300;
    for (int round = 0; round < 201; ++round) {
        const double a = ns_one_at_a_time(l, rho, scalar);
        const double b = ns_paired(l, rho, paired);
        best_scalar = a < best_scalar ? a : best_scalar;
        best_paired = b < best_paired ? b : best_paired;
    }
    std::size_t differing = 0;
    for (std::size_t i = 0; i < l.size(); ++i) differing += std::memcmp(&scalar[i], &paired[i], sizeof(double)) != 0;
    std::printf("disk grid, rho = %-6g one at a time %6.1f ns   paired %6.1f ns   ratio %.3f   (%zu points, %zu differ)\n",
                rho, best_scalar, best_paired, best_paired / best_scalar, l.size(), differing);
}

}  // namespace

int main() {
    for (const double rho : {0.001, 0.01, 0.1, 1.0}) compare_paired(rho);
    compare("closed-form points only:", make_points(20000, true));
    compare("light-curve mix:", make_points(20000, false));
    return 0;
}
