// The registry of live library objects of this backend.
//
// Every object belongs to the role that was the current user when it was made. One backend can
// serve many roles (SET ROLE, SET SESSION AUTHORIZATION, a pooler), and a handle is only an
// address that a role could guess from its own: for any other current user an object is as
// unknown as a number that was never a handle, with the same answer at the same cost.
#include "handle_registry.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server_wait.h"

extern "C" {
#include "utils/timestamp.h"
}

namespace quenby {
namespace {

struct SessionRecord {
    LDAP* ld;
    Oid owner;
    std::unordered_set<Handle> results;
    std::string host;
    int port;
    TlsState tls;
    bool bound;
    std::string boundDn;
    TimestampTz opened;
    bool byServer;
    std::string server;
};

struct ResultRecord {
    LDAPMessage* message;
    Oid owner;
    Handle session;
    std::vector<Handle> entries;
};

// The first entry of a result can be the result message itself, so one number may be both a
// live result and a live entry: entries have their own table.
struct EntryRecord {
    LDAPMessage* entry;
    Oid owner;
    Handle result;
};

struct Registry {
    std::unordered_map<Handle, SessionRecord> sessions;
    std::unordered_map<Handle, ResultRecord> results;
    std::unordered_map<Handle, EntryRecord> entries;
};

// Never destroyed: the backend may exit from anywhere, and the library objects go with it.
Registry* registryOrNull() noexcept {
    try {
        static Registry* const registry = new Registry();
        return registry;
    } catch (...) {
        return nullptr;
    }
}

// The record of a live handle of the current user in one of the tables, or null.
template <typename Table>
typename Table::mapped_type* ownRecord(Table& table, Handle handle) noexcept {
    auto found = table.find(handle);
    if (found == table.end() || found->second.owner != GetUserId()) return nullptr;
    return &found->second;
}

// Drops a result and its entries from the registry; the message itself is left alone.
void forgetResult(Registry& registry, Handle handle) noexcept {
    auto found = registry.results.find(handle);
    if (found == registry.results.end()) return;
    for (Handle entry : found->second.entries)
        registry.entries.erase(entry);
    auto session = registry.sessions.find(found->second.session);
    if (session != registry.sessions.end()) session->second.results.erase(handle);
    registry.results.erase(found);
}

}  // namespace

bool rememberSession(LDAP* ld, const char* host, int port, const char* server) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return false;
    try {
        registry->sessions.emplace(handleOf(ld), SessionRecord{ld,
                                                               GetUserId(),
                                                               {},
                                                               host,
                                                               port,
                                                               TlsState::none,
                                                               false,
                                                               {},
                                                               GetCurrentTimestamp(),
                                                               server != nullptr,
                                                               server != nullptr ? server : ""});
        return true;
    } catch (...) {
        return false;
    }
}

TlsState tlsStateOf(Handle session) noexcept {
    Registry* registry = registryOrNull();
    SessionRecord* record = registry == nullptr ? nullptr : ownRecord(registry->sessions, session);
    return record == nullptr ? TlsState::none : record->tls;
}

void setTlsState(Handle session, TlsState state) noexcept {
    Registry* registry = registryOrNull();
    SessionRecord* record = registry == nullptr ? nullptr : ownRecord(registry->sessions, session);
    if (record != nullptr) record->tls = state;
}

void setBoundDn(Handle session, const char* dn) noexcept {
    Registry* registry = registryOrNull();
    SessionRecord* record = registry == nullptr ? nullptr : ownRecord(registry->sessions, session);
    if (record == nullptr) return;
    record->bound = false;
    if (dn == nullptr) return;
    try {
        record->boundDn = dn;
        record->bound = true;
    } catch (...) {
        // A DN that does not fit shows as not bound.
        record->bound = false;
    }
}

