// Test-only, beside wipe_probe.cpp in the same module: where in the backend's memory a key
// stands, by the kernel's account of each mapping (/proc/self/smaps: "dd" marks a mapping left
// out of core dumps, "lo" a locked one).
//
// The needle is held and compared masked, and memory is read through /proc/self/mem into a
// mapping the scan skips, so the probe never shows the key to itself, and an unreadable
// mapping is an error of read(2), not a crash.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include "postgres.h"

#include "fmgr.h"
#include "storage/ipc.h"
#include "utils/builtins.h"

PG_FUNCTION_INFO_V1(key_copies);
PG_FUNCTION_INFO_V1(key_copies_at_exit);
}

namespace {

constexpr unsigned char mask = 0xA5;
constexpr size_t maxNeedle = 64;
constexpr size_t chunkSize = 1 << 20;
// Larger mappings are sanitizer shadow or reserved address space, never a key's place.
constexpr size_t largestScanned = size_t{1} << 30;

struct Needle {
    unsigned char masked[maxNeedle];
    size_t length;
};

struct Copies {
    int outside;  // in mappings a core dump would hold
    int locked;   // in locked mappings left out of core dumps
    int other;    // left out of core dumps but not locked
};

Needle exitNeedle;

void maskedNeedleFromHex(const char* hex, Needle& needle) {
    const size_t length = std::strlen(hex) / 2;
    if (length == 0 || length > maxNeedle) elog(ERROR, "key probe: needle of 1 to 64 bytes");
    for (size_t i = 0; i < length; ++i) {
        unsigned value = 0;
        std::sscanf(hex + 2 * i, "%2x", &value);
        needle.masked[i] = static_cast<unsigned char>(value) ^ mask;
    }
    needle.length = length;
}

int countIn(int mem, unsigned long start, unsigned long end, const Needle& needle,
            unsigned char* buffer) {
    int found = 0;
    const size_t overlap = needle.length - 1;
    for (unsigned long at = start; at < end;) {
        const size_t want = std::min<size_t>(chunkSize, end - at);
        const ssize_t got = pread(mem, buffer, want, static_cast<off_t>(at));
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i)
            buffer[i] ^= mask;
        for (const unsigned char* p = buffer;
             (p = static_cast<const unsigned char*>(memmem(
                  p, static_cast<size_t>(got) - (p - buffer), needle.masked, needle.length))) !=
             nullptr;
             ++p) {
            ++found;
        }
        if (static_cast<size_t>(got) < want || at + got >= end) break;
        at += static_cast<unsigned long>(got) > overlap ? got - overlap : got;
    }
    return found;
}

// Walks smaps: a mapping's header line, then its fields, VmFlags last.
bool scanMemory(const Needle& needle, Copies& copies) {
    copies = {0, 0, 0};
    FILE* smaps = std::fopen("/proc/self/smaps", "r");
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    void* buffer =
        mmap(nullptr, chunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (smaps == nullptr || mem < 0 || buffer == MAP_FAILED) {
        if (smaps != nullptr) std::fclose(smaps);
        if (mem >= 0) close(mem);
        if (buffer != MAP_FAILED) munmap(buffer, chunkSize);
        return false;
    }
    const auto bufferStart = reinterpret_cast<unsigned long>(buffer);
    char line[512];
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    while (std::fgets(line, sizeof line, smaps) != nullptr) {
        // Field names such as "AnonHugePages" begin like hex numbers: parse into scratch.
        unsigned long from = 0, to = 0;
        char access[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &from, &to, access) == 3) {
            start = from;
            end = to;
            std::memcpy(perms, access, sizeof perms);
            continue;
        }
        if (std::strncmp(line, "VmFlags:", 8) != 0) continue;
        if (perms[0] != 'r' || start == bufferStart || end - start > largestScanned ||
            std::strstr(line, " io") != nullptr) {
            continue;
        }
        const int found = countIn(mem, start, end, needle, static_cast<unsigned char*>(buffer));
        const bool dontDump = std::strstr(line, " dd") != nullptr;
        const bool locked = std::strstr(line, " lo") != nullptr;
        (dontDump ? (locked ? copies.locked : copies.other) : copies.outside) += found;
    }
    std::fclose(smaps);
    close(mem);
    munmap(buffer, chunkSize);
    return true;
}

void writeExitReport(int, Datum) {
    Copies copies;
    const bool scanned = scanMemory(exitNeedle, copies);
    char report[128];
    const int length =
        snprintf(report, sizeof report, "%s outside %d, locked %d, unlocked %d\n",
                 scanned ? "scanned" : "failed", copies.outside, copies.locked, copies.other);
    const int fd = open("key_probe_exit.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (write(fd, report, static_cast<size_t>(length)) < 0) {
        // nothing to do at exit: the test sees no report
    }
    close(fd);
}

}  // namespace

extern "C" {

// key_copies(needle_hex text) returns text: "outside N, locked N, unlocked N".
Datum key_copies(PG_FUNCTION_ARGS) {
    Needle needle;
    maskedNeedleFromHex(text_to_cstring(PG_GETARG_TEXT_PP(0)), needle);
    Copies copies;
    if (!scanMemory(needle, copies)) elog(ERROR, "key probe: cannot read this backend's memory");
    PG_RETURN_TEXT_P(cstring_to_text(psprintf("outside %d, locked %d, unlocked %d", copies.outside,
                                              copies.locked, copies.other)));
}

// key_copies_at_exit(needle_hex text): at backend exit, after the exit hooks of every module
// loaded later, writes key_copies' report to key_probe_exit.txt in the data directory.
Datum key_copies_at_exit(PG_FUNCTION_ARGS) {
    maskedNeedleFromHex(text_to_cstring(PG_GETARG_TEXT_PP(0)), exitNeedle);
    on_proc_exit(writeExitReport, 0);
    PG_RETURN_VOID();
}

}  // extern "C"
