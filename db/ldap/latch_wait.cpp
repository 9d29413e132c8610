// The one wait of the module; see latch_wait.h.
#include "latch_wait.h"

extern "C" {
#include "storage/latch.h"
#include "utils/wait_event.h"
}

namespace quenby {
namespace {

// Set while an interrupted call releases what it holds: nothing may wait then.
bool releasingAfterInterrupt = false;
// Depth of the waits in progress.
int waitDepth = 0;

// The wait set of the socket waited on again and again (see beginSocketWaits), else null.
struct SocketWaits {
    WaitEventSet* set;
    int fd;
    int socketPosition;
};
SocketWaits socketWaits = {nullptr, -1, -1};

// One sleep on that wait set: what WaitLatchOrSocket would return.
int waitOnSocketSet(int socketEvents, long timeout) {
    ModifyWaitEvent(socketWaits.set, socketWaits.socketPosition, socketEvents, nullptr);
    WaitEvent event;
    if (WaitEventSetWait(socketWaits.set, timeout, &event, 1, PG_WAIT_EXTENSION) == 0) {
        return WL_TIMEOUT;
    }
    return event.events;
}

// A cancel, statement_timeout or terminate is pending and would be served now.
bool statementEnding() {
    return (QueryCancelPending || ProcDiePending) && INTERRUPTS_CAN_BE_PROCESSED();
}

}  // namespace

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

TimestampTz deadlineIn(int millis) {
    return millis > 0 ? TimestampTzPlusMilliseconds(GetCurrentTimestamp(), millis) : 0;
}

// A latch set for anything else than the socket (PostgreSQL's own signals arrive at any time)
// only starts another sleep.
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
        int happened = socketWaits.set != nullptr && fd == socketWaits.fd
                           ? waitOnSocketSet(socketEvents, timeout)
                           : WaitLatchOrSocket(MyLatch, events, fd, timeout, PG_WAIT_EXTENSION);
        --waitDepth;
        if (happened & WL_LATCH_SET) ResetLatch(MyLatch);
        if (happened & socketEvents) return Waited::ready;
    }
}

void beginSocketWaits(int fd) {
    endSocketWaits();
    if (fd < 0) return;
    WaitEventSet* set = CreateWaitEventSet(CurrentMemoryContext, 3);
    AddWaitEventToSet(set, WL_LATCH_SET, PGINVALID_SOCKET, MyLatch, nullptr);
    AddWaitEventToSet(set, WL_EXIT_ON_PM_DEATH, PGINVALID_SOCKET, nullptr, nullptr);
    int position = AddWaitEventToSet(set, WL_SOCKET_READABLE, fd, nullptr, nullptr);
    socketWaits = {set, fd, position};
}

void endSocketWaits() noexcept {
    if (socketWaits.set == nullptr) return;
    FreeWaitEventSet(socketWaits.set);
    socketWaits = {nullptr, -1, -1};
}

bool waitInProgress() noexcept {
    return waitDepth > 0;
}

}  // namespace quenby
