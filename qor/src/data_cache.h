// How large the cache of decompressed data blocks may be: a part of the
// memory this process may really use, which a cgroup can make far less than
// the machine has.
#ifndef QOR_DATA_CACHE_H
#define QOR_DATA_CACHE_H

#include <cstdint>
#include <string>

#include "caches.h"

namespace qor {

// The smallest memory limit (bytes) of the cgroups a process is in and their
// ancestors, read from its cgroup list (the format of /proc/self/cgroup)
// and the cgroup file systems mounted at cgroup_fs: cgroup v2's memory.max
// and memory.high (at cgroup_fs or cgroup_fs/unified), cgroup v1's
// memory.limit_in_bytes (at cgroup_fs/memory). UINT64_MAX when none.
uint64_t cgroup_memory_limit(const std::string &proc_cgroup, const std::string &cgroup_fs);
// The cgroup v2 directory of the process, "" when there is none.
std::string cgroup_v2_dir(const std::string &proc_cgroup, const std::string &cgroup_fs);
// The smaller of physical memory and the limit of this process's cgroups.
uint64_t memory_limit();
// A quarter of memory_limit(), at most 4 GiB.
uint64_t default_data_cache_size();

} // namespace qor

#endif
