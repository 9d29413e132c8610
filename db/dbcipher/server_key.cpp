// The server-held master key; see server_key.h for what it promises.
//
// No ereport may leave a frame of readKeyFile (its line buffer would stay on the stack), so the
// file's rules are checked inside it without reporting, and reported once it has returned.
#include "server_key.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "aes_encr_wrapper.h"
#include "keyFile.h"
#include "sql_call.h"
#include "tarnSecrets.h"

extern "C" {
#include "postgres.h"

#include "storage/ipc.h"
#include "utils/guc.h"
}

namespace {

constexpr size_t aesKeyBytes = tarnAesKeyBytes;

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

// One page of its own, so that locking it and keeping it out of core dumps touches nothing
// else; a forked child gets it zero-filled.
KeyVault* mapVault() {
    const long page = sysconf(_SC_PAGESIZE);
    vaultSize = (sizeof(KeyVault) + static_cast<size_t>(page) - 1) / page * page;
    void* area =
        mmap(nullptr, vaultSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        ereport(ERROR,
                (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory"),
                 errdetail("dbcipher could not map a page for its keys: %m."), hiddenStatement()));
    }
    if (madvise(area, vaultSize, MADV_DONTDUMP) != 0) {
        munmap(area, vaultSize);
        ereport(ERROR, (errcode(ERRCODE_SYSTEM_ERROR),
                        errmsg("dbcipher could not keep its keys out of core dumps: %m"),
                        hiddenStatement()));
    }
    (void)madvise(area, vaultSize, MADV_WIPEONFORK);
    // The system call itself: AddressSanitizer turns the library's mlock into a no-op.
    if (syscall(SYS_mlock, area, vaultSize) != 0) {
        ereport(LOG, (errmsg("dbcipher could not lock its keys in memory: %m"),
                      errdetail("The keys may be written to swap."),
                      errhint("Raise the memory lock limit of the server (RLIMIT_MEMLOCK)."),
                      hiddenStatement()));
    }
    return static_cast<KeyVault*>(area);
}

KeyVault& theVault() {
    if (vault == nullptr) {
        vault = mapVault();
        on_proc_exit(wipeVaultAtExit, 0);
    }
    return *vault;
}

enum class FileRule { kept, owner, access };

// The rule PostgreSQL applies to ssl_key_file.
FileRule ruleBroken(const struct stat& info) {
    const bool ownedByServer = info.st_uid == geteuid();
    if (!ownedByServer && info.st_uid != 0) return FileRule::owner;
    const mode_t forbidden = ownedByServer ? (S_IRWXG | S_IRWXO) : (S_IWGRP | S_IXGRP | S_IRWXO);
    return (info.st_mode & forbidden) != 0 ? FileRule::access : FileRule::kept;
}

[[noreturn]] void reportKeyFileError(const char* message, const char* hint) {
    ereport(ERROR, (errcode(ERRCODE_CONFIG_FILE_ERROR), errmsg("%s", message),
                    errdetail_log("dbcipher.key_file is \"%s\".", keyFileSetting),
                    errhint("%s", hint), hiddenStatement()));
    pg_unreachable();
}

void reportReadFailure(const KeyFileResult& result, FileRule rule) {
    errno = result.errorNumber;
    switch (result.status) {
        case KeyFileStatus::cannotOpen:
            ereport(ERROR,
                    (errcode_for_file_access(), errmsg("could not open dbcipher's key file: %m"),
                     errdetail_log("dbcipher.key_file is \"%s\".", keyFileSetting),
                     errhint("Point dbcipher.key_file at a file the server can read."),
                     hiddenStatement()));
            break;
        case KeyFileStatus::notRegular:
            reportKeyFileError("dbcipher's key file is not a regular file",
                               "Point dbcipher.key_file at a regular file, not a directory, "
                               "FIFO, socket or device.");
        case KeyFileStatus::refused:
            if (rule == FileRule::owner) {
                reportKeyFileError(
                    "dbcipher's key file must be owned by the database user or "
                    "root",
                    "Make the server's user or root its owner (chown).");
            }
            reportKeyFileError("dbcipher's key file has group or world access",
                               "Allow u=rw (0600) or less when the database user owns it, "
                               "u=rw,g=r (0640) or less when root owns it (chmod).");
        case KeyFileStatus::readFailed:
            ereport(
                ERROR,
                (errcode_for_file_access(), errmsg("could not read dbcipher's key file: %m"),
                 errdetail_log("dbcipher.key_file is \"%s\".", keyFileSetting), hiddenStatement()));
            break;
        case KeyFileStatus::ok:
            break;
    }
}

// Nothing after the lead-in on the first line: an empty key would open nothing it should.
bool holdsNoKey(const char* key) {
    return key[0] == '\0' || key[0] == '\n' || key[0] == '\r';
}

void loadServerKey(KeyVault& keys) {
    if (keyFileSetting == nullptr || keyFileSetting[0] == '\0') {
        ereport(ERROR, (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
                        errmsg("dbcipher has no server key"),
                        errhint("Set dbcipher.key_file in postgresql.conf to the key file and "
                                "reload the configuration."),
                        hiddenStatement()));
    }
    FileRule rule = FileRule::kept;
    const KeyFileResult result =
        readKeyFile(keyFileSetting, keys.fileKey, [&rule](const struct stat& info) {
            rule = ruleBroken(info);
            return rule == FileRule::kept;
        });
    reportReadFailure(result, rule);
    if (holdsNoKey(keys.fileKey)) {
        reportKeyFileError("dbcipher's key file holds no key",
                           "The key follows a 13-character lead-in on the file's first line.");
    }
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
