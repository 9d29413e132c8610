// The connections foreign table scans read through, kept from one scan to the next: a scan of a
// server's tables by the same role takes the bound connection an earlier scan left, instead of
// connecting, opening the password and binding again.
#pragma once

#include "quenby_common.h"

namespace quenby {

// A bound connection to the server for the current user: the kept one when it is free, still
// open and made under the server's and mappings' current definitions, else a new one
// (openBoundConnection's ERRORs).
LDAP* takeTableConnection(const char* fname, Oid serverId, const char* serverName);

// After a scan that read its search to the end: kept for the next scan.
void keepTableConnection(LDAP* ld) noexcept;

// After a scan that did not: closed without waiting for anything.
void dropTableConnection(LDAP* ld) noexcept;

}  // namespace quenby
