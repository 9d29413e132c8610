// aes_encr_rewrap: a stored AES text moved from the previous server key to the current one
// inside the call, so that neither key nor the clear text ever reaches SQL.
//
// Stored texts carry no key identifier, and a text opened under a wrong key still gives bytes.
// Sealing those bytes again would lose the secret for good, so the opened text must look like
// one the kit could have sealed: Base64 of whole blocks, clear bytes up to the first zero byte
// and only zero bytes behind them, and (in the text form) valid text in the database encoding.
// That net catches most wrong-key openings in a multi-byte encoding and few in SQL_ASCII or
// for bytea; the README's key_fp column is what makes a rotation exact.
#include <cstring>

#include "aes_encr_wrapper.h"
#include "encDec.h"
#include "server_key.h"
#include "sql_call.h"

extern "C" {
#include "postgres.h"

#include "fmgr.h"
#include "mb/pg_wchar.h"
#include "utils/builtins.h"

PG_FUNCTION_INFO_V1(aes_encr_rewrap);
PG_FUNCTION_INFO_V1(aes_encr_rewrap_bytea);
PG_FUNCTION_INFO_V1(dbcipher_previous_key_fingerprint);
}

namespace {

// The decryption writes the opened blocks and a terminator, nothing behind them, and nothing at
// all for a text that is not whole blocks: in a buffer filled with a non-zero byte first, the
// last zero byte marks where the blocks end.
constexpr unsigned char unwritten = 0xFF;

enum class Refusal { notAesText, dataAfterZero, notDatabaseText };

[[noreturn]] void refuse(const SqlCall& call, Refusal why) {
    ereport(ERROR,
            (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
             errmsg("%s found a text that does not open under the previous key", call.function),
             why == Refusal::notAesText ? errdetail("It is not Base64 of whole 16-byte blocks.")
             : why == Refusal::dataAfterZero
                 ? errdetail("It opens to a zero byte followed by other bytes.")
                 : errdetail("It opens to bytes that are not valid text in encoding \"%s\".",
                             GetDatabaseEncodingName()),
             errhint("Rewrap only texts under dbcipher.previous_key_file's key: keep each row's "
                     "key fingerprint and select the rows whose fingerprint is "
                     "dbcipher_previous_key_fingerprint()."),
             hiddenStatement()));
    pg_unreachable();
}

// The transform under a prepared key returns 1, or 0 for a key that is not prepared, which
// serverKey() and previousKey() never hand out.
void checkTransformed(int status, const SqlCall& call) {
    checkWrapperStatus(status, call.function);
    if (status != 1) checkWrapperStatus(c_libraryFailure, call.function);
}

// The length of the opened blocks in a buffer filled with `unwritten` before the decryption,
// or size when it wrote nothing (no terminator).
size_t openedLength(const char* plain, size_t size) {
    const void* last = memrchr(plain, '\0', size);
    return last == nullptr ? size : static_cast<size_t>(static_cast<const char*>(last) - plain);
}

bool allZero(const char* bytes, size_t len) {
    unsigned char bits = 0;
    for (size_t i = 0; i < len; ++i)
        bits |= static_cast<unsigned char>(bytes[i]);
    return bits == 0;
}

// Opens the text under the previous key into a scratch buffer and checks it; returns the clear
// bytes, zero-terminated and followed by zero bytes to the end of their last block.
char* openUnderPreviousKey(SqlCall& call, const char* salt, size_t* clearLen) {
    const size_t textLen = VARSIZE_ANY_EXHDR(sqlArg(call, 0));
    const TarnPreparedKey* key = previousKey();
    char storedText[publicCopySize];
    char* text = publicArgCopy(call, 0, storedText, sizeof storedText);
    const size_t size = aesPlainCapacity(textLen);
    char* plain = scratchBuffer(call, size);
    std::memset(plain, unwritten, size);
    checkTransformed(c_AES_128_CBC_EncryptPrepared(text, plain, 0, 0, salt, key), call);
    const size_t opened = openedLength(plain, size);
    if (opened == size) refuse(call, Refusal::notAesText);
    *clearLen = std::strlen(plain);
    if (!allZero(plain + *clearLen, opened - *clearLen)) refuse(call, Refusal::dataAfterZero);
    if (call.form != SqlForm::bytea && !isDatabaseText(plain, *clearLen)) {
        refuse(call, Refusal::notDatabaseText);
    }
    return plain;
}

// The empty text is what the kit seals an empty secret to; it stays as it is.
Datum rewrap(SqlCall& call) {
    if (VARSIZE_ANY_EXHDR(sqlArg(call, 0)) == 0) return sqlResult(call, "");
    char salt[3];
    saltArg(call, 1, salt);
    size_t clearLen = 0;
    char* plain = openUnderPreviousKey(call, salt, &clearLen);
    const TarnPreparedKey* current = serverKey();
    // Sealed as aes_encr(clear, align_input(clear), true, salt) seals it: the same bytes.
    const size_t inputLen = aesPaddedLength(clearLen);
    char* sealed = resultBuffer(call, aesTextCapacity(inputLen));
    checkTransformed(
        c_AES_128_CBC_EncryptPrepared(plain, sealed, static_cast<int>(inputLen), 1, salt, current),
        call);
    return sqlResult(call, sealed);
}

}  // namespace

extern "C" {

Datum aes_encr_rewrap(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr_rewrap", SqlForm::text, rewrap);
}

Datum aes_encr_rewrap_bytea(PG_FUNCTION_ARGS) {
    return runSqlCall(fcinfo, "aes_encr_rewrap", SqlForm::bytea, rewrap);
}

Datum dbcipher_previous_key_fingerprint(PG_FUNCTION_ARGS) {
    PG_RETURN_TEXT_P(cstring_to_text(previousKeyFingerprint()));
}

}  // extern "C"
