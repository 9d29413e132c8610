// dbcipher: libtarncrypt's text transforms as SQL functions.
//
// Every function here runs inside a backend, where an ERROR is a longjmp: no object with a
// destructor may live in these frames, all memory comes from palloc, and the library is
// reached only through the wrappers, which never let an exception out. Scratch buffers are
// sized from the arguments in 64-bit arithmetic and checked against what the server can
// allocate; sql_call.h says how they are wiped and how results are checked.
//
// Each function that turns bytes into bytes has a text form and a bytea form with one body:
// the bytea form is for bytes that are not valid text in the database encoding.
#include <cstddef>
#include <cstring>

#include "aes_encr_wrapper.h"
#include "encDec.h"
#include "server_key.h"
#include "sql_call.h"
#include "tarnSecrets.h"

extern "C" {
#include "postgres.h"

#include "access/detoast.h"
#include "fmgr.h"
#include "utils/builtins.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(aes_encr);
PG_FUNCTION_INFO_V1(aes_encr_bytea);
PG_FUNCTION_INFO_V1(aes_encr_server_key);
PG_FUNCTION_INFO_V1(aes_encr_server_key_bytea);
PG_FUNCTION_INFO_V1(dbcipher_key_fingerprint);
PG_FUNCTION_INFO_V1(mangle_port);
PG_FUNCTION_INFO_V1(compute_salt);
PG_FUNCTION_INFO_V1(compute_salt_bytea);
PG_FUNCTION_INFO_V1(decr);
PG_FUNCTION_INFO_V1(decr_bytea);
PG_FUNCTION_INFO_V1(encr);
PG_FUNCTION_INFO_V1(encr_bytea);
PG_FUNCTION_INFO_V1(separate_encr_user);
PG_FUNCTION_INFO_V1(separate_encr_host);
PG_FUNCTION_INFO_V1(align_input);
}

namespace {

constexpr size_t aesBlock = tarnAesBlockBytes;
// The transform reads exactly this many salt and key bytes, whatever the texts hold.
constexpr size_t saltWidth = 2;
constexpr size_t masterKeyWidth = tarnAesKeyBytes;

// Any other length gives a text that can never be decrypted: the cipher works on whole blocks.
void checkEncryptLength(int inputLen) {
    if (inputLen < 0 || inputLen % static_cast<int>(aesBlock) != 0) {
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("inputLen must be a non-negative multiple of 16 when encrypting"),
                        errdetail("aes_encr was called with inputLen %d.", inputLen),
                        errhint("Pass align_input(input) as inputLen."), hiddenStatement()));
    }
}

// The record's length byte cannot count more, so a longer text could never be decoded.
void checkLegacyClearLength(size_t len) {
    if (len > legacyMaxClearLength) {
        ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                        errmsg("encr takes at most %zu bytes", legacyMaxClearLength),
                        errdetail("The text has %zu bytes.", len), hiddenStatement()));
    }
}

size_t argLength(SqlCall& call, int n) {
    return VARSIZE_ANY_EXHDR(sqlArg(call, n));
}

// Encrypting, the transform reads exactly width bytes of its input: an argument that has them
// is read in place, and only a shorter one is copied, zero-filled to that width.
char* encryptInput(SqlCall& call, size_t width) {
    const varlena* arg = sqlArg(call, 0);
    if (VARSIZE_ANY_EXHDR(arg) >= width) return const_cast<char*>(VARDATA_ANY(arg));
    return argCopy(call, 0, width);
}

// A prepared key is never rebuilt for a call: the server's key is prepared once per reload,
// and the five-argument forms keep the last key they saw.
Datum aesTransform(SqlCall& call, const TarnPreparedKey* (*keyOf)(SqlCall&)) {
    FunctionCallInfo fcinfo = call.fcinfo;
    const int inputLen = PG_GETARG_INT32(1);
    const bool encrypt = PG_GETARG_BOOL(2);
    size_t inputWidth = 0;
    size_t outputSize = 0;
    // Decrypting, the transform reads every line of the text and ignores inputLen.
    if (encrypt) {
        checkEncryptLength(inputLen);
        inputWidth = static_cast<size_t>(inputLen);
        outputSize = aesTextCapacity(inputWidth);
    } else {
        outputSize = aesPlainCapacity(argLength(call, 0));
    }
    char* output = resultBuffer(call, outputSize);
    char storedText[publicCopySize];
    char* input = encrypt ? encryptInput(call, inputWidth)
                          : publicArgCopy(call, 0, storedText, sizeof storedText);
    char salt[saltWidth + 1];
    saltArg(call, 3, salt);
    const TarnPreparedKey* key = keyOf(call);
    if (key == nullptr) checkWrapperStatus(c_libraryFailure, call.function);
    checkWrapperStatus(
        c_AES_128_CBC_EncryptPrepared(input, output, inputLen, encrypt ? 1 : 0, salt, key),
        call.function);
    return sqlResult(call, output);
}

