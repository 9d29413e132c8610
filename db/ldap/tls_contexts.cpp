// TLS contexts shared by the sessions of this backend.
#include "tls_contexts.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "server_wait.h"

extern "C" {
#include "storage/ipc.h"
}

// Drops one reference of a context the library handed out (exported by libldap, declared in
// its private headers only).
extern "C" void ldap_pvt_tls_ctx_free(void* ctx);

namespace quenby {
namespace {

// What tells a file that changed on disk: replaced (inode), rewritten (size, times).
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;
    struct timespec changed;
};

struct CachedContext {
    void* ctx;  // one reference of the library's context; null for a free slot
    int level;
    char* certFile;  // malloc'd
    char* keyFile;   // malloc'd
    char* caFile;    // malloc'd; "" for the library's default trust
    FileIdentity cert;
    FileIdentity key;
    FileIdentity ca;
    unsigned long lastUsed;
};

// Few distinct sets of files are expected; the least recently used one makes room for a new one.
constexpr int cacheSlots = 16;
CachedContext cache[cacheSlots];
unsigned long useCounter = 0;

// No file ("") has an identity of its own, and never changes.
bool identify(const char* path, FileIdentity* identity) {
    if (path[0] == '\0') {
        *identity = FileIdentity{};
        return true;
    }
    struct stat status;
    if (stat(path, &status) != 0) return false;
    *identity =
        FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    return true;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           sameTime(a.modified, b.modified) && sameTime(a.changed, b.changed);
}

void emptySlot(CachedContext* slot) {
    if (slot->ctx != nullptr) ldap_pvt_tls_ctx_free(slot->ctx);
    free(slot->certFile);
    free(slot->keyFile);
    free(slot->caFile);
    *slot = CachedContext{};
}

CachedContext* slotOf(const TlsFiles& files) {
    for (CachedContext& slot : cache) {
        if (slot.ctx != nullptr && slot.level == files.level &&
            strcmp(slot.certFile, files.certFile) == 0 &&
            strcmp(slot.keyFile, files.keyFile) == 0 && strcmp(slot.caFile, files.caFile) == 0) {
            return &slot;
        }
    }
    return nullptr;
}

CachedContext* freeSlot() {
    CachedContext* oldest = &cache[0];
    for (CachedContext& slot : cache) {
        if (slot.ctx == nullptr) return &slot;
        if (slot.lastUsed < oldest->lastUsed) oldest = &slot;
    }
    emptySlot(oldest);
    return oldest;
}

// Keeps the context the library just made for the session, under the files' identities taken
// before it read them (a change in between only makes the next session build anew).
void keep(LDAP* ld, const TlsFiles& files, const FileIdentity (&identities)[3]) {
    void* ctx = nullptr;
    if (ldap_get_option(ld, LDAP_OPT_X_TLS_CTX, &ctx) != LDAP_OPT_SUCCESS || ctx == nullptr) {
        return;
    }
    char* certCopy = strdup(files.certFile);
    char* keyCopy = strdup(files.keyFile);
    char* caCopy = strdup(files.caFile);
    if (certCopy == nullptr || keyCopy == nullptr || caCopy == nullptr) {
        free(certCopy);
        free(keyCopy);
        free(caCopy);
        ldap_pvt_tls_ctx_free(ctx);
        return;
    }
    *freeSlot() = CachedContext{ctx,           files.level,   certCopy,      keyCopy,     caCopy,
                                identities[0], identities[1], identities[2], ++useCounter};
    // Registered by the backend that holds contexts: a module preloaded into the postmaster
    // would have its registration dropped in every child.
    static bool releaseRegistered = false;
    if (!releaseRegistered) {
        on_proc_exit(releaseTlsContexts, 0);
        releaseRegistered = true;
    }
}

}  // namespace

int useTlsContext(LDAP* ld, const TlsFiles& files) noexcept {
    FileIdentity identities[3];
    bool known = identify(files.certFile, &identities[0]) &&
                 identify(files.keyFile, &identities[1]) && identify(files.caFile, &identities[2]);
    CachedContext* slot = known ? slotOf(files) : nullptr;
    if (slot != nullptr && sameFile(slot->cert, identities[0]) &&
        sameFile(slot->key, identities[1]) && sameFile(slot->ca, identities[2])) {
        slot->lastUsed = ++useCounter;
        return ldap_set_option(ld, LDAP_OPT_X_TLS_CTX, slot->ctx);
    }
    if (slot != nullptr) emptySlot(slot);
    // The options set on the session only reach the handshake through a context of its own;
    // without one the library's global context is used and no certificate is presented.
    int newContextIsServer = 0;
    int rc = ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContextIsServer);
    if (rc == LDAP_OPT_SUCCESS && known) keep(ld, files, identities);
    return rc;
}

// A backend that exits from inside a wait (its postmaster died) may be inside the library,
// holding its locks: the contexts then go with the process.
void releaseTlsContexts(int, Datum) {
    if (waitInProgress()) return;
    for (CachedContext& slot : cache)
        emptySlot(&slot);
}

}  // namespace quenby
