// Outside text through every wrapper, into heap buffers of exactly the sizes dbcipher's SQL
// functions give the library: under ASan any byte the library writes or reads beyond them is
// caught. The first byte picks the encrypting length and where compute_salt cuts the text; the
// rest is the text, cut at its first zero byte as a SQL text would be.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "aes_encr_wrapper.h"
#include "encDec.h"

namespace {

std::vector<char> terminated(const std::string& text, size_t width) {
    std::vector<char> buffer(std::max(text.size(), width) + 1, '\0');
    std::memcpy(buffer.data(), text.data(), text.size());
    return buffer;
}

void aesBothWays(const std::string& text, int inputLen) {
    std::vector<char> salt = terminated(text.substr(0, 2), 2);
    std::vector<char> key = terminated(text.substr(0, 16), 16);
    std::vector<char> input = terminated(text, static_cast<size_t>(inputLen));
    std::vector<char> encrypted(aesTextCapacity(static_cast<size_t>(inputLen)), '\0');
    c_AES_128_CBC_Encrypt(input.data(), encrypted.data(), inputLen, 1, salt.data(), key.data());

    std::vector<char> asText = terminated(text, 0);
    std::vector<char> plain(aesPlainCapacity(text.size()), '\0');
    c_AES_128_CBC_Encrypt(asText.data(), plain.data(), inputLen, 0, salt.data(), key.data());
}

void legacyBothWays(const std::string& text) {
    char key[] = "fuzzKy";
    std::vector<char> ascii = terminated(text, 0);
    std::vector<char> plain(legacyPlainCapacity(text.size()), '\0');
    c_decryptData(ascii.data(), key, plain.data());
    if (text.size() <= legacyMaxClearLength) {
        std::vector<char> encoded(legacyTextCapacity(text.size()), '\0');
        c_encryptData(ascii.data(), key, encoded.data());
    }
}

void splits(const std::string& text, size_t cut) {
    std::vector<char> value = terminated(text, 0);
    for (unsigned char masterKey : {0, 1}) {
        std::vector<char> user(text.size() + 1, '\0');
        std::vector<char> host(text.size() + 1, '\0');
        c_separateEncrUserHost(value.data(), user.data(), host.data(), masterKey);
    }
    cut = std::min(cut, text.size());
    std::vector<char> crit1 = terminated(text.substr(0, cut), 0);
    std::vector<char> crit2 = terminated(text.substr(cut), 0);
    char salt[3] = {};
    c_computeSalt(crit1.data(), crit2.data(), salt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const char* body = reinterpret_cast<const char*>(data + 1);
    const std::string text(body, strnlen(body, size - 1));
    aesBothWays(text, (selector & 0x3F) * 16);
    legacyBothWays(text);
    splits(text, selector);
    return 0;
}
