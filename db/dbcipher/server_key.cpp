// The server-held master key; see server_key.h for what it promises.
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

// Everything that holds the key or is derived from it.
struct KeyVault {
    TarnPreparedKey server;
    TarnPreparedKey passed;
    unsigned char passedBytes[aesKeyBytes];
    char fileKey[keyFileKeyBufferSize];
    char fingerprint[keyFingerprintTextSize];
    bool serverReady;
    bool passedReady;
};

char* keyFileSetting = nullptr;
KeyVault* vault = nullptr;
size_t vaultSize = 0;

void wipeVault() {
    if (vault != nullptr) wipeSecret(vault, vaultSize);
}

void wipeVaultAtExit(int, Datum) {
    wipeVault();
}

// A reload may name another file or the same file with another key: either way the key is
// read again on its next use. A reload that sets nothing new costs one read of the file.
void forgetServerKeyOnReload(const char*, void*) {
    if (vault == nullptr) return;
    AES_128_CBC_ForgetKey(&vault->server);
    wipeSecret(vault->fingerprint, sizeof vault->fingerprint);
    vault->serverReady = false;
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

void loadServerKey(KeyVault& keys) {
    if (keyFileSetting == nullptr || keyFileSetting[0] == '\0') {
        ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
                        errmsg("dbcipher has no server key"),
                        errhint("Set dbcipher.key_file in postgresql.conf to the key file and "
                                "reload the configuration."),
                        hiddenStatement()));
    }
    readServerKeyFile({"dbcipher.key_file", "dbcipher's key file", keyFileSetting}, keys.fileKey);
    const bool prepared = c_AES_128_CBC_PrepareKey(&keys.server, keys.fileKey) == 1 &&
                          keyFingerprint(keys.fileKey, keys.fingerprint);
    wipeSecret(keys.fileKey, sizeof keys.fileKey);
    if (!prepared) {
        AES_128_CBC_ForgetKey(&keys.server);
        checkWrapperStatus(c_libraryFailure, "dbcipher's key file");
    }
    keys.serverReady = true;
}

KeyVault& vaultWithServerKey() {
    KeyVault& keys = theVault();
    if (!keys.serverReady) loadServerKey(keys);
    return keys;
}

}  // namespace

void defineServerKeySetting() {
    DefineCustomStringVariable(
        "dbcipher.key_file", "Key file of the master key that dbcipher's server-key functions use.",
        "The master key follows a 13-character lead-in on the first line. Empty: no server key.",
        &keyFileSetting, "", PGC_SIGHUP, GUC_SUPERUSER_ONLY, nullptr, forgetServerKeyOnReload,
        nullptr);
    MarkGUCPrefixReserved("dbcipher");
}

const TarnPreparedKey* serverKey() {
    return &vaultWithServerKey().server;
}

const char* serverKeyFingerprint() {
    return vaultWithServerKey().fingerprint;
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
