#pragma once
// result[i] = f(input[i]) over the process-wide pool, in input order. Each
// range of items writes its results straight into their final slots.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/panic.hpp"
#include "parallel/pool.hpp"

namespace tovimera::parallel {

namespace detail {

inline void check_range(std::size_t begin, std::size_t end, std::size_t slots) {
    if (begin > end || end > slots) panic("too many values pushed to consumer");
}

inline void check_total(std::size_t expected, std::size_t written) {
    if (written != expected) {
        panic("expected " + std::to_string(expected) + " total writes, but got " + std::to_string(written));
    }
}

template <class T, class F, class R>
struct MapJob {
    const T* input;
    R* output;
    std::size_t slots;
    F* function;

    static std::size_t evaluate(void* self, std::size_t begin, std::size_t end) {
        const auto& job = *static_cast<const MapJob*>(self);
        check_range(begin, end, job.slots);
        const T* const input = job.input;
        R* const output = job.output;
        F& function = *job.function;
        for (std::size_t i = begin; i < end; ++i) output[i] = std::invoke(function, input[i]);
        return end - begin;
    }
};

}  // namespace detail

// f is called concurrently from several threads and must only read shared
// data. An exception thrown by f reaches the caller with its own type.
template <class T, class F>
auto parallel_map(std::span<const T> input, F&& f) -> std::vector<std::invoke_result_t<F&, const T&>> {
    using Result = std::invoke_result_t<F&, const T&>;
    static_assert(std::is_default_constructible_v<Result> && std::is_move_assignable_v<Result>,
                  "results are moved into slots made ready in advance");
    const std::size_t n = input.size();
    std::vector<Result> output(n);
    (void)current_num_threads();
    if (n < 2) {
        if (n == 1) output[0] = std::invoke(f, input[0]);
        return output;
    }
    using Job = detail::MapJob<T, std::remove_reference_t<F>, Result>;
    Job job{input.data(), output.data(), n, &f};
    detail::check_total(n, detail::run_ranges(n, &Job::evaluate, &job));
    return output;
}

}  // namespace tovimera::parallel
