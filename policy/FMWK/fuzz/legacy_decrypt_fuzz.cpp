// DecryptData on arbitrary text under an arbitrary key (first byte: key length, then the key,
// then the text). Whatever opens must seal and open again to the same clear text.
#include <cstring>

#include "encDec.h"
#include "fuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t keyLen = data[0] % 40;
    if (keyLen > size - 1) keyLen = size - 1;
    const auto key = tarnfuzz::terminated(data + 1, keyLen);
    const auto text = tarnfuzz::terminated(data + 1 + keyLen, size - 1 - keyLen);

    const size_t textLen = std::strlen(text.get());
    const auto clear = tarnfuzz::block(legacyPlainCapacity(textLen), '\x5A');
    if (DecryptData(text.get(), key.get(), clear.get()) != 1) return 0;

    const size_t clearLen = std::strlen(clear.get());
    tarnfuzz::require(clearLen <= legacyMaxClearLength && key[0] != '\0');
    const auto sealed = tarnfuzz::block(legacyTextCapacity(clearLen), '\x5A');
    tarnfuzz::require(EncryptData(clear.get(), key.get(), sealed.get()) == 1);
    const auto reopened = tarnfuzz::block(legacyPlainCapacity(std::strlen(sealed.get())), '\x5A');
    tarnfuzz::require(DecryptData(sealed.get(), key.get(), reopened.get()) == 1 &&
                      std::strcmp(reopened.get(), clear.get()) == 0);
    return 0;
}
