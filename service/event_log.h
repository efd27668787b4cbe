// The service's entries in the Application log, under the source "Orva WMI Service" whose
// message table is compiled into Halvaro.exe (service/event_messages.mc; the ids are in the
// generated service/event_messages.h). An entry's level is its id's severity. Each kind of
// entry has a budget (service/event_budget.h), so that nothing floods the log; the callers
// report changes of state, not attempts (common/health_watch.h).
//
// Threading: OpenEventLog runs once on the service main thread before the start sequence;
// CloseEventLog once on the stop path after every thread that may report has ended (a stop
// that leaves a thread running leaves the source open for the end of the process). The
// source is written only by those two; reports read the handle as published, so that one
// that came after the close would find none rather than a handle half gone. LogEvent may be called
// from any thread, under any lock: it holds the log's own lock (LockRank::kEventLog, ranked
// after every other, nothing taken under it) only to charge the budget, and writes the
// entry after it has let go. The write is one local call to the event log service. A report
// without an open source, or one the system refuses, is dropped: reporting never fails the
// service.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "common/locks.h"
#include "common/unique_resource.h"
#include "service/event_budget.h"

namespace halvaro {

struct EventLog {
  UniqueEventSource source;  // the owner; OpenEventLog and CloseEventLog only
  std::atomic<HANDLE> published{nullptr};  // what reports use
  Lock lock{LockRank::kEventLog};
  EventBudget budget;  // guarded by lock
};

void OpenEventLog(EventLog& log);
void CloseEventLog(EventLog& log);

// Writes the entry `message_id` of the service's log with its insertion strings (%1, %2, ...
// in the message's text), within the entry's budget.
void LogEvent(DWORD message_id, std::initializer_list<const wchar_t*> strings = {});
void LogEvent(EventLog& log, DWORD message_id, std::initializer_list<const wchar_t*> strings);

// A number as an insertion string; it lives to the end of the statement that makes it.
class EventNumber {
 public:
  static EventNumber Decimal(uint32_t value);
  static EventNumber Hex(uint32_t value);  // eight digits, without "0x"
  const wchar_t* c_str() const { return text_; }

 private:
  wchar_t text_[12] = {};
};

}  // namespace halvaro
