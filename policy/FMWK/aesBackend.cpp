// Which OpenSSL interface encrypts a call's blocks, and why.
//
// One block, the common case (short passwords, the tool's salt block), goes through the
// table-based low-level cipher: its key schedule is cheap, a prepared key skips even that, and
// a short-lived process that only handles such texts never pays EVP's first-call provider
// loading. Longer texts go through EVP, whose AES-NI wins from the second block on, once the
// process has shown it handles many of them (see evpPaysOff). Both give the same bytes, so a
// failing EVP call falls back to the low-level cipher. Figures are in bench/.
#include "aesBackend.h"

#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "tarnSecrets.h"

namespace {

constexpr size_t aesBlock = 16;
constexpr size_t lowLevelLimit = 16;

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
    unsigned char ivCopy[aesBlock];
    std::memcpy(ivCopy, iv, aesBlock);
    AES_cbc_encrypt(in, out, n, schedule, ivCopy, encrypt ? AES_ENCRYPT : AES_DECRYPT);
}

// False, with out untouched, when the key schedule cannot be built.
bool lowLevelCbc(const unsigned char* in, unsigned char* out, size_t n, const AesKeyRef& key,
                 const unsigned char* iv, bool encrypt) {
    if (key.schedules != nullptr) {
        runLowLevel(in, out, n, encrypt ? &key.schedules->encrypt : &key.schedules->decrypt, iv,
                    encrypt);
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

}  // namespace

bool buildAesSchedules(const unsigned char* key, AesSchedules* schedules) {
    if (AES_set_encrypt_key(key, 128, &schedules->encrypt) == 0 &&
        AES_set_decrypt_key(key, 128, &schedules->decrypt) == 0) {
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
    if (evpPaysOff(n) && evpCbc(in, out, n, key.bytes, iv, encrypt)) return true;
    return lowLevelCbc(in, out, n, key, iv, encrypt);
}
