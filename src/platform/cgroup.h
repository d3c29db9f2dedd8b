// Memory cgroups (Linux): how much memory the limits of the process's own
// control group and of each of its ancestors still leave, so that a run in a
// container is budgeted by the container's limit and not the host's free
// memory.
//
// The group is found in root's proc/self/cgroup and the hierarchy's mount in
// proc/self/mountinfo; the figures are read from root followed by the mount
// point and the group's path: cgroup v2's memory.max and memory.current, v1's
// memory.limit_in_bytes and memory.usage_in_bytes of the memory controller,
// from the group up to the mount's root. root is "" for the running system;
// a test hands a folder holding a fake tree. Reads a few small files each
// call; allocates nothing; never prints.
#ifndef TABFLIP_CGROUP_H
#define TABFLIP_CGROUP_H

#include <cstdint>

// The least of each limit less its usage (0 where the usage has reached the
// limit); UINT64_MAX when no group with a limit is found ("max", no memory
// controller, no cgroup file system, not Linux).
std::uint64_t cgroup_memory_left(const char *root);

#endif