const TarnPreparedKey* keyFromArgument(SqlCall& call) {
    return passedKey(argCopy(call, 4, masterKeyWidth));
}

const TarnPreparedKey* keyOfServer(SqlCall&) {
    return serverKey();
}

Datum passedKeyTransform(SqlCall& call) {
    return aesTransform(call, keyFromArgument);
}

Datum serverKeyTransform(SqlCall& call) {
    return aesTransform(call, keyOfServer);
}

// The database legacy key is wiped before anything can end the call. Returns the library's
// status.
int runUnderDbLegacyKey(int (*wrapper)(char*, char*, char*), char* input, char* output,
                        const char* function) {
    const int status = withDbLegacyKey([&](char* key) { return wrapper(input, key, output); });
    checkWrapperStatus(status, function);
    return status;
}

// A text the decoder refuses gives the empty text: after a failed length or checksum check the
// library leaves the unmixed record in the buffer, which must never pass for the secret.
Datum legacyDecrypt(SqlCall& call) {
    char* plain = resultBuffer(call, legacyPlainCapacity(argLength(call, 0)));
    if (runUnderDbLegacyKey(c_decryptData, argCopy(call, 0, 0), plain, call.function) != 1) {
        plain[0] = '\0';
    }
    return sqlResult(call, plain);
}

Datum legacyEncrypt(SqlCall& call) {
    const size_t len = argLength(call, 0);
    checkLegacyClearLength(len);
    char* ascii = resultBuffer(call, legacyTextCapacity(len));
    runUnderDbLegacyKey(c_encryptData, argCopy(call, 0, 0), ascii, call.function);
    return sqlResult(call, ascii);
}

Datum salt(SqlCall& call) {
    char* crit1 = argCopy(call, 0, 0);
    char* crit2 = argCopy(call, 1, 0);
    char* salt = scratchBuffer(call, saltWidth + 1);
    checkWrapperStatus(c_computeSalt(crit1, crit2, salt), call.function);
    return sqlResult(call, salt);
}

Datum separatedPart(SqlCall& call, bool userPart) {
    FunctionCallInfo fcinfo = call.fcinfo;
    const size_t len = argLength(call, 0);
    char* user = scratchBuffer(call, len + 1);
    char* host = scratchBuffer(call, len + 1);
    char* value = argCopy(call, 0, 0);
    const unsigned char masterKeyMode = PG_GETARG_BOOL(1) ? 1 : 0;
    checkWrapperStatus(c_separateEncrUserHost(value, user, host, masterKeyMode), call.function);
    return sqlResult(call, userPart ? user : host);
}

Datum userPart(SqlCall& call) {
    return separatedPart(call, true);
}

Datum hostPart(SqlCall& call) {
    return separatedPart(call, false);
}

}  // namespace

extern "C" {

Datum aes_encr(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr", SqlForm::text, passedKeyTransform);
}

Datum aes_encr_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr", SqlForm::bytea, passedKeyTransform);
}

Datum aes_encr_server_key(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr", SqlForm::text, serverKeyTransform);
}

Datum aes_encr_server_key_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr", SqlForm::bytea, serverKeyTransform);
}

Datum dbcipher_key_fingerprint(PG_FUNCTION_ARGS) {
    PG_RETURN_TEXT_P(cstring_to_text(serverKeyFingerprint()));
}

void _PG_init(void) {
    defineServerKeySetting();
}

// A mangled port is any 32-bit pattern: with its top bit set it reads as negative in SQL.
Datum mangle_port(PG_FUNCTION_ARGS) {
    uint32_t mangled = 0;
    c_manglePort(static_cast<uint32_t>(PG_GETARG_INT32(0)), &mangled);
    PG_RETURN_INT32(static_cast<int32>(mangled));
}

Datum compute_salt(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "compute_salt", SqlForm::text, salt);
}

Datum compute_salt_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "compute_salt", SqlForm::bytea, salt);
}

Datum decr(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "decr", SqlForm::text, legacyDecrypt);
}

Datum decr_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "decr", SqlForm::bytea, legacyDecrypt);
}

Datum encr(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "encr", SqlForm::text, legacyEncrypt);
}

Datum encr_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "encr", SqlForm::bytea, legacyEncrypt);
}

Datum separate_encr_user(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "separate_encr_user", SqlForm::textOnly, userPart);
}

Datum separate_encr_host(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "separate_encr_host", SqlForm::textOnly, hostPart);
}

// A text is at most 1 GB, so its aligned length always fits an integer. The length comes from
// the stored header: a secret is never detoasted into a copy just to be measured.
Datum align_input(PG_FUNCTION_ARGS) {
    const size_t len = toast_raw_datum_size(PG_GETARG_DATUM(0)) - VARHDRSZ;
    PG_RETURN_INT32(static_cast<int32>(aesPaddedLength(len)));
}

}  // extern "C"