int ownSessions(SessionView* views, int room) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return 0;
    int count = 0;
    for (const auto& [handle, record] : registry->sessions) {
        if (record.owner != GetUserId()) continue;
        if (count < room) {
            views[count] = SessionView{handle,
                                       record.host.c_str(),
                                       record.port,
                                       record.tls,
                                       record.bound ? record.boundDn.c_str() : nullptr,
                                       static_cast<int>(record.results.size()),
                                       record.opened,
                                       record.byServer ? record.server.c_str() : nullptr};
        }
        ++count;
    }
    return count;
}

LDAP* liveSession(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    SessionRecord* record = registry == nullptr ? nullptr : ownRecord(registry->sessions, handle);
    return record == nullptr ? nullptr : record->ld;
}

LDAPMessage* liveResult(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    ResultRecord* record = registry == nullptr ? nullptr : ownRecord(registry->results, handle);
    return record == nullptr ? nullptr : record->message;
}

LDAPMessage* liveEntry(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    EntryRecord* record = registry == nullptr ? nullptr : ownRecord(registry->entries, handle);
    return record == nullptr ? nullptr : record->entry;
}

bool rememberResult(Handle session, LDAP* ld, LDAPMessage* message) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return false;
    Handle handle = handleOf(message);
    try {
        ResultRecord& record = registry->results[handle];
        const Oid owner = GetUserId();
        record = ResultRecord{message, owner, session, {}};
        for (LDAPMessage* entry = ldap_first_entry(ld, message); entry != nullptr;
             entry = ldap_next_entry(ld, entry)) {
            record.entries.push_back(handleOf(entry));
            registry->entries.emplace(handleOf(entry), EntryRecord{entry, owner, handle});
        }
        registry->sessions.at(session).results.insert(handle);
        return true;
    } catch (...) {
        forgetResult(*registry, handle);
        return false;
    }
}

int releaseResult(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    auto found = registry->results.find(handle);
    if (found == registry->results.end()) return 0;
    LDAPMessage* message = found->second.message;
    forgetResult(*registry, handle);
    return ldap_msgfree(message);
}

int releaseSession(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    auto found = registry->sessions.find(handle);
    std::unordered_set<Handle>& results = found->second.results;
    while (!results.empty()) {
        Handle result = *results.begin();
        releaseResult(result);
        results.erase(result);
    }
    LDAP* ld = found->second.ld;
    // Not even the unbind request goes out in clear once TLS was asked for and failed.
    if (found->second.tls == TlsState::failed) cutConnection(ld);
    registry->sessions.erase(found);
    return closeSession(ld);
}

LDAP* requireSession(const char* fname, Handle handle) {
    LDAP* ld = liveSession(handle);
    if (ld == nullptr) QUENBY_REPORT(ERROR, fname, "Invalid LDAP session handle");
    return ld;
}

LDAPMessage* requireResult(const char* fname, Handle handle) {
    LDAPMessage* message = liveResult(handle);
    if (message == nullptr) QUENBY_REPORT(ERROR, fname, "Invalid LDAP message handle");
    return message;
}

LDAPMessage* requireEntry(const char* fname, Handle handle) {
    LDAPMessage* entry = liveEntry(handle);
    if (entry == nullptr) QUENBY_REPORT(ERROR, fname, "Invalid LDAP entry handle");
    return entry;
}

Target requireSessionAndResult(const char* fname, Handle session, Handle message) {
    if (session == 0 || message == 0) {
        QUENBY_REPORT(ERROR, fname, "Bad LDAP session:message %d:%d", low32(session),
                      low32(message));
    }
    LDAP* ld = requireSession(fname, session);
    return Target{ld, requireResult(fname, message)};
}

Target requireSessionAndEntry(const char* fname, Handle session, Handle entry) {
    if (session == 0 || entry == 0) {
        QUENBY_REPORT(ERROR, fname, "Bad LDAP session:entry %d:%d", low32(session), low32(entry));
    }
    LDAP* ld = requireSession(fname, session);
    return Target{ld, requireEntry(fname, entry)};
}

}  // namespace quenby
