// Connections to a directory server defined once, bound with the current user's mapping.
#pragma once

#include "directory_servers.h"

namespace quenby {

struct BoundConnection {
    LDAP* ld;
    const DirectoryServer* server;
    const char* bindDn;
};

// A private connection to the named server, bound with the current user's mapping (else the
// PUBLIC one); the server needs USAGE. Each failure is an ERROR naming the server and the step,
// with nothing left open. The caller owns the connection: closeSession or dropSession ends it.
BoundConnection openBoundConnection(const char* fname, const char* serverName);

}  // namespace quenby
