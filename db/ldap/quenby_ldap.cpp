// quenby_ldap: LDAP sessions, StartTLS, simple binds, searches and result walking from SQL.
//
// This file holds the module's frame and its sessions: open, TLS, bind, unbind, the server
// test and the list of sessions. Entries and results (entries.cpp), searches as rows
// (rows.cpp), the handle registry and the waits for the server have files of their own.
#include <cstdio>
#include <cstring>

#include "handle_registry.h"
#include "server_wait.h"
#include "settings.h"
#include "tls_contexts.h"
#include "wipeSecret.h"

extern "C" {
#include "fmgr.h"
#include "funcapi.h"
#include "utils/builtins.h"
#include "utils/memutils.h"
#include "utils/timestamp.h"
#include "utils/tuplestore.h"
#include "tcop/tcopprot.h"

PG_MODULE_MAGIC;

void _PG_init(void);

PG_FUNCTION_INFO_V1(pg_ldap_err2text);
PG_FUNCTION_INFO_V1(pg_ldap_open);
PG_FUNCTION_INFO_V1(pg_ldap_bind);
PG_FUNCTION_INFO_V1(pg_ldap_unbind);
PG_FUNCTION_INFO_V1(pg_ldap_server_test);
PG_FUNCTION_INFO_V1(pg_ldap_open_ssl);
PG_FUNCTION_INFO_V1(pg_ldap_sessions);
}

