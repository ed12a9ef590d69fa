// What ties a caller's pid to a process: its start time, its executable
// file, and the moments they are compared with, all in clock ticks since
// boot (the unit procfs gives start times in).
#ifndef TAVO_PROCESS_IDENTITY_H
#define TAVO_PROCESS_IDENTITY_H

#include <cstdint>
#include <optional>
#include <string>

// Clock ticks since boot now (CLOCK_BOOTTIME, rounded down).
uint64_t ticksSinceBoot();

// Start time of a process (field 22 of /proc/<pid>/stat), if it exists.
std::optional<uint64_t> processStartTicks(int32_t pid);

// Whether the file that process `pid` executes (/proc/<pid>/exe, followed
// to the file itself, whatever mount namespace or root it was reached
// through) is the file at `path` as this process sees it: same device and
// inode.
bool runsFile(int32_t pid, const std::string &path);

#endif
