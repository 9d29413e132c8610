// The registry of live library objects of this backend.
#include "handle_registry.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "server_wait.h"

namespace quenby {
namespace {

struct SessionRecord {
    LDAP* ld;
    std::unordered_set<Handle> results;
};

struct ResultRecord {
    LDAPMessage* message;
    Handle session;
    std::vector<Handle> entries;
};

// The first entry of a result can be the result message itself, so one number may be both a
// live result and a live entry: entries have their own table.
struct EntryRecord {
    LDAPMessage* entry;
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

bool rememberSession(LDAP* ld) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return false;
    try {
        registry->sessions.emplace(handleOf(ld), SessionRecord{ld, {}});
        return true;
    } catch (...) {
        return false;
    }
}

LDAP* liveSession(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return nullptr;
    auto found = registry->sessions.find(handle);
    return found == registry->sessions.end() ? nullptr : found->second.ld;
}

LDAPMessage* liveResult(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return nullptr;
    auto found = registry->results.find(handle);
    return found == registry->results.end() ? nullptr : found->second.message;
}

LDAPMessage* liveEntry(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return nullptr;
    auto found = registry->entries.find(handle);
    return found == registry->entries.end() ? nullptr : found->second.entry;
}

bool rememberResult(Handle session, LDAP* ld, LDAPMessage* message) noexcept {
    Registry* registry = registryOrNull();
    if (registry == nullptr) return false;
    Handle handle = handleOf(message);
    try {
        ResultRecord& record = registry->results[handle];
        record = ResultRecord{message, session, {}};
        for (LDAPMessage* entry = ldap_first_entry(ld, message); entry != nullptr;
             entry = ldap_next_entry(ld, entry)) {
            record.entries.push_back(handleOf(entry));
            registry->entries.emplace(handleOf(entry), EntryRecord{entry, handle});
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
    LDAPMessage* message = liveResult(handle);
    forgetResult(*registry, handle);
    return ldap_msgfree(message);
}

int releaseSession(Handle handle) noexcept {
    Registry* registry = registryOrNull();
    auto found = registry->sessions.find(handle);
    std::unordered_set<Handle>& results = found->second.results;
    while (!results.empty())
        releaseResult(*results.begin());
    LDAP* ld = found->second.ld;
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
