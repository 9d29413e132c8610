// dbcipher: libtarncrypt's text transforms as SQL functions.
//
// Every function here runs inside a backend, where an ERROR is a longjmp: no object with a
// destructor may live in these frames, all memory comes from palloc, and the library is
// reached only through the wrappers, which never let an exception out. Scratch buffers are
// sized from the arguments in 64-bit arithmetic and checked against what the server can
// allocate before anything is allocated.
#include <cstddef>

#include "aes_encr_wrapper.h"
#include "dbLegacyKey.h"
#include "encDec.h"

extern "C" {
#include "postgres.h"

#include "fmgr.h"
#include "utils/builtins.h"
#include "utils/memutils.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(aes_encr);
PG_FUNCTION_INFO_V1(mangle_port);
PG_FUNCTION_INFO_V1(compute_salt);
PG_FUNCTION_INFO_V1(decr);
PG_FUNCTION_INFO_V1(encr);
PG_FUNCTION_INFO_V1(separate_encr_user);
PG_FUNCTION_INFO_V1(separate_encr_host);
PG_FUNCTION_INFO_V1(align_input);
}

namespace {

constexpr size_t aesBlock = 16;
// The transform reads exactly this many salt and key bytes, whatever the texts hold.
constexpr size_t saltWidth = 2;
constexpr size_t masterKeyWidth = 16;
// A scratch buffer's content becomes a text value, which carries a header of its own.
constexpr size_t maxScratchSize = MaxAllocSize - VARHDRSZ;

// A zero-filled buffer of size bytes, or an ERROR when the server could never hold it.
char* scratchBuffer(size_t size, const char* function) {
    if (size > maxScratchSize) {
        ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                        errmsg("%s would need a buffer of %zu bytes, more than the server allows",
                               function, size)));
    }
    return static_cast<char*>(palloc0(size));
}

// The text's bytes as a zero-terminated string in a zero-filled buffer that holds at least
// width readable bytes: a short salt or key, or an input shorter than inputLen, goes on as zero
// bytes instead of being read past its end.
char* stringCopy(const text* arg, size_t width, const char* function) {
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    char* copy = scratchBuffer((len > width ? len : width) + 1, function);
    memcpy(copy, VARDATA_ANY(arg), len);
    return copy;
}

// Turns a wrapper's failure into an ERROR; by now the library's frames are gone.
void checkWrapperStatus(int status, const char* function) {
    if (status == c_outOfMemory) {
        ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory"),
                        errdetail("libtarncrypt could not allocate memory in %s.", function)));
    }
    if (status == c_libraryFailure) {
        ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
                        errmsg("libtarncrypt failed in %s", function)));
    }
}

// Any other length gives a text that can never be decrypted: the cipher works on whole blocks.
void checkEncryptLength(int inputLen) {
    if (inputLen < 0 || inputLen % static_cast<int>(aesBlock) != 0) {
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("inputLen must be a non-negative multiple of 16 when encrypting"),
                        errdetail("aes_encr was called with inputLen %d.", inputLen),
                        errhint("Pass align_input(input) as inputLen.")));
    }
}

// The record's length byte cannot count more, so a longer text could never be decoded.
void checkLegacyClearLength(size_t len) {
    if (len > legacyMaxClearLength) {
        ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                        errmsg("encr takes at most %zu bytes", legacyMaxClearLength),
                        errdetail("The text has %zu bytes.", len)));
    }
}

Datum textResult(char* buffer) {
    text* result = cstring_to_text(buffer);
    pfree(buffer);
    PG_RETURN_TEXT_P(result);
}

// Decrypting, the transform reads every line of the text and ignores inputLen.
Datum aesTransform(FunctionCallInfo fcinfo, int inputLen, bool encrypt) {
    const text* inputArg = PG_GETARG_TEXT_PP(0);
    size_t inputWidth = 0;
    size_t outputSize = aesPlainCapacity(VARSIZE_ANY_EXHDR(inputArg));
    if (encrypt) {
        checkEncryptLength(inputLen);
        inputWidth = static_cast<size_t>(inputLen);
        outputSize = aesTextCapacity(inputWidth);
    }
    char* output = scratchBuffer(outputSize, "aes_encr");
    char* input = stringCopy(inputArg, inputWidth, "aes_encr");
    char* salt = stringCopy(PG_GETARG_TEXT_PP(3), saltWidth, "aes_encr");
    char* key = stringCopy(PG_GETARG_TEXT_PP(4), masterKeyWidth, "aes_encr");
    const int status = c_AES_128_CBC_Encrypt(input, output, inputLen, encrypt ? 1 : 0, salt, key);
    pfree(input);
    pfree(salt);
    pfree(key);
    checkWrapperStatus(status, "aes_encr");
    return textResult(output);
}

