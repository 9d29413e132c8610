// Runs a program with its own argument vector (no shell) and collects what it wrote.
#ifndef MORVEX_TESTS_RUNPROCESS_H
#define MORVEX_TESTS_RUNPROCESS_H

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status;  // the exit status, or 128 + the signal that ended it
    bool timedOut = false;
};

// A program still running after limit is killed (SIGKILL) and reported as timed out.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::minutes(5));

#endif  // MORVEX_TESTS_RUNPROCESS_H
