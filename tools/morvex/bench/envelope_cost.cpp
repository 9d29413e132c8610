// The in-process cost of the envelopes of every line of a file: the library's own calls that an
// envelope needs (two AES text transforms each way under a key prepared once, as a batch
// prepares it, the padding and the trim), and morvex's one-text envelope functions, which add
// the key preparation, the salt draw and their wiped copies. Prints one row per operation:
// nanoseconds per text, wall and CPU.
//   morvex_envelope_cost <texts-file>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "encDec.h"
#include "morvex_new.h"

namespace {

char genericKey[] = "0123456789abcdef";
TarnPreparedKey preparedKey;
constexpr size_t bufferSize = 512;

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class Work>
void timePerText(const char* name, size_t count, Work work) {
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds();
    work();
    const double cpu = cpuSeconds() - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("%s %.1f %.1f\n", name, wall * 1e9 / count, cpu * 1e9 / count);
}

struct LibraryEnvelope {
    std::string textPart;
    std::string saltBlock;
};

// The library calls of sealing: the text padded and transformed under a two-character salt,
// the salt padded and transformed under the fixed salt.
LibraryEnvelope librarySeal(const std::string& text) {
    char plain[bufferSize] = {};
    std::memcpy(plain, text.data(), text.size());
    char salt[17] = {text.front(), text.back()};
    char textPart[bufferSize] = {};
    char saltBlock[bufferSize] = {};
    AES_128_CBC_EncryptPrepared(plain, textPart, pad(plain, sizeof plain), 1, salt, &preparedKey);
    AES_128_CBC_EncryptPrepared(salt, saltBlock, pad(salt, sizeof salt), 1, staticSalt,
                                &preparedKey);
    return {textPart, saltBlock};
}

std::string libraryOpen(LibraryEnvelope& envelope) {
    char saltPlain[bufferSize] = {};
    AES_128_CBC_EncryptPrepared(envelope.saltBlock.data(), saltPlain, 16, 0, staticSalt,
                                &preparedKey);
    char plain[bufferSize] = {};
    AES_128_CBC_EncryptPrepared(envelope.textPart.data(), plain, 0, 0, saltPlain, &preparedKey);
    trim(plain);
    return plain;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <texts-file>\n", argv[0]);
        return 2;
    }
    std::vector<std::string> texts;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) texts.push_back(line);
    const size_t n = texts.size();
    if (AES_128_CBC_PrepareKey(&preparedKey, genericKey) != 1) return 1;

    std::vector<LibraryEnvelope> sealed(n);
    timePerText("library-seal", n, [&] {
        for (size_t i = 0; i < n; ++i)
            sealed[i] = librarySeal(texts[i]);
    });
    size_t wrong = 0;
    timePerText("library-open", n, [&] {
        for (size_t i = 0; i < n; ++i)
            wrong += libraryOpen(sealed[i]) != texts[i];
    });

    std::vector<char*> envelopes(n);
    timePerText("functions-seal", n, [&] {
        for (size_t i = 0; i < n; ++i)
            envelopes[i] = EncryptDataNew(texts[i].data(), genericKey);
    });
    timePerText("functions-open", n, [&] {
        for (size_t i = 0; i < n; ++i) {
            char* opened = DecryptDataNew(envelopes[i], genericKey);
            wrong += texts[i] != opened;
            std::free(opened);
            std::free(envelopes[i]);
        }
    });
    if (wrong != 0) {
        std::fprintf(stderr, "%zu texts did not open to themselves\n", wrong);
        return 1;
    }
    return 0;
}
