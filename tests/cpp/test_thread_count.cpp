#include "parallel/thread_count.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using tovimera::parallel::CgroupDirectory;
using tovimera::parallel::CgroupVersion;

constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
constexpr bool wide = sizeof(std::size_t) == 8;
// 2^64 - 1 and 2^32 - 1, and one more, written out.
const std::string size_max_text = wide ? "18446744073709551615" : "4294967295";
const std::string past_size_max_text = wide ? "18446744073709551616" : "4294967296";

struct ParseCase {
    std::string text;
    std::optional<std::size_t> expected;
};

class ParseThreadCount : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, AcceptsOnlyDigitsWithOnePlusThatFitAWord) {
    EXPECT_EQ(tovimera::parallel::parse_thread_count(GetParam().text), GetParam().expected)
        << "text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseThreadCount,
    testing::Values(ParseCase{"0", 0}, ParseCase{"1", 1}, ParseCase{"7", 7}, ParseCase{"64", 64},
                    ParseCase{"007", 7}, ParseCase{"+3", 3}, ParseCase{"+0", 0}, ParseCase{"+", std::nullopt},
                    ParseCase{"", std::nullopt}, ParseCase{"++3", std::nullopt}, ParseCase{"-2", std::nullopt},
                    ParseCase{"-0", std::nullopt}, ParseCase{" 3", std::nullopt}, ParseCase{"3 ", std::nullopt},
                    ParseCase{"3\n", std::nullopt}, ParseCase{"\t3", std::nullopt}, ParseCase{"abc", std::nullopt},
                    ParseCase{"3a", std::nullopt}, ParseCase{"0x10", std::nullopt}, ParseCase{"1e3", std::nullopt},
                    ParseCase{"3.0", std::nullopt}, ParseCase{"\xef\xbc\x93", std::nullopt},  // full-width 3
                    ParseCase{size_max_text, size_max}, ParseCase{"+" + size_max_text, size_max},
                    ParseCase{"000" + size_max_text, size_max}, ParseCase{past_size_max_text, std::nullopt},
                    ParseCase{size_max_text + "0", std::nullopt},
                    ParseCase{"99999999999999999999999999", std::nullopt},
                    // Fits 64 bits but not 32.
                    ParseCase{"4294967296", wide ? std::optional<std::size_t>(4294967296ull) : std::nullopt}));

TEST(ParseThreadCount, SizeMaxTextsAreRight) {
    ASSERT_EQ(std::to_string(size_max), size_max_text);
}

struct RequestCase {
    const char* num_threads;
    const char* num_cpus;
    std::optional<std::size_t> expected;  // empty: the default
};

class RequestedThreadCount : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestedThreadCount, FollowsThePrecedenceOfTheTwoVariables) {
    const RequestCase& c = GetParam();
    EXPECT_EQ(tovimera::parallel::requested_thread_count(c.num_threads, c.num_cpus), c.expected)
        << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "<unset>")
        << " RAYON_RS_NUM_CPUS=" << (c.num_cpus ? c.num_cpus : "<unset>");
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestedThreadCount,
    testing::Values(RequestCase{nullptr, nullptr, std::nullopt}, RequestCase{"4", nullptr, 4},
                    RequestCase{"4", "9", 4}, RequestCase{"+12", "9", 12},
                    // Zero picks the default and the second variable is not consulted.
                    RequestCase{"0", "9", std::nullopt}, RequestCase{"+0", "9", std::nullopt},
                    RequestCase{"000", "9", std::nullopt},
                    // Not parseable: fall through to the second variable.
                    RequestCase{"abc", "9", 9}, RequestCase{"-2", "9", 9}, RequestCase{"", "9", 9},
                    RequestCase{" 3", "9", 9}, RequestCase{"+", "9", 9}, RequestCase{"99999999999999999999999", "5", 5},
                    RequestCase{nullptr, "9", 9}, RequestCase{nullptr, "+2", 2},
                    RequestCase{nullptr, "0", std::nullopt}, RequestCase{"abc", "0", std::nullopt},
                    RequestCase{"abc", "-1", std::nullopt}, RequestCase{"abc", "xyz", std::nullopt},
                    RequestCase{nullptr, "", std::nullopt}));

// Sets or clears the two variables for one test and puts the old values back.
class ThreadCountEnvironment : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < 2; ++i) {
            if (saved[i]) {
                setenv(names[i], saved[i]->c_str(), 1);
            } else {
                unsetenv(names[i]);
            }
        }
    }
    static void set(const char* name, const char* value) {
        if (value) {
            ASSERT_EQ(setenv(name, value, 1), 0);
        } else {
            ASSERT_EQ(unsetenv(name), 0);
        }
    }
    static constexpr const char* names[2] = {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"};
    std::vector<std::optional<std::string>> saved;
};

