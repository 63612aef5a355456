#include "parallel/thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <vector>

namespace tovimera::parallel {

namespace {

template <class Unsigned>
std::optional<Unsigned> parse_digits(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    Unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<Unsigned>(c - '0');
        if (value > (std::numeric_limits<Unsigned>::max() - digit) / 10) return std::nullopt;
        value = static_cast<Unsigned>(value * 10 + digit);
    }
    return value;
}

// Control-group files end in a newline.
std::string_view trim_line_end(std::string_view text) noexcept {
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> cpus_for_quota(std::uint64_t quota, std::uint64_t period) noexcept {
    if (period == 0) return std::nullopt;
    const std::uint64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
    const auto widest = static_cast<std::uint64_t>(std::numeric_limits<std::size_t>::max());
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(cpus, 1, widest));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool contains(const std::vector<std::string_view>& items, std::string_view wanted) {
    return std::find(items.begin(), items.end(), wanted) != items.end();
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_mount_path(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string_view code = text.substr(i + 1, 3);
            if (std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>((code[0] - '0') * 64 + (code[1] - '0') * 8 + (code[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// The group path as /proc/self/cgroup gives it, relative to the hierarchy's
// root; a mount shows the subtree starting at `root`.
std::optional<std::string> group_below_root(std::string_view group_path, std::string_view root) {
    if (root == "/") root = "";
    if (group_path.substr(0, root.size()) != root) return std::nullopt;
    std::string_view rest = group_path.substr(root.size());
    if (!rest.empty() && rest.front() != '/') return std::nullopt;  // "/ab" is not below "/a"
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    return std::string(rest);
}

// Finds the first mount of the wanted file system type (and, for v1, carrying
// the controller) that contains the process's group.
std::optional<CgroupDirectory> find_mount(std::string_view group_path, std::string_view mountinfo,
                                          std::string_view fs_type, std::string_view controller) {
    for (const std::string_view line : split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = split(line, ' ');
        // id parent dev root mount-point options [optional...] - type source super-options
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        if (dash[1] != fs_type) continue;
        if (!controller.empty() && !contains(split(dash[3], ','), controller)) continue;
        const std::optional<std::string> group = group_below_root(group_path, unescape_mount_path(fields[3]));
        if (group) return CgroupDirectory{unescape_mount_path(fields[4]), *group};
    }
    return std::nullopt;
}

std::optional<std::string> read_whole_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) return std::nullopt;
    std::string text;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return text;
}

std::optional<std::size_t> affinity_count() noexcept {
    // The mask must be at least as wide as the kernel's; EINVAL says it is not.
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* mask = CPU_ALLOC(cpus);
        if (mask == nullptr) return std::nullopt;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, mask);
        const int status = sched_getaffinity(0, bytes, mask);
        const int error = errno;
        const int count = status == 0 ? CPU_COUNT_S(bytes, mask) : 0;
        CPU_FREE(mask);
        if (status == 0) return count > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(count)) : std::nullopt;
        if (error != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::size_t> online_processor_count() noexcept {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    if (count <= 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) noexcept {
    if (a && b) return std::min(*a, *b);
    return a ? a : b;
}

std::optional<std::size_t> process_cgroup_limit() {
    const std::optional<std::string> groups = read_whole_file("/proc/self/cgroup");
    const std::optional<std::string> mounts = read_whole_file("/proc/self/mountinfo");
    if (!groups || !mounts) return std::nullopt;
    std::optional<std::size_t> limit;
    // A hybrid system has both hierarchies; the controller is bound to one of
    // them, so the tighter of the two is the one in force.
    if (const auto v2 = find_cgroup_v2(*groups, *mounts)) {
        limit = tighter(limit, cgroup_cpu_limit(*v2, CgroupVersion::v2, read_whole_file));
    }
    if (const auto v1 = find_cgroup_v1_cpu(*groups, *mounts)) {
        limit = tighter(limit, cgroup_cpu_limit(*v1, CgroupVersion::v1, read_whole_file));
    }
    return limit;
}

}  // namespace

std::optional<std::size_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    return parse_digits<std::size_t>(text);
}

std::optional<std::size_t> requested_thread_count(const char* rayon_num_threads,
                                                  const char* rayon_rs_num_cpus) noexcept {
    if (rayon_num_threads != nullptr) {
        if (const auto count = parse_thread_count(rayon_num_threads)) {
            if (*count >= 1) return count;
            return std::nullopt;
        }
    }
    if (rayon_rs_num_cpus != nullptr) {
        if (const auto count = parse_thread_count(rayon_rs_num_cpus); count && *count >= 1) return count;
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max) noexcept {
    const std::string_view line = trim_line_end(cpu_max);
    const std::size_t space = line.find(' ');
    const std::string_view quota = line.substr(0, space);
    if (quota == "max") return std::nullopt;
    if (space == std::string_view::npos) return std::nullopt;
    const auto quota_us = parse_digits<std::uint64_t>(quota);
    const auto period_us = parse_digits<std::uint64_t>(line.substr(space + 1));
    if (!quota_us || !period_us) return std::nullopt;
    return cpus_for_quota(*quota_us, *period_us);
}

std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view cfs_quota_us,
                                               std::string_view cfs_period_us) noexcept {
    // Any negative quota reads back as -1 and means unlimited.
    const auto quota_us = parse_digits<std::uint64_t>(trim_line_end(cfs_quota_us));
    const auto period_us = parse_digits<std::uint64_t>(trim_line_end(cfs_period_us));
    if (!quota_us || !period_us) return std::nullopt;
    return cpus_for_quota(*quota_us, *period_us);
}

std::optional<CgroupDirectory> find_cgroup_v2(std::string_view proc_self_cgroup, std::string_view mountinfo) {
    for (const std::string_view line : split(proc_self_cgroup, '\n')) {
        if (line.substr(0, 3) == "0::") return find_mount(line.substr(3), mountinfo, "cgroup2", "");
    }
    return std::nullopt;
}

std::optional<CgroupDirectory> find_cgroup_v1_cpu(std::string_view proc_self_cgroup, std::string_view mountinfo) {
    for (const std::string_view line : split(proc_self_cgroup, '\n')) {
        // hierarchy-id:controller,controller:path
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        if (!contains(split(line.substr(first + 1, second - first - 1), ','), "cpu")) continue;
        return find_mount(line.substr(second + 1), mountinfo, "cgroup", "cpu");
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(const CgroupDirectory& directory, CgroupVersion version,
                                            const ReadFile& read_file) {
    std::optional<std::size_t> limit;
    std::string group = directory.group;
    while (true) {
        const std::string path = group.empty() ? directory.mount_point : directory.mount_point + "/" + group;
        if (version == CgroupVersion::v2) {
            if (const auto text = read_file(path + "/cpu.max")) limit = tighter(limit, cgroup_v2_cpu_limit(*text));
        } else {
            const auto quota = read_file(path + "/cpu.cfs_quota_us");
            const auto period = read_file(path + "/cpu.cfs_period_us");
            if (quota && period) limit = tighter(limit, cgroup_v1_cpu_limit(*quota, *period));
        }
        if (group.empty()) return limit;
        const std::size_t slash = group.rfind('/');
        group.resize(slash == std::string::npos ? 0 : slash);
    }
}

std::size_t default_thread_count() noexcept {
    std::optional<std::size_t> count = affinity_count();
    if (!count) count = online_processor_count();
    try {
        count = tighter(count, process_cgroup_limit());
    } catch (...) {
        // Out of memory while reading the control group: the quota stays unknown.
    }
    return count.value_or(1);
}

std::size_t thread_count_from_environment() noexcept {
    const auto requested = requested_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"));
    return requested ? *requested : default_thread_count();
}

}  // namespace tovimera::parallel
