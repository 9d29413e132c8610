// Waiting for the directory server.
//
// The library's own waits cannot be cancelled: its synchronous calls wait without a limit, a
// TCP connect waits for the kernel's retries, and once TLS is on a read blocks inside OpenSSL
// until a whole record has arrived, which a stalled or hostile server may never send. So every
// connection is made here, non-blocking, and handed to the library with a layer of our own
// under its TLS layer: every read and write of the connection, the TLS handshake and TLS
// records included, sleeps on the backend's latch and the socket, and gives the connection up
// once a cancel, a statement_timeout or a terminate is pending, or its time is up. The ERROR
// itself is only ever raised here, in our own frames, never from inside the library (whose
// locks a longjmp would leave behind).
#include "server_wait.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openldap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings.h"

extern "C" {
#include "storage/fd.h"
#include "storage/latch.h"
#include "utils/timestamp.h"
#include "utils/wait_event.h"
}

namespace quenby {
namespace {

// Set while an interrupted call releases what it holds: nothing may wait then.
bool releasingAfterInterrupt = false;
// Set when the connection layer gave a connection up because its time was up.
bool layerTimedOut = false;
// While a TLS handshake runs: its deadline (quenby_ldap.connect_timeout), else 0.
TimestampTz handshakeDeadline = 0;
// Depth of the waits in progress.
int waitDepth = 0;

// The wait set of the search reading its answer (see beginSearchWaits), else null.
struct SearchWaits {
    WaitEventSet* set;
    LDAP* ld;
    int fd;
    int socketPosition;
};
SearchWaits searchWaits = {nullptr, nullptr, -1, -1};

// One sleep on the search's wait set: what WaitLatchOrSocket would return.
int waitOnSearchSet(int socketEvents, long timeout) {
    ModifyWaitEvent(searchWaits.set, searchWaits.socketPosition, socketEvents, nullptr);
    WaitEvent event;
    if (WaitEventSetWait(searchWaits.set, timeout, &event, 1, PG_WAIT_EXTENSION) == 0) {
        return WL_TIMEOUT;
    }
    return event.events;
}

// A cancel, statement_timeout or terminate is pending and would be served now.
bool statementEnding() {
    return (QueryCancelPending || ProcDiePending) && INTERRUPTS_CAN_BE_PROCESSED();
}

// Lets a pending cancel or statement_timeout end the statement; when it does, `release` runs
// first, with every wait of the connection layer given up, so that nothing stays behind.
void serveInterrupts(void (*release)(void*), void* arg) {
    if (!INTERRUPTS_PENDING_CONDITION()) return;
    PG_TRY();
    { CHECK_FOR_INTERRUPTS(); }
    PG_CATCH();
    {
        releasingAfterInterrupt = true;
        release(arg);
        releasingAfterInterrupt = false;
        PG_RE_THROW();
    }
    PG_END_TRY();
}

// A deadline `millis` from now, or 0 (none) for 0.
TimestampTz deadlineIn(int millis) {
    return millis > 0 ? TimestampTzPlusMilliseconds(GetCurrentTimestamp(), millis) : 0;
}

enum class Waited { ready, ending, timedOut };

// The one wait of the module: sleeps on the latch and the socket until the socket is ready for
// `socketEvents`, the statement is ending or the deadline (0: none) has passed. A latch set
// for anything else (PostgreSQL's own signals arrive at any time) only starts another sleep.
Waited awaitSocket(int fd, int socketEvents, TimestampTz deadline) {
    for (;;) {
        if (releasingAfterInterrupt || statementEnding()) return Waited::ending;
        int events = WL_LATCH_SET | WL_EXIT_ON_PM_DEATH | socketEvents;
        long timeout = -1;
        if (deadline != 0) {
            TimestampTz now = GetCurrentTimestamp();
            if (now >= deadline) return Waited::timedOut;
            timeout = Max(1, TimestampDifferenceMilliseconds(now, deadline));
            events |= WL_TIMEOUT;
        }
        ++waitDepth;
        int happened = searchWaits.set != nullptr && fd == searchWaits.fd
                           ? waitOnSearchSet(socketEvents, timeout)
                           : WaitLatchOrSocket(MyLatch, events, fd, timeout, PG_WAIT_EXTENSION);
        --waitDepth;
        if (happened & WL_LATCH_SET) ResetLatch(MyLatch);
        if (happened & socketEvents) return Waited::ready;
    }
}

// ---------------------------------------------------------------------------------------------
// The connection layer.

int socketOf(Sockbuf_IO_Desc* sbiod) {
    ber_socket_t fd = -1;
    ber_sockbuf_ctrl(sbiod->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
    return fd;
}

bool wouldWait(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// A connection whose wait was given up is closed for good: a TLS stream cut inside a record
// cannot be resumed, and later calls on the session answer at once with a result code.
ber_slen_t giveUp(Sockbuf_IO_Desc* sbiod, Waited why) {
    shutdown(socketOf(sbiod), SHUT_RDWR);
    if (why == Waited::timedOut) layerTimedOut = true;
    errno = why == Waited::timedOut ? ETIMEDOUT : ECONNABORTED;
    return -1;
}

// A wait inside the layer is one wait for the server: a handshake's deadline while one runs,
// else quenby_ldap.io_timeout from now.
TimestampTz layerDeadline() {
    return handshakeDeadline != 0 ? handshakeDeadline : deadlineIn(ioTimeoutMillis);
}

ber_slen_t readWaiting(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    TimestampTz deadline = layerDeadline();
    for (;;) {
        ber_slen_t n = LBER_SBIOD_READ_NEXT(sbiod, buf, len);
        if (n >= 0 || !wouldWait(errno)) return n;
        Waited waited = awaitSocket(socketOf(sbiod), WL_SOCKET_READABLE, deadline);
        if (waited != Waited::ready) return giveUp(sbiod, waited);
    }
}

ber_slen_t writeWaiting(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    TimestampTz deadline = layerDeadline();
    for (;;) {
        ber_slen_t n = LBER_SBIOD_WRITE_NEXT(sbiod, buf, len);
        if (n >= 0 || !wouldWait(errno)) return n;
        Waited waited = awaitSocket(socketOf(sbiod), WL_SOCKET_WRITEABLE, deadline);
        if (waited != Waited::ready) return giveUp(sbiod, waited);
    }
}

int passControl(Sockbuf_IO_Desc* sbiod, int option, void* arg) {
    Sockbuf_IO_Desc* next = sbiod->sbiod_next;
    if (next == nullptr || next->sbiod_io->sbi_ctrl == nullptr) return 0;
    return next->sbiod_io->sbi_ctrl(next, option, arg);
}

Sockbuf_IO waitingLayer = {nullptr, nullptr, passControl, readWaiting, writeWaiting, nullptr};

// Set while a bind request is sent. The library encodes the request, password included, into a
// buffer that it later frees without wiping (its memory functions are only consulted for
// allocations with a context, which the client calls never pass), and a TLS layer has the
// same bytes pass through its own. Every layer gets the buffer itself from above: the top
// layer wipes what has been written from it, once the layers below took it.
bool wipingWrites = false;

ber_slen_t readThrough(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    return LBER_SBIOD_READ_NEXT(sbiod, buf, len);
}

ber_slen_t writeWiping(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    ber_slen_t n = LBER_SBIOD_WRITE_NEXT(sbiod, buf, len);
    if (n > 0 && wipingWrites) explicit_bzero(buf, static_cast<size_t>(n));
    return n;
}

Sockbuf_IO wipingLayer = {nullptr, nullptr, passControl, readThrough, writeWiping, nullptr};

// ---------------------------------------------------------------------------------------------
// Connecting.

// What a connection attempt holds while it waits, released when an interrupt ends it.
struct Attempt {
    int fd;
    struct addrinfo* addresses;
};

void abandonAttempt(void* arg) {
    auto* attempt = static_cast<Attempt*>(arg);
    if (attempt->fd >= 0) close(attempt->fd);
    if (attempt->addresses != nullptr) freeaddrinfo(attempt->addresses);
    ReleaseExternalFD();
}

// Waits for the connect to complete, at most quenby_ldap.connect_timeout; false with errno
// set when it failed or timed out.
bool awaitConnected(Attempt* attempt) {
    TimestampTz deadline = deadlineIn(connectTimeoutMillis);
    for (;;) {
        Waited waited = awaitSocket(attempt->fd, WL_SOCKET_CONNECTED, deadline);
        if (waited == Waited::ready) break;
        if (waited == Waited::timedOut) {
            errno = ETIMEDOUT;
            return false;
        }
        serveInterrupts(abandonAttempt, attempt);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(attempt->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

// A connected, non-blocking socket to one address in attempt->fd, or -1 there.
void connectTo(const struct addrinfo* address, Attempt* attempt) {
    attempt->fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         address->ai_protocol);
    if (attempt->fd < 0) return;
    if (connect(attempt->fd, address->ai_addr, address->ai_addrlen) != 0 &&
        (errno != EINPROGRESS || !awaitConnected(attempt))) {
        int error = errno;
        close(attempt->fd);
        errno = error;
        attempt->fd = -1;
        return;
    }
    // As the library sets up its own connections.
    int on = 1;
    setsockopt(attempt->fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(attempt->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Connects to the server of one LDAP URL, trying each of its addresses in turn. Name
// resolution is the C library's, bounded by its resolver's own timeouts (resolv.conf): the
// server offers no resolver that a latch could interrupt, and a resolver thread would outlive
// an ERROR.
void connectToUrl(const char* url, Attempt* attempt) {
    LDAPURLDesc* parsed = nullptr;
    if (ldap_url_parse(url, &parsed) != LDAP_URL_SUCCESS) return;
    char port[16];
    snprintf(port, sizeof port, "%d", parsed->lud_port);
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(parsed->lud_host, port, &hints, &attempt->addresses);
    ldap_free_urldesc(parsed);
    if (rc != 0) return;
    for (struct addrinfo* address = attempt->addresses; address != nullptr && attempt->fd < 0;
         address = address->ai_next) {
        connectTo(address, attempt);
    }
    freeaddrinfo(attempt->addresses);
    attempt->addresses = nullptr;
}

// The LDAP URLs that ldap_open would try for host and port, in palloc'd memory: host may
// name several servers ("dc1 dc2:3268"), each with its own port.
char* serverUrls(const char* host, int port) {
    LDAP* parser = ldap_init(host, port);
    if (parser == nullptr) return nullptr;
    char* urls = nullptr;
    ldap_get_option(parser, LDAP_OPT_URI, &urls);
    ldap_unbind_ext(parser, nullptr, nullptr);
    if (urls == nullptr) return nullptr;
    char* copy = pstrdup(urls);
    ldap_memfree(urls);
    return copy;
}

// A session on the first server of the list that accepts a connection, or null with errno
// telling why the last attempt failed.
LDAP* connectSession(const char* host, int port) {
    char* urls = serverUrls(host, port);
    if (urls == nullptr) return nullptr;
    char* rest = nullptr;
    for (char* url = strtok_r(urls, " ", &rest); url != nullptr;
         url = strtok_r(nullptr, " ", &rest)) {
        Attempt attempt = {-1, nullptr};
        connectToUrl(url, &attempt);
        if (attempt.fd < 0) continue;
        LDAP* ld = nullptr;
        if (ldap_init_fd(attempt.fd, LDAP_PROTO_TCP, url, &ld) == LDAP_SUCCESS) return ld;
        close(attempt.fd);
    }
    return nullptr;
}

Sockbuf* sockbufOf(LDAP* ld) {
    Sockbuf* sb = nullptr;
    ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb);
    return sb;
}

void prepareSession(LDAP* ld) {
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    // Referrals are not chased: the library would follow them over new connections that are
    // not bound (Active Directory refuses those and fails the whole search), and it would wait
    // on servers we never chose. A search gives what the server it was sent to answers.
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    // A session is this one connection. Once it is lost, the library would open a new one to
    // the server by itself, unseen by the descriptor count and the waits here, and without the
    // TLS of the old one, so that the next bind would send its password in clear. Its default
    // server becomes a socket path that does not exist: later calls answer "Can't contact".
    ldap_set_option(ld, LDAP_OPT_URI, "ldapi://%2Fnonexistent%2Fquenby_ldap");
    Sockbuf* sb = sockbufOf(ld);
    ber_sockbuf_add_io(sb, &waitingLayer, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
    // libldap reads every message with two reads after a poll: 30,000 system calls for a
    // 10,000-entry search. liblber's read-ahead reads whatever has arrived, up to 16 kB, and
    // lives as long as the session, since bytes it holds must never be lost between calls.
    // Added after the waits at the same level, it sits above them (the waits stay on the
    // socket) and below the TLS layer a StartTLS installs, so TLS records are read through it
    // too. libldap asks the stack whether bytes are buffered (LBER_SB_OPT_DATA_READY) before
    // it polls the socket, and every layer above passes the question down.
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
    // Above every other layer, a TLS layer installed later included.
    ber_sockbuf_add_io(sb, &wipingLayer, LBER_SBIOD_LEVEL_APPLICATION, nullptr);
}

void reportNoSession(const char* fname, const char* host, int port, const char* why) {
    if (fname == nullptr) return;
    QUENBY_REPORT_WITH(WARNING, fname, errdetail("%s", why), "Empty session for AD host %s:%d",
                       host, port);
}

// ---------------------------------------------------------------------------------------------
// Waiting for answers.

struct PendingRequest {
    LDAP* ld;
    int msgid;
    OnInterrupt onInterrupt;
};

void abandonRequest(PendingRequest* request) {
    ldap_set_option(request->ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    if (request->msgid >= 0) ldap_abandon_ext(request->ld, request->msgid, nullptr, nullptr);
}

void releaseRequest(void* arg) {
    auto* request = static_cast<PendingRequest*>(arg);
    if (request->onInterrupt == OnInterrupt::releaseSession) {
        dropSession(request->ld);
    } else {
        abandonRequest(request);
    }
}

void recordErrorCode(LDAP* ld, int code) {
    ldap_set_option(ld, LDAP_OPT_RESULT_CODE, &code);
}

int socketOfSession(LDAP* ld) {
    ber_socket_t fd = -1;
    ldap_get_option(ld, LDAP_OPT_DESC, &fd);
    return fd;
}

// Bytes that a layer of the session holds already (the read-ahead, a decrypted TLS record):
// the socket may never become readable for them.
bool bytesBuffered(LDAP* ld) {
    Sockbuf* sb = sockbufOf(ld);
    return sb != nullptr && ber_sockbuf_ctrl(sb, LBER_SB_OPT_DATA_READY, nullptr) != 0;
}

// Ends a wait that ran out of time: the request is abandoned and the session stays as after
// an interrupt; the library's timeout code is what the caller reads.
int timedOut(PendingRequest* request) {
    if (request->onInterrupt == OnInterrupt::abandonRequest) abandonRequest(request);
    recordErrorCode(request->ld, LDAP_TIMEOUT);
    return -1;
}

// Counts the descriptor of a new connection. Every wait takes one more for a moment (the
// server's wait set), counted the same way: a connection leaves room for it.
bool acquireConnectionDescriptor() {
    if (!AcquireExternalFD()) return false;
    bool roomForWait = AcquireExternalFD();
    if (roomForWait) ReleaseExternalFD();
    if (!roomForWait) ReleaseExternalFD();
    return roomForWait;
}

}  // namespace

LDAP* connectToServer(const char* host, int port, const char** why) {
    if (port < 1 || port > 65535) {
        *why = "The port is outside 1..65535.";
        return nullptr;
    }
    if (!acquireConnectionDescriptor()) {
        *why = "This backend has no file descriptor left for another connection.";
        return nullptr;
    }
    errno = 0;
    LDAP* ld = connectSession(host, port);
    if (ld == nullptr) {
        int error = errno;
        ReleaseExternalFD();
        *why = error != 0 ? strerror(error) : "The host name gave no address to connect to.";
        return nullptr;
    }
    prepareSession(ld);
    return ld;
}

LDAP* openSession(const char* fname, const char* host, int port) {
    const char* why = nullptr;
    LDAP* ld = connectToServer(host, port, &why);
    if (ld == nullptr) reportNoSession(fname, host, port, why);
    return ld;
}

int closeSession(LDAP* ld) {
    int rc = ldap_unbind_s(ld);
    ReleaseExternalFD();
    return rc;
}

void dropSession(LDAP* ld) {
    ldap_unbind_ext(ld, nullptr, nullptr);
    ReleaseExternalFD();
}

void cutConnection(LDAP* ld) noexcept {
    int fd = socketOfSession(ld);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

// ldap_start_tls_s, with the StartTLS request's answer awaited as awaitAnswer does.
int startTls(LDAP* ld, OnInterrupt onInterrupt) {
    if (ldap_tls_inplace(ld)) return LDAP_LOCAL_ERROR;
    int msgid = -1;
    int rc = ldap_start_tls(ld, nullptr, nullptr, &msgid);
    if (rc != LDAP_SUCCESS) return rc;
    LDAPMessage* answer = nullptr;
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, onInterrupt, &answer) == -1) {
        return sessionErrorCode(ld);
    }
    rc = ldap_result2error(ld, answer, 1);
    if (rc != LDAP_SUCCESS) return rc;
    return handshakeTls(ld, onInterrupt);
}

// The TLS handshake runs over the connection layer, so it can be interrupted too, and it ends
// at quenby_ldap.connect_timeout.
int handshakeTls(LDAP* ld, OnInterrupt onInterrupt) {
    if (ldap_tls_inplace(ld)) return LDAP_LOCAL_ERROR;
    layerTimedOut = false;
    handshakeDeadline = deadlineIn(connectTimeoutMillis);
    int rc = ldap_install_tls(ld);
    handshakeDeadline = 0;
    PendingRequest handshake = {ld, -1, onInterrupt};
    serveInterrupts(releaseRequest, &handshake);
    if (rc != LDAP_SUCCESS && layerTimedOut) rc = LDAP_TIMEOUT;
    return rc;
}

int sessionErrorCode(LDAP* ld) {
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

// Any signal that reaches the backend during a wait of the library would fail it with -1 and
// leave the connection unusable, so the library never waits here: it is asked for what has
// arrived (a zero timeout, with interrupted system calls restarted), and the sleeping is done
// on the latch. Cancel and statement_timeout are served before every call of the library,
// every message of a flood included, and after a wait the connection layer gave up.
int awaitAnswer(LDAP* ld, int msgid, int how, OnInterrupt onInterrupt, LDAPMessage** answer) {
    PendingRequest request = {ld, msgid, onInterrupt};
    TimestampTz deadline = deadlineIn(ioTimeoutMillis);
    // A search reading its answer keeps the option on throughout (beginSearchWaits).
    bool restartSetHere = searchWaits.ld != ld;
    if (restartSetHere) ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
    layerTimedOut = false;
    int type;
    for (;;) {
        serveInterrupts(releaseRequest, &request);
        struct timeval noWait = {0, 0};
        *answer = nullptr;
        type = ldap_result(ld, msgid, how, &noWait, answer);
        if (type != 0) break;
        if (bytesBuffered(ld)) continue;
        Waited waited = awaitSocket(socketOfSession(ld), WL_SOCKET_READABLE, deadline);
        if (waited == Waited::timedOut) {
            type = timedOut(&request);
            break;
        }
    }
    if (type == -1) {
        serveInterrupts(releaseRequest, &request);
        if (layerTimedOut) recordErrorCode(ld, LDAP_TIMEOUT);
    }
    // Other calls on the session keep the library's default: a signal interrupts them.
    if (restartSetHere) ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    return type;
}

// ldap_simple_bind_s, waiting as awaitAnswer does.
int simpleBind(LDAP* ld, const char* user, const char* password, OnInterrupt onInterrupt) {
    wipingWrites = true;
    int msgid = ldap_simple_bind(ld, user, password);
    wipingWrites = false;
    if (msgid == -1) return sessionErrorCode(ld);
    LDAPMessage* answer = nullptr;
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, onInterrupt, &answer) == -1) {
        return sessionErrorCode(ld);
    }
    return ldap_result2error(ld, answer, 1);
}

// ldap_search_s, waiting as awaitAnswer does; *result is the library's answer or null.
int searchSync(LDAP* ld, const char* base, int scope, const char* filter, char** attributes,
               LDAPMessage** result) {
    *result = nullptr;
    int msgid = ldap_search(ld, base, scope, filter, attributes, 0);
    if (msgid == -1) return sessionErrorCode(ld);
    if (awaitAnswer(ld, msgid, LDAP_MSG_ALL, OnInterrupt::abandonRequest, result) == -1) {
        return sessionErrorCode(ld);
    }
    return ldap_result2error(ld, *result, 0);
}

void beginSearchWaits(LDAP* ld) {
    endSearchWaits();
    int fd = socketOfSession(ld);
    if (fd < 0) return;
    WaitEventSet* set = CreateWaitEventSet(CurrentMemoryContext, 3);
    AddWaitEventToSet(set, WL_LATCH_SET, PGINVALID_SOCKET, MyLatch, nullptr);
    AddWaitEventToSet(set, WL_EXIT_ON_PM_DEATH, PGINVALID_SOCKET, nullptr, nullptr);
    int position = AddWaitEventToSet(set, WL_SOCKET_READABLE, fd, nullptr, nullptr);
    searchWaits = {set, ld, fd, position};
    ldap_set_option(ld, LDAP_OPT_RESTART, LDAP_OPT_ON);
}

void endSearchWaits() noexcept {
    if (searchWaits.set == nullptr) return;
    FreeWaitEventSet(searchWaits.set);
    ldap_set_option(searchWaits.ld, LDAP_OPT_RESTART, LDAP_OPT_OFF);
    searchWaits = {nullptr, nullptr, -1, -1};
}

bool waitInProgress() noexcept {
    return waitDepth > 0;
}

}  // namespace quenby
