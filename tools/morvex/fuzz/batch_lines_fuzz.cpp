// A batch over any input: no crash, no read outside a line, and exactly one result line per
// input line, whatever the lines hold and however the reads cut them; a re-key answers only
// the lines that open under its old key, each with an envelope of the same text under the new
// key. The first byte chooses the mode and the size of the read buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "envelope.h"
#include "morvex_batch.h"

namespace {

char genericKey[] = "fuzz-generic-key";
// The seeds' envelopes for the re-key mode are sealed under this key.
char oldKey[] = "fuzz-old-key-000";
constexpr BatchMode modes[] = {BatchMode::seal, BatchMode::open, BatchMode::rekey};

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

std::string contentOf(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    std::string all(static_cast<size_t>(size), '\0');
    if (pread(fd, all.data(), all.size(), 0) != size) std::abort();
    return all;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The text an envelope opens to under key, or none when its salt block is not under key.
std::optional<std::string> openedUnder(const std::string& envelope, const char* key) {
    const PreparedGenericKey prepared(key);
    EnvelopeOpening opening = EnvelopeOpening::noMemory;
    char* text = openEnvelopeUnderKey(envelope.c_str(), prepared.get(), &opening);
    if (text == nullptr) return std::nullopt;
    std::string opened = text;
    std::free(text);
    return opened;
}

void checkRekeyed(const std::string& input, const std::string& output) {
    const std::vector<std::string> given = linesOf(input);
    const std::vector<std::string> answered = linesOf(output);
    for (size_t i = 0; i < answered.size(); ++i) {
        if (answered[i].empty()) continue;
        const std::optional<std::string> text = openedUnder(given[i], oldKey);
        if (!text || openedUnder(answered[i], genericKey) != text) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int in = memoryFile("in");
    static const int out = memoryFile("out");
    static const int err = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (size == 0) return 0;
    const BatchMode mode = modes[data[0] % 3];
    const size_t capacity = longestLine(mode) + 2 + (data[0] / 3) * 7;
    const uint8_t* input = data + 1;
    const size_t length = size - 1;
    replace(in, input, length);
    replace(out, nullptr, 0);
    runBatch(mode, BatchKeys{genericKey, oldKey}, BatchStreams{in, out, err, capacity});
    const std::string written = contentOf(out);
    const size_t lines = static_cast<size_t>(std::count(input, input + length, '\n')) +
                         (length > 0 && input[length - 1] != '\n');
    if (static_cast<size_t>(std::count(written.begin(), written.end(), '\n')) != lines) {
        std::abort();
    }
    if (mode == BatchMode::rekey) {
        checkRekeyed(std::string(reinterpret_cast<const char*>(input), length), written);
    }
    return 0;
}
