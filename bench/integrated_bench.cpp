// Cost per separation of the integrated functions: the function itself, the
// evaluations of its integrand (split where the function splits), and that
// integrand replayed at the same nodes without the quadrature around it.
// Beside each split route, one sweep over [0, 1] of the same integrand: the
// rule before the split, for comparison.
//
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/integrated_bench.cpp
//       src/common/panic.cpp -o /tmp/integrated_bench && /tmp/integrated_bench

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>
#include <vector>

#include "fluxmap/flux_maps.hpp"
#include "integrated/integrated_heyrovsky.hpp"
#include "integrated/integrated_witt_mao.hpp"

namespace {

using tovimera::double_exponential::integrate_split;

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
};

// `make(l)` gives the integrand for separation l and the cuts its function uses.
template <class Make>
Figures measure(const std::vector<double>& separations, Make make, bool one_sweep) {
    Figures figures;
    std::vector<double> nodes;
    for (const double l : separations) {
        auto [f, cut_array] = make(l);
        const std::span<const double> cuts = one_sweep ? std::span<const double>{} : std::span<const double>(cut_array);
        nodes.clear();
        const auto estimate = integrate_split([&](double x) { nodes.push_back(x); return f(x); }, 0.0, 1.0, cuts, 1e-16);
        figures.evaluations += static_cast<double>(estimate.evaluations);
        figures.quadrature_us += 1e6 * best_seconds([&] { sink = integrate_split(f, 0.0, 1.0, cuts, 1e-16).integral; });
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
    return figures;
}

template <class Call>
double function_us(const std::vector<double>& separations, Call call) {
    return 1e6 * best_seconds([&] { sink = call(separations).back(); }) / static_cast<double>(separations.size());
}

template <class Make>
void report(const char* name, double rho, const char* where, double function, const std::vector<double>& ls,
            Make make, bool split) {
    const Figures f = measure(ls, make, false);
    std::printf("%-30s rho=%-5g %-8s %8.2f us/sep %7.1f evals/sep  integrand alone %7.2f us  ratio %.2f", name, rho,
                where, function, f.evaluations, f.replay_us, f.quadrature_us / f.replay_us);
    if (split) {
        const Figures one = measure(ls, make, true);
        std::printf("  | one sweep %8.2f us/sep %6.1f evals/sep", one.quadrature_us, one.evaluations);
    }
    std::printf("\n");
}

}  // namespace

int main() {
    constexpr double two_pi = 6.283185307179586;
    std::vector<double> law_radii;
    std::vector<double> law_brightness;
    for (int i = 0; i <= 100; ++i) {
        law_radii.push_back(i / 100.0);
        law_brightness.push_back(tovimera::limb_darkening_profile(i / 100.0));
    }
    const std::vector<double> one_radius{0.5};
    const std::vector<double> one_brightness{1.0};
    const tovimera::TabulatedProfile law(law_radii, law_brightness);
    const tovimera::TabulatedProfile uniform(one_radius, one_brightness);

    for (const double rho : {0.01, 0.1, 1.0}) {
        for (const char* where : {"outside", "inside", "limb"}) {
            std::vector<double> ls;
            if (where[0] == 'l') {
                // Through the limb: l = 1 -+ 10^-k, k = 1 .. 9, and l = 1.
                ls.push_back(1.0);
                for (int k = 1; k <= 9; ++k) {
                    ls.push_back(1.0 - std::pow(10.0, -k));
                    ls.push_back(1.0 + std::pow(10.0, -k));
                }
            } else {
                const bool inside = where[0] == 'i';
                for (int i = 0; i < 40; ++i) ls.push_back(inside ? 0.02 + 0.024 * i : 1.05 + 0.1 * i);
            }

            report("integrated_witt_mao", rho, where,
                   function_us(ls, [rho](const auto& l) { return tovimera::integrated_witt_mao_magnification(l, 1.0, rho); }),
                   ls,
                   [rho](double l) {
                       const double u = l * rho;
                       auto f = [u, rho](double x) { return tovimera::nested_disk(u, rho, x); };
                       return std::pair{f, std::array<double, 1>{tovimera::nested_disk_kink(l)}};
                   },
                   true);
            report("integrated_heyrovsky", rho, where,
                   function_us(ls, [rho](const auto& l) { return tovimera::integrated_heyrovsky_magnification(l, 1.0, rho); }),
                   ls,
                   [rho](double l) {
                       auto f = [l, rho](double r) {
                           const auto ring = tovimera::heyrovsky_magnification(l, r, 1.0, rho);
                           const double value = ring.has_value() ? ring.value() : std::nan("");
                           return tovimera::limb_darkening_profile(r) * ((two_pi * r) * value);
                       };
                       return std::pair{f, std::array<double, 1>{l}};
                   },
                   false);
            struct Table {
                const char* label;
                const tovimera::TabulatedProfile* profile;
                const std::vector<double>* bl;
                const std::vector<double>* bf;
            };
            for (const auto& [label, profile, bl, bf] :
                 {Table{"flux_map_witt_mao, 1 entry", &uniform, &one_radius, &one_brightness},
                  Table{"flux_map_witt_mao, 101 entries", &law, &law_radii, &law_brightness}}) {
                report(label, rho, where,
                       function_us(ls,
                                   [&, rho](const auto& l) {
                                       return tovimera::integrated_flux_map_witt_mao_magnification(l, 1.0, rho, *bl, *bf);
                                   }),
                       ls,
                       [rho, profile](double l) {
                           const double u = l * rho;
                           auto f = [u, rho, profile](double x) {
                               return (*profile)(x) * ((two_pi * x) * tovimera::annulus_magnification(u, rho, x));
                           };
                           return std::pair{f, tovimera::annulus_cuts(l)};
                       },
                       true);
            }
            report("flux_map_heyrovsky, 101 entries", rho, where,
                   function_us(ls,
                               [&, rho](const auto& l) {
                                   return tovimera::integrated_flux_map_heyrovsky_magnification(l, 1.0, rho, law_radii,
                                                                                                law_brightness);
                               }),
                   ls,
                   [rho, &law](double l) {
                       auto f = [l, rho, &law](double r) {
                           const auto ring = tovimera::heyrovsky_magnification(l, r, 1.0, rho);
                           const double value = ring.has_value() ? ring.value() : std::nan("");
                           return law(r) * ((two_pi * r) * value);
                       };
                       return std::pair{f, std::array<double, 1>{l}};
                   },
                   false);
        }
    }
}
