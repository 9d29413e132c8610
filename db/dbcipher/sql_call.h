// One call of a dbcipher SQL function, from its arguments to its result.
//
// Keys and clear texts pass through buffers of the call: copies of the arguments, detoasted
// arguments, the library's output. Each is recorded here and wiped when the call ends, whether
// by returning its result or by an ERROR, so none of them is left in memory that the server
// reuses. Results of the text forms are checked against the database encoding: bytes that do
// not form valid text there could be stored, but a dump of them would never restore.
//
// A call is a plain struct without destructors: an ERROR longjmps across its frames.
#ifndef DBCIPHER_SQL_CALL_H
#define DBCIPHER_SQL_CALL_H

#include <cstddef>

extern "C" {
#include "postgres.h"

#include "fmgr.h"
}

enum class SqlForm {
    text,      // text arguments and result; a bytea form of the same name exists
    bytea,     // bytea arguments and result
    textOnly,  // text, with no bytea form to point to
};

struct Scratch {
    char* data;
    size_t size;
};

struct SqlCall {
    static constexpr int maxArgs = 5;
    static constexpr int maxScratch = 4;

    FunctionCallInfo fcinfo;
    const char* function;
    SqlForm form;
    const varlena* args[maxArgs];
    Scratch scratch[maxScratch];
    int scratchCount;
    int resultScratch;  // the scratch that becomes the result in place, or -1
};

// Runs body for the call and wipes everything the call held once it ends.
Datum runSqlCall(FunctionCallInfo fcinfo, const char* function, SqlForm form,
                 Datum (*body)(SqlCall&));

// Argument n as a varlena; in the bytea form, an ERROR when it holds a zero byte, since the
// library ends every string at its first one.
const varlena* sqlArg(SqlCall& call, int n);

// A zero-filled buffer of size bytes, or an ERROR when the server could never hold it.
char* scratchBuffer(SqlCall& call, size_t size);

// Like scratchBuffer, for the buffer the call returns: sqlResult makes it the result value in
// place, without a copy; any other end of the call wipes it with the others. One per call.
char* resultBuffer(SqlCall& call, size_t size);

// Argument n as a zero-terminated string in a zero-filled buffer with at least width readable
// bytes: a short salt or key, or an input shorter than inputLen, goes on as zero bytes instead
// of being read past its end.
char* argCopy(SqlCall& call, int n, size_t width);

// Argument n as a zero-terminated string, for an argument that holds no secret (a stored AES
// text): copied into local when it fits there, which is never wiped, and into an argCopy
// otherwise.
char* publicArgCopy(SqlCall& call, int n, char* local, size_t localSize);

// A size for publicArgCopy's local buffer: the stored texts of short secrets fit it.
constexpr size_t publicCopySize = 256;

// The first two bytes of argument n, zero-filled behind a shorter one and terminated: a salt
// is two bytes wherever it stands, so no copy of it needs wiping.
void saltArg(SqlCall& call, int n, char (&salt)[3]);

// Whether len bytes are valid text in the database encoding (always so in SQL_ASCII).
bool isDatabaseText(const char* bytes, size_t len);

// The buffer's content up to its first zero byte as the call's result. A resultBuffer becomes
// the value itself, with the bytes behind the terminator wiped.
Datum sqlResult(SqlCall& call, const char* buffer);

// Turns a wrapper's failure into an ERROR; by now the library's frames are gone.
void checkWrapperStatus(int status, const char* function);

#include "hidden_statement.h"

#endif  // DBCIPHER_SQL_CALL_H
