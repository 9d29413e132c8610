#include "processMemory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <thread>

#include "memoryScan.h"

std::vector<std::string> patternsInMemory(pid_t pid, const std::vector<std::string>& patterns) {
    const std::string process = std::to_string(pid);
    const int mem = open(("/proc/" + process + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) throw std::runtime_error("cannot open the process's memory");
    size_t longest = 1;
    for (const std::string& p : patterns)
        longest = std::max(longest, p.size());
    std::vector<unsigned char> buffer(std::max<size_t>(1 << 20, 2 * longest));
    std::set<std::string> found;
    const auto lookIn = [&](const unsigned char* data, size_t n) {
        for (const std::string& p : patterns) {
            if (memmem(data, n, p.data(), p.size())) found.insert(p);
        }
    };
    const bool read = memscan::forEachMapping(process.c_str(), [&](const memscan::Mapping& m) {
        if (m.writable()) {
            memscan::forEachPiece(mem, m.start, m.end, longest - 1, buffer.data(), buffer.size(),
                                  lookIn);
        }
    });
    close(mem);
    if (!read) throw std::runtime_error("cannot read the process's mappings");
    return {found.begin(), found.end()};
}

bool waitUntilReadingStdin(pid_t pid, std::chrono::milliseconds limit) {
    // /proc/<pid>/syscall starts with the number of the call the process waits in and its
    // first argument: read(2) is 0 on x86-64, standard input is 0x0.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
        std::string number;
        std::string fd;
        if (syscall >> number >> fd && number == "0" && fd == "0x0") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
