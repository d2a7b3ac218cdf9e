#include "data_cache.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace qor {

namespace {

constexpr size_t k_max_cgroup_lines = 64;

// The number a cgroup file holds; UINT64_MAX for "max", a missing file or
// anything but a decimal number.
uint64_t read_limit(const std::string &path)
{
	std::ifstream in(path);
	std::string word;
	if (!(in >> word) || word.empty() || word.size() > 20 ||
	    word.find_first_not_of("0123456789") != std::string::npos)
		return UINT64_MAX;
	errno = 0;
	unsigned long long v = strtoull(word.c_str(), nullptr, 10);
	return errno == 0 ? v : UINT64_MAX;
}

// A cgroup path as /proc/self/cgroup gives it: absolute, no "." or "..".
bool plain_cgroup_path(const std::string &p)
{
	if (p.empty() || p[0] != '/')
		return false;
	std::string padded = p + "/";
	return padded.find("/../") == std::string::npos && padded.find("/./") == std::string::npos;
}

// The smallest value of `file` in dir/path and each of its ancestors.
uint64_t smallest_up(const std::string &dir, std::string path, const char *file)
{
	uint64_t limit = UINT64_MAX;
	for (;;) {
		limit = std::min(limit, read_limit(dir + path + "/" + file));
		if (path.empty() || path == "/")
			return limit;
		path.erase(path.find_last_of('/'));
	}
}

struct Cgroup_line {
	std::string controllers, path;
};

std::vector<Cgroup_line> cgroup_lines(const std::string &proc_cgroup)
{
	std::vector<Cgroup_line> lines;
	std::ifstream in(proc_cgroup);
	std::string line;
	while (lines.size() < k_max_cgroup_lines && std::getline(in, line)) {
		size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
		if (b == std::string::npos || !plain_cgroup_path(line.substr(b + 1)))
			continue;
		lines.push_back({line.substr(a + 1, b - a - 1), line.substr(b + 1)});
	}
	return lines;
}

bool has_memory_controller(const std::string &controllers)
{
	std::string padded = "," + controllers + ",";
	return padded.find(",memory,") != std::string::npos;
}

// Where the cgroup v2 hierarchy is mounted: alone, or beside v1 controllers.
std::string v2_root(const std::string &cgroup_fs)
{
	for (const std::string &root : {cgroup_fs, cgroup_fs + "/unified"})
		if (access((root + "/cgroup.controllers").c_str(), F_OK) == 0)
			return root;
	return "";
}

} // namespace

std::string cgroup_v2_dir(const std::string &proc_cgroup, const std::string &cgroup_fs)
{
	std::string root = v2_root(cgroup_fs);
	for (const Cgroup_line &l : cgroup_lines(proc_cgroup))
		if (l.controllers.empty() && !root.empty())
			return root + (l.path == "/" ? "" : l.path);
	return "";
}

uint64_t cgroup_memory_limit(const std::string &proc_cgroup, const std::string &cgroup_fs)
{
	uint64_t limit = UINT64_MAX;
	std::string root = v2_root(cgroup_fs);
	for (const Cgroup_line &l : cgroup_lines(proc_cgroup)) {
		if (has_memory_controller(l.controllers))
			limit = std::min(limit, smallest_up(cgroup_fs + "/memory", l.path, "memory.limit_in_bytes"));
		else if (l.controllers.empty() && !root.empty())
			limit = std::min({limit, smallest_up(root, l.path, "memory.max"),
					  smallest_up(root, l.path, "memory.high")});
	}
	return limit;
}

uint64_t memory_limit()
{
	long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
	uint64_t physical = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : uint64_t(1) << 30;
	return std::min(physical, cgroup_memory_limit("/proc/self/cgroup", "/sys/fs/cgroup"));
}

uint64_t default_data_cache_size() { return std::min<uint64_t>(memory_limit() / 4, uint64_t(4) << 30); }

} // namespace qor
