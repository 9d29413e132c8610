// The tool's legacy decoder on any text and key: no crash, and whatever it reads the library's
// decoder reads alike. Input: one byte giving the key length, the key, then the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encDec.h"
#include "morvex_new.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t keyLength = std::min<size_t>(data[0], size - 1);
    std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
    std::string text(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);
    key.resize(std::strlen(key.c_str()));
    text.resize(std::strlen(text.c_str()));

    char* tool = DecryptData(text.data(), key.data());
    if (text.empty() || text[0] != '@') {
        if (tool == nullptr || text != tool) std::abort();
    } else if (!key.empty()) {
        std::vector<char> library(legacyPlainCapacity(text.size()), '\0');
        const bool read = DecryptData(text.data(), key.data(), library.data()) == 1;
        if (read != (tool != nullptr)) std::abort();
        if (read && std::strcmp(tool, library.data()) != 0) std::abort();
    } else if (tool != nullptr) {
        std::abort();
    }
    std::free(tool);
    return 0;
}
