// Whether a call leaves secret bytes in the stack memory it used: the area below the caller's
// frame is cleared, the call runs, and a probe frame at the same depth then reads what the
// call's frames left there. Heap memory a call released cannot be read this way.
#ifndef TARNCRYPT_TESTS_DEADSTACK_H
#define TARNCRYPT_TESTS_DEADSTACK_H

#include <cstring>
#include <string>
#include <vector>

namespace tarntest {

// Far deeper than any call under test goes, sanitizer frames included.
constexpr size_t deadStackDepth = 64 * 1024;

__attribute__((noinline)) inline void clearDeadStack() {
    unsigned char area[deadStackDepth];
    std::memset(area, 0, sizeof area);
    asm volatile("" : : "r"(area) : "memory");  // keeps the clearing
}

// The patterns found in the stack area below the caller's frame.
__attribute__((noinline)) inline std::vector<std::string> deadStackHolds(
    const std::vector<std::string>& patterns) {
    unsigned char area[deadStackDepth];
    asm volatile("" : : "r"(area) : "memory");  // what the earlier frames left is read as is
    std::vector<std::string> found;
    for (const std::string& p : patterns) {
        if (memmem(area, sizeof area, p.data(), p.size()) != nullptr) found.push_back(p);
    }
    return found;
}

// Runs call, then returns those of the patterns that it left on the stack.
template <class Call>
__attribute__((noinline)) std::vector<std::string> leftOnStack(
    Call call, const std::vector<std::string>& patterns) {
    clearDeadStack();
    call();
    return deadStackHolds(patterns);
}

}  // namespace tarntest

#endif  // TARNCRYPT_TESTS_DEADSTACK_H
