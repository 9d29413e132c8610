// Secret-handling helpers shared by the library, morvex and dbcipher: wiping, buffers that wipe
// themselves, and the database legacy key. Private to the project: not installed, not exported.
#ifndef TARNCRYPT_TARNSECRETS_H
#define TARNCRYPT_TARNSECRETS_H

#include <cstddef>

#include "wipeSecret.h"

// A zero-filled buffer for key or clear-text bytes, wiped when it goes out of scope. Never in
// a frame that a PostgreSQL ERROR can unwind: the longjmp skips the destructor.
template <size_t size>
struct WipedBuffer {
    char bytes[size] = {};

    WipedBuffer() = default;
    WipedBuffer(const WipedBuffer&) = delete;
    WipedBuffer& operator=(const WipedBuffer&) = delete;
    ~WipedBuffer() { wipeSecret(bytes, size); }
};

// The database legacy key, shared by the library's Db* entry points and dbcipher's encr/decr.
// It is assembled on the stack at each call so that it never stands in the binary as one
// string.
inline constexpr unsigned dbLegacyKeySize = 7;  // six characters and the terminator

inline void buildDbLegacyKey(char (&key)[dbLegacyKeySize]) {
    key[0] = 'q';
    key[1] = '7';
    key[2] = 'V';
    key[3] = 'm';
    key[4] = '2';
    key[5] = 'x';
    key[6] = '\0';
}

// Runs call(key) under the database legacy key, which is wiped before this returns. call must
// not throw or longjmp: the key would stay on the stack.
template <class Call>
int withDbLegacyKey(Call call) {
    char key[dbLegacyKeySize];
    buildDbLegacyKey(key);
    const int result = call(key);
    wipeSecret(key, sizeof key);
    return result;
}

#endif  // TARNCRYPT_TARNSECRETS_H
