#pragma once
// The process-wide worker pool: one oneTBB arena of N slots, created on first
// use and kept until the process ends. The TBB types stay behind this header.

#include <cstddef>

namespace tovimera::parallel {

// The pool's thread count N, creating the pool if needed. Panics when the
// pool could not be created (now or on the one earlier attempt).
std::size_t current_num_threads();

namespace detail {

// Evaluates [begin, end) and returns how many slots it wrote.
using RangeTask = std::size_t (*)(void* job, std::size_t begin, std::size_t end);

// Covers [0, n) with disjoint contiguous ranges, runs `task` on each and
// returns the summed counts. On the pool when called from outside it (the
// caller blocks until every range is done), directly when called from inside
// one of its tasks, serially on the caller in a forked child. The first
// exception a task throws is rethrown here unchanged.
std::size_t run_ranges(std::size_t n, RangeTask task, void* job);

}  // namespace detail
}  // namespace tovimera::parallel
