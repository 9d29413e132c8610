// The module's settings.
#include "settings.h"

#include <climits>

extern "C" {
#include "utils/guc.h"
}

namespace quenby {

bool requireTls = false;
int connectTimeoutMillis = 30 * 1000;
int ioTimeoutMillis = 0;
bool pushdownConditions = true;

void defineSettings() {
    DefineCustomBoolVariable(
        "quenby_ldap.require_tls", "Refuses simple binds on sessions without TLS.",
        "On: pg_ldap_bind answers 13 (confidentialityRequired) without sending anything on a "
        "session where TLS is not running, and pg_ldap_server_test runs StartTLS before its "
        "bind.",
        &requireTls, false, PGC_SUSET, 0, nullptr, nullptr, nullptr);
    DefineCustomIntVariable(
        "quenby_ldap.connect_timeout",
        "Longest wait for a TCP connection to a directory server, and for a TLS handshake.",
        "0 waits without a limit.", &connectTimeoutMillis, 30 * 1000, 0, INT_MAX, PGC_USERSET,
        GUC_UNIT_MS, nullptr, nullptr, nullptr);
    DefineCustomIntVariable("quenby_ldap.io_timeout",
                            "Longest wait for any one answer of a directory server.",
                            "0 waits without a limit.", &ioTimeoutMillis, 0, 0, INT_MAX,
                            PGC_USERSET, GUC_UNIT_MS, nullptr, nullptr, nullptr);
    DefineCustomBoolVariable(
        "quenby_ldap.pushdown", "Sends WHERE conditions of foreign table scans to the server.",
        "Off: a scan sends the table's own filter alone and PostgreSQL checks every condition.",
        &pushdownConditions, true, PGC_USERSET, 0, nullptr, nullptr, nullptr);
    MarkGUCPrefixReserved("quenby_ldap");
}

}  // namespace quenby
