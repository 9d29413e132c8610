// Which OpenSSL interface encrypts a call's blocks, and why.
//
// One block, the common case (short passwords, the tool's salt block), goes through the
// table-based low-level cipher: its key schedule is cheap, a prepared key skips even that, and
// a short-lived process that only handles such texts never pays EVP's first-call provider
// loading. Longer texts go through EVP, whose AES-NI wins from the second block on, once the
// process has shown it handles many of them (see evpPaysOff). Both give the same bytes, so a
// failing EVP call falls back to the low-level cipher.
//
// A prepared key (a key used for many texts, as a database backend uses the server's key) has
// its schedules built once into the caller's storage, which the caller may lock and keep out of
// core dumps. EVP keeps its schedules in memory of its own, so prepared keys use AES-NI
// directly where the processor has it (the table-based low-level cipher is the slowest part of
// a one-block call), and the low-level schedules elsewhere.
//
// Each engine earns its place in bench/engines.md: AES-NI quarters a prepared one-block call
// against the low-level cipher and keeps the round keys in the caller's storage, which EVP
// cannot; the low-level cipher is the fastest one-block call without a prepared key or without
// AES-NI, and spares one-shot programs EVP's provider loading; EVP beats the tables on long
// texts, with or without AES-NI.
//
// TARN_AES_ENGINE=evp|low-level|aes-ni in the environment, read once per process, makes every
// call take that engine, so that the tests can check each one on a machine whose processor
// would otherwise choose for them. AES-NI is only taken where the processor has it.
#include "aesBackend.h"

#include <immintrin.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "encDec.h"
#include "tarnSecrets.h"

namespace {

constexpr size_t lowLevelLimit = tarnAesBlockBytes;

// AES-128's ten rounds take eleven round keys of four words; the words behind them are never
// written.
constexpr size_t aes128ScheduleBytes = sizeof(AES_KEY::rd_key[0]) * 4 * 11;

// Fetched once per process (the fetch is what makes a stateless EVP call slow) and shared by
// every thread: a fetched cipher is only read. Null when no provider offers it; the low-level
// cipher then does every call.
const EVP_CIPHER* fetchedAes128Cbc() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return cipher;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// A context per call: measured faster than re-initialising a kept one, and OpenSSL wipes the
// key schedule when it frees the context, so no key material outlives the call. OpenSSL's block
// update checks its sizes before it writes.
bool evpCbc(const unsigned char* in, unsigned char* out, size_t n, const unsigned char* key,
            const unsigned char* iv, bool encrypt) {
    const EVP_CIPHER* cipher = fetchedAes128Cbc();
    if (cipher == nullptr) return false;
    const std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        return false;
    }
    int outLen = 0;
    return EVP_CipherUpdate(ctx.get(), out, &outLen, in, static_cast<int>(n)) == 1 &&
           static_cast<size_t>(outLen) == n;
}

void wipeSchedule(AES_KEY* schedule) {
    wipeSecret(schedule->rd_key, aes128ScheduleBytes);
}

void runLowLevel(const unsigned char* in, unsigned char* out, size_t n, const AES_KEY* schedule,
                 const unsigned char* iv, bool encrypt) {
    unsigned char ivCopy[tarnAesBlockBytes];
    std::memcpy(ivCopy, iv, tarnAesBlockBytes);
    AES_cbc_encrypt(in, out, n, schedule, ivCopy, encrypt ? AES_ENCRYPT : AES_DECRYPT);
}

// False, with out untouched, when the key schedule cannot be built.
bool lowLevelCbc(const unsigned char* in, unsigned char* out, size_t n, const AesKeyRef& key,
                 const unsigned char* iv, bool encrypt) {
    if (key.schedules != nullptr) {
        const auto& lowLevel = key.schedules->lowLevel;
        runLowLevel(in, out, n, encrypt ? &lowLevel.encrypt : &lowLevel.decrypt, iv, encrypt);
        return true;
    }
    AES_KEY schedule;
    const int scheduled = encrypt ? AES_set_encrypt_key(key.bytes, 128, &schedule)
                                  : AES_set_decrypt_key(key.bytes, 128, &schedule);
    if (scheduled == 0) runLowLevel(in, out, n, &schedule, iv, encrypt);
    wipeSchedule(&schedule);
    return scheduled == 0;
}