namespace {

using namespace quenby;

// Stands in for the password in messages: the password itself is never reported.
constexpr const char* passwordMask = "********";

// The statement of a call that takes a password or a key path never reaches the log. Our own
// reports from such calls say so with errhidestmt; the server's reports during the call (the
// cancel or statement_timeout of a wait at ERROR, a terminate at FATAL, an unknown handle
// from the registry) quote the statement they find here, so it is taken away for the rest of
// the statement.
#define QUENBY_REPORT_SECRET(elevel, fname, fmt, ...) \
    QUENBY_REPORT_WITH(elevel, fname, errhidestmt(true), fmt, ##__VA_ARGS__)

void keepStatementOutOfLog() {
    debug_query_string = nullptr;
}

// Releases a converted argument that held a secret, without leaving the secret behind.
void releaseSecret(char* secret) {
    wipeSecret(secret, strlen(secret));
    pfree(secret);
}

// A StartTLS that did not succeed leaves no session in clear: its connection is cut before
// the ERROR, unless TLS was running on it already.
#define QUENBY_REFUSE_TLS(ld, keepSession, fmt, ...)               \
    do {                                                           \
        if (!(keepSession)) cutConnection(ld);                     \
        QUENBY_REPORT_SECRET(ERROR, __func__, fmt, ##__VA_ARGS__); \
    } while (0)

// Sets one TLS option of the session; a failure is an ERROR naming the option.
void setTlsOption(const char* fname, LDAP* ld, bool keepSession, int option, const char* optionName,
                  const void* value) {
    const int rc = ldap_set_option(ld, option, value);
    if (rc == 0) return;
    if (!keepSession) cutConnection(ld);
    QUENBY_REPORT_SECRET(ERROR, fname, "SSL %s failed, error=%d", optionName, rc);
}

// StartTLS on the session; an ERROR on the way (cancel, statement_timeout) cuts the
// connection too.
int startTlsOrCut(LDAP* ld, bool keepSession) {
    int rc = -1;
    PG_TRY();
    { rc = startTls(ld, OnInterrupt::abandonRequest); }
    PG_CATCH();
    {
        if (!keepSession) cutConnection(ld);
        PG_RE_THROW();
    }
    PG_END_TRY();
    return rc;
}

// StartTLS with the library's default trust settings on the private session of a server test,
// before its bind; the session is closed when it fails.
int startTlsForTest(LDAP* ld) {
    int rc = startTls(ld, OnInterrupt::releaseSession);
    if (rc != 0) {
        cutConnection(ld);
        dropSession(ld);
    }
    return rc;
}

const char* tlsStateName(TlsState state) {
    switch (state) {
        case TlsState::running:
            return "on";
        case TlsState::failed:
            return "failed";
        default:
            return "off";
    }
}

// One row of pg_ldap_sessions. The server's name is the last column, which a declaration of
// 1.2 (before ALTER EXTENSION ... UPDATE) does not read.
void putSessionRow(ReturnSetInfo* result, const SessionView& view, TimestampTz now) {
    Datum row[8];
    bool nulls[8] = {
        false, false, false, false, view.boundDn == nullptr, false, false, view.server == nullptr};
    row[0] = Int64GetDatum(view.session);
    row[1] = CStringGetTextDatum(view.host);
    row[2] = Int32GetDatum(view.port);
    row[3] = CStringGetTextDatum(tlsStateName(view.tls));
    row[4] = view.boundDn == nullptr ? static_cast<Datum>(0) : CStringGetTextDatum(view.boundDn);
    row[5] = Int32GetDatum(view.results);
    row[6] = DirectFunctionCall2(timestamp_mi, TimestampTzGetDatum(now),
                                 TimestampTzGetDatum(view.opened));
    row[7] = view.server == nullptr ? static_cast<Datum>(0) : CStringGetTextDatum(view.server);
    tuplestore_putvalues(result->setResult, result->setDesc, row, nulls);
}

bool fileOpens(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    fclose(file);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SQL functions.

extern "C" {

void _PG_init(void) {
    defineSettings();
}

Datum pg_ldap_err2text(PG_FUNCTION_ARGS) {
    const char* description = ldap_err2string(PG_GETARG_INT32(0));
    if (description == nullptr || description[0] == '\0') {
        QUENBY_REPORT(ERROR, __func__, "No LDAP Return Value!");
    }
    PG_RETURN_TEXT_P(cstring_to_text_with_len(description, strlen(description)));
}

Datum pg_ldap_open(PG_FUNCTION_ARGS) {
    char* host = text_to_cstring(PG_GETARG_TEXT_PP(0));
    int port = PG_GETARG_INT32(1);
    LDAP* ld = openSession(__func__, host, port);
    if (ld == nullptr) {
        pfree(host);
        PG_RETURN_INT64(0);
    }
    if (!rememberSession(ld, host, port)) {
        dropSession(ld);
        reportOutOfMemory(__func__);
    }
    pfree(host);
    PG_RETURN_INT64(handleOf(ld));
}

Datum pg_ldap_open_ssl(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    Handle session = PG_GETARG_INT64(0);
    int level = PG_GETARG_INT32(1);
    char* certFile = text_to_cstring(PG_GETARG_TEXT_PP(2));
    char* keyFile = text_to_cstring(PG_GETARG_TEXT_PP(3));
    if (session == 0) QUENBY_REPORT_SECRET(ERROR, __func__, "Bad SSL LDAP session!");
    LDAP* ld = requireSession(__func__, session);
    // From here on the session has TLS or nothing: any way out but success leaves it cut.
    const bool running = tlsStateOf(session) == TlsState::running;
    if (!running) setTlsState(session, TlsState::failed);
    if (level < LDAP_OPT_X_TLS_NEVER || level > LDAP_OPT_X_TLS_TRY) {
        QUENBY_REFUSE_TLS(ld, running, "SSL Bad Certificate Request value %d", level);
    }
    if (!fileOpens(certFile)) {
        QUENBY_REFUSE_TLS(ld, running, "SSL CERTFILE file is not opened: %s", certFile);
    }
    if (!fileOpens(keyFile)) {
        QUENBY_REFUSE_TLS(ld, running, "SSL KEY file is not opened: %s", keyFile);
    }
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_REQUIRE_CERT, "LDAP_OPT_X_TLS_REQUIRE_CERT",
                 &level);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_CACERTFILE, "LDAP_OPT_X_TLS_CACERTFILE",
                 nullptr);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_CERTFILE, "LDAP_OPT_X_TLS_CERTFILE",
                 certFile);
    setTlsOption(__func__, ld, running, LDAP_OPT_X_TLS_KEYFILE, "LDAP_OPT_X_TLS_KEYFILE", keyFile);
    int rc = useTlsContext(ld, {level, certFile, keyFile, ""});
    if (rc != 0) QUENBY_REFUSE_TLS(ld, running, "SSL LDAP_OPT_X_TLS_NEWCTX failed, error=%d", rc);
    rc = startTlsOrCut(ld, running);
    if (rc != 0) QUENBY_REFUSE_TLS(ld, running, "SSL start failed, error=%d", rc);
    setTlsState(session, TlsState::running);
    pfree(certFile);
    releaseSecret(keyFile);
    PG_RETURN_INT32(0);
}

Datum pg_ldap_bind(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    Handle session = PG_GETARG_INT64(0);
    char* user = text_to_cstring(PG_GETARG_TEXT_PP(1));
    char* password = text_to_cstring(PG_GETARG_TEXT_PP(2));
    if (session == 0) {
        QUENBY_REPORT_SECRET(ERROR, __func__, "Empty session for AD user %s, passwd %s", user,
                             passwordMask);
    }
    LDAP* ld = requireSession(__func__, session);
    // Nothing is sent: a session whose StartTLS failed answers as a lost connection, and one
    // without TLS where it is required as the server would.
    int rc = LDAP_SERVER_DOWN;
    TlsState tls = tlsStateOf(session);
    if (tls != TlsState::failed) {
        rc = requireTls && tls != TlsState::running
                 ? LDAP_CONFIDENTIALITY_REQUIRED
                 : simpleBind(ld, user, password, OnInterrupt::abandonRequest);
    }
    setBoundDn(session, rc == 0 ? user : nullptr);
    pfree(user);
    releaseSecret(password);
    PG_RETURN_INT32(rc);
}

Datum pg_ldap_unbind(PG_FUNCTION_ARGS) {
    Handle session = PG_GETARG_INT64(0);
    if (session == 0) {
        QUENBY_REPORT(WARNING, __func__, "Empty session");
        PG_RETURN_INT32(1);
    }
    requireSession(__func__, session);
    PG_RETURN_INT32(releaseSession(session));
}

Datum pg_ldap_server_test(PG_FUNCTION_ARGS) {
    keepStatementOutOfLog();
    char* host = text_to_cstring(PG_GETARG_TEXT_PP(0));
    int port = PG_GETARG_INT32(1);
    char* user = text_to_cstring(PG_GETARG_TEXT_PP(2));
    char* password = text_to_cstring(PG_GETARG_TEXT_PP(3));
    int result = 1;
    LDAP* ld = openSession(nullptr, host, port);
    if (ld != nullptr && requireTls) {
        result = startTlsForTest(ld);
        if (result != 0) ld = nullptr;
    }
    if (ld != nullptr) {
        result = simpleBind(ld, user, password, OnInterrupt::releaseSession);
        // The session never reaches SQL: it is closed here whatever the bind said.
        if (result == 0) {
            result = closeSession(ld);
        } else {
            dropSession(ld);
        }
    }
    pfree(host);
    pfree(user);
    releaseSecret(password);
    PG_RETURN_INT32(result);
}

// The current role's live sessions in this backend. The views are taken in one go, before any
// row is stored, so that nothing of the registry is walked while an ERROR can strike.
Datum pg_ldap_sessions(PG_FUNCTION_ARGS) {
    InitMaterializedSRF(fcinfo, 0);
    ReturnSetInfo* result = reinterpret_cast<ReturnSetInfo*>(fcinfo->resultinfo);
    int count = ownSessions(nullptr, 0);
    SessionView* views = static_cast<SessionView*>(palloc(sizeof(SessionView) * (count + 1)));
    count = Min(count, ownSessions(views, count));
    TimestampTz now = GetCurrentTimestamp();
    for (int i = 0; i < count; ++i)
        putSessionRow(result, views[i], now);
    return static_cast<Datum>(0);
}

}  // extern "C"
