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

#include "memoryScan.h"

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

int countIn(int mem, const memscan::Mapping& mapping, const Needle& needle, unsigned char* buffer) {
    int found = 0;
    memscan::forEachPiece(
        mem, mapping.start, mapping.end, needle.length - 1, buffer, chunkSize,
        [&](unsigned char* data, size_t n) {
            for (size_t i = 0; i < n; ++i)
                data[i] ^= mask;
            for (const unsigned char* p = data;
                 (p = static_cast<const unsigned char*>(
                      memmem(p, n - (p - data), needle.masked, needle.length))) != nullptr;
                 ++p) {
                ++found;
            }
        });
    return found;
}

bool scanMemory(const Needle& needle, Copies& copies) {
    copies = {0, 0, 0};
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    void* buffer =
        mmap(nullptr, chunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem < 0 || buffer == MAP_FAILED) {
        if (mem >= 0) close(mem);
        if (buffer != MAP_FAILED) munmap(buffer, chunkSize);
        return false;
    }
    const auto bufferStart = reinterpret_cast<unsigned long>(buffer);
    const bool read = memscan::forEachMapping("self", [&](const memscan::Mapping& mapping) {
        if (!mapping.readable() || mapping.start == bufferStart) return;
        const int found = countIn(mem, mapping, needle, static_cast<unsigned char*>(buffer));
        (mapping.dontDump ? (mapping.locked ? copies.locked : copies.other) : copies.outside) +=
            found;
    });
    close(mem);
    munmap(buffer, chunkSize);
    return read;
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
