// Waiting for the directory server.
#include "server_wait.h"

namespace quenby {
namespace {

// How long a wait for the server goes without looking at cancel and statement_timeout.
constexpr long interruptTickMicros = 100 * 1000;

// Lets a pending cancel or statement_timeout end the statement; the request in flight is
// abandoned first (or the private session released), so nothing stays behind.
void serviceInterrupts(LDAP* ld, int msgid, OnInterrupt onInterrupt) {
    if (!INTERRUPTS_PENDING_CONDITION()) return;
    PG_TRY();
    { CHECK_FOR_INTERRUPTS(); }
    PG_CATCH();
    {
        if (onInterrupt == OnInterrupt::releaseSession) {
            dropSession(ld);
        } else {
            ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
            ldap_abandon_ext(ld, msgid, nullptr, nullptr);
        }
        PG_RE_THROW();
    }
    PG_END_TRY();
}

}  // namespace

// ldap_open, then protocol version 3: with the library's default, version 2, a standard
// server refuses the bind.
LDAP* openSession(const char* /*fname*/, const char* host, int port) {
    LDAP* ld = ldap_open(host, port);
    if (ld != nullptr) {
        int version = LDAP_VERSION3;
        ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    }
    return ld;
}

int closeSession(LDAP* ld) {
    return ldap_unbind_s(ld);
}

void dropSession(LDAP* ld) {
    ldap_unbind_ext(ld, nullptr, nullptr);
}

int startTls(LDAP* ld) {
    return ldap_start_tls_s(ld, nullptr, nullptr);
}

int sessionErrorCode(LDAP* ld) {
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// The library's synchronous calls wait without a limit and cannot be cancelled, and any signal
// that reaches the backend meanwhile (PostgreSQL's timers and its own inter-process signals
// arrive at any time) fails them with -1 and leaves the connection unusable. This waits for
// the whole answer to msgid in short ticks with the library restarting interrupted waits, and
// serves cancel and statement_timeout between ticks. Returns the answer's type, or -1 with
// *answer null.
int awaitAnswer(LDAP* ld, int msgid, OnInterrupt onInterrupt, LDAPMessage** answer) {
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
    int type;
    do {
        struct timeval tick = {0, interruptTickMicros};
        *answer = nullptr;
        type = ldap_result(ld, msgid, LDAP_MSG_ALL, &tick, answer);
        if (type == 0) serviceInterrupts(ld, msgid, onInterrupt);
    } while (type == 0);
    // Other calls on the session keep the library's default: a signal interrupts them.
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    return type;
}

// ldap_simple_bind_s, waiting as awaitAnswer does.
int simpleBind(LDAP* ld, const char* user, const char* password, OnInterrupt onInterrupt) {
    int msgid = ldap_simple_bind(ld, user, password);
    if (msgid == -1) return sessionErrorCode(ld);
    LDAPMessage* answer = nullptr;
    if (awaitAnswer(ld, msgid, onInterrupt, &answer) == -1) return sessionErrorCode(ld);
    return ldap_result2error(ld, answer, 1);
}

// ldap_search_s, waiting as awaitAnswer does; *result is the library's answer or null.
int searchSync(LDAP* ld, const char* base, int scope, const char* filter, char** attributes,
               LDAPMessage** result) {
    *result = nullptr;
    int msgid = ldap_search(ld, base, scope, filter, attributes, 0);
    if (msgid == -1) return sessionErrorCode(ld);
    if (awaitAnswer(ld, msgid, OnInterrupt::abandonRequest, result) == -1) {
        return sessionErrorCode(ld);
    }
    return ldap_result2error(ld, *result, 0);
}

}  // namespace quenby
