// Connections to directory servers.
//
// The library's own waits cannot be cancelled: a TCP connect waits for the kernel's retries,
// and once TLS is on a read blocks inside OpenSSL until a whole record has arrived, which a
// stalled or hostile server may never send. So every connection is made here, non-blocking,
// and handed to the library with a layer of our own under its TLS layer: every read and write
// of the connection, the TLS handshake and TLS records included, sleeps on the backend's latch
// and the socket (latch_wait.h), and gives the connection up once a cancel, a statement_timeout
// or a terminate is pending, or its time is up. The ERROR itself is only ever raised in our
// own frames, never from inside the library (whose locks a longjmp would leave behind).
#include "server_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openldap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "latch_wait.h"
#include "settings.h"

extern "C" {
#include "storage/fd.h"
#include "storage/latch.h"
}

namespace quenby {
namespace {

// What a connection's layers know of it, from its first byte to its close.
struct ConnectionState {
    ConnectionTimeouts timeouts;
    TimestampTz handshakeDeadline;  // while a TLS handshake runs, else 0
    bool timedOut;                  // the layer gave the connection up when its time was up
    bool wipingWrites;              // see writeWiping
};

// Asks the layers of a session for its state: the option is ours, every layer passes it down.
constexpr int stateOption = LBER_SB_OPT_OPT_MAX + 0x51;

int connectMillisOf(const ConnectionState& state) {
    return state.timeouts.connectMillis >= 0 ? state.timeouts.connectMillis : connectTimeoutMillis;
}

int ioMillisOf(const ConnectionState& state) {
    return state.timeouts.ioMillis >= 0 ? state.timeouts.ioMillis : ioTimeoutMillis;
}

// ---------------------------------------------------------------------------------------------
// The connection layer.

ConnectionState& stateOf(Sockbuf_IO_Desc* sbiod) {
    return *static_cast<ConnectionState*>(sbiod->sbiod_pvt);
}

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
    if (why == Waited::timedOut) stateOf(sbiod).timedOut = true;
    errno = why == Waited::timedOut ? ETIMEDOUT : ECONNABORTED;
    return -1;
}

// A wait inside the layer is one wait for the server: a handshake's deadline while one runs,
// else the connection's io limit from now.
TimestampTz layerDeadline(Sockbuf_IO_Desc* sbiod) {
    const ConnectionState& state = stateOf(sbiod);
    return state.handshakeDeadline != 0 ? state.handshakeDeadline : deadlineIn(ioMillisOf(state));
}

// One read or write of the layer below, repeated after a wait for the socket for as long as it
// would block.
ber_slen_t transferWaiting(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len, bool reading) {
    TimestampTz deadline = layerDeadline(sbiod);
    Sockbuf_IO_Desc* next = sbiod->sbiod_next;
    for (;;) {
        ber_slen_t n = reading ? next->sbiod_io->sbi_read(next, buf, len)
                               : next->sbiod_io->sbi_write(next, buf, len);
        if (n >= 0 || !wouldWait(errno)) return n;
        Waited waited = awaitSocket(socketOf(sbiod),
                                    reading ? WL_SOCKET_READABLE : WL_SOCKET_WRITEABLE, deadline);
        if (waited != Waited::ready) return giveUp(sbiod, waited);
    }
}

ber_slen_t readWaiting(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    return transferWaiting(sbiod, buf, len, true);
}

ber_slen_t writeWaiting(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    return transferWaiting(sbiod, buf, len, false);
}

// Both layers of a connection hold its state; the waiting layer, at the bottom, owns it.
int holdState(Sockbuf_IO_Desc* sbiod, void* state) {
    sbiod->sbiod_pvt = state;
    return 0;
}

int releaseState(Sockbuf_IO_Desc* sbiod) {
    free(sbiod->sbiod_pvt);
    sbiod->sbiod_pvt = nullptr;
    return 0;
}

int passControl(Sockbuf_IO_Desc* sbiod, int option, void* arg) {
    if (option == stateOption) {
        *static_cast<ConnectionState**>(arg) = &stateOf(sbiod);
        return 1;
    }
    Sockbuf_IO_Desc* next = sbiod->sbiod_next;
    if (next == nullptr || next->sbiod_io->sbi_ctrl == nullptr) return 0;
    return next->sbiod_io->sbi_ctrl(next, option, arg);
}

Sockbuf_IO waitingLayer = {holdState,   releaseState, passControl,
                           readWaiting, writeWaiting, nullptr};

// While a bind request is sent. The library encodes the request, password included, into a
// buffer that it later frees without wiping (its memory functions are only consulted for
// allocations with a context, which the client calls never pass), and a TLS layer has the
// same bytes pass through its own. Every layer gets the buffer itself from above: the top
// layer wipes what has been written from it, once the layers below took it.
ber_slen_t readThrough(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    return LBER_SBIOD_READ_NEXT(sbiod, buf, len);
}

ber_slen_t writeWiping(Sockbuf_IO_Desc* sbiod, void* buf, ber_len_t len) {
    ber_slen_t n = LBER_SBIOD_WRITE_NEXT(sbiod, buf, len);
    if (n > 0 && stateOf(sbiod).wipingWrites) explicit_bzero(buf, static_cast<size_t>(n));
    return n;
}

Sockbuf_IO wipingLayer = {holdState, nullptr, passControl, readThrough, writeWiping, nullptr};

// ---------------------------------------------------------------------------------------------
// Connecting.

// What a connection attempt holds while it waits, released when an interrupt ends it.
struct Attempt {
    int fd;
    struct addrinfo* addresses;
    ConnectionState* state;  // handed to the session once it is made
};

void abandonAttempt(void* arg) {
    auto* attempt = static_cast<Attempt*>(arg);
    if (attempt->fd >= 0) close(attempt->fd);
    if (attempt->addresses != nullptr) freeaddrinfo(attempt->addresses);
    free(attempt->state);
    ReleaseExternalFD();
}

// Waits for the connect to complete, at most the connection's connect limit; false with errno
// set when it failed or timed out.
bool awaitConnected(Attempt* attempt) {
    TimestampTz deadline = deadlineIn(connectMillisOf(*attempt->state));
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
LDAP* connectSession(const char* host, int port, ConnectionState* state) {
    char* urls = serverUrls(host, port);
    if (urls == nullptr) return nullptr;
    char* rest = nullptr;
    for (char* url = strtok_r(urls, " ", &rest); url != nullptr;
         url = strtok_r(nullptr, " ", &rest)) {
        Attempt attempt = {-1, nullptr, state};
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

void prepareSession(LDAP* ld, ConnectionState* state) {
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
    ber_sockbuf_add_io(sb, &waitingLayer, LBER_SBIOD_LEVEL_PROVIDER, state);
    // libldap reads every message with two reads after a poll: 30,000 system calls for a
    // 10,000-entry search. liblber's read-ahead reads whatever has arrived, up to 16 kB, and
    // lives as long as the session, since bytes it holds must never be lost between calls.
    // Added after the waits at the same level, it sits above them (the waits stay on the
    // socket) and below the TLS layer a StartTLS installs, so TLS records are read through it
    // too. libldap asks the stack whether bytes are buffered (LBER_SB_OPT_DATA_READY) before
    // it polls the socket, and every layer above passes the question down.
    ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
    // Above every other layer, a TLS layer installed later included.
    ber_sockbuf_add_io(sb, &wipingLayer, LBER_SBIOD_LEVEL_APPLICATION, state);
}

void reportNoSession(const char* fname, const char* host, int port, const char* why) {
    if (fname == nullptr) return;
    QUENBY_REPORT_WITH(WARNING, fname, errdetail("%s", why), "Empty session for AD host %s:%d",
                       host, port);
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

ConnectionState* sessionState(LDAP* ld) {
    ConnectionState* state = nullptr;
    Sockbuf* sb = sockbufOf(ld);
    if (sb != nullptr) ber_sockbuf_ctrl(sb, stateOption, &state);
    return state;
}

}  // namespace

LDAP* connectToServer(const char* host, int port, ConnectionTimeouts timeouts, const char** why) {
    if (port < 1 || port > 65535) {
        *why = "The port is outside 1..65535.";
        return nullptr;
    }
    auto* state = static_cast<ConnectionState*>(malloc(sizeof(ConnectionState)));
    if (state == nullptr) {
        *why = "Out of memory.";
        return nullptr;
    }
    if (!acquireConnectionDescriptor()) {
        free(state);
        *why = "This backend has no file descriptor left for another connection.";
        return nullptr;
    }
    *state = ConnectionState{timeouts, 0, false, false};
    errno = 0;
    LDAP* ld = connectSession(host, port, state);
    if (ld == nullptr) {
        int error = errno;
        ReleaseExternalFD();
        free(state);
        *why = error != 0 ? strerror(error) : "The host name gave no address to connect to.";
        return nullptr;
    }
    prepareSession(ld, state);
    return ld;
}

LDAP* openSession(const char* fname, const char* host, int port) {
    const char* why = nullptr;
    LDAP* ld = connectToServer(host, port, settingsTimeouts, &why);
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

int socketOfSession(LDAP* ld) {
    ber_socket_t fd = -1;
    ldap_get_option(ld, LDAP_OPT_DESC, &fd);
    return fd;
}

bool bytesBuffered(LDAP* ld) {
    Sockbuf* sb = sockbufOf(ld);
    return sb != nullptr && ber_sockbuf_ctrl(sb, LBER_SB_OPT_DATA_READY, nullptr) != 0;
}

TimestampTz answerDeadline(LDAP* ld) {
    const ConnectionState* state = sessionState(ld);
    return deadlineIn(state != nullptr ? ioMillisOf(*state) : ioTimeoutMillis);
}

int handshakeWithin(LDAP* ld, bool* timedOut) {
    ConnectionState* state = sessionState(ld);
    if (state == nullptr) return LDAP_LOCAL_ERROR;
    state->timedOut = false;
    state->handshakeDeadline = deadlineIn(connectMillisOf(*state));
    int rc = ldap_install_tls(ld);
    state->handshakeDeadline = 0;
    *timedOut = state->timedOut;
    return rc;
}

bool connectionTimedOut(LDAP* ld) {
    ConnectionState* state = sessionState(ld);
    if (state == nullptr) return false;
    const bool timedOut = state->timedOut;
    state->timedOut = false;
    return timedOut;
}

void wipeWrites(LDAP* ld, bool on) {
    ConnectionState* state = sessionState(ld);
    if (state != nullptr) state->wipingWrites = on;
}

}  // namespace quenby
