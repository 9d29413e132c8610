#include "processMemory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

constexpr unsigned long largestScanned = 1ul << 30;
constexpr size_t chunk = 1 << 20;

struct Range {
    unsigned long start;
    unsigned long end;
};

std::vector<Range> writableRanges(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    if (!maps) throw std::runtime_error("cannot read the process's maps");
    std::vector<Range> ranges;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string span;
        std::string perms;
        fields >> span >> perms;
        const size_t dash = span.find('-');
        const Range r{std::stoul(span.substr(0, dash), nullptr, 16),
                      std::stoul(span.substr(dash + 1), nullptr, 16)};
        if (perms.size() >= 2 && perms[0] == 'r' && perms[1] == 'w' &&
            r.end - r.start <= largestScanned) {
            ranges.push_back(r);
        }
    }
    return ranges;
}

// Reads the range in chunks that overlap by the longest pattern, so none is cut in two.
void scan(int mem, const Range& range, const std::vector<std::string>& patterns, size_t overlap,
          std::set<std::string>& found) {
    std::vector<char> buffer(chunk + overlap);
    for (unsigned long at = range.start; at < range.end; at += chunk) {
        const size_t want = std::min<unsigned long>(chunk + overlap, range.end - at);
        const ssize_t n = pread(mem, buffer.data(), want, static_cast<off_t>(at));
        if (n <= 0) continue;  // a page that cannot be read holds nothing for us
        for (const std::string& p : patterns) {
            if (memmem(buffer.data(), static_cast<size_t>(n), p.data(), p.size())) found.insert(p);
        }
    }
}

}  // namespace

std::vector<std::string> patternsInMemory(pid_t pid, const std::vector<std::string>& patterns) {
    const int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) throw std::runtime_error("cannot open the process's memory");
    size_t overlap = 0;
    for (const std::string& p : patterns)
        overlap = std::max(overlap, p.size());
    std::set<std::string> found;
    for (const Range& r : writableRanges(pid))
        scan(mem, r, patterns, overlap, found);
    close(mem);
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
