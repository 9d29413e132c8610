// The library's costs per call, next to the floors that OpenSSL sets in the same run: AES-128-CBC
// with a fresh key schedule per call (low-level AES_*, and EVP with a cipher fetched once, with a
// new or a kept context) plus a plain Base64 pass over the same bytes. The transform should stay
// within 1.1x of the best floor of its direction and size.
//
// The Versus* rows measure the transform and every floor in alternating batches inside one
// benchmark, so that load from elsewhere on the machine falls on all of them alike; their
// counters give the ratio to the best floor.
#include <benchmark/benchmark.h>
#include <openssl/aes.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "encDec.h"

namespace {

char masterKey[17] = "0123456789abcdef";
const char salt[3] = "Rq";
const unsigned char* rawKey = reinterpret_cast<const unsigned char*>(masterKey);
const unsigned char rawIv[16] = {0x47, 0x8D, 0x77, 0x3B, 0xF6, 0xA7, 0xAA, 0xBA,
                                 0xE1, 0x1F, 0x6B, 0xCC, 0xE8, 0xCE, 0xD8, 0x84};

std::vector<char> plaintext(size_t n) {
    std::vector<char> plain(n + 1, '\0');
    for (size_t i = 0; i < n; ++i)
        plain[i] = static_cast<char>('a' + i % 26);
    return plain;
}

const EVP_CIPHER* fetchedCipher() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return cipher;
}

enum class Cipher { lowLevel, evpNewContext, evpKeptContext };
const Cipher floors[] = {Cipher::lowLevel, Cipher::evpNewContext, Cipher::evpKeptContext};

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

// One direction at one size: the transform's buffers and the floors' buffers.
class Workload {
  public:
    Workload(size_t n, bool encrypt)
        : n_(n),
          encrypt_(encrypt),
          plain_(plaintext(n)),
          text_(aesTextCapacity(n), '\0'),
          raw_(n),
          base64_(base64EncodedLength(n) + 1),
          decoded_(n + 3),
          kept_(EVP_CIPHER_CTX_new()) {
        AES_128_CBC_Encrypt(plain_.data(), text_.data(), static_cast<int>(n), 1, salt, masterKey);
        lowLevelCbc(bytes(plain_), raw_.data(), n, AES_ENCRYPT);
        base64Len_ = EVP_EncodeBlock(base64_.data(), raw_.data(), static_cast<int>(n));
    }
    ~Workload() { EVP_CIPHER_CTX_free(kept_); }
    Workload(const Workload&) = delete;
    Workload& operator=(const Workload&) = delete;

    void transform() {
        if (encrypt_) {
            AES_128_CBC_Encrypt(plain_.data(), text_.data(), static_cast<int>(n_), 1, salt,
                                masterKey);
            benchmark::DoNotOptimize(text_.data());
        } else {
            AES_128_CBC_Encrypt(text_.data(), plain_.data(), 0, 0, salt, masterKey);
            benchmark::DoNotOptimize(plain_.data());
        }
    }

    // Raw cipher with a fresh key schedule, and plain Base64 on the matching side.
    void floor(Cipher cipher) {
        if (encrypt_) {
            runCipher(cipher, bytes(plain_), raw_.data());
            EVP_EncodeBlock(base64_.data(), raw_.data(), static_cast<int>(n_));
            benchmark::DoNotOptimize(base64_.data());
        } else {
            EVP_DecodeBlock(decoded_.data(), base64_.data(), base64Len_);
            runCipher(cipher, decoded_.data(), raw_.data());
            benchmark::DoNotOptimize(raw_.data());
        }
    }

  private:
    static unsigned char* bytes(std::vector<char>& v) {
        return reinterpret_cast<unsigned char*>(v.data());
    }

    void runCipher(Cipher cipher, const unsigned char* in, unsigned char* out) {
        switch (cipher) {
            case Cipher::lowLevel:
                lowLevelCbc(in, out, n_, encrypt_ ? AES_ENCRYPT : AES_DECRYPT);
                break;
            case Cipher::evpNewContext: {
                EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
                evpCbc(ctx, in, out, n_, encrypt_ ? 1 : 0);
                EVP_CIPHER_CTX_free(ctx);
                break;
            }
            case Cipher::evpKeptContext:
                evpCbc(kept_, in, out, n_, encrypt_ ? 1 : 0);
                break;
        }
    }

    size_t n_;
    bool encrypt_;
    std::vector<char> plain_;
    std::vector<char> text_;
    std::vector<unsigned char> raw_;
    std::vector<unsigned char> base64_;
    int base64Len_ = 0;
    std::vector<unsigned char> decoded_;
    EVP_CIPHER_CTX* kept_;
};

size_t sizeOf(const benchmark::State& state) {
    return static_cast<size_t>(state.range(0));
}

// ---- The library ------------------------------------------------------------------------

void TransformEncrypt(benchmark::State& state) {
    Workload work(sizeOf(state), true);
    for (auto _ : state)
        work.transform();
}

