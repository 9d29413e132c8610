// morvex: seals one text into an "@@" envelope under the installation's generic key, or opens
// an envelope or a legacy "@" text. In the one-text modes every outcome is one line on standard
// output and exit status 0 or 1, and only a failed write is reported on standard error. The
// batch modes (morvex_batch) do the same for every line of standard input.
#include "morvex_new.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "encDec.h"
#include "keyFile.h"
#include "legacyRecord.h"
#include "morvex_batch.h"
#include "tarnSecrets.h"
#include "toolLegacyKey.h"

namespace {

constexpr size_t aesBlock = tarnAesBlockBytes;
constexpr size_t aesKeyBytes = tarnAesKeyBytes;
// Holds the AES text of any padded text of up to 256 bytes (348 characters).
constexpr size_t aesTextBufferSize = 512;
constexpr size_t saltBufferSize = aesBlock + 1;

// A message or result that standard output did not take is a failure too, reported where it
// can still be seen.
[[noreturn]] void exitAfterWrite(bool written, int status) {
    if (written) std::exit(status);
    reportWriteFailure(STDERR_FILENO, errno);
    std::exit(1);
}

// message is one of the tool's messages, which are printed after its name.
[[noreturn]] void fail(const char* message) {
    exitAfterWrite(std::printf("%s%s\n", toolPrefix, message) >= 0, 1);
}

char* duplicate(const char* text, size_t length) {
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// The AES transform reads 16 key bytes whatever the key text holds; a copy makes a short key
// act as its characters followed by zero bytes, as it does in main's zero-filled buffer,
// instead of letting the transform read past a caller's shorter string.
struct KeyBlock : WipedBuffer<aesKeyBytes + 1> {
    explicit KeyBlock(const char* key) { std::strncpy(bytes, key, aesKeyBytes); }
};

using TextBuffer = WipedBuffer<envelopeMaxTextLength + 1>;
using SaltBuffer = WipedBuffer<saltBufferSize>;

std::uint32_t clockSeed() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return static_cast<std::uint32_t>(nanos);
}

// A clock-seeded permutation of text (at most envelopeMaxTextLength characters).
// minstd_rand0 is the minimal standard generator (multiplier 16807, modulus 2^31 - 1).
void shuffled(const char* text, std::uint32_t seed, TextBuffer& copy) {
    const size_t length = std::strlen(text);
    std::memcpy(copy.bytes, text, length);
    std::minstd_rand0 generator(seed);
    std::shuffle(copy.bytes, copy.bytes + length, generator);
}

// Two characters of the text: the last and the first of a clock-seeded permutation of it. The
// format takes them from two copies shuffled by equal generators; equal generators give equal
// copies, so one shuffle stands for both.
void drawSalt(const char* text, SaltBuffer& salt) {
    TextBuffer permuted;
    shuffled(text, clockSeed(), permuted);
    computeSalt(permuted.bytes, permuted.bytes, salt.bytes);
}

// Pads text in its own buffer and writes its AES text into a zero-filled 512-byte buffer.
template <size_t size>
void sealPadded(WipedBuffer<size>& text, const char* salt, const TarnPreparedKey& key,
                char (&aesText)[aesTextBufferSize]) {
    const int padded = pad(text.bytes, size);
    AES_128_CBC_EncryptPrepared(text.bytes, aesText, padded, 1, salt, &key);
}

}  // namespace

PreparedGenericKey::PreparedGenericKey(const char* genericKey) {
    const KeyBlock block(genericKey);
    AES_128_CBC_PrepareKey(&prepared_, block.bytes);
}

PreparedGenericKey::~PreparedGenericKey() {
    AES_128_CBC_ForgetKey(&prepared_);
}

char* EncryptDataNew(char* text, char* genericKey) {
    if (text == nullptr || genericKey == nullptr) return nullptr;
    if (std::strlen(text) > envelopeMaxTextLength) fail(msgTooLong);
    const PreparedGenericKey key(genericKey);
    return sealEnvelope(text, key.get());
}

