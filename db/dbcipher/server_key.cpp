// The server-held master keys; see server_key.h for what they promise.
#include "server_key.h"

#include <cstring>

#include "aes_encr_wrapper.h"
#include "keyFile.h"
#include "server_key_file.h"
#include "sql_call.h"
#include "tarnSecrets.h"

extern "C" {
#include "postgres.h"

#include "storage/ipc.h"
#include "utils/guc.h"
}

namespace {

constexpr size_t aesKeyBytes = 16;

// One key the server reads from a file: prepared, with its fingerprint.
struct HeldKey {
    TarnPreparedKey prepared;
    char fingerprint[keyFingerprintTextSize];
    bool ready;
};

// Everything that holds a key or is derived from one.
struct KeyVault {
    HeldKey current;
    HeldKey previous;
    TarnPreparedKey passed;
    unsigned char passedBytes[aesKeyBytes];
    char fileKey[keyFileKeyBufferSize];
    bool passedReady;
};

// What tells the two server keys apart: where they come from and how messages name them.
struct KeySource {
    ServerKeyFile file;  // path filled in from the setting when the key is read
    char** setting;
    const char* missing;  // the message when the setting is empty
    const char* missingHint;
    HeldKey KeyVault::*slot;
};

char* keyFileSetting = nullptr;
char* previousKeyFileSetting = nullptr;

const KeySource currentSource = {
    {"dbcipher.key_file", "dbcipher's key file", nullptr},
    &keyFileSetting,
    "dbcipher has no server key",
    "Set dbcipher.key_file in postgresql.conf to the key file and reload the configuration.",
    &KeyVault::current};

const KeySource previousSource = {
    {"dbcipher.previous_key_file", "dbcipher's previous key file", nullptr},
    &previousKeyFileSetting,
    "dbcipher has no previous key",
    "Set dbcipher.previous_key_file in postgresql.conf to the file of the key being replaced "
    "and reload the configuration.",
    &KeyVault::previous};

KeyVault* vault = nullptr;
size_t vaultSize = 0;

void wipeVault() {
    if (vault != nullptr) wipeSecret(vault, vaultSize);
}

void wipeVaultAtExit(int, Datum) {
    wipeVault();
}

void forgetKey(HeldKey& key) {
    AES_128_CBC_ForgetKey(&key.prepared);
    wipeSecret(key.fingerprint, sizeof key.fingerprint);
    key.ready = false;
}

// A reload may name another file or the same file with another key: either way the key is
// read again on its next use. A reload that sets nothing new costs one read of the file.
void forgetCurrentKeyOnReload(const char*, void*) {
    if (vault != nullptr) forgetKey(vault->current);
}

void forgetPreviousKeyOnReload(const char*, void*) {
    if (vault != nullptr) forgetKey(vault->previous);
}

KeyVault& theVault() {
    if (vault == nullptr) {
        // A page of its own, so that locking it and keeping it out of core dumps touches
        // nothing else.
        vault = static_cast<KeyVault*>(mapKeyPages(sizeof(KeyVault), "dbcipher", &vaultSize));
        on_proc_exit(wipeVaultAtExit, 0);
    }
    return *vault;
}

void loadKey(KeyVault& keys, const KeySource& source) {
    const char* path = *source.setting;
    if (path == nullptr || path[0] == '\0') {
        ereport(ERROR,
                (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE), errmsg("%s", source.missing),
                 errhint("%s", source.missingHint), hiddenStatement()));
    }
    ServerKeyFile file = source.file;
    file.path = path;
    HeldKey& key = keys.*source.slot;
    readServerKeyFile(file, keys.fileKey);
    const bool prepared = c_AES_128_CBC_PrepareKey(&key.prepared, keys.fileKey) == 1 &&
                          keyFingerprint(keys.fileKey, key.fingerprint);
    wipeSecret(keys.fileKey, sizeof keys.fileKey);
    if (!prepared) {
        forgetKey(key);
        checkWrapperStatus(c_libraryFailure, file.noun);
    }
    key.ready = true;
}

const HeldKey& heldKey(const KeySource& source) {
    KeyVault& keys = theVault();
    if (!(keys.*source.slot).ready) loadKey(keys, source);
    return keys.*source.slot;
}

}  // namespace

void defineServerKeySetting() {
    DefineCustomStringVariable(
        "dbcipher.key_file", "Key file of the master key that dbcipher's server-key functions use.",
        "The master key follows a 13-character lead-in on the first line. Empty: no server key.",
        &keyFileSetting, "", PGC_SIGHUP, GUC_SUPERUSER_ONLY, nullptr, forgetCurrentKeyOnReload,
        nullptr);
    DefineCustomStringVariable(
        "dbcipher.previous_key_file",
        "Key file of the master key being replaced, which aes_encr_rewrap opens texts under.",
        "The same format and rules as dbcipher.key_file. Empty: no previous key.",
        &previousKeyFileSetting, "", PGC_SIGHUP, GUC_SUPERUSER_ONLY, nullptr,
        forgetPreviousKeyOnReload, nullptr);
    MarkGUCPrefixReserved("dbcipher");
}

const TarnPreparedKey* serverKey() {
    return &heldKey(currentSource).prepared;
}

const char* serverKeyFingerprint() {
    return heldKey(currentSource).fingerprint;
}

const TarnPreparedKey* previousKey() {
    return &heldKey(previousSource).prepared;
}

const char* previousKeyFingerprint() {
    return heldKey(previousSource).fingerprint;
}

const TarnPreparedKey* passedKey(const char* key) {
    KeyVault& keys = theVault();
    if (keys.passedReady && CRYPTO_memcmp(keys.passedBytes, key, aesKeyBytes) == 0) {
        return &keys.passed;
    }
    keys.passedReady = false;
    wipeSecret(keys.passedBytes, sizeof keys.passedBytes);
    if (c_AES_128_CBC_PrepareKey(&keys.passed, key) != 1) return nullptr;
    std::memcpy(keys.passedBytes, key, aesKeyBytes);
    keys.passedReady = true;
    return &keys.passed;
}
