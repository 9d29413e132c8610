// Salt and IV derivation, the Base64 codec, the AES-128-CBC text transform with its text
// helpers, port mangling and user/host separation.
#include "encDec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>

#include "aesBackend.h"
#include "tarnSecrets.h"

// ---- Installation constants -------------------------------------------------------------

UCHAR dataTable[137] = {
    0x6A, 0xD8, 0x18, 0x13, 0xCB, 0xE6, 0x67, 0x73, 0xF6, 0xF0, 0x8E, 0xE1, 0xBC, 0x96, 0xBC, 0x6B,
    0x56, 0x79, 0x58, 0xDF, 0xF0, 0x19, 0x8D, 0xAA, 0xA5, 0x1F, 0x46, 0x23, 0x2D, 0xD4, 0xA8, 0x05,
    0x64, 0x74, 0x6B, 0x85, 0x48, 0xCF, 0x88, 0x60, 0x84, 0xB5, 0x8D, 0x7C, 0xCD, 0xFF, 0x25, 0x7B,
    0xA7, 0x56, 0xA0, 0x08, 0x48, 0x1F, 0xAC, 0xA8, 0x34, 0x3D, 0x36, 0x09, 0x12, 0x0B, 0x46, 0xD9,
    0xDC, 0xC6, 0x74, 0x67, 0x83, 0xA8, 0x3E, 0x50, 0xAB, 0x9E, 0x8E, 0x0D, 0x8A, 0x86, 0xE4, 0x32,
    0xD5, 0xAC, 0x33, 0xF1, 0x6C, 0xCB, 0xE4, 0xB1, 0xB5, 0x14, 0x2A, 0xFF, 0x76, 0xAD, 0x12, 0xDD,
    0xCC, 0x2C, 0xD6, 0x6B, 0x04, 0x93, 0x74, 0xED, 0x20, 0x92, 0x9B, 0x1C, 0xD1, 0x89, 0x0B, 0x2D,
    0x52, 0xEC, 0x74, 0x43, 0x20, 0x53, 0x74, 0xCF, 0x7A, 0x3D, 0x8A, 0x7B, 0xE0, 0x89, 0x4D, 0x5C,
    0x99, 0x8B, 0xE5, 0xAC, 0x62, 0xD9, 0xE9, 0x06, 0x02,
};

UCHAR vecTable[127] = {
    0x47, 0x8D, 0x77, 0x3B, 0xF6, 0xA7, 0xAA, 0xBA, 0xE1, 0x1F, 0x6B, 0xCC, 0xE8, 0xCE, 0xD8, 0x84,
    0x64, 0xD0, 0x32, 0x3B, 0x21, 0xE5, 0xE2, 0x2F, 0x26, 0x82, 0xF0, 0xE7, 0x5C, 0x55, 0x4F, 0x86,
    0x4D, 0x63, 0xD2, 0x5D, 0x15, 0x59, 0xEF, 0x63, 0x57, 0x11, 0xDD, 0x93, 0xE1, 0xB6, 0xE0, 0x12,
    0x4C, 0x67, 0x29, 0x4B, 0xB8, 0xC5, 0x76, 0x9A, 0xC8, 0x96, 0x68, 0xF4, 0xCC, 0x59, 0x34, 0x00,
    0x04, 0x46, 0x9D, 0x1C, 0xC1, 0x1A, 0xEB, 0x3D, 0x80, 0x27, 0x82, 0xBA, 0x27, 0x0B, 0x5D, 0xF5,
    0x0B, 0x48, 0xE6, 0xDF, 0xED, 0x7F, 0xA8, 0xCC, 0x89, 0xBA, 0x1B, 0xB7, 0xDC, 0x9E, 0x8A, 0x99,
    0x64, 0x30, 0x1D, 0xFA, 0xFE, 0x97, 0xF3, 0x0F, 0xEE, 0xDB, 0x01, 0x80, 0xA0, 0xA0, 0x56, 0x80,
    0x58, 0xFD, 0x92, 0xAA, 0xCC, 0x04, 0x02, 0x01, 0x62, 0x1E, 0x6D, 0x70, 0x34, 0xBB, 0xB5,
};

