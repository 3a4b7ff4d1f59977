#include "core/runtime/system.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace sonaloc::system {
namespace {

std::optional<std::size_t> cgroup_cpu_limit() {
    // cgroup v2: "max 100000" or "<quota> <period>".
    std::ifstream v2("/sys/fs/cgroup/cpu.max");
    std::string quota;
    long long period = 0;
    if (v2 >> quota >> period) {
        if (quota == "max" || period <= 0) return std::nullopt;
        long long q = std::atoll(quota.c_str());
        if (q <= 0) return std::nullopt;
        return static_cast<std::size_t>(std::max<long long>(1, (q + period - 1) / period));
    }
    // cgroup v1.
    std::ifstream q1("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    std::ifstream p1("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    long long q = 0, p = 0;
    if (q1 >> q && p1 >> p && q > 0 && p > 0)
        return static_cast<std::size_t>(std::max<long long>(1, (q + p - 1) / p));
    return std::nullopt;
}

}  // namespace

std::size_t available_processors() {
    std::size_t n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) {
        unsigned hw = std::thread::hardware_concurrency();
        n = hw;
    }
    if (auto limit = cgroup_cpu_limit()) n = n == 0 ? *limit : std::min(n, *limit);
    return n == 0 ? 1 : n;
}

std::uint64_t available_memory() {
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kb = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1;
        std::fclose(f);
        if (found) return static_cast<std::uint64_t>(kb) * 1024;
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace sonaloc::system
