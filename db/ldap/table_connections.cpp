// Kept connections of foreign table scans. One per server and role, in this backend only; a
// connection in use by one scan is never handed to another (a second scan of the same server in
// the same query connects for itself, and that connection is closed after it).
#include "table_connections.h"

#include <poll.h>

#include "connect_by_name.h"
#include "server_connection.h"

extern "C" {
#include "utils/inval.h"
#include "utils/syscache.h"
}

namespace quenby {
namespace {

struct KeptConnection {
    Oid serverId;
    Oid userId;
    LDAP* ld;
    bool inUse;
    uint64 definitions;  // the generation of definitions it was made under
};

constexpr int keptLimit = 8;
KeptConnection kept[keptLimit];
int keptCount = 0;
// Counts changes of servers and user mappings: a connection made before one is not reused.
uint64 definitions = 0;
bool watching = false;

void definitionsChanged(Datum, int, uint32) {
    ++definitions;
}

void watchDefinitions() {
    if (watching) return;
    CacheRegisterSyscacheCallback(FOREIGNSERVEROID, definitionsChanged, 0);
    CacheRegisterSyscacheCallback(USERMAPPINGOID, definitionsChanged, 0);
    watching = true;
}

// The server closed the connection, or sent something unasked (a notice of disconnection):
// either way it is not fit for the next search.
bool stillOpen(LDAP* ld) {
    struct pollfd socket = {socketOfSession(ld), POLLIN, 0};
    return socket.fd >= 0 && poll(&socket, 1, 0) == 0;
}

void forget(int index) noexcept {
    kept[index] = kept[--keptCount];
}

KeptConnection* keptFor(LDAP* ld) {
    for (int i = 0; i < keptCount; ++i) {
        if (kept[i].ld == ld) return &kept[i];
    }
    return nullptr;
}

// Closes the free connections that are no longer fit: made under definitions since changed
// (the server, a mapping or a dropped server's), or closed by the server.
void closeUnfit() {
    for (int i = keptCount - 1; i >= 0; --i) {
        const KeptConnection& entry = kept[i];
        if (entry.inUse || (entry.definitions == definitions && stillOpen(entry.ld))) continue;
        cutConnection(entry.ld);
        dropSession(entry.ld);
        forget(i);
    }
}

// The free kept connection of the server and role, if there is one.
LDAP* reuse(Oid serverId, Oid userId) {
    for (int i = 0; i < keptCount; ++i) {
        KeptConnection& entry = kept[i];
        if (entry.serverId != serverId || entry.userId != userId || entry.inUse) continue;
        entry.inUse = true;
        return entry.ld;
    }
    return nullptr;
}

bool anyKept(Oid serverId, Oid userId) {
    for (int i = 0; i < keptCount; ++i) {
        if (kept[i].serverId == serverId && kept[i].userId == userId) return true;
    }
    return false;
}

}  // namespace

LDAP* takeTableConnection(const char* fname, Oid serverId, const char* serverName) {
    watchDefinitions();
    AcceptInvalidationMessages();
    closeUnfit();
    const Oid userId = GetUserId();
    LDAP* ld = reuse(serverId, userId);
    if (ld != nullptr) return ld;
    const uint64 generation = definitions;
    ld = openBoundConnection(fname, serverName).ld;
    if (keptCount < keptLimit && !anyKept(serverId, userId)) {
        kept[keptCount++] = KeptConnection{serverId, userId, ld, true, generation};
    }
    return ld;
}

void keepTableConnection(LDAP* ld) noexcept {
    KeptConnection* entry = keptFor(ld);
    if (entry != nullptr) {
        entry->inUse = false;
        return;
    }
    closeSession(ld);
}

void dropTableConnection(LDAP* ld) noexcept {
    KeptConnection* entry = keptFor(ld);
    if (entry != nullptr) forget(static_cast<int>(entry - kept));
    cutConnection(ld);
    dropSession(ld);
}

}  // namespace quenby