unsigned int cryptobase1 = 0xD1FA7D02u;
unsigned int cryptobase2 = 0x88D8C681u;

// ---- Salt and key/IV derivation ---------------------------------------------------------

namespace {

constexpr UINT32 keyTableSize = sizeof(dataTable);
constexpr UINT32 ivTableSize = sizeof(vecTable);
constexpr UINT32 computeKeyBit = 1;
constexpr UINT32 computeIvBit = 2;

// Sixteen table indexes from two 32-bit numbers. The key and the IV share the shape of the
// derivation but not every row, so each is spelled out in full.
void keyIndexes(UINT32 k, UINT32 k2, UINT32 (&inx)[16]) {
    const UINT32 n = keyTableSize;
    inx[0] = k % n;
    inx[1] = (~k) % n;
    inx[2] = (k << 16) % n;
    inx[3] = ((k << 16) | k) != 0;
    inx[4] = (inx[0] + inx[1] + inx[2] + inx[3]) % n;
    inx[5] = k != 0 || k2 != 0;
    inx[6] = k != 0 && k2 != 0;
    inx[7] = k != 0xFFFFFFFFu || k2 != 0xFFFFFFFFu;
    inx[8] = k != 0 || k2 != 0xFFFFFFFFu;
    inx[9] = k != 0 && k2 != 0xFFFFFFFFu;
    inx[10] = k2 % n;
    inx[11] = (~k2) % n;
    inx[12] = (k2 << 16) % n;
    inx[13] = ((k2 << 16) | k2) != 0;
    inx[14] = (inx[10] + inx[11] + inx[12] + inx[13]) % n;
    inx[15] = (inx[4] + inx[5] + inx[6] + inx[7]) % n;
}

void ivIndexes(UINT32 k, UINT32 k2, UINT32 (&inx)[16]) {
    const UINT32 n = ivTableSize;
    inx[0] = (k ^ k2) % n;
    inx[1] = (~(k ^ k2)) % n;
    inx[2] = inx[1];
    inx[3] = ((k << 16) | k2) != 0;
    inx[4] = (inx[0] + inx[1] + inx[2] + inx[3]) % n;
    for (int i = 5; i <= 9; ++i)
        inx[i] = (n - 1) - inx[i - 5];
    inx[10] = k2 % n;
    inx[11] = (~k2) % n;
    inx[12] = (k2 << 16) % n;
    inx[13] = ((k2 << 16) | k) != 0;
    inx[14] = (inx[10] + inx[11] + inx[12] + inx[13]) % n;
    inx[15] = (inx[4] + inx[5] + inx[6] + inx[7]) % n;
}

void pickBytes(const UCHAR* table, const UINT32 (&inx)[16], unsigned char* out) {
    for (int i = 0; i < 16; ++i)
        out[i] = table[inx[i]];
}

// The salt character is a plain char that may be signed: bytes 0x80 and above are widened by
// sign, as every stored text was made that way.
UINT32 widenSaltChar(char c) {
    return static_cast<UINT32>(static_cast<int32_t>(static_cast<signed char>(c)));
}

}  // namespace

int getKey(UINT32 key, UINT32 key2, unsigned char* pkey, unsigned char* pivec, UINT32 computeOp) {
    UINT32 inx[16];
    if (computeOp & computeKeyBit) {
        keyIndexes(key, key2, inx);
        pickBytes(dataTable, inx, pkey);
    }
    if (computeOp & computeIvBit) {
        ivIndexes(key, key2, inx);
        pickBytes(vecTable, inx, pivec);
    }
    return 1;
}

void computeSalt(char* crit1, char* crit2, char* salt) {
    const size_t len1 = std::strlen(crit1);
    const size_t len = len1 + std::strlen(crit2);
    // The character at a position of crit1 + crit2 (its terminator at position len), read
    // without building the joined text.
    auto joinedAt = [&](size_t pos) { return pos < len1 ? crit1[pos] : crit2[pos - len1]; };
    const size_t middle = len / 2;
    salt[0] = joinedAt(middle > 0 ? middle - 1 : 0);
    salt[1] = joinedAt(middle);
    salt[2] = '\0';
}