TEST_F(ThreadCountEnvironment, ReadsTheVariablesInOrder) {
    using tovimera::parallel::default_thread_count;
    using tovimera::parallel::thread_count_from_environment;
    struct Case {
        const char* num_threads;
        const char* num_cpus;
        std::size_t expected;
    };
    const std::size_t fallback = default_thread_count();
    const Case cases[] = {
        {"3", "5", 3}, {"0", "5", fallback}, {"abc", "5", 5}, {nullptr, "+6", 6}, {nullptr, nullptr, fallback},
        {"-2", nullptr, fallback}, {nullptr, "0", fallback}, {"200", nullptr, 200},
    };
    for (const Case& c : cases) {
        set("RAYON_NUM_THREADS", c.num_threads);
        set("RAYON_RS_NUM_CPUS", c.num_cpus);
        EXPECT_EQ(thread_count_from_environment(), c.expected)
            << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "<unset>")
            << " RAYON_RS_NUM_CPUS=" << (c.num_cpus ? c.num_cpus : "<unset>");
    }
}

TEST(DefaultThreadCount, IsAtLeastOneAndAtMostTheAffinityMask) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
    const std::size_t count = tovimera::parallel::default_thread_count();
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, static_cast<std::size_t>(CPU_COUNT(&mask)));
}

TEST(DefaultThreadCount, FollowsAnAffinityMaskOfOneCpu) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
    int first = 0;
    while (!CPU_ISSET(first, &mask)) ++first;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(2);
        _exit(tovimera::parallel::default_thread_count() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

struct V2Case {
    std::string cpu_max;
    std::optional<std::size_t> expected;
};

class CgroupV2Limit : public testing::TestWithParam<V2Case> {};

TEST_P(CgroupV2Limit, RoundsTheQuotaUp) {
    EXPECT_EQ(tovimera::parallel::cgroup_v2_cpu_limit(GetParam().cpu_max), GetParam().expected)
        << "cpu.max \"" << GetParam().cpu_max << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgroupV2Limit,
    testing::Values(V2Case{"max 100000\n", std::nullopt}, V2Case{"max\n", std::nullopt},
                    V2Case{"200000 100000\n", 2}, V2Case{"150000 100000\n", 2}, V2Case{"100001 100000\n", 2},
                    V2Case{"100000 100000\n", 1}, V2Case{"400000 100000", 4}, V2Case{"250000 50000\n", 5},
                    V2Case{"50000 100000\n", 1}, V2Case{"1000 100000\n", 1}, V2Case{"0 100000\n", 1},
                    V2Case{"3 2\n", 2},
                    V2Case{"18446744073709551615 1\n", size_max},
                    V2Case{"200000\n", std::nullopt}, V2Case{"200000 0\n", std::nullopt},
                    V2Case{"-1 100000\n", std::nullopt}, V2Case{"abc 100000\n", std::nullopt},
                    V2Case{"200000 abc\n", std::nullopt}, V2Case{"", std::nullopt}));

struct V1Case {
    std::string quota;
    std::string period;
    std::optional<std::size_t> expected;
};

class CgroupV1Limit : public testing::TestWithParam<V1Case> {};

TEST_P(CgroupV1Limit, RoundsTheQuotaUp) {
    const V1Case& c = GetParam();
    EXPECT_EQ(tovimera::parallel::cgroup_v1_cpu_limit(c.quota, c.period), c.expected)
        << "quota \"" << c.quota << "\" period \"" << c.period << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgroupV1Limit,
    testing::Values(V1Case{"-1\n", "100000\n", std::nullopt}, V1Case{"200000\n", "100000\n", 2},
                    V1Case{"150000\n", "100000\n", 2}, V1Case{"50000\n", "100000\n", 1},
                    V1Case{"100000\n", "100000\n", 1}, V1Case{"700000\n", "200000\n", 4},
                    V1Case{"100000\n", "0\n", std::nullopt}, V1Case{"abc\n", "100000\n", std::nullopt},
                    V1Case{"-5\n", "100000\n", std::nullopt}, V1Case{"", "100000\n", std::nullopt}));

struct LocateCase {
    const char* what;
    std::string proc_self_cgroup;
    std::string mountinfo;
    std::optional<CgroupDirectory> v2;
    std::optional<CgroupDirectory> v1;
};

class FindCgroup : public testing::TestWithParam<LocateCase> {};

bool same(const std::optional<CgroupDirectory>& a, const std::optional<CgroupDirectory>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->mount_point == b->mount_point && a->group == b->group);
}

std::string show(const std::optional<CgroupDirectory>& d) {
    return d ? "{" + d->mount_point + ", " + d->group + "}" : "none";
}

TEST_P(FindCgroup, LocatesTheProcessGroupBelowItsMount) {
    const LocateCase& c = GetParam();
    const auto v2 = tovimera::parallel::find_cgroup_v2(c.proc_self_cgroup, c.mountinfo);
    const auto v1 = tovimera::parallel::find_cgroup_v1_cpu(c.proc_self_cgroup, c.mountinfo);
    EXPECT_TRUE(same(v2, c.v2)) << c.what << ": v2 " << show(v2) << ", expected " << show(c.v2);
    EXPECT_TRUE(same(v1, c.v1)) << c.what << ": v1 " << show(v1) << ", expected " << show(c.v1);
}

