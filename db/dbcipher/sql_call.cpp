// dbcipher's call frame; see sql_call.h for what it promises.
#include "sql_call.h"

#include <cstdint>
#include <cstring>

#include "aes_encr_wrapper.h"

extern "C" {
#include "mb/pg_wchar.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
}

namespace {

// A scratch buffer's content becomes a text value, which carries a header of its own.
constexpr size_t maxScratchSize = MaxAllocSize - VARHDRSZ;

// pfree never clears memory, and the server hands freed chunks to the next palloc.
void wipeAndFree(void* data, size_t size) {
    explicit_bzero(data, size);
    pfree(data);
}

// Detoasting made a copy of its own when the pointer differs from the argument's datum.
void releaseArgs(const SqlCall& call) {
    for (int n = 0; n < SqlCall::maxArgs; ++n) {
        const varlena* arg = call.args[n];
        if (arg != nullptr &&
            arg != reinterpret_cast<const varlena*>(DatumGetPointer(call.fcinfo->args[n].value))) {
            wipeAndFree(const_cast<varlena*>(arg), VARSIZE_ANY(arg));
        }
    }
}

void releaseHeld(const SqlCall& call) {
    for (int i = 0; i < call.scratchCount; ++i)
        wipeAndFree(call.scratch[i].data, call.scratch[i].size);
    releaseArgs(call);
}

void reportInvalidEncoding(const SqlCall& call) {
    ereport(
        ERROR,
        (errcode(ERRCODE_CHARACTER_NOT_IN_REPERTOIRE),
         errmsg("%s gave bytes that are not valid text in encoding \"%s\"", call.function,
                GetDatabaseEncodingName()),
         call.form == SqlForm::text
             ? errhint("Call %s with bytea arguments to work with the exact bytes.", call.function)
             : errhint("Stored user and host values are ASCII texts of encr or aes_encr."),
         hiddenStatement()));
}

// Every server encoding extends ASCII, and results are mostly Base64 or legacy texts, so
// the encoding's own check runs only for the others.
bool isAscii(const char* buffer, size_t len) {
    constexpr uint64_t highBits = 0x8080808080808080u;
    uint64_t bits = 0;
    size_t i = 0;
    for (; i + sizeof bits <= len; i += sizeof bits) {
        uint64_t word;
        std::memcpy(&word, buffer + i, sizeof word);
        bits |= word;
    }
    for (; i < len; ++i)
        bits |= static_cast<unsigned char>(buffer[i]);
    return (bits & highBits) == 0;
}

void checkScratchSize(const SqlCall& call, size_t size) {
    if (size > maxScratchSize) {
        ereport(ERROR, (errcode(ERRCODE_PROGRAM_LIMIT_EXCEEDED),
                        errmsg("%s would need a buffer of %zu bytes, more than the server allows",
                               call.function, size),
                        hiddenStatement()));
    }
}

char* heldBuffer(SqlCall& call, size_t size) {
    Assert(call.scratchCount < SqlCall::maxScratch);
    char* data = static_cast<char*>(palloc0(size));
    call.scratch[call.scratchCount++] = {data, size};
    return data;
}

// Hands the result scratch over as a text value of len bytes: a refused legacy text, for one,
// leaves record bytes behind its terminator.
varlena* takeResult(SqlCall& call, size_t len) {
    Scratch& held = call.scratch[call.resultScratch];
    auto* value = reinterpret_cast<varlena*>(held.data);
    const size_t used = VARHDRSZ + len;
    explicit_bzero(held.data + used, held.size - used);
    SET_VARSIZE(value, used);
    held = call.scratch[--call.scratchCount];
    call.resultScratch = -1;
    return value;
}

}  // namespace

namespace {

// The call lives in runSqlCall's frame, which holds no sigsetjmp: here only the pointer is seen
// across the jump, and it never changes after it, so the catch block reads well-defined state.
Datum runGuarded(SqlCall* const call, Datum (*body)(SqlCall&)) {
    volatile Datum result = 0;
    PG_TRY();
    { result = body(*call); }
    PG_CATCH();
    {
        releaseHeld(*call);
        PG_RE_THROW();
    }
    PG_END_TRY();
    return result;
}

}  // namespace

