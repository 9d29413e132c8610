// The platform's key files and the fingerprint of a master key, shared by morvex and the
// database modules so that all read a file alike and name a key alike. Private to the project: not
// installed.
//
// A key file's first line holds a 13-character lead-in that is not examined, then the master
// key: at most 16 characters, a line end within them included (that is how the platform's
// tools have always read it). A shorter key counts as its characters followed by zero bytes.
#ifndef TARNCRYPT_KEYFILE_H
#define TARNCRYPT_KEYFILE_H

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "encDec.h"
#include "tarnSecrets.h"

inline constexpr size_t keyFileKeyBytes = tarnAesKeyBytes;
inline constexpr size_t keyFileLeadInLength = 13;
// The key and a terminator.
inline constexpr size_t keyFileKeyBufferSize = keyFileKeyBytes + 1;

enum class KeyFileStatus {
    ok,
    cannotOpen,  // open(2) failed; errorNumber says why
    notRegular,  // a directory, FIFO, socket or device
    refused,     // the caller's accept() turned the file down before it was read
    readFailed,  // read(2) failed; errorNumber says why
};

struct KeyFileResult {
    KeyFileStatus status;
    int errorNumber;
    struct stat info;
};

namespace keyfile_detail {

constexpr size_t lineBufferSize = 31;
constexpr size_t lineReadLimit = 29;

// What fgets with a limit of 30 leaves in the zero-filled line: at most 29 characters, up to
// and including the first line end. False on a read error.
inline bool readFirstLine(int fd, char (&line)[lineBufferSize]) {
    size_t have = 0;
    while (have < lineReadLimit) {
        const ssize_t n = read(fd, line + have, lineReadLimit - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    if (char* end = static_cast<char*>(std::memchr(line, '\n', have))) {
        std::memset(end + 1, 0, static_cast<size_t>(line + have - (end + 1)));
    }
    return true;
}

}  // namespace keyfile_detail

// Reads the master key of the file at path into the zero-filled key. Opening never waits (a
// FIFO would wait for a writer; O_NONBLOCK changes nothing for a regular file), and the file is
// checked once open: only a regular file that accept(info) takes is read. Read with read(2), so
// that no stdio buffer keeps a copy. A short or empty first line gives a short or empty key.
template <class Accept>
KeyFileResult readKeyFile(const char* path, char (&key)[keyFileKeyBufferSize], Accept accept) {
    KeyFileResult result{KeyFileStatus::ok, 0, {}};
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {KeyFileStatus::cannotOpen, errno, {}};
    WipedBuffer<keyfile_detail::lineBufferSize> line;
    if (fstat(fd, &result.info) != 0) {
        result = {KeyFileStatus::cannotOpen, errno, {}};
    } else if (!S_ISREG(result.info.st_mode)) {
        result.status = KeyFileStatus::notRegular;
    } else if (!accept(result.info)) {
        result.status = KeyFileStatus::refused;
    } else if (!keyfile_detail::readFirstLine(fd, line.bytes)) {
        result.status = KeyFileStatus::readFailed;
        result.errorNumber = errno;
    }
    close(fd);
    std::memset(key, 0, sizeof key);
    if (result.status == KeyFileStatus::ok) {
        // A zero byte in the file ends the key, as it ends any string the platform reads.
        const char* start = line.bytes + keyFileLeadInLength;
        std::memcpy(key, start, strnlen(start, keyFileKeyBytes));
    }
    return result;
}

inline KeyFileResult readKeyFile(const char* path, char (&key)[keyFileKeyBufferSize]) {
    return readKeyFile(path, key, [](const struct stat&) { return true; });
}

// PostgreSQL's rule for ssl_key_file, which the kit applies to every key file read on behalf of
// others (the database server's keys, the old key of a re-key): owned by the reading user
// with no group or other access, or by root with at most group read.
enum class KeyFileOwnership {
    kept,
    owner,   // owned by neither the reading user nor root
    access,  // more access than the owner allows
};

inline KeyFileOwnership keyFileOwnershipBroken(const struct stat& info) {
    const bool ownedByReader = info.st_uid == geteuid();
    if (!ownedByReader && info.st_uid != 0) return KeyFileOwnership::owner;
    const mode_t forbidden = ownedByReader ? (S_IRWXG | S_IRWXO) : (S_IWGRP | S_IXGRP | S_IRWXO);
    return (info.st_mode & forbidden) != 0 ? KeyFileOwnership::access : KeyFileOwnership::kept;
}

// A short name for a master key that does not give it away: the first 8 bytes, in hex, of
// HMAC-SHA-256 over a fixed label under the 16 key bytes (a shorter key followed by zero
// bytes). Two holders of one key print the same fingerprint. False when OpenSSL fails.
inline constexpr size_t keyFingerprintBytes = 8;
inline constexpr size_t keyFingerprintTextSize = 2 * keyFingerprintBytes + 1;

inline bool keyFingerprint(const char* key, char (&text)[keyFingerprintTextSize]) {
    static constexpr char label[] = "tarncrypt master key fingerprint 1";
    unsigned char block[keyFileKeyBytes] = {};
    std::memcpy(block, key, strnlen(key, keyFileKeyBytes));
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macLength = 0;
    const bool made =
        HMAC(EVP_sha256(), block, sizeof block, reinterpret_cast<const unsigned char*>(label),
             sizeof label - 1, mac, &macLength) != nullptr &&
        macLength >= keyFingerprintBytes;
    wipeSecret(block, sizeof block);
    if (made) {
        for (size_t i = 0; i < keyFingerprintBytes; ++i)
            std::snprintf(text + 2 * i, 3, "%02x", mac[i]);
    }
    wipeSecret(mac, sizeof mac);
    return made;
}

#endif  // TARNCRYPT_KEYFILE_H