extern "C" int DbComputeSalt(char* crit1, char* crit2, char* salt) {
    computeSalt(crit1, crit2, salt);
    return 1;
}

// ---- Base64 codec -----------------------------------------------------------------------

unsigned char decoder_[256];
unsigned char member_[256];
bool init_;

namespace {

constexpr unsigned char alphabet[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char padding = '=';
constexpr int max_columns = static_cast<int>(base64LineChars);

// Characters of the accepted run. The transform also reads across line breaks, so that texts
// of more than one line (plaintexts over 48 bytes) open in full.
enum class LineBreaks { endRun, skip };

// What each character means to the decoder: its six-bit value (0 to 63) or one of these. The
// exported decoder_/member_ tables keep their documented content; decoding reads this one,
// which needs no set-up and tells every case apart with one look-up.
enum CharClass : unsigned char { spaceChar = 64, lineBreakChar, paddingChar, endsRun };

constexpr std::array<unsigned char, 256> buildCharClasses() {
    std::array<unsigned char, 256> classes{};
    for (auto& c : classes)
        c = endsRun;
    for (unsigned char i = 0; i < 64; ++i)
        classes[alphabet[i]] = i;
    classes[' '] = spaceChar;
    classes['\n'] = lineBreakChar;
    classes['\r'] = lineBreakChar;
    classes[padding] = paddingChar;
    return classes;
}
constexpr std::array<unsigned char, 256> charClass = buildCharClasses();

bool isValue(unsigned char c) {
    return charClass[c] < 64;
}

bool inAcceptedRun(unsigned char c, LineBreaks breaks) {
    const unsigned char cls = charClass[c];
    return cls != endsRun && (cls != lineBreakChar || breaks == LineBreaks::skip);
}

// The characters of a run that a line break ends, for strspn: glibc compares many bytes at a
// time, which keeps sizing a text of gigabytes within a few seconds.
constexpr std::array<char, 67> buildRunCharacters() {
    std::array<char, 67> characters{};
    for (size_t i = 0; i < 64; ++i)
        characters[i] = static_cast<char>(alphabet[i]);
    characters[64] = ' ';
    characters[65] = static_cast<char>(padding);
    return characters;
}
constexpr std::array<char, 67> runCharacters = buildRunCharacters();

size_t acceptedRunLength(const unsigned char* input) {
    return std::strspn(reinterpret_cast<const char*>(input), runCharacters.data());
}

size_t decodedCapacity(size_t runLength) {
    return (runLength + 3) / 4 * 3 + 1;
}

// decode() reports its size as an unsigned int, and length() its buffer: a run whose buffer
// would not fit one is refused before anything is allocated. UINT_MAX itself is never a
// capacity (capacities are one more than a multiple of three).
constexpr size_t largestDecodeCapacity = std::numeric_limits<unsigned int>::max();

bool decodeCapacityFits(size_t capacity) {
    return capacity <= largestDecodeCapacity;
}

size_t decodeCapacity(const unsigned char* input) {
    const size_t run = acceptedRunLength(input);
    return run == 0 ? 1 : decodedCapacity(run);
}

// The codec ends most texts with a line feed; the transform's texts never do, and their callers
// may size the output for the text and its terminator alone.
enum class FinalLineFeed { keep, drop };

// Writes the text and its terminator into out (base64EncodeCapacity(n) bytes; one byte less
// than the kept text needs when the final line feed is dropped); returns the number of
// characters, line feeds included.
size_t encodeInto(const unsigned char* in, size_t n, unsigned char* out, FinalLineFeed final) {
    unsigned char* p = out;
    int column = 0;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        p[0] = alphabet[group >> 18];
        p[1] = alphabet[(group >> 12) & 0x3F];
        p[2] = alphabet[(group >> 6) & 0x3F];
        p[3] = alphabet[group & 0x3F];
        p += 4;
        column += 4;
        if (column == max_columns) {
            *p++ = '\n';
            column = 0;
        }
    }
    const size_t rest = n - i;
    if (rest > 0) {
        const uint32_t group = (uint32_t{in[i]} << 16) | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
        p[0] = alphabet[group >> 18];
        p[1] = alphabet[(group >> 12) & 0x3F];
        p[2] = rest == 2 ? alphabet[(group >> 6) & 0x3F] : padding;
        p[3] = padding;
        p += 4;
        if (column != 0) *p++ = '\n';
    }
    if (final == FinalLineFeed::drop && p != out && p[-1] == '\n') --p;
    *p = '\0';
    return static_cast<size_t>(p - out);
}

// Decodes the accepted run into out (decodedCapacity bytes of its length, or of any longer
// prefix) and terminates it. False when the run ends on an incomplete group.
bool decodeInto(const unsigned char* input, LineBreaks breaks, unsigned char* out, size_t* outLen) {
    size_t written = 0;
    const unsigned char first = input[0];
    if (first == padding || !inAcceptedRun(first, breaks)) {
        out[0] = '\0';
        *outLen = 0;
        return true;
    }
    uint32_t group = 0;
    int pending = 0;
    const unsigned char* p = input;
    for (;; ++p) {
        // Whole groups of four values, the bulk of every text. A terminator stops the test
        // before anything behind it is read.
        while (pending == 0 && isValue(p[0]) && isValue(p[1]) && isValue(p[2]) && isValue(p[3])) {
            const uint32_t four = (uint32_t{charClass[p[0]]} << 18) |
                                  (uint32_t{charClass[p[1]]} << 12) |
                                  (uint32_t{charClass[p[2]]} << 6) | charClass[p[3]];
            out[written++] = static_cast<unsigned char>(four >> 16);
            out[written++] = static_cast<unsigned char>(four >> 8);
            out[written++] = static_cast<unsigned char>(four);
            p += 4;
        }
        const unsigned char cls = charClass[*p];
        if (cls < 64) {
            group = (group << 6) | cls;
            if (++pending == 4) {
                out[written++] = static_cast<unsigned char>(group >> 16);
                out[written++] = static_cast<unsigned char>(group >> 8);
                out[written++] = static_cast<unsigned char>(group);
                group = 0;
                pending = 0;
            }
        } else if (cls == paddingChar || !inAcceptedRun(*p, breaks)) {
            break;
        }  // else a space, or a line break the caller lets us cross
    }
    const bool endedAtPadding = *p == padding;
    if (pending == 1 || (pending > 0 && !endedAtPadding)) return false;
    if (pending == 2) {
        out[written++] = static_cast<unsigned char>(group >> 4);
    } else if (pending == 3) {
        out[written++] = static_cast<unsigned char>(group >> 10);
        out[written++] = static_cast<unsigned char>(group >> 2);
    }
    out[written] = '\0';
    *outLen = written;
    return true;
}

void buildTables() {
    for (unsigned char i = 0; i < 64; ++i) {
        decoder_[alphabet[i]] = i;
        member_[alphabet[i]] = 1;
    }
    init_ = true;
}

// The first use builds the tables once, whichever threads arrive at the same time (the
// initialisation of a local static is thread-safe); every later reader of init_, decoder_ and
// member_ sees them whole.
void ensureInit() {
    static const bool built = (buildTables(), true);
    static_cast<void>(built);
}

}  // namespace

