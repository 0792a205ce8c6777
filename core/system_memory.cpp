// Reads /proc/meminfo and the cgroup (v2, then v1) limit of this process.
#include "system_memory.h"

#include <sys/resource.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>

static std::int64_t readNumber(const std::string &path)
{
    std::ifstream in(path);
    std::string text;
    if (!(in >> text) || text == "max")
        return -1;
    try {
        return std::stoll(text);
    } catch (...) {
        return -1;
    }
}

// The number after `key` on its line of a /proc file ("MemAvailable:    812 kB"), in bytes;
// -1 when the file or the line is missing.
static std::int64_t procKibibytes(const char *file, const std::string &key)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            std::istringstream fields(line.substr(key.size()));
            std::int64_t kib = -1;
            return fields >> kib ? kib * 1024 : -1;
        }
    }
    return -1;
}

static std::int64_t memAvailable()
{
    return procKibibytes("/proc/meminfo", "MemAvailable:");
}

// The cgroup this process belongs to, from /proc/self/cgroup ("0::/path" on cgroup v2).
static std::string cgroupPath(const std::string &controller)
{
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        if (controllers == controller)
            return line.substr(second + 1);
    }
    return {};
}

static std::int64_t cgroupRoom()
{
    const std::string v2 = cgroupPath("");
    if (!v2.empty() || std::ifstream("/sys/fs/cgroup/cgroup.controllers")) {
        const std::string dir = "/sys/fs/cgroup" + (v2 == "/" ? std::string() : v2);
        const std::int64_t limit = readNumber(dir + "/memory.max");
        const std::int64_t used = readNumber(dir + "/memory.current");
        if (limit >= 0 && used >= 0)
            return limit > used ? limit - used : 0;
    }
    const std::string v1 = "/sys/fs/cgroup/memory" + cgroupPath("memory");
    const std::int64_t limit = readNumber(v1 + "/memory.limit_in_bytes");
    const std::int64_t used = readNumber(v1 + "/memory.usage_in_bytes");
    // v1 reports "no limit" as a number near 2^63.
    if (limit >= 0 && used >= 0 && limit < (std::numeric_limits<std::int64_t>::max() >> 1))
        return limit > used ? limit - used : 0;
    return -1;
}

// Room left under an address-space limit (ulimit -v), from the process's current size.
static std::int64_t addressSpaceRoom()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    const std::int64_t size = procKibibytes("/proc/self/status", "VmSize:");
    if (size < 0)
        return -1;
    const std::int64_t cap = std::int64_t(limit.rlim_cur);
    return cap > size ? cap - size : 0;
}

static std::int64_t smallerKnown(std::int64_t a, std::int64_t b)
{
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

std::int64_t availableMemoryBytes()
{
    return smallerKnown(smallerKnown(memAvailable(), cgroupRoom()), addressSpaceRoom());
}

std::int64_t addressSpaceRoomBytes()
{
    return addressSpaceRoom();
}
