// The AES-128-CBC block layer under the text transform: which OpenSSL interface does a call.
// Private to the library.
#ifndef TARNCRYPT_AESBACKEND_H
#define TARNCRYPT_AESBACKEND_H

#include <openssl/aes.h>

#include <cstddef>

// A key's schedules, built once for a key used many times: AES-NI round keys where the
// processor has them, OpenSSL's low-level schedules otherwise.
struct AesNiRoundKeys {
    alignas(16) unsigned char encrypt[11][16];
    alignas(16) unsigned char decrypt[11][16];
};

struct AesSchedules {
    union {
        AesNiRoundKeys ni;
        struct {
            AES_KEY encrypt;
            AES_KEY decrypt;
        } lowLevel;
    };
    bool usesNi;
};

// A key for one call: its 16 bytes, and its schedules when the caller prepared them.
struct AesKeyRef {
    const unsigned char* bytes;
    const AesSchedules* schedules;  // null: built (and wiped) in the call
};

// False, with schedules wiped, when OpenSSL cannot build them.
bool buildAesSchedules(const unsigned char* key, AesSchedules* schedules);
void wipeAesSchedules(AesSchedules* schedules);

// CBC over n bytes (whole blocks), in place allowed. False, with out left as it was or about
// to be written whole by the other interface, only when no interface could run.
bool aesCbc(const unsigned char* in, unsigned char* out, size_t n, const AesKeyRef& key,
            const unsigned char* iv, bool encrypt);

#endif  // TARNCRYPT_AESBACKEND_H