// Runs a legacy wrapper under the database legacy key, which lives only in this frame; input
// is released. Returns the library's status.
int withDbLegacyKey(int (*wrapper)(char*, char*, char*), char* input, char* output,
                    const char* function) {
    char key[dbLegacyKeySize];
    buildDbLegacyKey(key);
    const int status = wrapper(input, key, output);
    pfree(input);
    checkWrapperStatus(status, function);
    return status;
}

Datum separatedPart(FunctionCallInfo fcinfo, bool userPart) {
    const char* function = userPart ? "separate_encr_user" : "separate_encr_host";
    const text* arg = PG_GETARG_TEXT_PP(0);
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    char* user = scratchBuffer(len + 1, function);
    char* host = scratchBuffer(len + 1, function);
    char* value = stringCopy(arg, 0, function);
    const unsigned char masterKeyMode = PG_GETARG_BOOL(1) ? 1 : 0;
    const int status = c_separateEncrUserHost(value, user, host, masterKeyMode);
    pfree(value);
    checkWrapperStatus(status, function);
    pfree(userPart ? host : user);
    return textResult(userPart ? user : host);
}

}  // namespace

extern "C" {

Datum aes_encr(PG_FUNCTION_ARGS) {
    return aesTransform(fcinfo, PG_GETARG_INT32(1), PG_GETARG_BOOL(2));
}

// A mangled port is any 32-bit pattern: with its top bit set it reads as negative in SQL.
Datum mangle_port(PG_FUNCTION_ARGS) {
    uint32_t mangled = 0;
    c_manglePort(static_cast<uint32_t>(PG_GETARG_INT32(0)), &mangled);
    PG_RETURN_INT32(static_cast<int32>(mangled));
}

Datum compute_salt(PG_FUNCTION_ARGS) {
    char* crit1 = stringCopy(PG_GETARG_TEXT_PP(0), 0, "compute_salt");
    char* crit2 = stringCopy(PG_GETARG_TEXT_PP(1), 0, "compute_salt");
    char* salt = scratchBuffer(saltWidth + 1, "compute_salt");
    const int status = c_computeSalt(crit1, crit2, salt);
    pfree(crit1);
    pfree(crit2);
    checkWrapperStatus(status, "compute_salt");
    return textResult(salt);
}

// A text the decoder refuses gives the empty text: after a failed length or checksum check the
// library leaves the unmixed record in the buffer, which must never pass for the secret.
Datum decr(PG_FUNCTION_ARGS) {
    const text* arg = PG_GETARG_TEXT_PP(0);
    char* plain = scratchBuffer(legacyPlainCapacity(VARSIZE_ANY_EXHDR(arg)), "decr");
    const int status = withDbLegacyKey(c_decryptData, stringCopy(arg, 0, "decr"), plain, "decr");
    if (status != 1) plain[0] = '\0';
    return textResult(plain);
}

Datum encr(PG_FUNCTION_ARGS) {
    const text* arg = PG_GETARG_TEXT_PP(0);
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    checkLegacyClearLength(len);
    char* ascii = scratchBuffer(legacyTextCapacity(len), "encr");
    withDbLegacyKey(c_encryptData, stringCopy(arg, 0, "encr"), ascii, "encr");
    return textResult(ascii);
}

Datum separate_encr_user(PG_FUNCTION_ARGS) {
    return separatedPart(fcinfo, true);
}

Datum separate_encr_host(PG_FUNCTION_ARGS) {
    return separatedPart(fcinfo, false);
}

// A text is at most 1 GB, so its aligned length always fits an integer.
Datum align_input(PG_FUNCTION_ARGS) {
    const size_t len = VARSIZE_ANY_EXHDR(PG_GETARG_TEXT_PP(0));
    PG_RETURN_INT32(static_cast<int32>((len + aesBlock - 1) / aesBlock * aesBlock));
}

}  // extern "C"
