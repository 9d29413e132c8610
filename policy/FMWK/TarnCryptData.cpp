// The legacy text cipher: "@" and a private six-bit alphabet over a key-mixed record.
#include "encDec.h"

#include <cstring>

#include "tarnSecrets.h"
#include "legacyRecord.h"

int EncryptData(char* password, char* key, char* ascii) {
    if (password == nullptr || key == nullptr || ascii == nullptr) return 0;
    const size_t clearLen = std::strlen(password);
    // A longer text does not fit the record's length byte and could never be opened again; an
    // empty key has no byte to mix with.
    if (clearLen > legacy::maxClearLength || key[0] == '\0') return 0;
    const legacy::MixedKey mixed(key);
    legacy::sealRecord(reinterpret_cast<const unsigned char*>(password), clearLen, mixed, ascii);
    return 1;
}

int DecryptData(char* ascii, char* key, char* binary) {
    if (ascii == nullptr || ascii[0] != '@' || key == nullptr || key[0] == '\0') return 0;
    binary[0] = '\0';
    if (ascii[1] == '\0') return 0;
    const legacy::MixedKey mixed(key);
    return legacy::openRecord(ascii + 1, mixed, reinterpret_cast<unsigned char*>(binary)) >= 0;
}

extern "C" int DbEncryptData(char* data, char* inp) {
    if (data == nullptr) return 0;
    return withDbLegacyKey([&](char* key) { return EncryptData(data, key, inp); });
}

extern "C" int DbDecryptData(char* data, char* otp) {
    if (data == nullptr) return 0;
    return withDbLegacyKey([&](char* key) { return DecryptData(data, key, otp); });
}
