// What another process's memory holds, read through /proc/<pid>/mem (the caller must be
// allowed to trace it, as a parent is).
#ifndef MORVEX_TESTS_PROCESSMEMORY_H
#define MORVEX_TESTS_PROCESSMEMORY_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Those of the patterns that stand in any writable mapping of the process: heap, stacks,
// data, whatever the allocator keeps. Reserved areas larger than any program's own data (a
// sanitizer's shadow) are passed over.
std::vector<std::string> patternsInMemory(pid_t pid, const std::vector<std::string>& patterns);

// Waits (up to limit) until the process sits in a read(2) of its standard input; false if it
// never does.
bool waitUntilReadingStdin(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30));

#endif  // MORVEX_TESTS_PROCESSMEMORY_H
