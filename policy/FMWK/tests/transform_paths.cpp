// Runs the AES text transform over fixed texts in a fresh process, on one path of its cipher,
// and prints every text and what it opens to; the test runs it once per path and compares.
//   transform_paths low-level     the first long calls of a process: the low-level cipher
//   transform_paths evp           after 16 long calls: EVP
//   transform_paths evp-failing   after 16 long calls, with every EVP update failing (and
//                                 scribbling over its output first): the low-level cipher
// OpenSSL's two cipher entry points are interposed here to count which one did the work;
// the process exits 1 when the path taken is not the one asked for.
#include <dlfcn.h>
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "encDec.h"

namespace {

int lowLevelCalls = 0;
int evpCalls = 0;
bool failEvp = false;

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" void AES_cbc_encrypt(const unsigned char* in, unsigned char* out, size_t length,
                                const AES_KEY* key, unsigned char* ivec, const int enc) {
    ++lowLevelCalls;
    static const auto real = next<decltype(&AES_cbc_encrypt)>("AES_cbc_encrypt");
    real(in, out, length, key, ivec, enc);
}

extern "C" int EVP_CipherUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outl,
                                const unsigned char* in, int inl) {
    ++evpCalls;
    if (failEvp) {
        std::memset(out, 0xA5, static_cast<size_t>(inl));
        return 0;
    }
    static const auto real = next<decltype(&EVP_CipherUpdate)>("EVP_CipherUpdate");
    return real(ctx, out, outl, in, inl);
}

namespace {

constexpr int warmUpCalls = 16;  // long calls before the transform turns to EVP
char key[17] = "paths-master-key";
const char salt[3] = "Pq";

std::string encrypt(std::string plain) {
    std::string text(aesTextCapacity(plain.size()), '\0');
    AES_128_CBC_Encrypt(&plain[0], &text[0], static_cast<int>(plain.size()), 1, salt, key);
    return text.c_str();
}

std::string decrypt(std::string text) {
    std::string plain(aesPlainCapacity(text.size()), '\0');
    AES_128_CBC_Encrypt(&text[0], &plain[0], 0, 0, salt, key);
    return plain.c_str();
}

void fail(const char* what) {
    std::fprintf(stderr, "transform_paths: %s (low-level %d, EVP %d)\n", what, lowLevelCalls,
                 evpCalls);
}

// Long calls up to the switch, each through the low-level cipher.
bool warmUp() {
    for (int i = 0; i < warmUpCalls; ++i)
        encrypt(std::string(32, 'w'));
    if (lowLevelCalls != warmUpCalls || evpCalls != 0) {
        fail("warm-up not low-level");
        return false;
    }
    lowLevelCalls = 0;
    return true;
}

// Prints the texts of one short and three long plaintexts and what each opens to; counts the
// long calls.
int printTexts() {
    int longCalls = 0;
    for (size_t n : {16, 32, 48, 256}) {
        std::string plain(n, ' ');
        for (size_t i = 0; i < n; ++i)
            plain[i] = static_cast<char>('!' + (i * 7 + n) % 90);
        const std::string text = encrypt(plain);
        std::printf("%zu %s\n%s\n", n, decrypt(text) == plain ? "opens" : "differs", text.c_str());
        if (n > 16) longCalls += 2;
    }
    return longCalls;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "";
    if (path != "low-level" && path != "evp" && path != "evp-failing") {
        std::fprintf(stderr, "usage: transform_paths low-level|evp|evp-failing\n");
        return 2;
    }
    if (path != "low-level" && !warmUp()) return 1;
    failEvp = path == "evp-failing";
    const int longCalls = printTexts();
    const int shortCalls = 2;
    const int expectedEvp = path == "low-level" ? 0 : longCalls;
    const int expectedLowLevel = path == "evp" ? shortCalls : shortCalls + longCalls;
    if (evpCalls != expectedEvp || lowLevelCalls != expectedLowLevel) {
        fail(("not the " + path + " path").c_str());
        return 1;
    }
    return 0;
}
