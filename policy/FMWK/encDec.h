// Interface of libtarncrypt: the AES-128-CBC text transform with its salt/IV derivation and
// Base64 codec, port mangling, user/host separation and the legacy text cipher.
//
// Every function writes into buffers that the caller owns and sizes; the *Capacity helpers
// below give the size each output needs. Nothing here throws, prints or logs. Keys, key
// schedules and clear texts the library copies are wiped before the call returns.
//
// The library is thread-safe: every function may be called from many threads at once. The
// process-wide state it keeps (the Base64 tables built on first use, the transform's IV tables,
// its OpenSSL cipher and its count of long texts) is set up once, safely, whichever threads
// arrive first. The exported tables below are only read by the library; a caller that writes
// them while other threads call it races with those calls.
#ifndef TARNCRYPT_ENCDEC_H
#define TARNCRYPT_ENCDEC_H

#include <cstddef>
#include <cstdint>

#define TARN_API __attribute__((visibility("default")))

typedef unsigned char BOOLEAN;
typedef uint32_t UINT32;
typedef unsigned char UCHAR;

// Fixed salts for callers elsewhere in the platform. Texts made under them open only under
// the same values, so they never change.
static constexpr char dfCollectorIdSalt[3] = "Dc";
static constexpr char masterKeySalt[3] = "Mk";
static constexpr char wildCardSalt[3] = "Wc";

// ---- Salt and key/IV derivation -------------------------------------------------------

// Secret key and IV material. Every stored AES text depends on these bytes.
extern TARN_API UCHAR dataTable[137];
extern TARN_API UCHAR vecTable[127];

// computeOp bit 0 writes 16 key bytes to pkey, bit 1 writes 16 IV bytes to pivec; a buffer
// whose bit is clear is not touched and may be null. Always returns 1.
TARN_API int getKey(UINT32 key, UINT32 key2, unsigned char* pkey, unsigned char* pivec,
                    UINT32 computeOp);

// Writes the two characters around the middle of crit1 + crit2, and a terminator, to salt
// (3 bytes). A joined text of one character gives that character twice; an empty one gives
// the empty salt (three zero bytes). Nothing outside the two texts is read.
TARN_API void computeSalt(char* crit1, char* crit2, char* salt);
extern "C" TARN_API int DbComputeSalt(char* crit1, char* crit2, char* salt);

// ---- Base64 codec ---------------------------------------------------------------------

extern TARN_API unsigned char decoder_[256];
extern TARN_API unsigned char member_[256];
extern TARN_API bool init_;

TARN_API void init();
// Size of the buffer decode() allocates for this text; UINT_MAX (never a real size) for a run
// so long that the size does not fit, which decode() refuses.
TARN_API unsigned int length(const unsigned char* input);
// Base64 with a line feed after every 72 characters. A negative input_len encodes nothing:
// the result is the empty text. Release the result with delete[].
TARN_API unsigned char* encode(const unsigned char* input, const int input_len,
                               unsigned int* output_len);
// Reads the leading run of Base64 characters, spaces and "=" (a line feed ends it), stops at
// the first "=". Null for null input, an incomplete final group or a run whose buffer size
// does not fit an unsigned int (see length()). Release with delete[].
TARN_API unsigned char* decode(const unsigned char* input, unsigned int* output_len);

// ---- AES-128-CBC text transform -------------------------------------------------------

// isEncrypt != 0: encrypts inputLen bytes (a multiple of 16; see pad) under the 16 bytes at
// masterKey and the IV derived from salt[0..1], and writes the Base64 text. output needs
// aesTextCapacity(inputLen) bytes. A negative inputLen writes nothing.
// isEncrypt == 0: decrypts the text at input (all of its lines) and writes the padded
// plaintext and a terminator; output needs aesPlainCapacity(strlen(input)) bytes. A text that
// does not decode to whole 16-byte blocks leaves output untouched.
// Always returns 1: a failure shows as an output left as the caller prepared it.
TARN_API int AES_128_CBC_Encrypt(char* input, char* output, int inputLen, BOOLEAN isEncrypt,
                                 const char* salt, char* masterKey);
extern "C" TARN_API int Db_AES_128_CBC_Encrypt(char* input, char* output, int inputLen,
                                               BOOLEAN isEncrypt, const char* salt,
                                               char* masterKey);

// ---- Prepared keys --------------------------------------------------------------------

// A master key with its AES schedules built once, for a caller that uses one key for many
// texts. The storage is the caller's, of this fixed size, so that it can sit in memory the
// caller locks and keeps out of core dumps. It holds key material until
// AES_128_CBC_ForgetKey wipes it; copy it only where the key may go.
struct TarnPreparedKey {
    alignas(16) unsigned char opaque[1024];
};

