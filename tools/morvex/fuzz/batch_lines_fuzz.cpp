// A batch over any input: no crash, no read outside a line, and exactly one result line per
// input line, whatever the lines hold and however the reads cut them. The first byte chooses
// the mode and the size of the read buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "morvex_batch.h"

namespace {

char genericKey[] = "fuzz-generic-key";

int memoryFile(const char* name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) std::abort();
    return fd;
}

void replace(int fd, const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0) std::abort();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    lseek(fd, 0, SEEK_SET);
}

size_t lineEnds(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string all(static_cast<size_t>(size), '\0');
    if (pread(fd, all.data(), all.size(), 0) != size) std::abort();
    return static_cast<size_t>(std::count(all.begin(), all.end(), '\n'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int in = memoryFile("in");
    static const int out = memoryFile("out");
    static const int err = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (size == 0) return 0;
    const BatchMode mode = (data[0] & 1) ? BatchMode::open : BatchMode::seal;
    const size_t capacity = longestLine(mode) + 2 + (data[0] >> 1) * 7;
    const uint8_t* input = data + 1;
    const size_t length = size - 1;
    replace(in, input, length);
    replace(out, nullptr, 0);
    runBatch(mode, genericKey, BatchStreams{in, out, err, capacity});
    const size_t lines = static_cast<size_t>(std::count(input, input + length, '\n')) +
                         (length > 0 && input[length - 1] != '\n');
    if (lineEnds(out) != lines) std::abort();
    return 0;
}