const std::string v2_mount = "25 30 0:22 / /sys/fs/cgroup rw,nosuid,nodev shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string hybrid_mounts =
    "22 30 0:20 / /proc rw,nosuid - proc proc rw\n"
    "34 31 0:31 / /sys/fs/cgroup/cpuset rw,relatime - cgroup cgroup rw,cpuset\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

INSTANTIATE_TEST_SUITE_P(
    Table, FindCgroup,
    testing::Values(
        LocateCase{"unified", "0::/user.slice/app.scope\n", v2_mount,
                   CgroupDirectory{"/sys/fs/cgroup", "user.slice/app.scope"}, std::nullopt},
        LocateCase{"unified root", "0::/\n", v2_mount, CgroupDirectory{"/sys/fs/cgroup", ""}, std::nullopt},
        LocateCase{"container subtree", "0::/docker/abc/inner\n",
                   "25 30 0:22 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                   CgroupDirectory{"/sys/fs/cgroup", "inner"}, std::nullopt},
        LocateCase{"subtree that is a longer name", "0::/docker/abcdef\n",
                   "25 30 0:22 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", std::nullopt, std::nullopt},
        LocateCase{"escaped mount point", "0::/a\n",
                   "25 30 0:22 / /mnt/my\\040groups rw - cgroup2 none rw\n",
                   CgroupDirectory{"/mnt/my groups", "a"}, std::nullopt},
        LocateCase{"hybrid", "12:cpuset:/x\n4:cpu,cpuacct:/batch/job7\n1:name=systemd:/\n0::/\n", hybrid_mounts,
                   CgroupDirectory{"/sys/fs/cgroup/unified", ""},
                   CgroupDirectory{"/sys/fs/cgroup/cpu,cpuacct", "batch/job7"}},
        LocateCase{"v1 only, cpuset alone", "3:cpuset:/x\n", hybrid_mounts, std::nullopt, std::nullopt},
        LocateCase{"no cgroup file system mounted", "0::/a\n4:cpu:/b\n",
                   "22 30 0:20 / /proc rw,nosuid - proc proc rw\n", std::nullopt, std::nullopt}));

using Files = std::map<std::string, std::string>;

tovimera::parallel::ReadFile reader(const Files& files) {
    return [&files](const std::string& path) -> std::optional<std::string> {
        const auto found = files.find(path);
        if (found == files.end()) return std::nullopt;
        return found->second;
    };
}

struct WalkCase {
    const char* what;
    CgroupVersion version;
    CgroupDirectory directory;
    Files files;
    std::optional<std::size_t> expected;
};

class CgroupWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(CgroupWalk, TakesTheTightestQuotaUpToTheMountRoot) {
    const WalkCase& c = GetParam();
    EXPECT_EQ(tovimera::parallel::cgroup_cpu_limit(c.directory, c.version, reader(c.files)), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CgroupWalk,
    testing::Values(
        WalkCase{"parent quota under an unlimited child", CgroupVersion::v2, {"/cg", "a/b"},
                 {{"/cg/a/b/cpu.max", "max 100000\n"}, {"/cg/a/cpu.max", "150000 100000\n"}}, 2},
        WalkCase{"own group tighter", CgroupVersion::v2, {"/cg", "a/b"},
                 {{"/cg/a/b/cpu.max", "300000 100000\n"}, {"/cg/a/cpu.max", "500000 100000\n"}}, 3},
        WalkCase{"the mount root counts", CgroupVersion::v2, {"/cg", "a/b"},
                 {{"/cg/a/b/cpu.max", "300000 100000\n"}, {"/cg/cpu.max", "100000 100000\n"}}, 1},
        WalkCase{"nothing above the mount root counts", CgroupVersion::v2, {"/sys/fs/cg", "a"},
                 {{"/sys/fs/cg/a/cpu.max", "max 100000\n"}, {"/sys/fs/cpu.max", "100000 100000\n"},
                  {"/sys/fs/cgcpu.max", "100000 100000\n"}, {"/cpu.max", "100000 100000\n"}},
                 std::nullopt},
        WalkCase{"group at the mount root", CgroupVersion::v2, {"/cg", ""}, {{"/cg/cpu.max", "250000 100000\n"}}, 3},
        WalkCase{"no files at all", CgroupVersion::v2, {"/cg", "a/b"}, {}, std::nullopt},
        WalkCase{"v1 parent quota", CgroupVersion::v1, {"/cg/cpu", "a/b"},
                 {{"/cg/cpu/a/b/cpu.cfs_quota_us", "-1\n"}, {"/cg/cpu/a/b/cpu.cfs_period_us", "100000\n"},
                  {"/cg/cpu/cpu.cfs_quota_us", "250000\n"}, {"/cg/cpu/cpu.cfs_period_us", "100000\n"}},
                 3},
        WalkCase{"v1 quota without its period", CgroupVersion::v1, {"/cg/cpu", "a"},
                 {{"/cg/cpu/a/cpu.cfs_quota_us", "50000\n"}}, std::nullopt}));

}  // namespace
