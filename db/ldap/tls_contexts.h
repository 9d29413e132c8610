// TLS contexts of this backend, one per (certificate requirement level, certificate file, key
// file, CA file). The library's context imports the client certificate and key, and some builds of
// it never free what they import: a context per session would grow the backend by that much for
// every StartTLS. Sessions share the context of their files instead, for as long as none of them
// changes on disk; the contexts are released when the backend exits.
#pragma once

#include "quenby_common.h"

namespace quenby {

// Gives the session the context of its files, made anew when there is none yet or a file
// changed since it was made. The library's option result: not 0 when it could not make a
// context of the files.
struct TlsFiles {
    int level;             // the certificate requirement level
    const char* certFile;  // "" for none
    const char* keyFile;   // "" for none
    const char* caFile;    // "" for the library's default trust
};
int useTlsContext(LDAP* ld, const TlsFiles& files) noexcept;

// Releases every context held here (at backend exit).
void releaseTlsContexts(int code, Datum arg);

}  // namespace quenby
