// Requests to the directory server and their answers: StartTLS, binds and searches. The
// library is never left to wait by itself (its synchronous calls wait without a limit and
// cannot be cancelled): every answer is awaited on the backend's latch (latch_wait.h), with
// the connection's own limits (server_connection.h).
#include "server_wait.h"

#include "latch_wait.h"

extern "C" {
#include "storage/latch.h"
}

namespace quenby {
namespace {

// The session whose search is reading its answer (see beginSearchWaits), else null.
LDAP* searchSession = nullptr;

struct PendingRequest {
    LDAP* ld;
    int msgid;
    OnInterrupt onInterrupt;
};

void abandonRequest(PendingRequest* request) {
    ldap_set_option(request->ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    if (request->msgid >= 0) ldap_abandon_ext(request->ld, request->msgid, nullptr, nullptr);
}

void releaseRequest(void* arg) {
    auto* request = static_cast<PendingRequest*>(arg);
    if (request->onInterrupt == OnInterrupt::releaseSession) {
        dropSession(request->ld);
    } else {
        abandonRequest(request);
    }
}

void recordErrorCode(LDAP* ld, int code) {
    ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &code);
}

// Ends a wait that ran out of time: the request is abandoned and the session stays as after
// an interrupt; the library's timeout code is what the caller reads.
int timedOut(PendingRequest* request) {
    if (request->onInterrupt == OnInterrupt::abandonRequest) abandonRequest(request);
    recordErrorCode(request->ld, LDAP_TIMEOUT);
    return -1;
}

}  // namespace

// ldap_start_tls_s, with the StartTLS request's answer awaited as awaitAnswer does.
int startTls(LDAP* ld, OnInterrupt onInterrupt) {
    if (ldap_tls_inplace(ld)) return LDAP_LOCAL_ERROR;
    int msgid = -1;
    int rc = ldap_start_tls(ld, nullptr, nullptr, &msgid);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPMessage* answer = nullptr;
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, onInterrupt, &answer) == -1) {
        return sessionErrorCode(ld);
    }
    rc = ldap_result2error(ld, answer, 1);
    if (rc != LDAP_SUCCESS) return rc;
    return handshakeTls(ld, onInterrupt);
}

// The TLS handshake runs over the connection layer, so it can be interrupted too, and it ends
// at quenby_ldap.connect_timeout.
int handshakeTls(LDAP* ld, OnInterrupt onInterrupt) {
    if (ldap_tls_inplace(ld)) return LDAP_LOCAL_ERROR;
    bool timedOut = false;
    int rc = handshakeWithin(ld, &timedOut);
    PendingRequest handshake = {ld, -1, onInterrupt};
    serveInterrupts(releaseRequest, &handshake);
    if (rc != LDAP_SUCCESS && timedOut) rc = LDAP_TIMEOUT;
    return rc;
}

int sessionErrorCode(LDAP* ld) {
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// Any signal that reaches the backend during a wait of the library would fail it with -1 and
// leave the connection unusable, so the library never waits here: it is asked for what has
// arrived (a zero timeout, with interrupted system calls restarted), and the sleeping is done
// on the latch. Cancel and statement_timeout are served before every call of the library,
// every message of a flood included, and after a wait the connection layer gave up.
int awaitAnswer(LDAP* ld, int msgid, int how, OnInterrupt onInterrupt, LDAPMessage** answer) {
    PendingRequest request = {ld, msgid, onInterrupt};
    TimestampTz deadline = answerDeadline(ld);
    // A search reading its answer keeps the option on throughout (beginSearchWaits).
    bool restartSetHere = searchSession != ld;
    if (restartSetHere) ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
    connectionTimedOut(ld);
    int type;
    for (;;) {
        serveInterrupts(releaseRequest, &request);
        struct timeval noWait = {0, 0};
        *answer = nullptr;
        type = ldap_result(ld, msgid, how, &noWait, answer);
        if (type != 0) break;
        if (bytesBuffered(ld)) continue;
        Waited waited = awaitSocket(socketOfSession(ld), WL_SOCKET_READABLE, deadline);
        if (waited == Waited::timedOut) {
            type = timedOut(&request);
            break;
        }
    }
    if (type == -1) {
        serveInterrupts(releaseRequest, &request);
        if (connectionTimedOut(ld)) recordErrorCode(ld, LDAP_TIMEOUT);
    }
    // Other calls on the session keep the library's default: a signal interrupts them.
    if (restartSetHere) ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    return type;
}

// ldap_simple_bind_s, waiting as awaitAnswer does.
int simpleBind(LDAP* ld, const char* user, const char* password, OnInterrupt onInterrupt) {
    wipeWrites(ld, true);
    int msgid = ldap_simple_bind(ld, user, password);
    wipeWrites(ld, false);
    if (msgid == -1) return sessionErrorCode(ld);
    LDAPMessage* answer = nullptr;
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, onInterrupt, &answer) == -1) {
        return sessionErrorCode(ld);
    }
    return ldap_result2error(ld, answer, 1);
}

// ldap_search_s, waiting as awaitAnswer does; *result is the library's answer or null.
int searchSync(LDAP* ld, const char* base, int scope, const char* filter, char** attributes,
               LDAPMessage** result) {
    *result = nullptr;
    int msgid = ldap_search(ld, base, scope, filter, attributes, 0);
    if (msgid == -1) return sessionErrorCode(ld);
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, OnInterrupt::abandonRequest, result) == -1) {
        return sessionErrorCode(ld);
    }
    return ldap_result2error(ld, *result, 0);
}

void beginSearchWaits(LDAP* ld) {
    endSearchWaits();
    beginSocketWaits(socketOfSession(ld));
    searchSession = ld;
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
}

void endSearchWaits() noexcept {
    endSocketWaits();
    if (searchSession == nullptr) return;
    ldap_set_option(searchSession, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    searchSession = nullptr;
}

}  // namespace quenby