// EVP's first use in a process loads its providers, which costs as much as about a thousand
// long low-level calls. So a process switches to EVP only after it has shown that it handles
// many long texts: one-shot programs such as the command-line tool, which make two or three
// calls, never pay the loading, and a database backend pays it once.
constexpr unsigned evpWarmUpCalls = 16;

bool evpPaysOff(size_t n) {
    if (n <= lowLevelLimit) return false;
    static std::atomic<unsigned> longCalls{0};
    if (longCalls.load(std::memory_order_relaxed) >= evpWarmUpCalls) return true;
    longCalls.fetch_add(1, std::memory_order_relaxed);
    return false;
}

// ---- AES-NI, for prepared keys ----

// Unoptimised code keeps every intrinsic's operands in stack slots that no wipe of a named
// variable reaches, among them the key itself (the first encryption and the last decryption
// round key). This overwrites the stack below the caller once the AES-NI code has returned.
// Optimised code keeps them in registers, so only the key schedule, built once per key, pays
// for it there.
constexpr size_t niStackDepth = 2048;

__attribute__((noinline)) void wipeStackBelow() {
    unsigned char area[niStackDepth];
    wipeSecret(area, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

#ifdef __OPTIMIZE__
constexpr bool niSpillsToStack = false;
#else
constexpr bool niSpillsToStack = true;
#endif

#define TARN_AESNI __attribute__((target("aes,sse2")))

bool processorHasAesNi() {
    static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
    return has;
}

TARN_AESNI __m128i expandRound(__m128i key, __m128i assist) {
    assist = _mm_shuffle_epi32(assist, _MM_SHUFFLE(3, 3, 3, 3));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

// The round constant must be an immediate operand, so each round is spelled out.
TARN_AESNI void buildNiRoundKeys(const unsigned char* key, AesNiRoundKeys* keys) {
    __m128i rk[11];
    rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    rk[1] = expandRound(rk[0], _mm_aeskeygenassist_si128(rk[0], 0x01));
    rk[2] = expandRound(rk[1], _mm_aeskeygenassist_si128(rk[1], 0x02));
    rk[3] = expandRound(rk[2], _mm_aeskeygenassist_si128(rk[2], 0x04));
    rk[4] = expandRound(rk[3], _mm_aeskeygenassist_si128(rk[3], 0x08));
    rk[5] = expandRound(rk[4], _mm_aeskeygenassist_si128(rk[4], 0x10));
    rk[6] = expandRound(rk[5], _mm_aeskeygenassist_si128(rk[5], 0x20));
    rk[7] = expandRound(rk[6], _mm_aeskeygenassist_si128(rk[6], 0x40));
    rk[8] = expandRound(rk[7], _mm_aeskeygenassist_si128(rk[7], 0x80));
    rk[9] = expandRound(rk[8], _mm_aeskeygenassist_si128(rk[8], 0x1b));
    rk[10] = expandRound(rk[9], _mm_aeskeygenassist_si128(rk[9], 0x36));
    for (int i = 0; i <= 10; ++i) {
        _mm_store_si128(reinterpret_cast<__m128i*>(keys->encrypt[i]), rk[i]);
        // The equivalent inverse cipher: the encryption keys reversed, the middle ones mixed.
        const __m128i inverse = (i == 0 || i == 10) ? rk[10 - i] : _mm_aesimc_si128(rk[10 - i]);
        _mm_store_si128(reinterpret_cast<__m128i*>(keys->decrypt[i]), inverse);
    }
    wipeSecret(rk, sizeof rk);
}

TARN_AESNI void niCbcEncrypt(const unsigned char* in, unsigned char* out, size_t n,
                             const AesNiRoundKeys& keys, const unsigned char* iv) {
    const auto* rk = reinterpret_cast<const __m128i*>(keys.encrypt);
    __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
    for (size_t at = 0; at < n; at += tarnAesBlockBytes) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
        x = _mm_xor_si128(_mm_xor_si128(x, chain), _mm_load_si128(rk));
        for (int round = 1; round < 10; ++round)
            x = _mm_aesenc_si128(x, _mm_load_si128(rk + round));
        chain = _mm_aesenclast_si128(x, _mm_load_si128(rk + 10));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), chain);
    }
}

