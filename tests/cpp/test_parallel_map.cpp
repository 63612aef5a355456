#include "parallel/parallel_map.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "parallel/thread_count.hpp"

extern char** environ;

namespace {

using tovimera::Panic;
using tovimera::parallel::current_num_threads;
using tovimera::parallel::parallel_map;

// Enough arithmetic that a result in the wrong slot or computed from the
// wrong input shows, and cheap enough for long inputs.
double kernel(double l, double re, double rstar) {
    return std::sqrt(l * l + rstar * rstar) / re + std::sin(l * re) * std::exp(-rstar * l);
}

struct Pair {
    double re;
    double rstar;
};

std::vector<double> separations(std::size_t n) {
    std::vector<double> l(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<double>(i);
        l[i] = 0.001 + 0.37 * x + 0.01 * std::sin(x);  // increasing, so every value is distinct
    }
    return l;
}

std::vector<Pair> pairs(std::size_t n) {
    std::vector<Pair> p(n);
    for (std::size_t i = 0; i < n; ++i) {
        p[i] = {0.5 + 0.25 * static_cast<double>(i % 7), 0.01 * static_cast<double>(i + 1)};
    }
    return p;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    }
    return true;
}

std::vector<double> map_separations(const std::vector<double>& l, double re, double rstar) {
    return parallel_map(std::span<const double>(l), [re, rstar](double x) { return kernel(x, re, rstar); });
}

std::vector<double> loop_separations(const std::vector<double>& l, double re, double rstar) {
    std::vector<double> out;
    out.reserve(l.size());
    for (const double x : l) out.push_back(kernel(x, re, rstar));
    return out;
}

// The shape of the nested use: each pair maps over all separations again.
std::vector<std::vector<double>> map_nested(const std::vector<Pair>& p, const std::vector<double>& l) {
    return parallel_map(std::span<const Pair>(p), [&l](const Pair& q) { return map_separations(l, q.re, q.rstar); });
}

std::vector<std::vector<double>> loop_nested(const std::vector<Pair>& p, const std::vector<double>& l) {
    std::vector<std::vector<double>> out;
    for (const Pair& q : p) out.push_back(loop_separations(l, q.re, q.rstar));
    return out;
}

bool same_rows(const std::vector<std::vector<double>>& a, const std::vector<std::vector<double>>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) return false;
    }
    return true;
}

// ---- in this process -------------------------------------------------------

class MapLength : public testing::TestWithParam<std::size_t> {};

TEST_P(MapLength, DoublesComeBackInInputOrder) {
    const std::vector<double> l = separations(GetParam());
    EXPECT_TRUE(same_bits(map_separations(l, 1.3, 0.2), loop_separations(l, 1.3, 0.2)));
}

TEST_P(MapLength, VectorsOfVaryingLengthComeBackInInputOrder) {
    const std::vector<Pair> p = pairs(GetParam());
    const auto row = [](const Pair& q) {
        std::vector<double> r(1 + static_cast<std::size_t>(q.rstar * 100) % 5);
        for (std::size_t k = 0; k < r.size(); ++k) r[k] = kernel(static_cast<double>(k), q.re, q.rstar);
        return r;
    };
    const auto mapped = parallel_map(std::span<const Pair>(p), row);
    std::vector<std::vector<double>> expected;
    for (const Pair& q : p) expected.push_back(row(q));
    EXPECT_TRUE(same_rows(mapped, expected));
}

TEST_P(MapLength, NestedMapsMatchNestedLoops) {
    const std::vector<Pair> p = pairs(GetParam() % 40 + 2);
    const std::vector<double> l = separations(GetParam());
    EXPECT_TRUE(same_rows(map_nested(p, l), loop_nested(p, l)));
}

INSTANTIATE_TEST_SUITE_P(Lengths, MapLength, testing::Values(0, 1, 2, 3, 7, 1000, 1023, 65537));

TEST(ParallelMap, EmptyInputCallsNothing) {
    std::atomic<int> calls{0};
    const std::vector<double> none;
    const auto out = parallel_map(std::span<const double>(none), [&](double x) { ++calls; return x; });
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(calls.load(), 0);
}