char* sealEnvelope(const char* text, const TarnPreparedKey& key) {
    const size_t length = std::strlen(text);
    if (length > envelopeMaxTextLength) return nullptr;
    // The empty text is sealed as one space: both pad to one block of 16 spaces, which opens
    // to the empty text again. An envelope without a text block could never be opened.
    const char* source = length == 0 ? " " : text;

    // The salt is two characters of the text, so it is wiped like the text.
    SaltBuffer salt;
    drawSalt(source, salt);

    char textPart[aesTextBufferSize] = {};
    {
        TextBuffer working;
        std::strcpy(working.bytes, source);
        sealPadded(working, salt.bytes, key, textPart);
    }
    char saltBlock[aesTextBufferSize] = {};
    sealPadded(salt, staticSalt, key, saltBlock);

    const size_t textLength = std::strlen(textPart);
    const size_t saltLength = std::strlen(saltBlock);
    auto* envelope = static_cast<char*>(std::malloc(textLength + saltLength + 3));
    if (envelope == nullptr) return nullptr;
    std::memcpy(envelope, "@@", 2);
    std::memcpy(envelope + 2, textPart, textLength);
    std::memcpy(envelope + 2 + textLength, saltBlock, saltLength + 1);
    trim(envelope);
    return envelope;
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

char* openEnvelope(const char* envelope, const TarnPreparedKey& key) {
    const size_t total = std::strlen(envelope);
    const char* body = envelope + std::min<size_t>(total, 2);
    const size_t bodyLength = std::strlen(body);
    if (bodyLength < envelopeMinOpenLength) return nullptr;

    const size_t textPartLength = bodyLength - envelopeSaltBlockLength;
    char saltBlock[envelopeSaltBlockLength + 1] = {};
    std::memcpy(saltBlock, body + textPartLength, envelopeSaltBlockLength);
    // The salt block decodes to at most 18 bytes; its first two are the salt.
    WipedBuffer<100> saltPlain;
    AES_128_CBC_EncryptPrepared(saltBlock, saltPlain.bytes, aesBlock, 0, staticSalt, &key);

    char* textPart = duplicate(body, textPartLength);
    auto* plain = static_cast<char*>(std::calloc(bodyLength + 1, 1));
    if (textPart == nullptr || plain == nullptr) {
        std::free(textPart);
        std::free(plain);
        return nullptr;
    }
    const int rounded = static_cast<int>((textPartLength + aesBlock - 1) / aesBlock * aesBlock);
    AES_128_CBC_EncryptPrepared(textPart, plain, rounded, 0, saltPlain.bytes, &key);
    std::free(textPart);
    trim(plain);
    // Callers wipe the text up to its terminator; a zero byte inside the plaintext must not
    // leave the rest behind it.
    const size_t shown = std::strlen(plain);
    wipeSecret(plain + shown, bodyLength + 1 - shown);
    return plain;
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

constexpr char msgArguments[] = "3 arguments expected.";
constexpr char msgMode[] = "arguments should be either -e or -d";

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

// main's key lives here rather than in its frame so that it is wiped on every way out: each of
// them ends in exit, some inside the envelope functions.
char genericKey[keyFileKeyBufferSize];

void wipeGenericKey() {
    wipeSecret(genericKey, sizeof genericKey);
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

// A batch reads its key like the one-text modes, from the file its selector (the argument
// after the mode) chooses; its messages all go to standard error, which keeps standard output
// to result lines.
[[noreturn]] void batch(BatchMode mode, const char* selector) {
    if (!readGenericKey(keyFileFor(selector), genericKey)) {
        dprintf(STDERR_FILENO, "%s%s\n", toolPrefix, msgNoKey);
        std::exit(1);
    }
    std::exit(runBatch(mode, genericKey, BatchStreams{STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}));
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
    std::atexit(wipeGenericKey);
    // A reader that went away shows as a failed write (status 1 and a message), not as death
    // by signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Batch modes take first arguments that no one-text invocation accepts.
    if (argc >= 2) {
        if (const std::optional<BatchMode> mode = batchModeFor(argv[1])) {
            batch(*mode, argc > 2 ? argv[2] : nullptr);
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