void TransformDecrypt(benchmark::State& state) {
    Workload work(sizeOf(state), false);
    for (auto _ : state)
        work.transform();
}

// The transform under a key prepared once, as a database backend holds the server's key.
void PreparedEncrypt(benchmark::State& state) {
    const size_t n = sizeOf(state);
    std::vector<char> plain = plaintext(n);
    std::vector<char> text(aesTextCapacity(n), '\0');
    TarnPreparedKey prepared;
    AES_128_CBC_PrepareKey(&prepared, masterKey);
    for (auto _ : state) {
        AES_128_CBC_EncryptPrepared(plain.data(), text.data(), static_cast<int>(n), 1, salt,
                                    &prepared);
        benchmark::DoNotOptimize(text.data());
    }
    AES_128_CBC_ForgetKey(&prepared);
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
    std::vector<char> bytes = plaintext(sizeOf(state));
    for (auto _ : state) {
        unsigned int len = 0;
        unsigned char* text = encode(reinterpret_cast<unsigned char*>(bytes.data()),
                                     static_cast<int>(state.range(0)), &len);
        benchmark::DoNotOptimize(text);
        delete[] text;
    }
}

// The codec's decoder stops at the first line feed, so texts of more than 54 bytes decode
// only their first line here; the transform rows show whole multi-line texts.
void CodecDecode(benchmark::State& state) {
    std::vector<char> bytes = plaintext(sizeOf(state));
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
    std::vector<char> clear = plaintext(sizeOf(state));
    char key[] = "q7Vm2x";
    std::vector<char> text(legacyTextCapacity(sizeOf(state)), '\0');
    for (auto _ : state) {
        EncryptData(clear.data(), key, text.data());
        benchmark::DoNotOptimize(text.data());
    }
}

void LegacyDecrypt(benchmark::State& state) {
    std::vector<char> clear = plaintext(sizeOf(state));
    char key[] = "q7Vm2x";
    std::vector<char> text(legacyTextCapacity(sizeOf(state)), '\0');
    EncryptData(clear.data(), key, text.data());
    std::vector<char> back(legacyPlainCapacity(std::strlen(text.data())), '\0');
    for (auto _ : state) {
        DecryptData(text.data(), key, back.data());
        benchmark::DoNotOptimize(back.data());
    }
}

// ---- Floors ---------------------------------------------------------------------------------

void FloorEncrypt(benchmark::State& state, Cipher cipher) {
    Workload work(sizeOf(state), true);
    for (auto _ : state)
        work.floor(cipher);
}

void FloorDecrypt(benchmark::State& state, Cipher cipher) {
    Workload work(sizeOf(state), false);
    for (auto _ : state)
        work.floor(cipher);
}

// ---- Side by side ---------------------------------------------------------------------------

template <class Step>
double batchNanoseconds(Step&& step) {
    constexpr int batch = 64;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < batch; ++i)
        step();
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / batch;
}

void versus(benchmark::State& state, bool encrypt) {
    Workload work(sizeOf(state), encrypt);
    double transform = 0;
    double floorTotals[3] = {};
    for (auto _ : state) {
        transform += batchNanoseconds([&] { work.transform(); });
        for (int f = 0; f < 3; ++f)
            floorTotals[f] += batchNanoseconds([&] { work.floor(floors[f]); });
    }
    const double runs = static_cast<double>(state.iterations());
    const double best = *std::min_element(std::begin(floorTotals), std::end(floorTotals));
    state.counters["transform_ns"] = transform / runs;
    state.counters["lowLevel_ns"] = floorTotals[0] / runs;
    state.counters["evpNew_ns"] = floorTotals[1] / runs;
    state.counters["evpKept_ns"] = floorTotals[2] / runs;
    state.counters["ratio"] = transform / best;
}

void VersusEncrypt(benchmark::State& state) {
    versus(state, true);
}
void VersusDecrypt(benchmark::State& state) {
    versus(state, false);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(16)->Arg(48)->Arg(256);
}

BENCHMARK(TransformEncrypt)->Apply(sizes);
BENCHMARK(TransformDecrypt)->Apply(sizes);
BENCHMARK(PreparedEncrypt)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, lowLevel, Cipher::lowLevel)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, evpNewContext, Cipher::evpNewContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorEncrypt, evpKeptContext, Cipher::evpKeptContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, lowLevel, Cipher::lowLevel)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, evpNewContext, Cipher::evpNewContext)->Apply(sizes);
BENCHMARK_CAPTURE(FloorDecrypt, evpKeptContext, Cipher::evpKeptContext)->Apply(sizes);
BENCHMARK(VersusEncrypt)->Apply(sizes);
BENCHMARK(VersusDecrypt)->Apply(sizes);
BENCHMARK(IvDerivation);
BENCHMARK(CodecEncode)->Apply(sizes);
BENCHMARK(CodecDecode)->Apply(sizes);
BENCHMARK(LegacyEncrypt)->Arg(16);
BENCHMARK(LegacyDecrypt)->Arg(16);

}  // namespace

BENCHMARK_MAIN();
