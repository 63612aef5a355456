#pragma once
// The uniform-disk kernel over whole separation sequences, on the worker pool.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/panic.hpp"
#include "kernels/witt_mao.hpp"
#include "parallel/parallel_map.hpp"

namespace tovimera {

// One magnification per separation l (source radii); only rstar / re enters.
inline std::vector<double> witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    const double rho = rstar / re;
    return parallel::parallel_map(std::span<const double>(l), [rho](double separation) {
        return witt_mao_magnification_scaled(separation * rho, rho);
    });
}

// The grid size must not wrap around on 32-bit targets.
inline constexpr std::size_t pairs_limit = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double) / 2;

struct LensSource {
    double re;
    double rstar;
};

// One row per (re, rstar) pair, re outer and rstar inner; each row is what
// witt_mao_magnification gives for that pair.
inline std::vector<std::vector<double>> multi_witt_mao_magnification(
    const std::vector<double>& l, const std::vector<double>& re, const std::vector<double>& rstar) {
    if (!re.empty() && rstar.size() > pairs_limit / re.size()) panic("capacity overflow");
    std::vector<LensSource> pairs;
    pairs.reserve(re.size() * rstar.size());
    for (const double einstein : re) {
        for (const double source : rstar) pairs.push_back({einstein, source});
    }
    return parallel::parallel_map(std::span<const LensSource>(pairs), [&l](const LensSource& pair) {
        return witt_mao_magnification(l, pair.re, pair.rstar);
    });
}

}  // namespace tovimera
