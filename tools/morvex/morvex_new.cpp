// morvex: seals one text into an "@@" envelope under the installation's generic key, or opens
// an envelope or a legacy "@" text. In the one-text modes every outcome is one line on standard
// output and exit status 0 or 1, and only a failed write is reported on standard error. The
// batch modes (morvex_batch) do the same for every line of standard input.
#include "morvex_new.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "encDec.h"
#include "keyFile.h"
#include "legacyRecord.h"
#include "morvex_batch.h"
#include "oldKeyFile.h"
#include "tarnSecrets.h"
#include "toolLegacyKey.h"

namespace {

// A message or result that standard output did not take is a failure too, reported where it
// can still be seen.
[[noreturn]] void exitAfterWrite(bool written, int status) {
    if (written) std::exit(status);
    reportWriteFailure(STDERR_FILENO, errno);
    std::exit(1);
}

[[noreturn]] void fail(const char* message) {
    exitAfterWrite(std::puts(message) != EOF, 1);
}

char* duplicate(const char* text, size_t length) {
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

char* EncryptDataNew(char* text, char* genericKey) {
    if (text == nullptr || genericKey == nullptr) return nullptr;
    if (std::strlen(text) > envelopeMaxTextLength) fail(msgTooLong);
    const PreparedGenericKey key(genericKey);
    return sealEnvelope(text, key.get());
}

char* DecryptDataNew(char* envelope, char* genericKey) {
    if (envelope == nullptr || genericKey == nullptr) return nullptr;
    const size_t total = std::strlen(envelope);
    if (std::strlen(envelope + std::min<size_t>(total, 2)) < envelopeMinOpenLength) {
        fail(msgTooShort);
    }
    const PreparedGenericKey key(genericKey);
    return openEnvelope(envelope, key.get());
}

char* openToolLegacyText(char* text, unsigned long* clearLength) {
    char legacyKey[toolLegacyKeySize];
    buildToolLegacyKey(legacyKey);
    char* clear = DecryptDataCounted(text, legacyKey, clearLength);
    wipeSecret(legacyKey, sizeof legacyKey);
    return clear;
}

void reportWriteFailure(int fd, int error) {
    dprintf(fd, "morvex: cannot write to standard output: %s\n", std::strerror(error));
}

char* DecryptData(char* text, char* key) {
    unsigned long clearLength = 0;
    return DecryptDataCounted(text, key, &clearLength);
}

char* DecryptDataCounted(char* text, char* key, unsigned long* clearLength) {
    if (text == nullptr) return nullptr;
    const size_t length = std::strlen(text);
    *clearLength = length;
    if (text[0] != '@') return duplicate(text, length);
    if (key == nullptr || key[0] == '\0') return nullptr;
    // A text of t characters unpacks into fewer than t bytes, so t + 1 always suffice.
    auto* clear = static_cast<char*>(std::calloc(length + 1, 1));
    if (clear == nullptr) return nullptr;
    const legacy::MixedKey mixed(key);
    const int opened = legacy::openRecord(text + 1, mixed, reinterpret_cast<unsigned char*>(clear));
    if (opened < 0) {
        // A refused text may still have unmixed into clear bytes.
        wipeSecret(clear, length + 1);
        std::free(clear);
        return nullptr;
    }
    *clearLength = static_cast<unsigned long>(opened);
    return clear;
}

#ifndef MORVEX_WITHOUT_MAIN

#ifndef MORVEX_KEY_DIR
#error "MORVEX_KEY_DIR names the directory of the key files"
#endif

namespace {

constexpr char msgArguments[] = "morvex: 3 arguments expected.";
constexpr char msgMode[] = "morvex: arguments should be either -e or -d";

// The selector picks one of three fixed files; anything else picks none.
const char* keyFileFor(const char* selector) {
    if (selector == nullptr || std::strcmp(selector, "N") == 0) {
        return MORVEX_KEY_DIR "/.genericKey.dat";
    }
    if (std::strcmp(selector, "Y") == 0) return MORVEX_KEY_DIR "/.genericKey.dat.default";
    if (std::strcmp(selector, "PG") == 0) return MORVEX_KEY_DIR "/.pg.genericKey.dat";
    return nullptr;
}

// A short or empty first line gives a short or empty key, which is no error here.
bool readGenericKey(const char* path, char (&key)[keyFileKeyBufferSize]) {
    return path != nullptr && readKeyFile(path, key).status == KeyFileStatus::ok;
}

// main's keys live here rather than in its frame so that they are wiped on every way out: each
// of them ends in exit, some inside the envelope functions.
char genericKey[keyFileKeyBufferSize];
char oldKey[keyFileKeyBufferSize];  // -R only

void wipeKeys() {
    wipeSecret(genericKey, sizeof genericKey);
    wipeSecret(oldKey, sizeof oldKey);
}

[[noreturn]] void printAndExit(char* result, bool lineEnd) {
    // Only an allocation failure gives a null result here.
    if (result == nullptr) std::exit(1);
    const bool written = lineEnd ? std::puts(result) != EOF : std::printf("%s", result) >= 0;
    const int writeError = errno;
    // The results hold nothing behind their terminator.
    wipeSecret(result, std::strlen(result));
    std::free(result);
    errno = writeError;
    exitAfterWrite(written, 0);
}

[[noreturn]] void batchRefused(const char* message) {
    dprintf(STDERR_FILENO, "%s\n", message);
    std::exit(1);
}

// -R OLDFILE: the old key comes from a file named on the command line, never the key itself.
void readOldKey(int argc, char** argv) {
    if (argc <= 2) {
        batchRefused("morvex: -R needs the old key file: morvex -R <old key file> [N|Y|PG]");
    }
    if (!readOldKeyFile(argv[2], oldKey, STDERR_FILENO)) std::exit(1);
}

// Re-keying under the key it came from would seal every line again, and a second run would
// not stop at the envelopes already re-keyed.
void refuseTheSameKey() {
    if (std::memcmp(oldKey, genericKey, keyFileKeyBytes) == 0) {
        batchRefused(
            "morvex: the old key file holds the key of the chosen key file: nothing to re-key");
    }
}

// A batch reads its key like the one-text modes, from the file its selector (the argument
// after the mode, or after -R's old key file) chooses; its messages all go to standard error,
// which keeps standard output to result lines. Every key is read before the first line.
[[noreturn]] void batch(BatchMode mode, int argc, char** argv) {
    const bool rekey = mode == BatchMode::rekey;
    if (rekey) readOldKey(argc, argv);
    const int selectorAt = rekey ? 3 : 2;
    if (!readGenericKey(keyFileFor(argc > selectorAt ? argv[selectorAt] : nullptr), genericKey)) {
        batchRefused(msgNoKey);
    }
    if (rekey) refuseTheSameKey();
    std::exit(runBatch(mode, BatchKeys{genericKey, oldKey},
                       BatchStreams{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}));
}

// -f SELECTOR: the fingerprint of the key file that SELECTOR picks, the same that dbcipher's
// dbcipher_key_fingerprint() gives for that file.
[[noreturn]] void printFingerprint(const char* selector) {
    if (!readGenericKey(keyFileFor(selector), genericKey)) fail(msgNoKey);
    char fingerprint[keyFingerprintTextSize];
    if (!keyFingerprint(genericKey, fingerprint)) std::exit(1);
    std::puts(fingerprint);
    std::exit(0);
}

[[noreturn]] void decrypt(char* text, char* key) {
    if (text[0] != '@') fail(msgNotValid);
    if (text[1] == '@') printAndExit(DecryptDataNew(text, key), true);

    unsigned long clearLength = 0;
    char* clear = openToolLegacyText(text, &clearLength);
    // A refused legacy text is a failure, never an empty success.
    if (clear == nullptr) fail(msgNotValid);
    printAndExit(clear, false);
}

}  // namespace

int main(int argc, char** argv) {
    // Clear texts go to standard output unbuffered, so that no stdio buffer that exit releases
    // keeps a copy.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::atexit(wipeKeys);
    // A reader that went away shows as a failed write (status 1 and a message), not as death
    // by signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Batch modes take first arguments that no one-text invocation accepts.
    if (argc >= 2) {
        if (const std::optional<BatchMode> mode = batchModeFor(argv[1])) {
            batch(*mode, argc, argv);
        }
    }
    if (argc <= 2) fail(msgArguments);
    if (std::strcmp(argv[1], "-f") == 0) printFingerprint(argv[2]);
    // The key file is read before the mode is looked at, so a missing key is reported first.
    if (!readGenericKey(keyFileFor(argc > 3 ? argv[3] : nullptr), genericKey)) fail(msgNoKey);

    const char* mode = argv[1];
    char* text = argv[2];
    if (std::strcmp(mode, "-e") == 0) printAndExit(EncryptDataNew(text, genericKey), true);
    if (std::strcmp(mode, "-d") == 0) decrypt(text, genericKey);
    fail(msgMode);
}

#endif  // MORVEX_WITHOUT_MAIN
