#pragma once
// How many threads the pool gets. The decision is split into pure functions
// (text in, numbers out) and the two calls that read the process's state.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tovimera::parallel {

// ASCII digits with at most one leading '+', fitting std::size_t; anything
// else (empty, sign only, '-', white space, overflow) is not a count.
[[nodiscard]] std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept;

// The count the two variables ask for; nullptr means unset. Empty means
// "use the default": RAYON_NUM_THREADS=0, or neither variable gives 1 or more.
// A parseable RAYON_NUM_THREADS decides alone, even when it is 0.
[[nodiscard]] std::optional<std::size_t> requested_thread_count(
    const char* rayon_num_threads, const char* rayon_rs_num_cpus) noexcept;

// CPUs a control group's quota allows, ceil(quota / period) and at least 1;
// empty for no quota ("max", -1) and for text that is not a valid setting.
[[nodiscard]] std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max) noexcept;
[[nodiscard]] std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view cfs_quota_us,
                                                             std::string_view cfs_period_us) noexcept;

// Where the process's own control group sits in the file system: the
// hierarchy's mount point and the group below it ("" for the mount root).
struct CgroupDirectory {
    std::string mount_point;
    std::string group;
};

// From the text of /proc/self/cgroup and /proc/self/mountinfo: the unified
// (v2) hierarchy, and the v1 hierarchy that carries the "cpu" controller.
[[nodiscard]] std::optional<CgroupDirectory> find_cgroup_v2(std::string_view proc_self_cgroup,
                                                            std::string_view mountinfo);
[[nodiscard]] std::optional<CgroupDirectory> find_cgroup_v1_cpu(std::string_view proc_self_cgroup,
                                                                std::string_view mountinfo);

enum class CgroupVersion { v1, v2 };

// Reads a whole file; empty when it cannot be read.
using ReadFile = std::function<std::optional<std::string>(const std::string& path)>;

// The tightest CPU limit from the group's own directory up to and including
// the mount root: a parent's quota bounds all of its children.
[[nodiscard]] std::optional<std::size_t> cgroup_cpu_limit(const CgroupDirectory& directory,
                                                          CgroupVersion version, const ReadFile& read_file);

// Processors this process may use: the affinity mask's count, lowered to the
// tightest control-group quota from its own group up to the mount root; the
// online processor count when the mask is unavailable; 1 when nothing is known.
[[nodiscard]] std::size_t default_thread_count() noexcept;

// The pool size from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and the default.
[[nodiscard]] std::size_t thread_count_from_environment() noexcept;

}  // namespace tovimera::parallel
