// What every part of quenby_ldap shares: the library and server headers, handles and the
// report macro.
//
// Every function runs inside a backend, where an ERROR is a longjmp. So: no object with a
// destructor lives in a frame that can report an ERROR, objects of the LDAP library are
// released before anything is reported, and code that can throw catches everything and
// answers with a flag.
#pragma once

#include <cstdint>

#define LDAP_DEPRECATED 1
#include <lber.h>
#include <ldap.h>

extern "C" {
#include "postgres.h"

#include "miscadmin.h"
}

// Every message starts with the SQL function's name in brackets, and its location names that
// function too (not a helper of it), so that a log line leads straight to the SQL call, with the
// file and line that raised it. `aux` is one more field of the report (errdetail,
// errhidestmt), evaluated after the message.
#define QUENBY_REPORT_WITH(elevel, fname, aux, fmt, ...)                                          \
    do {                                                                                          \
        if (__builtin_constant_p(elevel) && (elevel) >= ERROR ? errstart_cold(elevel, TEXTDOMAIN) \
                                                              : errstart(elevel, TEXTDOMAIN)) {   \
            errmsg("[%s]: " fmt, fname, ##__VA_ARGS__);                                           \
            aux;                                                                                  \
            errfinish(__FILE_NAME__, __LINE__, fname);                                            \
        }                                                                                         \
        if (__builtin_constant_p(elevel) && (elevel) >= ERROR) pg_unreachable();                  \
    } while (0)

#define QUENBY_REPORT(elevel, fname, fmt, ...) \
    QUENBY_REPORT_WITH(elevel, fname, (void)0, fmt, ##__VA_ARGS__)

namespace quenby {

// Handles are addresses of library objects; SQL sees them as bigint.
using Handle = int64;

inline Handle handleOf(const void* object) {
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(object));
}

// For "%d": handles are reported by their low 32 bits, converted explicitly.
inline int low32(Handle handle) {
    return static_cast<int>(static_cast<uint32>(static_cast<uint64>(handle)));
}

inline void reportOutOfMemory(const char* fname) {
    QUENBY_REPORT(ERROR, fname, "out of memory");
}

}  // namespace quenby
