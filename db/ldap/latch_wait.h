// The one wait of the module: the backend's latch together with a socket, so that a cancel,
// statement_timeout or terminate ends it at once, a backend whose postmaster died exits, and
// pg_stat_activity shows it as the Extension wait event. Connections (server_connection.cpp)
// and requests (server_wait.cpp) both wait here.
#pragma once

#include "quenby_common.h"

extern "C" {
#include "utils/timestamp.h"
}

namespace quenby {

enum class Waited { ready, ending, timedOut };

// Sleeps until the socket is ready for `socketEvents` (WL_SOCKET_*), the statement is ending
// or the deadline (0: none) has passed.
Waited awaitSocket(int fd, int socketEvents, TimestampTz deadline);

// Lets a pending cancel or statement_timeout end the statement; when it does, `release` runs
// first, with every wait of the connection layer given up, so that nothing stays behind.
void serveInterrupts(void (*release)(void*), void* arg);

// A deadline `millis` from now, or 0 (none) for 0.
TimestampTz deadlineIn(int millis);

// While one socket is waited on again and again (a search reading its answer), its waits share
// one wait set instead of setting one up for every wait. endSocketWaits ends that on every way
// out, an ERROR included (before the socket could be closed); any time, any number of times.
void beginSocketWaits(int fd);
void endSocketWaits() noexcept;

// True while a wait of this module is in progress (the library may hold its locks then).
bool waitInProgress() noexcept;

}  // namespace quenby
