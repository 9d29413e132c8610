// pg_ldap_connect: a bound session to a directory server defined once, with the current
// user's mapping. The caller names the server and nothing else: host, TLS and account come from
// the catalog, and the password is opened under the server key only for the bind.
//
// The session is private to this call until its bind succeeded: every failure on the way
// closes it without another byte on the wire, so none is left behind, and an interrupt during a
// wait closes it too (OnInterrupt::releaseSession). Only a bound session is registered.
#include "connect_by_name.h"

#include "directory_servers.h"
#include "handle_registry.h"
#include "server_password.h"
#include "server_wait.h"
#include "settings.h"
#include "tls_contexts.h"

extern "C" {
#include "fmgr.h"
#include "utils/builtins.h"

PG_FUNCTION_INFO_V1(pg_ldap_connect);
}

namespace quenby {
namespace {

// Closes the private session of a failed connect: the connection is cut first, so that not
// even an unbind leaves in clear.
void abandonConnection(LDAP* ld) {
    cutConnection(ld);
    dropSession(ld);
}

void refuseClearBind(const char* fname, const DirectoryServer& server) {
    if (server.tls != TlsMode::none || !requireTls) return;
    QUENBY_REPORT_WITH(ERROR, fname,
                       (errcode(ERRCODE_INSUFFICIENT_PRIVILEGE),
                        errdetail("Server \"%s\" has option tls 'none'.", server.name),
                        errhint("Give the server tls 'starttls' or 'ldaps'.")),
                       "bind to server \"%s\" refused: quenby_ldap.require_tls is on", server.name);
}

LDAP* connectTo(const char* fname, const DirectoryServer& server) {
    const char* why = nullptr;
    const ConnectionTimeouts timeouts = {server.connectTimeoutMillis, server.ioTimeoutMillis};
    LDAP* ld = connectToServer(server.host, server.port, timeouts, &why);
    if (ld == nullptr) {
        QUENBY_REPORT_WITH(
            ERROR, fname,
            (errcode(ERRCODE_FDW_UNABLE_TO_ESTABLISH_CONNECTION), errdetail("%s", why)),
            "could not connect to server \"%s\" at %s:%d", server.name, server.host, server.port);
    }
    return ld;
}

[[noreturn]] void refuseTls(const char* fname, const DirectoryServer& server, LDAP* ld,
                            const char* step, int rc) {
    abandonConnection(ld);
    QUENBY_REPORT_WITH(ERROR, fname,
                       (errcode(ERRCODE_FDW_UNABLE_TO_ESTABLISH_CONNECTION),
                        errdetail("%s: %s (%d).", step, ldap_err2string(rc), rc)),
                       "TLS with server \"%s\" failed", server.name);
    pg_unreachable();
}

// The server's TLS options on the session, then StartTLS or TLS from the first byte.
void secure(const char* fname, const DirectoryServer& server, LDAP* ld) {
    const TlsFiles files = {server.certLevel, server.certFile, server.keyFile, server.caFile};
    const bool withClientCertificate = files.certFile[0] != '\0';
    int rc = ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &files.level);
    if (rc == 0) {
        rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE,
                             files.caFile[0] != '\0' ? files.caFile : nullptr);
    }
    if (rc == 0 && withClientCertificate) {
        rc = ldap_set_option(ld, LDAP_OPT_X_TLS_CERTFILE, files.certFile);
    }
    if (rc == 0 && withClientCertificate) {
        rc = ldap_set_option(ld, LDAP_OPT_X_TLS_KEYFILE, files.keyFile);
    }
    if (rc == 0) rc = useTlsContext(ld, files);
    if (rc != 0) refuseTls(fname, server, ld, "The certificate files could not be used", rc);
    rc = server.tls == TlsMode::startTls ? startTls(ld, OnInterrupt::releaseSession)
                                         : handshakeTls(ld, OnInterrupt::releaseSession);
    if (rc != 0) {
        refuseTls(fname, server, ld, server.tls == TlsMode::startTls ? "StartTLS" : "TLS handshake",
                  rc);
    }
}

void bindAs(const char* fname, const DirectoryServer& server, LDAP* ld, const char* bindDn,
            const char* password) {
    const int rc = simpleBind(ld, bindDn, password, OnInterrupt::releaseSession);
    if (rc == LDAP_SUCCESS) return;
    abandonConnection(ld);
    QUENBY_REPORT_WITH(ERROR, fname,
                       (errcode(ERRCODE_INVALID_AUTHORIZATION_SPECIFICATION),
                        errdetail("LDAP result code %d: %s.", rc, ldap_err2string(rc))),
                       "bind to server \"%s\" as \"%s\" failed", server.name, bindDn);
}

Handle registerSession(const char* fname, const DirectoryServer& server, LDAP* ld,
                       const char* bindDn) {
    if (!rememberSession(ld, server.host, server.port, server.name)) {
        abandonConnection(ld);
        reportOutOfMemory(fname);
    }
    const Handle session = handleOf(ld);
    setTlsState(session, server.tls == TlsMode::none ? TlsState::none : TlsState::running);
    setBoundDn(session, bindDn);
    return session;
}

LDAP* connectAndBind(const char* fname, const DirectoryServer& server, const char* bindDn,
                     const char* password) {
    LDAP* ld = connectTo(fname, server);
    if (server.tls != TlsMode::none) secure(fname, server, ld);
    bindAs(fname, server, ld, bindDn, password);
    return ld;
}

}  // namespace

BoundConnection openBoundConnection(const char* fname, const char* serverName) {
    Oid serverId = InvalidOid;
    const DirectoryServer* server = lookUpDirectoryServer(fname, serverName, &serverId);
    const DirectoryAccount account = lookUpDirectoryAccount(fname, *server, serverId);
    refuseClearBind(fname, *server);
    // Opened before anything is sent: a password that does not open never reaches a server.
    const char* password = openServerPassword(fname, server->name, account.passwordEnvelope);
    LDAP* volatile ld = nullptr;
    PG_TRY();
    { ld = connectAndBind(fname, *server, account.bindDn, password); }
    PG_FINALLY();
    { forgetOpenedPassword(); }
    PG_END_TRY();
    return BoundConnection{ld, server, account.bindDn};
}

}  // namespace quenby

extern "C" Datum pg_ldap_connect(PG_FUNCTION_ARGS) {
    using namespace quenby;
    char* name = text_to_cstring(PG_GETARG_TEXT_PP(0));
    const BoundConnection bound = openBoundConnection(__func__, name);
    const Handle session = registerSession(__func__, *bound.server, bound.ld, bound.bindDn);
    pfree(name);
    PG_RETURN_INT64(session);
}