void init() {
    ensureInit();
    // A caller that cleared init_ asks for the tables again, as it always could.
    if (!init_) buildTables();
}

unsigned int length(const unsigned char* input) {
    ensureInit();
    const size_t capacity = decodeCapacity(input);
    return static_cast<unsigned int>(decodeCapacityFits(capacity) ? capacity
                                                                  : largestDecodeCapacity);
}

unsigned char* encode(const unsigned char* input, const int input_len, unsigned int* output_len) {
    ensureInit();
    if (input == nullptr) return nullptr;
    const size_t n = input_len > 0 ? static_cast<size_t>(input_len) : 0;
    const size_t capacity = base64EncodeCapacity(n);
    auto* text = new unsigned char[capacity]();
    *output_len = static_cast<unsigned int>(encodeInto(input, n, text, FinalLineFeed::keep));
    return text;
}

unsigned char* decode(const unsigned char* input, unsigned int* output_len) {
    ensureInit();
    if (input == nullptr) return nullptr;
    const size_t capacity = decodeCapacity(input);
    if (!decodeCapacityFits(capacity)) return nullptr;
    auto* bytes = new unsigned char[capacity]();
    size_t decoded = 0;
    if (!decodeInto(input, LineBreaks::endRun, bytes, &decoded)) {
        delete[] bytes;
        return nullptr;
    }
    *output_len = static_cast<unsigned int>(decoded);
    return bytes;
}