// Prepares the 16 bytes at masterKey (as AES_128_CBC_Encrypt reads them). Returns 1, or 0 with
// prepared wiped when the schedules cannot be built or an argument is null.
extern "C" TARN_API int AES_128_CBC_PrepareKey(TarnPreparedKey* prepared, const char* masterKey);
// AES_128_CBC_Encrypt under a prepared key: the same arguments, buffers and bytes. Returns 1,
// or 0 without writing anything when prepared holds no prepared key.
extern "C" TARN_API int AES_128_CBC_EncryptPrepared(char* input, char* output, int inputLen,
                                                    BOOLEAN isEncrypt, const char* salt,
                                                    const TarnPreparedKey* prepared);
// Wipes the key and its schedules; prepared then holds no key. A null pointer is ignored.
extern "C" TARN_API void AES_128_CBC_ForgetKey(TarnPreparedKey* prepared);

// Appends spaces up to the next multiple of 16 within the capacity inputLen (terminator
// included); returns the padded length even when the capacity cut the padding short.
TARN_API int pad(char* input, unsigned int inputLen);
// Removes trailing spaces in place; an all-space text becomes empty.
TARN_API void trim(char* input);
TARN_API char* StrNCpyZ(char* dst, const char* src, unsigned long dstLen);
TARN_API char* StrNCatZ(char* dst, const char* src, unsigned long dstLen);

// ---- Port mangling and user/host separation -------------------------------------------

extern TARN_API unsigned int cryptobase1;
extern TARN_API unsigned int cryptobase2;

TARN_API int manglePort(unsigned int port);
TARN_API int demanglePort(unsigned int port);
extern "C" TARN_API int DbManglePort(int port);

// Cuts a stored user+host value into its two encrypted parts; each output needs
// strlen(criteriaId) + 1 bytes. masterKey false: legacy texts, cut before the second "@";
// true: AES texts, cut after the first Base64 padding (outputs are not terminated: zero-fill
// them first). An empty value writes nothing. Always returns 1.
TARN_API int separateEncrUserAndHost(char* criteriaId, char* encrUserPart, char* encrHostPart,
                                     BOOLEAN masterKey);
extern "C" TARN_API int DbSeparateEncrUserAndHost(char* criteriaId, char* encrUserPart,
                                                  char* encrHostPart, BOOLEAN masterKey);

// ---- Legacy text cipher ---------------------------------------------------------------

// Clear texts of 0 to legacyMaxClearLength bytes; keys of any non-zero length. Returns 1, or 0
// without writing anything for a null or over-long text or an empty key. ascii needs
// legacyTextCapacity(strlen(password)) bytes.
TARN_API int EncryptData(char* password, char* key, char* ascii);
// Returns 1 and the clear text, or 0 when the text fails a check (then binary holds no
// defined content). binary needs legacyPlainCapacity(strlen(ascii)) bytes.
TARN_API int DecryptData(char* ascii, char* key, char* binary);
// The same under the database legacy key.
extern "C" TARN_API int DbEncryptData(char* data, char* inp);
extern "C" TARN_API int DbDecryptData(char* data, char* otp);

// ---- Sizes ----------------------------------------------------------------------------

// The AES block, which is also the unit pad() fills to, and the key bytes the transform reads.
static constexpr size_t tarnAesBlockBytes = 16;
static constexpr size_t tarnAesKeyBytes = 16;
// Base64 lines of encode() and the transform's texts.
static constexpr size_t base64LineChars = 72;

static constexpr size_t legacyMaxClearLength = 255;

// Single-return constexpr functions: the header stays usable from C++11.

// Base64 characters of n bytes, padding included, without line feeds.
constexpr size_t base64EncodedLength(size_t n) {
    return 4 * ((n + 2) / 3);
}
// The transform's text of n ciphertext bytes: lines of base64LineChars, a line feed between
// lines and none after the last (terminator not included).
constexpr size_t aesTextLength(size_t n) {
    return n == 0 ? 0 : base64EncodedLength(n) + (base64EncodedLength(n) - 1) / base64LineChars;
}
constexpr size_t aesPaddedLength(size_t n) {
    return (n + tarnAesBlockBytes - 1) / tarnAesBlockBytes * tarnAesBlockBytes;
}

// ---- Output sizes (bytes, terminator included) ----------------------------------------

constexpr size_t base64EncodeCapacity(size_t n) {
    return base64EncodedLength(n) + base64EncodedLength(n) / base64LineChars + 2;
}
constexpr size_t aesTextCapacity(size_t inputLen) {
    return aesPaddedLength(inputLen) > base64EncodeCapacity(inputLen)
               ? aesPaddedLength(inputLen)
               : base64EncodeCapacity(inputLen);
}
constexpr size_t aesPlainCapacity(size_t textLen) {
    return textLen + 1;
}
constexpr size_t legacyTextCapacity(size_t clearLen) {
    return 2 + (4 * (clearLen + 3) + 2) / 3;
}
constexpr size_t legacyPlainCapacity(size_t textLen) {
    return textLen + 1;
}

#endif  // TARNCRYPT_ENCDEC_H
