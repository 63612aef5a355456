// Cost of the integrated functions per separation, against the cost of their
// integrand evaluated at the same nodes without the quadrature around it, and
// the share of sweeps that stop before the seventh level.
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/integrated_bench.cpp
//       src/common/panic.cpp -o /tmp/integrated_bench && /tmp/integrated_bench

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "integrated/integrated_heyrovsky.hpp"
#include "integrated/integrated_witt_mao.hpp"

namespace {

using tovimera::double_exponential::integrate;

template <class F>
double best_seconds(F&& f, int rounds = 7) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

volatile double sink;

struct Figures {
    double quadrature_us = 0.0;
    double replay_us = 0.0;
    double evaluations = 0.0;
    double early = 0.0;
};

// `make(l)` gives the integrand for separation l and the interval pieces.
template <class Make>
Figures measure(const std::vector<double>& separations, Make make) {
    Figures figures;
    std::vector<double> nodes;
    std::size_t sweeps = 0;
    for (const double l : separations) {
        auto [f, pieces] = make(l);
        nodes.clear();
        for (auto [a, b] : pieces) {
            const auto estimate = integrate([&](double x) { nodes.push_back(x); return f(x); }, a, b, 1e-16);
            figures.evaluations += static_cast<double>(estimate.evaluations);
            figures.early += estimate.evaluations < 385 ? 1.0 : 0.0;
            ++sweeps;
        }
        figures.quadrature_us += 1e6 * best_seconds([&] {
            double total = 0.0;
            for (auto [a, b] : pieces) total += integrate(f, a, b, 1e-16).integral;
            sink = total;
        });
        figures.replay_us += 1e6 * best_seconds([&] {
            double total = 0.0;
            for (const double x : nodes) total += f(x);
            sink = total;
        });
    }
    const double n = static_cast<double>(separations.size());
    figures.quadrature_us /= n;
    figures.replay_us /= n;
    figures.evaluations /= n;
    figures.early /= static_cast<double>(sweeps);
    return figures;
}

void report(const char* name, double rho, const char* where, const Figures& f) {
    std::printf("%-36s rho=%-5g %-8s %8.2f us/sep %7.1f evals/sep  integrand alone %8.2f us  ratio %.2f  early stops %3.0f%%\n",
                name, rho, where, f.quadrature_us, f.evaluations, f.replay_us, f.quadrature_us / f.replay_us,
                100.0 * f.early);
}

}  // namespace

int main() {
    using Piece = std::pair<double, double>;
    for (const double rho : {0.01, 0.1, 1.0}) {
        for (const bool inside : {false, true}) {
            std::vector<double> ls;
            for (int i = 0; i < 40; ++i) ls.push_back(inside ? 0.02 + 0.024 * i : 1.05 + 0.1 * i);
            const char* where = inside ? "inside" : "outside";
            const Figures disk = measure(ls, [rho](double l) {
                const double u = l * rho;
                auto f = [u, rho](double x) {
                    const double q = 1.0 - x * x;
                    if (q == 0.0) return 0.0;
                    const double s = std::sqrt(q);
                    return tovimera::witt_mao_magnification_scaled(u, s * rho) * (s * s);
                };
                return std::pair{f, std::vector<Piece>{{0.0, 1.0}}};
            });
            report("integrated_witt_mao (limb integral)", rho, where, disk);
            const Figures ring = measure(ls, [rho](double l) {
                auto f = [l, rho](double r) {
                    const auto ring = tovimera::heyrovsky_magnification(l, r, 1.0, rho);
                    const double value = ring.has_value() ? ring.value() : std::nan("");
                    return tovimera::limb_darkening_profile(r) * ((6.283185307179586 * r) * value);
                };
                std::vector<Piece> pieces = l > 0.0 && l < 1.0 ? std::vector<Piece>{{0.0, l}, {l, 1.0}}
                                                               : std::vector<Piece>{{0.0, 1.0}};
                return std::pair{f, pieces};
            });
            report("integrated_heyrovsky", rho, where, ring);
        }
    }
}
