// The registry of live library objects of this backend: sessions, search results and their
// entries. SQL can pass any number as a handle; a handle becomes a pointer again only through
// this registry, and only while the object is live.
#pragma once

#include "quenby_common.h"

namespace quenby {

// Whether TLS runs on a session. Once StartTLS was asked for and did not succeed, the session
// never sends another byte in clear.
enum class TlsState { none, running, failed };

// Records a session just opened to host:port, of the named directory server or of none (null).
// False when memory ran out (the session is not recorded).
bool rememberSession(LDAP* ld, const char* host, int port, const char* server = nullptr) noexcept;

// The TLS state of a live session (none for an unknown handle), and its change.
TlsState tlsStateOf(Handle session) noexcept;
void setTlsState(Handle session, TlsState state) noexcept;

// Records the DN of the session's last successful bind ("" for an anonymous one); null after a
// failed bind, which leaves the session anonymous.
void setBoundDn(Handle session, const char* dn) noexcept;

// What pg_ldap_sessions shows of a session; the strings live as long as the session.
struct SessionView {
    Handle session;
    const char* host;
    int port;
    TlsState tls;
    const char* boundDn;  // null while not bound
    int results;
    TimestampTz opened;
    const char* server;  // null for a session not opened by a server's name
};

// Fills `views` (room for `room`) with the current user's live sessions; returns how many
// there are, which may exceed `room`.
int ownSessions(SessionView* views, int room) noexcept;

// Records a search result of a live session together with all of its entries, so that walking
// them later is a chain of constant-time lookups. False when memory ran out.
bool rememberResult(Handle session, LDAP* ld, LDAPMessage* message) noexcept;

// The object behind a live handle, or null.
LDAP* liveSession(Handle handle) noexcept;
LDAPMessage* liveResult(Handle handle) noexcept;
LDAPMessage* liveEntry(Handle handle) noexcept;

// Releases a live result with its entries; returns what ldap_msgfree returns.
int releaseResult(Handle handle) noexcept;

// Releases a live session with the results still held on it; returns the unbind's code.
int releaseSession(Handle handle) noexcept;

// Handle checks that report the unknown-handle ERROR. Each runs after the 0 checks of its
// caller.
LDAP* requireSession(const char* fname, Handle handle);
LDAPMessage* requireResult(const char* fname, Handle handle);
LDAPMessage* requireEntry(const char* fname, Handle handle);

struct Target {
    LDAP* ld;
    LDAPMessage* message;
};

// The session and search result of count/first-entry calls, both required.
Target requireSessionAndResult(const char* fname, Handle session, Handle message);

// The session and entry of the entry functions, both required.
Target requireSessionAndEntry(const char* fname, Handle session, Handle entry);

}  // namespace quenby