TARN_AESNI void niCbcDecrypt(const unsigned char* in, unsigned char* out, size_t n,
                             const AesNiRoundKeys& keys, const unsigned char* iv) {
    const auto* dk = reinterpret_cast<const __m128i*>(keys.decrypt);
    __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
    for (size_t at = 0; at < n; at += tarnAesBlockBytes) {
        const __m128i cipher = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at));
        __m128i x = _mm_xor_si128(cipher, _mm_load_si128(dk));
        for (int round = 1; round < 10; ++round)
            x = _mm_aesdec_si128(x, _mm_load_si128(dk + round));
        x = _mm_aesdeclast_si128(x, _mm_load_si128(dk + 10));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_xor_si128(x, chain));
        chain = cipher;
    }
}

enum class Engine { chosenPerCall, evp, lowLevel, aesNi };

Engine engineNamed(const char* name) {
    if (name == nullptr) return Engine::chosenPerCall;
    if (std::strcmp(name, "evp") == 0) return Engine::evp;
    if (std::strcmp(name, "low-level") == 0) return Engine::lowLevel;
    if (std::strcmp(name, "aes-ni") == 0 && processorHasAesNi()) return Engine::aesNi;
    return Engine::chosenPerCall;
}

Engine forcedEngine() {
    static const Engine engine = engineNamed(std::getenv("TARN_AES_ENGINE"));
    return engine;
}

void niCbc(const unsigned char* in, unsigned char* out, size_t n, const AesNiRoundKeys& keys,
           const unsigned char* iv, bool encrypt) {
    if (encrypt) {
        niCbcEncrypt(in, out, n, keys, iv);
    } else {
        niCbcDecrypt(in, out, n, keys, iv);
    }
    if (niSpillsToStack) wipeStackBelow();
}

void buildNiSchedule(const unsigned char* key, AesNiRoundKeys* keys) {
    buildNiRoundKeys(key, keys);
    wipeStackBelow();
}

// Round keys for one call, built in storage that is wiped before the call returns.
void niCbcUnprepared(const unsigned char* in, unsigned char* out, size_t n,
                     const unsigned char* key, const unsigned char* iv, bool encrypt) {
    AesNiRoundKeys keys;
    buildNiSchedule(key, &keys);
    niCbc(in, out, n, keys, iv, encrypt);
    wipeSecret(&keys, sizeof keys);
}

bool forcedCbc(Engine engine, const unsigned char* in, unsigned char* out, size_t n,
               const AesKeyRef& key, const unsigned char* iv, bool encrypt) {
    if (engine == Engine::aesNi) {
        if (key.schedules != nullptr && key.schedules->usesNi) {
            niCbc(in, out, n, key.schedules->ni, iv, encrypt);
        } else {
            niCbcUnprepared(in, out, n, key.bytes, iv, encrypt);
        }
        return true;
    }
    if (engine == Engine::evp && evpCbc(in, out, n, key.bytes, iv, encrypt)) return true;
    return lowLevelCbc(in, out, n, key, iv, encrypt);
}

bool preparesNiKeys() {
    const Engine engine = forcedEngine();
    return engine == Engine::aesNi || (engine == Engine::chosenPerCall && processorHasAesNi());
}

}  // namespace

bool buildAesSchedules(const unsigned char* key, AesSchedules* schedules) {
    wipeAesSchedules(schedules);
    schedules->usesNi = preparesNiKeys();
    if (schedules->usesNi) {
        buildNiSchedule(key, &schedules->ni);
        return true;
    }
    if (AES_set_encrypt_key(key, 128, &schedules->lowLevel.encrypt) == 0 &&
        AES_set_decrypt_key(key, 128, &schedules->lowLevel.decrypt) == 0) {
        return true;
    }
    wipeAesSchedules(schedules);
    return false;
}

void wipeAesSchedules(AesSchedules* schedules) {
    wipeSecret(schedules, sizeof *schedules);
}

bool aesCbc(const unsigned char* in, unsigned char* out, size_t n, const AesKeyRef& key,
            const unsigned char* iv, bool encrypt) {
    const Engine engine = forcedEngine();
    if (engine != Engine::chosenPerCall) return forcedCbc(engine, in, out, n, key, iv, encrypt);
    if (key.schedules != nullptr && key.schedules->usesNi) {
        niCbc(in, out, n, key.schedules->ni, iv, encrypt);
        return true;
    }
    if (evpPaysOff(n) && evpCbc(in, out, n, key.bytes, iv, encrypt)) return true;
    return lowLevelCbc(in, out, n, key, iv, encrypt);
}