// ---- AES-128-CBC text transform ---------------------------------------------------------

namespace {

// Short texts, the common case, work on the stack; longer ones take one heap buffer.
constexpr size_t stackScratch = 1024;

// A scratch buffer on the stack when it fits, on the heap otherwise.
struct Scratch {
    unsigned char local[stackScratch];
    std::unique_ptr<unsigned char[]> heap;
    unsigned char* data;

    explicit Scratch(size_t size)
        : heap(size > stackScratch ? new unsigned char[size] : nullptr),
          data(heap ? heap.get() : local) {}
};

// The IV of a two-character salt, without getKey's sixteen remainders per call. For salt
// bytes s0, s1 (not both zero) the derivation splits in two: IV bytes 0 to 9 and 15 depend only
// on s0 ^ s1 (the two widened values differ exactly in the widened xor), bytes 10 to 14 only on
// s1, and the truth-value indexes are all 1. So two 256-row tables, filled once through getKey
// itself, give every IV: byXor[s0 ^ s1] holds the first group, bySecond[s1] the second, each
// with zero bytes where the other one's bytes go.
struct IvTables {
    uint64_t byXor[256][2];
    uint64_t bySecond[256][2];
};

constexpr bool ivByteFollowsSecond(int i) {
    return i >= 10 && i <= 14;
}

IvTables buildIvTables() {
    IvTables tables{};
    for (unsigned b = 0; b < 256; ++b) {
        const UINT32 widened = widenSaltChar(static_cast<char>(b));
        unsigned char fromXor[tarnAesBlockBytes];
        unsigned char fromSecond[tarnAesBlockBytes];
        // Any pair with this widened xor, and with a non-zero second value: (widened ^ 1, 1).
        getKey(widened ^ 1u, 1u, nullptr, fromXor, computeIvBit);
        // Any pair with this second value and a non-zero first value: (1, widened).
        getKey(1u, widened, nullptr, fromSecond, computeIvBit);
        for (size_t i = 0; i < tarnAesBlockBytes; ++i) {
            if (ivByteFollowsSecond(static_cast<int>(i))) {
                fromXor[i] = 0;
            } else {
                fromSecond[i] = 0;
            }
        }
        std::memcpy(tables.byXor[b], fromXor, tarnAesBlockBytes);
        std::memcpy(tables.bySecond[b], fromSecond, tarnAesBlockBytes);
    }
    return tables;
}

void deriveIv(const char* salt, unsigned char* iv) {
    const auto s0 = static_cast<unsigned char>(salt[0]);
    const auto s1 = static_cast<unsigned char>(salt[1]);
    if (s0 == 0 && s1 == 0) {  // the empty salt: its truth-value indexes are 0
        getKey(0, 0, nullptr, iv, computeIvBit);
        return;
    }
    static const IvTables tables = buildIvTables();
    const uint64_t* first = tables.byXor[s0 ^ s1];
    const uint64_t* second = tables.bySecond[s1];
    const uint64_t words[2] = {first[0] | second[0], first[1] | second[1]};
    std::memcpy(iv, words, tarnAesBlockBytes);
}

void encryptToText(const unsigned char* input, char* output, size_t inputLen, const AesKeyRef& key,
                   const unsigned char* iv) {
    // A length that is not a whole number of blocks is outside the contract; the cipher still
    // sees the last partial block filled with zero bytes, and the text covers inputLen bytes.
    const size_t blocks = aesPaddedLength(inputLen);
    Scratch cipher(blocks);
    const unsigned char* plain = input;
    if (blocks != inputLen) {
        std::memcpy(cipher.data, input, inputLen);
        std::memset(cipher.data + inputLen, 0, blocks - inputLen);
        plain = cipher.data;
    }
    if (!aesCbc(plain, cipher.data, blocks, key, iv, true)) {
        wipeSecret(cipher.data, blocks);  // it may still hold the copy of the clear text
        return;
    }

    encodeInto(cipher.data, inputLen, reinterpret_cast<unsigned char*>(output),
               FinalLineFeed::drop);
}

void decryptText(const char* input, char* output, const AesKeyRef& key, const unsigned char* iv) {
    const auto* text = reinterpret_cast<const unsigned char*>(input);
    // The whole text bounds the run; strlen is cheaper than a second walk of the run.
    Scratch cipher(decodedCapacity(std::strlen(input)));
    size_t decoded = 0;
    if (!decodeInto(text, LineBreaks::skip, cipher.data, &decoded)) return;
    // Only whole blocks go to the cipher: CBC would read past the decoded bytes otherwise.
    if (decoded == 0 || decoded % tarnAesBlockBytes != 0) return;
    auto* plain = reinterpret_cast<unsigned char*>(output);
    if (aesCbc(cipher.data, plain, decoded, key, iv, false)) plain[decoded] = '\0';
}

int transform(char* input, char* output, int inputLen, BOOLEAN isEncrypt, const char* salt,
              const AesKeyRef& key) {
    ensureInit();
    unsigned char iv[tarnAesBlockBytes] = {};
    deriveIv(salt, iv);
    if (isEncrypt) {
        if (inputLen > 0) {
            encryptToText(reinterpret_cast<const unsigned char*>(input), output,
                          static_cast<size_t>(inputLen), key, iv);
        }
    } else {
        decryptText(input, output, key, iv);
    }
    return 1;
}

// What a TarnPreparedKey's storage holds.
struct PreparedKey {
    unsigned char bytes[tarnAesKeyBytes];
    AesSchedules schedules;
    uint32_t ready;  // preparedMark once prepared; anything else is no key
};
constexpr uint32_t preparedMark = 0x7a6b3f01u;

static_assert(sizeof(PreparedKey) <= sizeof(TarnPreparedKey), "TarnPreparedKey is too small");
static_assert(alignof(PreparedKey) <= alignof(TarnPreparedKey), "TarnPreparedKey is misaligned");

PreparedKey* preparedIn(TarnPreparedKey* storage) {
    return reinterpret_cast<PreparedKey*>(storage->opaque);
}

}  // namespace

