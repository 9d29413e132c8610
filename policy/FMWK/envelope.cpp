#include "envelope.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

#include "tarnSecrets.h"

namespace {

constexpr size_t aesBlock = tarnAesBlockBytes;
constexpr size_t aesKeyBytes = tarnAesKeyBytes;
// Holds the AES text of any padded text of up to 256 bytes (348 characters).
constexpr size_t aesTextBufferSize = 512;
constexpr size_t saltBufferSize = aesBlock + 1;
// The salt block decodes to at most 18 bytes; its first two are the salt.
constexpr size_t saltPlainBufferSize = 100;
constexpr size_t saltCharacters = 2;

// The AES transform reads 16 key bytes whatever the key text holds; a copy makes a short key
// act as its characters followed by zero bytes, as it does in a key file's zero-filled buffer,
// instead of letting the transform read past a caller's shorter string.
struct KeyBlock : WipedBuffer<aesKeyBytes + 1> {
    explicit KeyBlock(const char* key) { std::strncpy(bytes, key, aesKeyBytes); }
};

using TextBuffer = WipedBuffer<envelopeMaxTextLength + 1>;
using SaltBuffer = WipedBuffer<saltBufferSize>;
using SaltPlain = WipedBuffer<saltPlainBufferSize>;

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

// The envelope after its "@@" prefix (a shorter string counts as all body).
const char* envelopeBody(const char* envelope) {
    return envelope + std::min<size_t>(std::strlen(envelope), 2);
}

void openSaltBlock(const char* body, size_t bodyLength, const TarnPreparedKey& key,
                   SaltPlain& saltPlain) {
    char saltBlock[envelopeSaltBlockLength + 1] = {};
    std::memcpy(saltBlock, body + bodyLength - envelopeSaltBlockLength, envelopeSaltBlockLength);
    AES_128_CBC_EncryptPrepared(saltBlock, saltPlain.bytes, aesBlock, 0, staticSalt, &key);
}

// What sealing wrote: two characters of a text (never a zero byte) padded with spaces to one
// block, and nothing after it.
bool isSealedSalt(const SaltPlain& saltPlain) {
    for (size_t i = 0; i < saltCharacters; ++i) {
        if (saltPlain.bytes[i] == '\0') return false;
    }
    for (size_t i = saltCharacters; i < aesBlock; ++i) {
        if (saltPlain.bytes[i] != ' ') return false;
    }
    return saltPlain.bytes[aesBlock] == '\0';
}

char* openTextPart(const char* body, size_t bodyLength, const SaltPlain& saltPlain,
                   const TarnPreparedKey& key) {
    const size_t textPartLength = bodyLength - envelopeSaltBlockLength;
    auto* textPart = static_cast<char*>(std::malloc(textPartLength + 1));
    auto* plain = static_cast<char*>(std::calloc(bodyLength + 1, 1));
    if (textPart == nullptr || plain == nullptr) {
        std::free(textPart);
        std::free(plain);
        return nullptr;
    }
    std::memcpy(textPart, body, textPartLength);
    textPart[textPartLength] = '\0';
    const int rounded = static_cast<int>(aesPaddedLength(textPartLength));
    AES_128_CBC_EncryptPrepared(textPart, plain, rounded, 0, saltPlain.bytes, &key);
    std::free(textPart);
    trim(plain);
    // Callers wipe the text up to its terminator; a zero byte inside the plaintext must not
    // leave the rest behind it.
    const size_t shown = std::strlen(plain);
    wipeSecret(plain + shown, bodyLength + 1 - shown);
    return plain;
}

}  // namespace

PreparedGenericKey::PreparedGenericKey(const char* genericKey) {
    const KeyBlock block(genericKey);
    AES_128_CBC_PrepareKey(&prepared_, block.bytes);
}

PreparedGenericKey::~PreparedGenericKey() {
    AES_128_CBC_ForgetKey(&prepared_);
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

char* openEnvelope(const char* envelope, const TarnPreparedKey& key) {
    const char* body = envelopeBody(envelope);
    const size_t bodyLength = std::strlen(body);
    if (bodyLength < envelopeMinOpenLength) return nullptr;
    SaltPlain saltPlain;
    openSaltBlock(body, bodyLength, key, saltPlain);
    return openTextPart(body, bodyLength, saltPlain, key);
}

char* openEnvelopeUnderKey(const char* envelope, const TarnPreparedKey& key,
                           EnvelopeOpening* opening) {
    const char* body = envelopeBody(envelope);
    const size_t bodyLength = std::strlen(body);
    if (bodyLength < envelopeMinOpenLength) {
        *opening = EnvelopeOpening::tooShort;
        return nullptr;
    }
    SaltPlain saltPlain;
    openSaltBlock(body, bodyLength, key, saltPlain);
    if (!isSealedSalt(saltPlain)) {
        *opening = EnvelopeOpening::notUnderThisKey;
        return nullptr;
    }
    char* text = openTextPart(body, bodyLength, saltPlain, key);
    *opening = text != nullptr ? EnvelopeOpening::opened : EnvelopeOpening::noMemory;
    return text;
}
