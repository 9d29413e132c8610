// Everything that waits for the directory server: opening and closing connections, StartTLS,
// binds and searches. Each wait returns to the server's interrupt handling in short ticks, so
// cancel and statement_timeout end it.
#pragma once

#include "quenby_common.h"

namespace quenby {

// What to do with the session when an interrupt ends the statement during a wait.
enum class OnInterrupt {
    abandonRequest,  // the session stays usable: only the request in flight is abandoned
    releaseSession,  // a private session of the call: it is closed
};

// A connection to host:port speaking protocol version 3, or null when none could be made;
// then, unless fname is null, the WARNING "Empty session for AD host" with the reason.
LDAP* openSession(const char* fname, const char* host, int port);

// Unbinds and closes a session openSession made; returns the unbind's code.
int closeSession(LDAP* ld);

// Closes a session without waiting for anything, on paths that fail anyway.
void dropSession(LDAP* ld);

// StartTLS on the session with the TLS options already set; the library's result code.
int startTls(LDAP* ld);

// The result code the library recorded for the session's last operation.
int sessionErrorCode(LDAP* ld);

// Waits for the whole answer to msgid. Returns the answer's type, or -1 with *answer null.
int awaitAnswer(LDAP* ld, int msgid, OnInterrupt onInterrupt, LDAPMessage** answer);

// ldap_simple_bind_s with an interruptible wait; the bind's result code.
int simpleBind(LDAP* ld, const char* user, const char* password, OnInterrupt onInterrupt);

// ldap_search_s with an interruptible wait; *result is the library's answer or null.
int searchSync(LDAP* ld, const char* base, int scope, const char* filter, char** attributes,
               LDAPMessage** result);

}  // namespace quenby
