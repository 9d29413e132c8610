// The transform's decrypt direction on arbitrary text (first two bytes: the salt), then the
// same bytes as a plaintext through encryption and back, each output sized to its minimum.
#include <cstring>

#include "encDec.h"
#include "fuzzInput.h"

namespace {

char key[17] = "fuzzing-key-0123";

void decryptArbitraryText(const char* salt, const uint8_t* data, size_t size) {
    const auto text = tarnfuzz::terminated(data, size);
    const size_t textLen = std::strlen(text.get());
    const auto output = tarnfuzz::block(textLen + 1, '\x5A');
    AES_128_CBC_Encrypt(text.get(), output.get(), 0, 0, salt, key);
}

void roundTripPlaintext(const char* salt, const uint8_t* data, size_t size) {
    const size_t n = (size > 256 ? 256 : size) / 16 * 16;
    if (n == 0) return;
    const auto plain = tarnfuzz::block(n, '\0');
    std::memcpy(plain.get(), data, n);
    const size_t textLen = aesTextLength(n);
    const auto text = tarnfuzz::block(textLen + 1, '\x5A');
    AES_128_CBC_Encrypt(plain.get(), text.get(), static_cast<int>(n), 1, salt, key);
    tarnfuzz::require(std::strlen(text.get()) == textLen);

    const auto back = tarnfuzz::block(textLen + 1, '\x5A');
    AES_128_CBC_Encrypt(text.get(), back.get(), 0, 0, salt, key);
    tarnfuzz::require(std::memcmp(back.get(), plain.get(), n) == 0 && back[n] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const char salt[2] = {static_cast<char>(data[0]), static_cast<char>(data[1])};
    decryptArbitraryText(salt, data + 2, size - 2);
    roundTripPlaintext(salt, data + 2, size - 2);
    return 0;
}