Datum runSqlCall(FunctionCallInfo fcinfo, const char* function, SqlForm form,
                 Datum (*body)(SqlCall&)) {
    // Only the fields that are read before they are written are set: zeroing the whole struct
    // (its scratch table too) was a measurable part of a short call.
    SqlCall call;
    call.fcinfo = fcinfo;
    call.function = function;
    call.form = form;
    for (const varlena*& arg : call.args)
        arg = nullptr;
    call.scratchCount = 0;
    call.resultScratch = -1;
    const Datum result = runGuarded(&call, body);
    releaseHeld(call);
    return result;
}

const varlena* sqlArg(SqlCall& call, int n) {
    if (call.args[n] != nullptr) return call.args[n];
    // Only a compressed or out-of-line value needs the server's detoasting (and becomes a copy
    // of its own); an inline one, the common short text, is read where it stands.
    auto* stored = reinterpret_cast<varlena*>(DatumGetPointer(call.fcinfo->args[n].value));
    const varlena* arg = VARATT_IS_COMPRESSED(stored) || VARATT_IS_EXTERNAL(stored)
                             ? pg_detoast_datum_packed(stored)
                             : stored;
    call.args[n] = arg;
    if (call.form == SqlForm::bytea &&
        std::memchr(VARDATA_ANY(arg), '\0', VARSIZE_ANY_EXHDR(arg)) != nullptr) {
        ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE),
                        errmsg("argument %d of %s holds a zero byte", n + 1, call.function),
                        errdetail("libtarncrypt ends every string at its first zero byte."),
                        hiddenStatement()));
    }
    return arg;
}

char* scratchBuffer(SqlCall& call, size_t size) {
    checkScratchSize(call, size);
    return heldBuffer(call, size);
}

char* resultBuffer(SqlCall& call, size_t size) {
    Assert(call.resultScratch < 0);
    checkScratchSize(call, size);
    // The value's header goes in front; the size limit leaves room for it.
    char* value = heldBuffer(call, size + VARHDRSZ);
    call.resultScratch = call.scratchCount - 1;
    return value + VARHDRSZ;
}

char* argCopy(SqlCall& call, int n, size_t width) {
    const varlena* arg = sqlArg(call, n);
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    char* copy = scratchBuffer(call, (len > width ? len : width) + 1);
    std::memcpy(copy, VARDATA_ANY(arg), len);
    return copy;
}

char* publicArgCopy(SqlCall& call, int n, char* local, size_t localSize) {
    const varlena* arg = sqlArg(call, n);
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    if (len >= localSize) return argCopy(call, n, 0);
    std::memcpy(local, VARDATA_ANY(arg), len);
    local[len] = '\0';
    return local;
}

void saltArg(SqlCall& call, int n, char (&salt)[3]) {
    const varlena* arg = sqlArg(call, n);
    const size_t len = VARSIZE_ANY_EXHDR(arg);
    salt[0] = len > 0 ? VARDATA_ANY(arg)[0] : '\0';
    salt[1] = len > 1 ? VARDATA_ANY(arg)[1] : '\0';
    salt[2] = '\0';
}

bool isDatabaseText(const char* bytes, size_t len) {
    return isAscii(bytes, len) ||
           pg_verify_mbstr(GetDatabaseEncoding(), bytes, static_cast<int>(len), true);
}

// In SQL_ASCII every byte string is valid, so nothing changes there; the bytes are never
// converted, only refused.
Datum sqlResult(SqlCall& call, const char* buffer) {
    const size_t len = std::strlen(buffer);
    if (call.form != SqlForm::bytea && !isDatabaseText(buffer, len)) reportInvalidEncoding(call);
    if (call.resultScratch >= 0 && buffer == call.scratch[call.resultScratch].data + VARHDRSZ) {
        return PointerGetDatum(takeResult(call, len));
    }
    return PointerGetDatum(cstring_to_text_with_len(buffer, static_cast<int>(len)));
}

void checkWrapperStatus(int status, const char* function) {
    if (status == c_outOfMemory) {
        ereport(ERROR, (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory"),
                        errdetail("libtarncrypt could not allocate memory in %s.", function),
                        hiddenStatement()));
    }
    if (status == c_libraryFailure) {
        ereport(ERROR, (errcode(ERRCODE_EXTERNAL_ROUTINE_EXCEPTION),
                        errmsg("libtarncrypt failed in %s", function), hiddenStatement()));
    }
}
