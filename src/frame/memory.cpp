#include "frame/memory.hpp"

#include "frame/ref.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace halvex::frame {

namespace {

// The limit in a cgroup file ("max" or a number of bytes), or none.
std::uint64_t cgroup_limit(const char* path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text == "max") return UINT64_MAX;
    try {
        return std::stoull(text);
    } catch (...) {
        return UINT64_MAX;
    }
}

std::uint64_t resource_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return limit.rlim_cur;
}

}  // namespace

std::uint64_t usable_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    std::uint64_t usable = pages > 0 && page_size > 0
                               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
                               : UINT64_MAX;
    usable = std::min({usable, cgroup_limit("/sys/fs/cgroup/memory.max"),
                       cgroup_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes"), resource_limit(RLIMIT_AS),
                       resource_limit(RLIMIT_DATA)});
    return usable;
}

void require_memory(double count, double bytes_each, const char* what) {
    if (!(count > 0)) return;
    const double needed = count * bytes_each, usable = static_cast<double>(usable_memory());
    if (needed <= usable) return;
    // Python's own formatting has no floating-point conversions.
    char message[160];
    std::snprintf(message, sizeof message, "%.0f %s need at least %.3g GB; this process may use %.3g GB", count, what,
                  needed / 1e9, usable / 1e9);
    raise(PyExc_MemoryError, "%s", message);
}

}  // namespace halvex::frame
