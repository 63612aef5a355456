#pragma once
// The uniform-disk kernel over whole separation sequences, on the worker pool.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/panic.hpp"
#include "kernels/witt_mao.hpp"
#include "parallel/parallel_map.hpp"
#include "parallel/pool.hpp"

namespace tovimera {

namespace disk_sequences_detail {

struct RangeJob {
    const double* l;
    double* out;
    std::size_t slots;
    double rho;

    // Ranges rather than single items, so that the kernel can pair separations.
    static std::size_t evaluate(void* self, std::size_t begin, std::size_t end) {
        const auto& job = *static_cast<const RangeJob*>(self);
        parallel::detail::check_range(begin, end, job.slots);
        witt_mao_magnification_range(job.l + begin, job.out + begin, end - begin, job.rho);
        return end - begin;
    }
};

}  // namespace disk_sequences_detail

// One magnification per separation l (source radii); only rstar / re enters.
// Element i is witt_mao_magnification_scaled(l[i] * rho, rho) for every range split.
inline std::vector<double> witt_mao_magnification(std::span<const double> l, double re, double rstar) {
    const double rho = rstar / re;
    const std::size_t n = l.size();
    std::vector<double> out(n);
    // As in parallel_map: the pool is made, or its failure raised, even when the call runs inline.
    (void)parallel::current_num_threads();
    if (n < 2) {
        witt_mao_magnification_range(l.data(), out.data(), n, rho);
        return out;
    }
    disk_sequences_detail::RangeJob job{l.data(), out.data(), n, rho};
    parallel::detail::check_total(n, parallel::detail::run_ranges(n, &disk_sequences_detail::RangeJob::evaluate, &job));
    return out;
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
    std::span<const double> l, std::span<const double> re, std::span<const double> rstar) {
    if (!re.empty() && rstar.size() > pairs_limit / re.size()) panic("capacity overflow");
    std::vector<LensSource> pairs;
    pairs.reserve(re.size() * rstar.size());
    for (const double einstein : re) {
        for (const double source : rstar) pairs.push_back({einstein, source});
    }
    return parallel::parallel_map(std::span<const LensSource>(pairs), [l](const LensSource& pair) {
        return witt_mao_magnification(l, pair.re, pair.rstar);
    });
}

}  // namespace tovimera
