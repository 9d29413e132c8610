// dbcipher's call frame; see sql_call.h for what it promises.
#include "sql_call.h"

#include <cstring>

#include "aes_encr_wrapper.h"
#include "wipeSecret.h"

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
    wipeSecret(data, size);
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
    unsigned char bits = 0;
    for (size_t i = 0; i < len; ++i)
        bits |= static_cast<unsigned char>(buffer[i]);
    return bits < 0x80;
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
    wipeSecret(held.data + used, held.size - used);
    SET_VARSIZE(value, used);
    held = call.scratch[--call.scratchCount];
    call.resultScratch = -1;
    return value;
}

}  // namespace

int hiddenStatement() {
    errhidestmt(true);
    return errhidecontext(true);
}

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
    SqlCall call = {fcinfo, function, form, {}, {}, 0, -1};
    const Datum result = runGuarded(&call, body);
    releaseHeld(call);
    return result;
}

const varlena* sqlArg(SqlCall& call, int n) {
    if (call.args[n] != nullptr) return call.args[n];
    FunctionCallInfo fcinfo = call.fcinfo;
    const varlena* arg = PG_GETARG_VARLENA_PP(n);
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

// In SQL_ASCII every byte string is valid, so nothing changes there; the bytes are never
// converted, only refused.
Datum sqlResult(SqlCall& call, const char* buffer) {
    const size_t len = std::strlen(buffer);
    if (call.form != SqlForm::bytea && !isAscii(buffer, len) &&
        !pg_verify_mbstr(GetDatabaseEncoding(), buffer, static_cast<int>(len), true)) {
        reportInvalidEncoding(call);
    }
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