int AES_128_CBC_Encrypt(char* input, char* output, int inputLen, BOOLEAN isEncrypt,
                        const char* salt, char* masterKey) {
    return transform(input, output, inputLen, isEncrypt, salt,
                     AesKeyRef{reinterpret_cast<const unsigned char*>(masterKey), nullptr});
}

extern "C" int AES_128_CBC_PrepareKey(TarnPreparedKey* prepared, const char* masterKey) {
    if (prepared == nullptr || masterKey == nullptr) return 0;
    PreparedKey* key = preparedIn(prepared);
    wipeSecret(prepared, sizeof *prepared);
    std::memcpy(key->bytes, masterKey, tarnAesKeyBytes);
    if (!buildAesSchedules(key->bytes, &key->schedules)) {
        wipeSecret(prepared, sizeof *prepared);
        return 0;
    }
    key->ready = preparedMark;
    return 1;
}

extern "C" int AES_128_CBC_EncryptPrepared(char* input, char* output, int inputLen,
                                           BOOLEAN isEncrypt, const char* salt,
                                           const TarnPreparedKey* prepared) {
    if (prepared == nullptr) return 0;
    const auto* key = reinterpret_cast<const PreparedKey*>(prepared->opaque);
    if (key->ready != preparedMark) return 0;
    return transform(input, output, inputLen, isEncrypt, salt,
                     AesKeyRef{key->bytes, &key->schedules});
}

