// Reading what a process's memory holds through /proc, for the tests that look for keys and
// clear texts left behind (another process's, or a server backend's own). Allocates nothing and
// throws nothing, so a PostgreSQL backend can run it too.
#ifndef TARNCRYPT_TESTS_MEMORYSCAN_H
#define TARNCRYPT_TESTS_MEMORYSCAN_H

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace memscan {

// Larger mappings are sanitizer shadow or reserved address space, never a program's own data.
constexpr unsigned long largestScanned = 1ul << 30;

struct Mapping {
    unsigned long start;
    unsigned long end;
    char perms[5];
    bool dontDump;  // left out of core dumps ("dd")
    bool locked;    // "lo"
    bool io;        // device memory, which cannot be read
    bool readable() const { return perms[0] == 'r' && !io && end - start <= largestScanned; }
    bool writable() const { return readable() && perms[1] == 'w'; }
};

// Calls visit(mapping) for each mapping of /proc/<process>/smaps (a pid, or "self"), with the
// flags of its VmFlags line. False when smaps cannot be read.
template <class Visit>
bool forEachMapping(const char* process, Visit visit) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/smaps", process);
    std::FILE* smaps = std::fopen(path, "r");
    if (smaps == nullptr) return false;
    Mapping mapping{};
    char line[512];
    while (std::fgets(line, sizeof line, smaps) != nullptr) {
        // Field names such as "AnonHugePages" begin like hex numbers: parse into scratch.
        unsigned long from = 0, to = 0;
        char access[5] = {};
        if (std::sscanf(line, "%lx-%lx %4s", &from, &to, access) == 3) {
            mapping = Mapping{from, to, {}, false, false, false};
            std::memcpy(mapping.perms, access, sizeof access);
            continue;
        }
        if (std::strncmp(line, "VmFlags:", 8) != 0) continue;
        mapping.dontDump = std::strstr(line, " dd") != nullptr;
        mapping.locked = std::strstr(line, " lo") != nullptr;
        mapping.io = std::strstr(line, " io") != nullptr;
        visit(static_cast<const Mapping&>(mapping));
    }
    std::fclose(smaps);
    return true;
}

// Reads [start, end) of the memory file mem into buffer (size bytes) and calls look(data, n)
// on each piece. Pieces overlap by `overlap` bytes (less than size), so that nothing shorter
// than overlap + 1 bytes is cut in two and nothing that long is seen twice. A page that cannot
// be read ends the range.
template <class Look>
void forEachPiece(int mem, unsigned long start, unsigned long end, size_t overlap,
                  unsigned char* buffer, size_t size, Look look) {
    for (unsigned long at = start; at < end;) {
        const size_t want = end - at < size ? end - at : size;
        const ssize_t got = pread(mem, buffer, want, static_cast<off_t>(at));
        if (got <= 0) return;
        look(static_cast<unsigned char*>(buffer), static_cast<size_t>(got));
        if (static_cast<size_t>(got) < want || at + got >= end) return;
        at += static_cast<size_t>(got) > overlap ? got - overlap : got;
    }
}

}  // namespace memscan

#endif  // TARNCRYPT_TESTS_MEMORYSCAN_H
