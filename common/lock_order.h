// The debug build's check of the lock order (common/lock_rank.h), compiled only where
// HALVARO_CHECK_LOCK_ORDER is defined: Lock and TimedLock call it around each take and
// release of a ranked lock. Taking a rank that is not above every rank the thread holds is
// reported; the reporter writes one line naming both ranks to the debugger and to stderr and
// ends the process, so that a debug run stops at the first violation.
//
// Threading: each thread's held ranks are its own (one TLS slot, allocated at the first
// take), so the calls need no lock and may come from any thread. A lock must be released on
// the thread that took it, as critical sections require anyway. The calls leave the thread's
// last error as they found it. SetLockOrderReporter may be called from any thread; a
// violation on another thread meanwhile goes to the old or the new reporter.
#pragma once

#include "common/lock_rank.h"

#ifdef HALVARO_CHECK_LOCK_ORDER

namespace halvaro {

// Called with the highest rank held and the rank being taken. The default one ends the
// process; another one that returns lets the take go on (it is still recorded).
using LockOrderReporter = void (*)(LockRank held, LockRank taken);

// Installs `reporter` (null puts the default back) and returns the one it replaced.
LockOrderReporter SetLockOrderReporter(LockOrderReporter reporter);

// Reports a violation if `rank` may not be taken now: before a blocking take, so that it is
// reported rather than deadlocked on; after a try-lock only once it has succeeded.
void CheckLockOrder(LockRank rank);
// Once the lock is held; a try-lock that failed records nothing.
void RecordLockTaken(LockRank rank);
void RecordLockReleased(LockRank rank);

}  // namespace halvaro

#endif  // HALVARO_CHECK_LOCK_ORDER
