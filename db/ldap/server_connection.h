// Connections to directory servers: made here, non-blocking, and handed to the library with
// layers of our own in its I/O stack, each connection with its own state (its timeouts, its
// handshake's deadline, whether its time ran out, whether a bind request is being sent).
#pragma once

#include "quenby_common.h"

extern "C" {
#include "utils/timestamp.h"
}

namespace quenby {

// A connection's own limits in milliseconds; -1 takes the setting (quenby_ldap.connect_timeout,
// quenby_ldap.io_timeout) at the time of each wait.
struct ConnectionTimeouts {
    int connectMillis;
    int ioMillis;
};

inline constexpr ConnectionTimeouts settingsTimeouts = {-1, -1};

// A connection to host:port speaking protocol version 3, or null when none could be made;
// then, unless fname is null, the WARNING "Empty session for AD host" with the reason.
LDAP* openSession(const char* fname, const char* host, int port);

// openSession without the WARNING and with limits of its own: null with *why telling the
// reason.
LDAP* connectToServer(const char* host, int port, ConnectionTimeouts timeouts, const char** why);

// Unbinds and closes a session openSession made; returns the unbind's code.
int closeSession(LDAP* ld);

// Closes a session without waiting for anything, on paths that fail anyway.
void dropSession(LDAP* ld);

// Shuts the session's connection in both directions: the library can send nothing more on it,
// and every later call answers as on a lost connection.
void cutConnection(LDAP* ld) noexcept;

// The session's socket, and whether a layer of it holds bytes already (the read-ahead, a
// decrypted TLS record), for which the socket may never become readable.
int socketOfSession(LDAP* ld);
bool bytesBuffered(LDAP* ld);

// The deadline of one wait for an answer on the session, from now (0: none).
TimestampTz answerDeadline(LDAP* ld);

// Runs the library's TLS handshake under the connection's connect limit; false when the
// connection layer gave the connection up because that time ran out.
int handshakeWithin(LDAP* ld, bool* timedOut);

// Whether the connection layer gave the connection up because its time ran out, since the last
// call (which clears it).
bool connectionTimedOut(LDAP* ld);

// Wipes what the session writes, from the library's own buffer, while `on`: for a request that
// carries a password.
void wipeWrites(LDAP* ld, bool on);

}  // namespace quenby