extern "C" void AES_128_CBC_ForgetKey(TarnPreparedKey* prepared) {
    if (prepared != nullptr) wipeSecret(prepared, sizeof *prepared);
}

extern "C" int Db_AES_128_CBC_Encrypt(char* input, char* output, int inputLen, BOOLEAN isEncrypt,
                                      const char* salt, char* masterKey) {
    return AES_128_CBC_Encrypt(input, output, inputLen, isEncrypt, salt, masterKey);
}

int pad(char* input, unsigned int inputLen) {
    const size_t len = std::strlen(input);
    if (len % tarnAesBlockBytes == 0) return static_cast<int>(len);
    const size_t padded = len - len % tarnAesBlockBytes + tarnAesBlockBytes;
    // Spaces go in only while the text is shorter than capacity - 1.
    const size_t room = inputLen > 0 && inputLen - 1 > len ? inputLen - 1 - len : 0;
    const size_t spaces = std::min(padded - len, room);
    std::memset(input + len, ' ', spaces);
    input[len + spaces] = '\0';
    return static_cast<int>(padded);
}

void trim(char* input) {
    size_t len = std::strlen(input);
    while (len > 0 && input[len - 1] == ' ')
        input[--len] = '\0';
}

char* StrNCpyZ(char* dst, const char* src, unsigned long dstLen) {
    if (dstLen == 0 || dst == nullptr || src == nullptr) return nullptr;
    unsigned long i = 0;
    for (; i + 1 < dstLen && src[i] != '\0'; ++i)
        dst[i] = src[i];
    dst[i] = '\0';
    return dst;
}

char* StrNCatZ(char* dst, const char* src, unsigned long dstLen) {
    if (dstLen == 0 || dst == nullptr || src == nullptr) return nullptr;
    const size_t len = std::strlen(dst);
    if (len + 1 < dstLen) return StrNCpyZ(dst + len, src, dstLen - len);
    return dst;
}

// ---- Port mangling and user/host separation ---------------------------------------------

int manglePort(unsigned int port) {
    return static_cast<int>((port + cryptobase1) ^ cryptobase2);
}

int demanglePort(unsigned int port) {
    return static_cast<int>((port ^ cryptobase2) - cryptobase1);
}

extern "C" int DbManglePort(int port) {
    return manglePort(static_cast<unsigned int>(port));
}

namespace {

// Legacy parts each start with "@", which their alphabet never holds: the second "@" starts
// the host part.
void separateLegacy(const char* value, size_t size, char* user, char* host) {
    const char* cut = std::strchr(value + 1, '@');
    if (cut == nullptr) return;
    const size_t userLen = static_cast<size_t>(cut - value);
    StrNCpyZ(user, value, userLen + 1);
    StrNCpyZ(host, cut, size - userLen + 1);
}

// AES parts are Base64, whose "=" only pads the end of a text: the user part ends with its
// first run of padding. Copies are not terminated; callers zero-fill.
void separateAes(const char* value, size_t size, char* user, char* host) {
    const char* firstPad = std::strchr(value, '=');
    size_t userLen = 1;
    if (firstPad != nullptr) {
        userLen = static_cast<size_t>(firstPad - value) + (firstPad[1] == '=' ? 2 : 1);
    }
    std::memcpy(user, value, userLen);
    std::memcpy(host, value + userLen, size - userLen);
}

}  // namespace

int separateEncrUserAndHost(char* criteriaId, char* encrUserPart, char* encrHostPart,
                            BOOLEAN masterKey) {
    const size_t size = std::strlen(criteriaId);
    if (size == 0) return 1;
    if (masterKey) {
        separateAes(criteriaId, size, encrUserPart, encrHostPart);
    } else {
        separateLegacy(criteriaId, size, encrUserPart, encrHostPart);
    }
    return 1;
}

extern "C" int DbSeparateEncrUserAndHost(char* criteriaId, char* encrUserPart, char* encrHostPart,
                                         BOOLEAN masterKey) {
    return separateEncrUserAndHost(criteriaId, encrUserPart, encrHostPart, masterKey);
}
