#include "parallel/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "common/panic.hpp"
#include "parallel/thread_count.hpp"

namespace tovimera::parallel {

namespace {

constexpr const char* not_initialized = "The global thread pool has not been initialized.";

// Trivially destructible, so nothing of it runs at exit; the arena and the
// parallelism limit it points to are never destroyed either, not even after
// a failed creation: TBB may then hold a half-started worker, and tearing the
// arena down could wait for it.
struct Pool {
    std::size_t threads;
    tbb::global_control* parallelism_limit;
    tbb::task_arena* arena;
    bool ready;
    char failure[256];
};

// Set in the child of a fork(), which has none of the parent's workers: TBB
// would wait for them forever. (Asking getpid() each map would cost a system
// call, about 0.5 us where this was measured.)
std::atomic<bool> forked_child{false};

// Held while the pool is created. Callers compute detached from the
// interpreter, so os.fork() in another thread no longer waits for them: fork
// waits here instead, or a child would find creation under way for good.
std::mutex creation;
std::atomic<const Pool*> created{nullptr};

void before_fork() noexcept { creation.lock(); }
void after_fork_in_parent() noexcept { creation.unlock(); }
void after_fork_in_child() noexcept {
    creation.unlock();
    forked_child.store(true, std::memory_order_relaxed);
}

// Registered when the library is loaded, before any thread can create a pool.
const int fork_handlers_error = pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

// Depth of our range tasks on this thread: a map started inside one is
// nested and already runs in the arena.
thread_local std::size_t task_depth = 0;

struct InsideTask {
    InsideTask() noexcept { ++task_depth; }
    ~InsideTask() { --task_depth; }
    InsideTask(const InsideTask&) = delete;
    InsideTask& operator=(const InsideTask&) = delete;
};

// oneTBB starts workers lazily, some of them from other workers, and a failed
// pthread_create there ends the process in std::terminate. So before TBB
// starts anything, start as many threads of the same stack size ourselves,
// all alive at once, and report if the system refuses one.
class ThreadProbe {
public:
    ~ThreadProbe() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        released_.notify_all();
        for (const pthread_t thread : threads_) pthread_join(thread, nullptr);
    }

    // Empty on success, else what went wrong.
    std::string start(std::size_t count, std::size_t stack_size) {
        pthread_attr_t attributes;
        if (const int error = pthread_attr_init(&attributes); error != 0) return describe("pthread_attr_init", error);
        int error = stack_size > 0 ? pthread_attr_setstacksize(&attributes, stack_size) : 0;
        std::string failure = error != 0 ? describe("pthread_attr_setstacksize", error) : std::string();
        while (failure.empty() && threads_.size() < count) {
            // Room first, so that a started thread is always recorded and joined.
            if (threads_.size() == threads_.capacity()) {
                threads_.reserve(std::max<std::size_t>(16, 2 * threads_.size()));
            }
            pthread_t thread;
            error = pthread_create(&thread, &attributes, &ThreadProbe::wait_for_release, this);
            if (error != 0) {
                failure = "could not start worker thread " + std::to_string(threads_.size() + 1) + " of " +
                          std::to_string(count) + ": " + std::system_category().message(error);
            } else {
                threads_.push_back(thread);
            }
        }
        pthread_attr_destroy(&attributes);
        return failure;
    }

private:
    static std::string describe(const char* call, int error) {
        return std::string(call) + " failed: " + std::system_category().message(error);
    }

