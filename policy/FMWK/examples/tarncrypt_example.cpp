// Encrypts a secret with the AES text transform and decrypts it again, the way the kit's
// callers do: salt from two texts, pad, encrypt; decrypt, trim.
//   tarncrypt_example [secret [master-key [salt-text-1 salt-text-2]]]
#include <cstdio>
#include <cstring>
#include <vector>

#include "encDec.h"

int main(int argc, char** argv) {
    const char* secret = argc > 1 ? argv[1] : "demo-password-42";
    const char* keyText = argc > 2 ? argv[2] : "DemoMasterKey016";
    char crit1[64] = "subscriber";
    char crit2[64] = "policy";
    if (argc > 4) {
        std::snprintf(crit1, sizeof crit1, "%s", argv[3]);
        std::snprintf(crit2, sizeof crit2, "%s", argv[4]);
    }
    const size_t secretLen = std::strlen(secret);
    if (secretLen == 0 || secretLen > 256) {
        std::printf("tarncrypt_example: the secret must have 1 to 256 characters\n");
        return 1;
    }

    char masterKey[17] = {};  // a shorter key is followed by zero bytes
    std::snprintf(masterKey, sizeof masterKey, "%s", keyText);
    char salt[3] = {};
    computeSalt(crit1, crit2, salt);

    std::vector<char> plain((secretLen + 15) / 16 * 16 + 1, '\0');
    std::memcpy(plain.data(), secret, secretLen);
    const int padded = pad(plain.data(), static_cast<unsigned>(plain.size()));
    std::vector<char> text(aesTextCapacity(static_cast<size_t>(padded)), '\0');
    AES_128_CBC_Encrypt(plain.data(), text.data(), padded, 1, salt, masterKey);

    std::vector<char> back(aesPlainCapacity(std::strlen(text.data())), '\0');
    AES_128_CBC_Encrypt(text.data(), back.data(), 0, 0, salt, masterKey);
    trim(back.data());

    std::printf("salt \"%s\" (from \"%s\" + \"%s\")\n", salt, crit1, crit2);
    std::printf("AES text (%zu characters):\n%s\n", std::strlen(text.data()), text.data());
    std::printf("decrypted: \"%s\"\n", back.data());
    const bool same = std::strcmp(back.data(), secret) == 0;
    std::printf("round trip: %s\n", same ? "ok" : "MISMATCH");
    return same ? 0 : 1;
}
