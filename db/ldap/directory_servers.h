// Directory servers defined once (CREATE SERVER ... FOREIGN DATA WRAPPER quenby_ldap_fdw) and
// the account each role binds with (CREATE USER MAPPING): their options, checked when the
// object is created or altered, and read back when a session connects by the server's name.
#pragma once

#include "quenby_common.h"

namespace quenby {

// How a connection to the server gets its TLS.
enum class TlsMode { startTls, ldaps, none };

// A server's options with their defaults applied; strings live in the caller's memory context.
struct DirectoryServer {
    const char* name;
    const char* host;  // null when the server names none
    int port;
    TlsMode tls;
    int certLevel;
    const char* certFile;  // "" for no client certificate
    const char* keyFile;
    const char* caFile;  // "" for the library's default trust
    int connectTimeoutMillis;
    int ioTimeoutMillis;
};

// The account of the current user's mapping (else the PUBLIC one) on a server.
struct DirectoryAccount {
    const char* bindDn;
    const char* passwordEnvelope;  // the sealed password as the catalog holds it
};

// The server of that name, of this wrapper, on which the current user has USAGE; an ERROR
// otherwise (unknown server, another wrapper's, permission denied).
DirectoryServer* lookUpDirectoryServer(const char* fname, const char* name, Oid* serverId);

// The current user's account on the server; an ERROR when there is no mapping or it lacks an
// option.
DirectoryAccount lookUpDirectoryAccount(const char* fname, const DirectoryServer& server,
                                        Oid serverId);

// Whether text has the shape of a sealed password: "@@", a text part and the salt block, all
// Base64. Says nothing about the key it was sealed under.
bool looksLikeEnvelope(const char* text);

}  // namespace quenby