TEST(ParallelMap, OneItemRunsOnTheCallingThread) {
    const std::vector<double> one{2.5};
    std::thread::id ran_on;
    const auto out = parallel_map(std::span<const double>(one), [&](double x) {
        ran_on = std::this_thread::get_id();
        return x * 3;
    });
    ASSERT_EQ(out, std::vector<double>{7.5});
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// Throws at one item of a long input, on whichever thread evaluates it.
template <class Exception>
void map_throwing_at(std::size_t n, std::size_t bad, Exception exception) {
    const std::vector<double> l = separations(n);
    (void)parallel_map(std::span<const double>(l), [&, bad](double x) {
        if (x == l[bad]) throw exception;
        return x;
    });
}

struct NotAStandardException {
    int code;
};

TEST(ParallelMapErrors, PanicInAnItemReachesTheCallerAsPanic) {
    try {
        map_throwing_at(10000, 7777, Panic("item 7777 failed"));
        FAIL() << "no exception";
    } catch (const Panic& panic) {
        EXPECT_EQ(panic.message(), "item 7777 failed");
    } catch (...) {
        FAIL() << "another type arrived";
    }
}

TEST(ParallelMapErrors, RuntimeErrorArrivesAsRuntimeError) {
    try {
        map_throwing_at(10000, 3, std::runtime_error("bad item"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(typeid(error), typeid(std::runtime_error));
        EXPECT_STREQ(error.what(), "bad item");
    } catch (...) {
        FAIL() << "another type arrived";
    }
}

TEST(ParallelMapErrors, AnyTypeArrivesUnchanged) {
    try {
        map_throwing_at(5000, 4999, NotAStandardException{42});
        FAIL() << "no exception";
    } catch (const NotAStandardException& error) {
        EXPECT_EQ(error.code, 42);
    } catch (...) {
        FAIL() << "another type arrived";
    }
}

TEST(ParallelMapErrors, ThrowFromANestedMapReachesTheOuterCaller) {
    const std::vector<Pair> p = pairs(16);
    const std::vector<double> l = separations(3000);
    try {
        (void)parallel_map(std::span<const Pair>(p), [&](const Pair& q) {
            return parallel_map(std::span<const double>(l), [&](double x) {
                if (q.rstar == p[11].rstar && x == l[2500]) throw std::out_of_range("inner");
                return x;
            });
        });
        FAIL() << "no exception";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "inner");
    } catch (...) {
        FAIL() << "another type arrived";
    }
}

TEST(ParallelMapErrors, ThePoolWorksAfterAThrow) {
    EXPECT_THROW(map_throwing_at(1000, 500, std::logic_error("x")), std::logic_error);
    const std::vector<double> l = separations(4000);
    EXPECT_TRUE(same_bits(map_separations(l, 0.7, 0.1), loop_separations(l, 0.7, 0.1)));
}

TEST(ParallelMapErrors, OneItemThrowsOnTheCaller) {
    EXPECT_THROW(map_throwing_at(1, 0, std::runtime_error("only item")), std::runtime_error);
}

std::string panic_message(void (*check)()) {
    try {
        check();
    } catch (const Panic& panic) {
        return panic.message();
    }
    return "<no panic>";
}

TEST(ParallelMapChecks, SayWhatWentWrong) {
    using tovimera::parallel::detail::check_range;
    using tovimera::parallel::detail::check_total;
    EXPECT_EQ(panic_message([] { check_range(5, 11, 10); }), "too many values pushed to consumer");
    EXPECT_EQ(panic_message([] { check_range(6, 5, 10); }), "too many values pushed to consumer");
    EXPECT_EQ(panic_message([] { check_total(1000, 999); }), "expected 1000 total writes, but got 999");
    EXPECT_EQ(panic_message([] { check_total(3, 4); }), "expected 3 total writes, but got 4");
    EXPECT_NO_THROW(check_range(0, 10, 10));
    EXPECT_NO_THROW(check_range(10, 10, 10));
    EXPECT_NO_THROW(check_total(7, 7));
}

// What a forked child may find: a pool whose workers did not come along, and
// maybe a map of another thread in the middle of running.
TEST(ParallelMapFork, ChildOfAForkDuringAMapRunsMapsOnItsOwnThread) {
    const std::size_t threads = current_num_threads();
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::thread busy([&] {
        const std::vector<double> l = separations(200);
        while (!stop) {
            (void)parallel_map(std::span<const double>(l), [&](double x) {
                running = true;
                double s = x;
                for (int k = 0; k < 2000; ++k) s = std::sin(s) + x;
                return s;
            });
        }
    });
    while (!running) std::this_thread::yield();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a hang fails the test instead of stalling it
        const std::vector<double> l = separations(1000);
        std::set<std::thread::id> seen;
        const auto out = parallel_map(std::span<const double>(l), [&](double x) {
            seen.insert(std::this_thread::get_id());
            return kernel(x, 1.1, 0.3);
        });
        int status = 0;
        if (!same_bits(out, loop_separations(l, 1.1, 0.3))) status |= 1;
        if (seen != std::set<std::thread::id>{std::this_thread::get_id()}) status |= 2;
        const std::vector<Pair> p = pairs(9);
        if (!same_rows(map_nested(p, l), loop_nested(p, l))) status |= 4;
        if (current_num_threads() != threads) status |= 8;
#if defined(__SANITIZE_ADDRESS__)
        _exit(status);  // the leak check would count what the parent's other threads held
#else
        std::exit(status);  // the normal exit path, TBB's own teardown included
#endif
    }
    int status = 0;
    const pid_t waited = waitpid(child, &status, 0);
    stop = true;
    busy.join();
    ASSERT_EQ(waited, child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong results, 2: ran off the calling thread, 4: nested, 8: count";
}

// ---- in a fresh process ----------------------------------------------------
// The pool's size is fixed per process, so these tests start this same
// executable again with a scenario named in the environment; it runs before
// any test and exits with 0 when everything held.

constexpr const char* scenario_variable = "TOVIMERA_TEST_SCENARIO";
constexpr const char* expect_variable = "TOVIMERA_TEST_EXPECT_THREADS";
constexpr const char* task_limit_variable = "TOVIMERA_TEST_TASK_LIMIT";

struct ChildOutcome {
    int status;
    std::string error_output;
};

using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// task_limit caps the tasks (processes and threads) of the child's user.
ChildOutcome run_scenario(const std::string& scenario, Environment changes,
                          std::optional<rlim_t> task_limit = std::nullopt) {
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return {-1, "readlink failed"};
    exe[length] = '\0';

    changes.emplace_back(scenario_variable, scenario);
    changes.emplace_back(task_limit_variable, task_limit ? std::optional(std::to_string(*task_limit)) : std::nullopt);
    if (task_limit) {
        // The leak checker needs a thread of its own at exit.
        const char* asan = std::getenv("ASAN_OPTIONS");
        changes.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
    }
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", expect_variable}) {
        bool given = false;
        for (const auto& change : changes) given = given || change.first == name;
        if (!given) changes.emplace_back(name, std::nullopt);
    }
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool replaced = false;
        for (const auto& change : changes) replaced = replaced || text.rfind(change.first + "=", 0) == 0;
        if (!replaced) entries.push_back(text);
    }
    for (const auto& change : changes) {
        if (change.second) entries.push_back(change.first + "=" + *change.second);
    }
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* argv[] = {exe, nullptr};

    char log_name[] = "/tmp/tovimera-child-XXXXXX";
    const int log = mkstemp(log_name);
    if (log < 0) return {-1, "mkstemp failed"};
    unlink(log_name);

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        alarm(60);  // survives exec: a hang fails the test instead of stalling it
        dup2(log, 2);
        execve(exe, argv, envp.data());
        _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    std::string text;
    char buffer[4096];
    ssize_t got;
    lseek(log, 0, SEEK_SET);
    while ((got = read(log, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    close(log);
    return {status, text};
}

void expect_clean_exit(const ChildOutcome& outcome) {
    ASSERT_TRUE(WIFEXITED(outcome.status)) << "child ended by signal " << WTERMSIG(outcome.status) << "\n"
                                           << outcome.error_output;
    EXPECT_EQ(WEXITSTATUS(outcome.status), 0) << outcome.error_output;
    EXPECT_EQ(outcome.error_output.find("TBB Warning"), std::string::npos) << outcome.error_output;
}

class NestedInChild : public testing::TestWithParam<int> {};

TEST_P(NestedInChild, NestedMapsCompleteWithThisManyThreads) {
    const std::string n = std::to_string(GetParam());
    expect_clean_exit(run_scenario("nested", {{"RAYON_NUM_THREADS", n}, {expect_variable, n}}));
}

TEST_P(NestedInChild, EightCallingThreadsShareThePool) {
    const std::string n = std::to_string(GetParam());
    expect_clean_exit(run_scenario("callers", {{"RAYON_NUM_THREADS", n}, {expect_variable, n}}));
}

INSTANTIATE_TEST_SUITE_P(Threads, NestedInChild, testing::Values(1, 2, 3));

TEST(PoolInChild, SixtyFourThreadsOnAFewCoresAllRun) {
    expect_clean_exit(run_scenario("wide", {{"RAYON_NUM_THREADS", "64"}, {expect_variable, "64"}}));
}

struct CountCase {
    const char* num_threads;
    const char* num_cpus;
    const char* expected;  // a number, or "default"
};

class CountInChild : public testing::TestWithParam<CountCase> {};

TEST_P(CountInChild, PoolTakesItsSizeFromTheEnvironment) {
    const CountCase& c = GetParam();
    Environment env{{expect_variable, std::string(c.expected)}};
    if (c.num_threads) env.emplace_back("RAYON_NUM_THREADS", std::string(c.num_threads));
    if (c.num_cpus) env.emplace_back("RAYON_RS_NUM_CPUS", std::string(c.num_cpus));
    expect_clean_exit(run_scenario("count", env));
}

INSTANTIATE_TEST_SUITE_P(Table, CountInChild,
                         testing::Values(CountCase{nullptr, nullptr, "default"}, CountCase{"0", "5", "default"},
                                         CountCase{"abc", "5", "5"}, CountCase{"-2", "3", "3"},
                                         CountCase{"+7", "5", "7"}, CountCase{nullptr, "0", "default"}));

TEST(PoolInChild, NoThreadAtAllFailsCreationOnceAndEveryLaterUse) {
    // One task for the user, the child itself: no thread can start.
    const ChildOutcome outcome = run_scenario("refused", {{"RAYON_NUM_THREADS", "4"}}, 1);
    expect_clean_exit(outcome);
    EXPECT_NE(outcome.error_output.find("The global thread pool has not been initialized.: could not start worker "
                                        "thread 1 of 3: Resource temporarily unavailable"),
              std::string::npos)
        << outcome.error_output;
}

// Some workers start and then one does not: oneTBB starts part of its workers
// from other workers, where the failure would end the process.
TEST(PoolInChild, SomeThreadsThenNoMoreFailsCreation) {
    const ChildOutcome outcome = run_scenario("refused", {{"RAYON_NUM_THREADS", "8"}}, 4);
    expect_clean_exit(outcome);
    const std::string& text = outcome.error_output;
    const std::string leading = "The global thread pool has not been initialized.: could not start worker thread ";
    const std::size_t at = text.find(leading);
    ASSERT_NE(at, std::string::npos) << text;
    const std::size_t digit = at + leading.size();
    ASSERT_LT(digit, text.size());
    EXPECT_TRUE(text[digit] >= '1' && text[digit] <= '7') << text;
    const std::string rest = " of 7: Resource temporarily unavailable";
    EXPECT_EQ(text.compare(digit + 1, rest.size(), rest), 0) << text;
}

TEST(PoolInChild, OneThreadNeedsNoNewThread) {
    expect_clean_exit(run_scenario("nested", {{"RAYON_NUM_THREADS", "1"}, {expect_variable, "1"}}, 1));
}

// ---- scenarios, run in the child --------------------------------------------

int fail(const char* what) {
    std::fprintf(stderr, "scenario failed: %s\n", what);
    return 1;
}

std::size_t expected_threads() {
    const char* text = std::getenv(expect_variable);
    if (text == nullptr || std::string(text) == "default") return tovimera::parallel::default_thread_count();
    return std::stoul(text);
}

int nested_scenario() {
    if (current_num_threads() != expected_threads()) return fail("thread count");
    for (const std::size_t n : {2u, 3u, 7u, 500u, 1023u}) {
        const std::vector<Pair> p = pairs(n % 37 + 2);
        const std::vector<double> l = separations(n);
        if (!same_rows(map_nested(p, l), loop_nested(p, l))) return fail("nested results");
    }
    return 0;
}

int callers_scenario() {
    constexpr int callers = 8;
    std::barrier start(callers);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const std::size_t expected = expected_threads();
    for (int t = 0; t < callers; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();  // the first maps race to create the pool
            if (current_num_threads() != expected) ++wrong;
            for (int k = 0; k < 20; ++k) {
                const std::size_t n = static_cast<std::size_t>((t * 389 + k * 1013) % 3000);
                const double re = 0.5 + 0.1 * t;
                const double rstar = 0.01 * (k + 1);
                const std::vector<double> l = separations(n);
                if (!same_bits(map_separations(l, re, rstar), loop_separations(l, re, rstar))) ++wrong;
                if (k % 5 == 0) {
                    const std::vector<Pair> p = pairs(static_cast<std::size_t>(3 + t));
                    const std::vector<double> short_l = separations(n / 10);
                    if (!same_rows(map_nested(p, short_l), loop_nested(p, short_l))) ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    return wrong == 0 ? 0 : fail("results of concurrent callers");
}

// Every item waits until 64 of them are in flight at once, which takes 64
// threads; TBB left at its own limit would give two.
int wide_scenario() {
    if (current_num_threads() != 64) return fail("thread count");
    std::atomic<int> in_flight{0};
    std::atomic<int> most{0};
    std::atomic<bool> reached{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::vector<double> l = separations(640);
    const auto out = parallel_map(std::span<const double>(l), [&](double x) {
        const int now = ++in_flight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        if (now >= 64) reached = true;
        while (!reached && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        --in_flight;
        return kernel(x, 2.0, 0.5);
    });
    if (most.load() != 64) {
        std::fprintf(stderr, "at most %d items in flight\n", most.load());
        return fail("64 threads at once");
    }
    if (!same_bits(out, loop_separations(l, 2.0, 0.5))) return fail("results");
    return nested_scenario();
}

int count_scenario() { return current_num_threads() == expected_threads() ? 0 : fail("thread count"); }

int refused_scenario() {
    const std::string leading = "The global thread pool has not been initialized.: ";
    const auto panics_with_leading_text = [&](auto use) {
        try {
            use();
        } catch (const Panic& panic) {
            return panic.message().rfind(leading, 0) == 0;
        }
        return false;
    };
    const std::vector<double> none;
    const std::vector<double> l = separations(1000);
    // The empty map still creates the pool, and so meets the failure first.
    if (!panics_with_leading_text([&] { (void)map_separations(none, 1.0, 0.1); })) return fail("empty map");
    if (!panics_with_leading_text([&] { (void)current_num_threads(); })) return fail("current_num_threads");
    if (!panics_with_leading_text([&] { (void)map_separations(l, 1.0, 0.1); })) return fail("long map");
    if (!panics_with_leading_text([&] { (void)map_separations(separations(1), 1.0, 0.1); })) return fail("one item");
    return 0;
}

// Limits the tasks (processes and threads) of this process's user. Root is
// exempt, so it drops to an ordinary user first: after the exec, since that
// user may not reach the executable (a tree under /root), and one no other
// live process has (its id from our pid), since the limit counts every task
// of the user, a concurrent test's child's among them.
int limit_tasks(const char* text) {
    const auto tasks = static_cast<rlim_t>(std::stoul(text));
    const rlimit limit{tasks, tasks};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) return fail("setrlimit");
    const auto user = static_cast<uid_t>(1000000 + getpid());
    if (geteuid() == 0 && (setgid(user) != 0 || setuid(user) != 0)) return fail("setuid");
    return 0;
}

int run_named_scenario(const std::string& name) {
    try {
        if (name == "nested") return nested_scenario();
        if (name == "callers") return callers_scenario();
        if (name == "wide") return wide_scenario();
        if (name == "count") return count_scenario();
        if (name == "refused") return refused_scenario();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return fail("unknown scenario");
}

// Runs the scenario once every static object is constructed, before any test: with
// oneTBB linked statically (the musl build), its own globals may be constructed after
// this file's, so a scenario run from a static initializer would meet them unbuilt.
class Scenario : public testing::Environment {
public:
    explicit Scenario(std::string name) : name_(std::move(name)) {}
    void SetUp() override {
        if (const char* tasks = std::getenv(task_limit_variable); tasks != nullptr) {
            if (const int failed = limit_tasks(tasks); failed != 0) std::exit(failed);
        }
        std::exit(run_named_scenario(name_));
    }

private:
    std::string name_;
};

[[maybe_unused]] const bool scenario_registered = [] {
    const char* name = std::getenv(scenario_variable);
    if (name == nullptr) return false;
    testing::AddGlobalTestEnvironment(new Scenario(name));
    return true;
}();

}  // namespace
