// The library's costs per call, next to the floors that OpenSSL sets in the same run: AES-128-CBC
// with a fresh key schedule per call (low-level AES_*, and EVP with a cipher fetched once) plus
// a plain Base64 pass over the same bytes. The transform should stay within 1.1x of the best
// floor of its direction and size.
#include <benchmark/benchmark.h>
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "encDec.h"

namespace {

char masterKey[17] = "0123456789abcdef";
const char salt[3] = "Rq";
const unsigned char rawKey[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                  '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
const unsigned char rawIv[16] = {0x47, 0x8D, 0x77, 0x3B, 0xF6, 0xA7, 0xAA, 0xBA,
                                 0xE1, 0x1F, 0x6B, 0xCC, 0xE8, 0xCE, 0xD8, 0x84};

std::vector<char> plaintext(size_t n) {
    std::vector<char> plain(n + 1, '\0');
    for (size_t i = 0; i < n; ++i)
        plain[i] = static_cast<char>('a' + i % 26);
    return plain;
}

std::string transformText(size_t n) {
    std::vector<char> plain = plaintext(n);
    std::vector<char> text(aesTextCapacity(n), '\0');
    AES_128_CBC_Encrypt(plain.data(), text.data(), static_cast<int>(n), 1, salt, masterKey);
    return text.data();
}

// ---- The library ------------------------------------------------------------------------

void TransformEncrypt(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<char> plain = plaintext(n);
    std::vector<char> text(aesTextCapacity(n), '\0');
    for (auto _ : state) {
        AES_128_CBC_Encrypt(plain.data(), text.data(), static_cast<int>(n), 1, salt, masterKey);
        benchmark::DoNotOptimize(text.data());
    }
}

void TransformDecrypt(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::string text = transformText(n);
    std::vector<char> plain(aesPlainCapacity(text.size()), '\0');
    for (auto _ : state) {
        AES_128_CBC_Encrypt(&text[0], plain.data(), 0, 0, salt, masterKey);
        benchmark::DoNotOptimize(plain.data());
    }
}

void IvDerivation(benchmark::State& state) {
    unsigned char iv[16];
    UINT32 k = 0;
    for (auto _ : state) {
        getKey(k, 66, nullptr, iv, 2);
        benchmark::DoNotOptimize(iv);
        k = (k + 1) & 0x7F;
    }
}

void CodecEncode(benchmark::State& state) {
    std::vector<char> bytes = plaintext(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        unsigned int len = 0;
        unsigned char* text = encode(reinterpret_cast<unsigned char*>(bytes.data()),
                                     static_cast<int>(state.range(0)), &len);
        benchmark::DoNotOptimize(text);
        delete[] text;
    }
}

void CodecDecode(benchmark::State& state) {
    std::vector<char> bytes = plaintext(static_cast<size_t>(state.range(0)));
    unsigned int len = 0;
    unsigned char* text = encode(reinterpret_cast<unsigned char*>(bytes.data()),
                                 static_cast<int>(state.range(0)), &len);
    for (auto _ : state) {
        unsigned char* decoded = decode(text, &len);
        benchmark::DoNotOptimize(decoded);
        delete[] decoded;
    }
    delete[] text;
}

void LegacyEncrypt(benchmark::State& state) {
    std::vector<char> clear = plaintext(static_cast<size_t>(state.range(0)));
    char key[] = "q7Vm2x";
    std::vector<char> text(legacyTextCapacity(clear.size() - 1), '\0');
    for (auto _ : state) {
        EncryptData(clear.data(), key, text.data());
        benchmark::DoNotOptimize(text.data());
    }
}

void LegacyDecrypt(benchmark::State& state) {
    std::vector<char> clear = plaintext(static_cast<size_t>(state.range(0)));
    char key[] = "q7Vm2x";
    std::vector<char> text(legacyTextCapacity(clear.size() - 1), '\0');
    EncryptData(clear.data(), key, text.data());
    std::vector<char> back(legacyPlainCapacity(std::strlen(text.data())), '\0');
    for (auto _ : state) {
        DecryptData(text.data(), key, back.data());
        benchmark::DoNotOptimize(back.data());
    }
}

// ---- Floors: raw cipher with a fresh key schedule, then plain Base64 ----------------------

const EVP_CIPHER* fetchedCipher() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return cipher;
}

void lowLevelCbc(const unsigned char* in, unsigned char* out, size_t n, int direction) {
    AES_KEY schedule;
    unsigned char iv[16];
    std::memcpy(iv, rawIv, 16);
    if (direction == AES_ENCRYPT) {
        AES_set_encrypt_key(rawKey, 128, &schedule);
    } else {
        AES_set_decrypt_key(rawKey, 128, &schedule);
    }
    AES_cbc_encrypt(in, out, n, &schedule, iv, direction);
}

void evpCbc(EVP_CIPHER_CTX* ctx, const unsigned char* in, unsigned char* out, size_t n,
            int encrypt) {
    int len = 0;
    EVP_CipherInit_ex2(ctx, fetchedCipher(), rawKey, rawIv, encrypt, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(n));
}

enum class Cipher { lowLevel, evpNewContext, evpKeptContext };

void runCipher(Cipher cipher, EVP_CIPHER_CTX* kept, const unsigned char* in, unsigned char* out,
               size_t n, bool encrypt) {
    switch (cipher) {
        case Cipher::lowLevel:
            lowLevelCbc(in, out, n, encrypt ? AES_ENCRYPT : AES_DECRYPT);
            break;
        case Cipher::evpNewContext: {
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            evpCbc(ctx, in, out, n, encrypt ? 1 : 0);
            EVP_CIPHER_CTX_free(ctx);
            break;
        }
        case Cipher::evpKeptContext:
            evpCbc(kept, in, out, n, encrypt ? 1 : 0);
            break;
    }
}

void FloorEncrypt(benchmark::State& state, Cipher cipher) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<char> plain = plaintext(n);
    std::vector<unsigned char> raw(n);
    std::vector<unsigned char> text(4 * ((n + 2) / 3) + 1);
    EVP_CIPHER_CTX* kept = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        runCipher(cipher, kept, reinterpret_cast<unsigned char*>(plain.data()), raw.data(), n,
                  true);
        EVP_EncodeBlock(text.data(), raw.data(), static_cast<int>(n));
        benchmark::DoNotOptimize(text.data());
    }
    EVP_CIPHER_CTX_free(kept);
}

