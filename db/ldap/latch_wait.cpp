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
        int happened = WaitLatchOrSocket(MyLatch, events, fd, timeout, PG_WAIT_EXTENSION);
        --waitDepth;
        if (happened & WL_LATCH_SET) ResetLatch(MyLatch);
        if (happened & socketEvents) return Waited::ready;
    }
}

bool waitInProgress() noexcept {
    return waitDepth > 0;
}

}  // namespace quenby