    static void* wait_for_release(void* self) {
        auto& probe = *static_cast<ThreadProbe*>(self);
        std::unique_lock lock(probe.mutex_);
        probe.released_.wait(lock, [&] { return probe.open_; });
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
    std::vector<pthread_t> threads_;
};

// Makes TBB start all N - 1 workers now, while the creating thread can still
// catch a failed start (TBB throws it from the thread that asked for workers):
// N one-item tasks each wait until N threads hold one. If some worker does not
// come (another library's arena holds it), carry on after the deadline.
void start_workers(tbb::task_arena& arena, std::size_t threads) {
    std::mutex mutex;
    std::condition_variable arrived_all;
    std::size_t arrived = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, threads, 1),
            [&](const tbb::blocked_range<std::size_t>&) {
                std::unique_lock lock(mutex);
                if (++arrived == threads) arrived_all.notify_all();
                while (arrived < threads && !tbb::is_current_task_group_canceling() &&
                       std::chrono::steady_clock::now() < deadline) {
                    arrived_all.wait_for(lock, std::chrono::milliseconds(10));
                }
            },
            tbb::simple_partitioner());
    });
}

Pool create_pool() noexcept {
    Pool pool{};
    const auto fail = [&](const char* cause) {
        std::snprintf(pool.failure, sizeof pool.failure, "%s", cause);
        return pool;
    };
    try {
        if (fork_handlers_error != 0) {
            return fail(("pthread_atfork failed: " + std::system_category().message(fork_handlers_error)).c_str());
        }
        pool.threads = thread_count_from_environment();
        if (pool.threads > static_cast<std::size_t>(INT_MAX)) {
            return fail(("cannot start " + std::to_string(pool.threads) + " threads: one arena holds at most " +
                         std::to_string(INT_MAX)).c_str());
        }
        // Without this limit TBB keeps its worker count at the core count and
        // warns when asked for more; N is ours to choose.
        pool.parallelism_limit =
            new tbb::global_control(tbb::global_control::max_allowed_parallelism, pool.threads);
        const std::string refused = ThreadProbe().start(
            pool.threads - 1, tbb::global_control::active_value(tbb::global_control::thread_stack_size));
        if (!refused.empty()) return fail(refused.c_str());
        pool.arena = new tbb::task_arena(static_cast<int>(pool.threads));
        pool.arena->initialize();
        if (pool.threads > 1) start_workers(*pool.arena, pool.threads);
        pool.ready = true;
    } catch (const std::exception& error) {
        return fail(error.what());
    } catch (...) {
        return fail("unknown exception");
    }
    return pool;
}

// Created once; the losers of a race wait for the winner's pool. Not a
// function-local static: its guard, unlike `creation`, is not released in a
// child forked between the end of creation and the guard's release.
const Pool& running_pool() {
    const Pool* pool = created.load(std::memory_order_acquire);
    if (pool == nullptr) {
        const std::lock_guard hold(creation);
        pool = created.load(std::memory_order_relaxed);
        if (pool == nullptr) {
            pool = new Pool(create_pool());
            created.store(pool, std::memory_order_release);
        }
    }
    if (!pool->ready) panic(std::string(not_initialized) + ": " + pool->failure);
    return *pool;
}

// TBB's auto partitioner cuts ranges down to the grain size in case they get
// stolen; a grain of n / 4N still gives every thread several pieces to take
// while sparing short maps a task per item (at N = 1, 100 cheap items cost
// 14,400 instructions with a grain of 1 and 3,300 with this).
std::size_t sum_over_ranges(std::size_t n, std::size_t threads, detail::RangeTask task, void* job) {
    const std::size_t grain = std::max<std::size_t>(1, n / (4 * threads));
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n, grain), std::size_t{0},
        [task, job](const tbb::blocked_range<std::size_t>& range, std::size_t written) {
            const InsideTask inside;
            return written + task(job, range.begin(), range.end());
        },
        std::plus<std::size_t>(), tbb::auto_partitioner());
}

}  // namespace

std::size_t current_num_threads() { return running_pool().threads; }

namespace detail {

std::size_t run_ranges(std::size_t n, RangeTask task, void* job) {
    const Pool& pool = running_pool();
    if (forked_child.load(std::memory_order_relaxed)) return task(job, 0, n);
    if (task_depth > 0) return sum_over_ranges(n, pool.threads, task, job);
    return pool.arena->execute([&] { return sum_over_ranges(n, pool.threads, task, job); });
}

}  // namespace detail
}  // namespace tovimera::parallel