void FloorDecrypt(benchmark::State& state, Cipher cipher) {
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<char> plain = plaintext(n);
    std::vector<unsigned char> raw(n);
    std::vector<unsigned char> text(4 * ((n + 2) / 3) + 1);
    lowLevelCbc(reinterpret_cast<unsigned char*>(plain.data()), raw.data(), n, AES_ENCRYPT);
    const int textLen = EVP_EncodeBlock(text.data(), raw.data(), static_cast<int>(n));
    std::vector<unsigned char> decoded(n + 3);
    EVP_CIPHER_CTX* kept = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        EVP_DecodeBlock(decoded.data(), text.data(), textLen);
        runCipher(cipher, kept, decoded.data(), raw.data(), n, false);
        benchmark::DoNotOptimize(raw.data());
    }
    EVP_CIPHER_CTX_free(kept);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(16)->Arg(48)->Arg(256);
}

BENCHMARK(TransformEncrypt)->Apply(sizes);
BENCHMARK(TransformDecrypt)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, lowLevel, Cipher::lowLevel)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, evpNewContext, Cipher::evpNewContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, evpKeptContext, Cipher::evpKeptContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, lowLevel, Cipher::lowLevel)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, evpNewContext, Cipher::evpNewContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, evpKeptContext, Cipher::evpKeptContext)->Apply(sizes);
BENCHMARK(IvDerivation);
BENCHMARK(CodecEncode)->Apply(sizes);
BENCHMARK(CodecDecode)->Apply(sizes);
BENCHMARK(LegacyEncrypt)->Arg(16);
BENCHMARK(LegacyDecrypt)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
