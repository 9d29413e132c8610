// The module's settings (quenby_ldap.*), read wherever a wait or a bind needs them.
#pragma once

#include "quenby_common.h"

namespace quenby {

// quenby_ldap.require_tls: binds only on sessions with TLS running (superuser only).
extern bool requireTls;
// quenby_ldap.connect_timeout: one TCP connect, and one TLS handshake, in milliseconds; 0 is
// no limit.
extern int connectTimeoutMillis;
// quenby_ldap.io_timeout: any one wait for an answer of the server, in milliseconds; 0 is no
// limit.
extern int ioTimeoutMillis;

// quenby_ldap.pushdown: foreign table scans send the WHERE conditions they can to the server.
extern bool pushdownConditions;

void defineSettings();

}  // namespace quenby
