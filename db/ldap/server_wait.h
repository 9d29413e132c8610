// Requests to the directory server: StartTLS, binds and searches, on connections of
// server_connection.h. Every wait sleeps on the backend's latch together with the socket
// (latch_wait.h), so a cancel, statement_timeout or terminate ends it at once.
#pragma once

#include "latch_wait.h"
#include "server_connection.h"

namespace quenby {

// What to do with the session when an interrupt ends the statement during a wait.
enum class OnInterrupt {
    abandonRequest,  // the session stays usable: only the request in flight is abandoned
    releaseSession,  // a private session of the call: it is closed
};

// StartTLS on the session with the TLS options already set; the library's result code
// (LDAP_TIMEOUT when the handshake outlasted quenby_ldap.connect_timeout).
int startTls(LDAP* ld, OnInterrupt onInterrupt);

// TLS from the next byte on (as ldaps:// has it from the first), with the TLS options already
// set; the library's result code, LDAP_TIMEOUT as startTls.
int handshakeTls(LDAP* ld, OnInterrupt onInterrupt);

// The result code the library recorded for the session's last operation.
int sessionErrorCode(LDAP* ld);

// Waits for the answer to msgid: the whole answer (LDAP_MSG_ALL) or its next message
// (LDAP_MSG_ONE). Returns the answer's type, or -1 with *answer null; then sessionErrorCode
// tells why (LDAP_TIMEOUT after quenby_ldap.io_timeout, with the request abandoned).
int awaitAnswer(LDAP* ld, int msgid, int how, OnInterrupt onInterrupt, LDAPMessage** answer);

// ldap_simple_bind_s with an interruptible wait; the bind's result code.
int simpleBind(LDAP* ld, const char* user, const char* password, OnInterrupt onInterrupt);

// ldap_search_s with an interruptible wait; *result is the library's answer or null.
int searchSync(LDAP* ld, const char* base, int scope, const char* filter, char** attributes,
               LDAPMessage** result);

// While a search reads its answer on the session, its waits share one wait set on the
// connection (beginSocketWaits) and the library restarts interrupted system calls throughout.
// endSearchWaits ends that on every path out of the search, an ERROR included (before the
// session could be closed); any time, any number of times.
void beginSearchWaits(LDAP* ld);
void endSearchWaits() noexcept;

}  // namespace quenby
