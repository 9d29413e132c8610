// Prints what libtarncrypt itself gives for the arguments, so that a shell script can set it
// beside what SQL gives for the same ones:
//
//   dbcipher_peer aes-encrypt <text> <salt> <key>   AES text of the space-padded text
//   dbcipher_peer aes-decrypt <text> <salt> <key>   plaintext, padding spaces trimmed
//   dbcipher_peer iv <salt>                         derived IV in hex, for pgcrypto's encrypt_iv
//   dbcipher_peer legacy-encrypt <text>             DbEncryptData
//   dbcipher_peer legacy-decrypt <text>             DbDecryptData (exit 1 when it refuses)
//
// Salt and key are used the way the tool and dbcipher use them: shorter ones continue with
// zero bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encDec.h"

namespace {

std::vector<char> zeroExtended(const char* text, size_t width) {
    std::vector<char> buffer(std::max(std::strlen(text), width) + 1, '\0');
    std::memcpy(buffer.data(), text, std::strlen(text));
    return buffer;
}

int aesEncrypt(const char* text, const char* salt, const char* key) {
    const size_t len = std::strlen(text);
    const size_t padded = (len + tarnAesBlockBytes - 1) / tarnAesBlockBytes * tarnAesBlockBytes;
    std::vector<char> plain = zeroExtended(text, padded);
    pad(plain.data(), static_cast<unsigned int>(plain.size()));
    std::vector<char> out(aesTextCapacity(padded), '\0');
    AES_128_CBC_Encrypt(plain.data(), out.data(), static_cast<int>(padded), 1,
                        zeroExtended(salt, 2).data(), zeroExtended(key, 16).data());
    std::printf("%s\n", out.data());
    return 0;
}

int aesDecrypt(const char* text, const char* salt, const char* key) {
    std::vector<char> in = zeroExtended(text, 0);
    std::vector<char> out(aesPlainCapacity(std::strlen(text)), '\0');
    AES_128_CBC_Encrypt(in.data(), out.data(), 0, 0, zeroExtended(salt, 2).data(),
                        zeroExtended(key, 16).data());
    trim(out.data());
    std::printf("%s\n", out.data());
    return 0;
}

int printIv(const char* salt) {
    const std::vector<char> s = zeroExtended(salt, 2);
    unsigned char iv[tarnAesBlockBytes] = {};
    // The transform widens each salt byte by sign.
    getKey(static_cast<UINT32>(static_cast<int>(static_cast<signed char>(s[0]))),
           static_cast<UINT32>(static_cast<int>(static_cast<signed char>(s[1]))), nullptr, iv, 2);
    for (unsigned char b : iv)
        std::printf("%02x", b);
    std::printf("\n");
    return 0;
}

// Prints what DbEncryptData or DbDecryptData writes into a buffer of the given size; exit
// status 1 when it refuses the text.
int printLegacy(int (*transform)(char*, char*), const char* text, size_t capacity) {
    std::vector<char> in = zeroExtended(text, 0);
    std::vector<char> out(capacity, '\0');
    if (transform(in.data(), out.data()) != 1) return 1;
    std::printf("%s\n", out.data());
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: dbcipher_peer aes-encrypt|aes-decrypt <text> <salt> <key>\n"
                 "       dbcipher_peer iv <salt>\n"
                 "       dbcipher_peer legacy-encrypt|legacy-decrypt <text>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (argc == 5 && command == "aes-encrypt") return aesEncrypt(argv[2], argv[3], argv[4]);
    if (argc == 5 && command == "aes-decrypt") return aesDecrypt(argv[2], argv[3], argv[4]);
    if (argc == 3 && command == "iv") return printIv(argv[2]);
    if (argc == 3 && command == "legacy-encrypt") {
        return printLegacy(DbEncryptData, argv[2], legacyTextCapacity(std::strlen(argv[2])));
    }
    if (argc == 3 && command == "legacy-decrypt") {
        return printLegacy(DbDecryptData, argv[2], legacyPlainCapacity(std::strlen(argv[2])));
    }
    return usage();
}
