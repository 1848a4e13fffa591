// Hosts installed side by side: up to the host limit at once, each by a
// worker thread that holds the engine lock (EngineLock.h) and tags its
// lines with the host's name (LineTag.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The most hosts worked on at once (the setting "@HostLimit@"; 8 unless
// set). Each returns the previous value.
int hostLimit();
int setHostLimit(int limit);

// Calls work(i) for every name, at most limit at a time, each call in a
// worker thread holding the engine lock, its lines tagged "name: ".
// Returns when every call has returned. The caller must not hold the lock.
void runSideBySide(const std::vector<std::string>& names, int limit,
                   const std::function<void(std::size_t)>& work);

// work(i) for every name: side by side as runSideBySide with the limit of
// hostLimit(), or, with a limit of one, a single name or in a host's
// worker already, in order in the calling thread.
void forEachHost(const std::vector<std::string>& names,
                 const std::function<void(std::size_t)>& work);
