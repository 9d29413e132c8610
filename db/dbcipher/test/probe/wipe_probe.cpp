// Test-only module, loaded by path from the regression tests and never installed: tells
// whether a call leaves a secret in memory that the server hands to the next palloc.
//
// pfree keeps a chunk's bytes and puts the chunk on its context's free list, from which the
// next palloc of its size class takes it. leftover_after() calls a function in the current
// memory context, wipes its own copies of the arguments, then takes chunks of every size
// class from that context and looks for the needle in each. It also catches an ERROR of the
// call, which holds no resources, so that the error paths are checked too.
#include <cstring>

#include "wipeSecret.h"

extern "C" {
#include "postgres.h"

#include "catalog/pg_type.h"
#include "fmgr.h"
#include "utils/array.h"
#include "utils/builtins.h"
#include "utils/lsyscache.h"

PG_MODULE_MAGIC;

PG_FUNCTION_INFO_V1(leftover_after);
PG_FUNCTION_INFO_V1(leave_unwiped);
}

namespace {

constexpr int maxArgs = 5;
constexpr int chunksPerClass = 16;
// Larger chunks are blocks of their own, which pfree returns to malloc.
constexpr size_t smallestClass = 8;
constexpr size_t largestClass = 8192;
constexpr int classes = 11;

void wipeAndFree(void* data, size_t size) {
    wipeSecret(data, size);
    pfree(data);
}

bool freedChunksHold(const text* needle) {
    void* taken[classes * chunksPerClass];
    int count = 0;
    bool found = false;
    for (size_t size = smallestClass; size <= largestClass; size *= 2) {
        for (int i = 0; i < chunksPerClass; ++i) {
            void* chunk = palloc(size);
            taken[count++] = chunk;
            found = found ||
                    memmem(chunk, size, VARDATA_ANY(needle), VARSIZE_ANY_EXHDR(needle)) != nullptr;
        }
    }
    for (int i = 0; i < count; ++i)
        pfree(taken[i]);
    return found;
}

// The SQLSTATE of the call's ERROR, or "ok". Nothing is allocated between the call's end and
// the look at the free lists: an allocation could take a chunk the call left behind.
const char* invoke(FunctionCallInfo call, char (&sqlstate)[6]) {
    MemoryContext context = CurrentMemoryContext;
    const char* volatile outcome = "ok";
    PG_TRY();
    { FunctionCallInvoke(call); }
    PG_CATCH();
    {
        MemoryContextSwitchTo(context);
        std::memcpy(sqlstate, unpack_sql_state(geterrcode()), sizeof sqlstate);
        FlushErrorState();
        outcome = sqlstate;
    }
    PG_END_TRY();
    return outcome;
}

}  // namespace

extern "C" {

// leftover_after(fn regprocedure, args text[], needle text) returns text:
// "<ok or SQLSTATE>, <left or wiped>".
Datum leftover_after(PG_FUNCTION_ARGS) {
    const Oid fn = PG_GETARG_OID(0);
    ArrayType* argArray = PG_GETARG_ARRAYTYPE_P(1);
    const text* needle = PG_GETARG_TEXT_PP(2);
    Oid* argTypes = nullptr;
    int nargs = 0;
    get_func_signature(fn, &argTypes, &nargs);
    Datum* elems = nullptr;
    bool* nulls = nullptr;
    int nelems = 0;
    deconstruct_array(argArray, TEXTOID, -1, false, TYPALIGN_INT, &elems, &nulls, &nelems);
    if (nelems != nargs || nargs > maxArgs)
        elog(ERROR, "leftover_after: wrong number of arguments");

    FmgrInfo flinfo;
    fmgr_info(fn, &flinfo);
    LOCAL_FCINFO(call, maxArgs);
    InitFunctionCallInfoData(*call, &flinfo, nargs, InvalidOid, nullptr, nullptr);
    char* strings[maxArgs];
    for (int i = 0; i < nargs; ++i) {
        Oid input = InvalidOid;
        Oid ioParam = InvalidOid;
        getTypeInputInfo(argTypes[i], &input, &ioParam);
        strings[i] = text_to_cstring(DatumGetTextPP(elems[i]));
        call->args[i].value = OidInputFunctionCall(input, strings[i], ioParam, -1);
        call->args[i].isnull = false;
    }

    char sqlstate[6];
    const char* outcome = invoke(call, sqlstate);

    for (int i = 0; i < nargs; ++i) {
        wipeAndFree(strings[i], std::strlen(strings[i]));
        if (!get_typbyval(argTypes[i])) {
            void* value = DatumGetPointer(call->args[i].value);
            wipeAndFree(value, VARSIZE_ANY(value));
        }
    }
    if (argArray != reinterpret_cast<ArrayType*>(DatumGetPointer(PG_GETARG_DATUM(1)))) {
        wipeAndFree(argArray, VARSIZE(argArray));
    }
    const bool left = freedChunksHold(needle);
    PG_RETURN_TEXT_P(cstring_to_text(psprintf("%s, %s", outcome, left ? "left" : "wiped")));
}

// The control: a copy released the way pfree releases it.
Datum leave_unwiped(PG_FUNCTION_ARGS) {
    pfree(text_to_cstring(PG_GETARG_TEXT_PP(0)));
    PG_RETURN_BOOL(true);
}

}  // extern "C"
