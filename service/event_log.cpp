#include "service/event_log.h"

#include <mutex>

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "service/event_messages.h"
#include "service/service_state.h"

namespace halvaro {

namespace {

static_assert((MSG_ENTRIES_HELD_BACK & 0xFFFF) < kEventKinds, "each message has a budget of its own");

WORD EntryType(DWORD message_id) {
  switch (message_id >> 30) {  // the severity bits
    case STATUS_SEVERITY_ERROR: return EVENTLOG_ERROR_TYPE;
    case STATUS_SEVERITY_WARNING: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
  }
}

void Write(HANDLE source, DWORD message_id, const wchar_t* const* strings, WORD count) {
  ReportEventW(source, EntryType(message_id), 0, message_id, nullptr, count, 0,
               const_cast<LPCWSTR*>(strings), nullptr);
}

}  // namespace

void OpenEventLog(EventLog& log) {
  log.source.reset(RegisterEventSourceW(nullptr, kEventSourceName));
  log.published.store(log.source.get(), std::memory_order_release);
}

void CloseEventLog(EventLog& log) {
  log.published.store(nullptr, std::memory_order_release);
  log.source.reset();
}

void LogEvent(DWORD message_id, std::initializer_list<const wchar_t*> strings) {
  LogEvent(Service().event_log, message_id, strings);
}

void LogEvent(EventLog& log, DWORD message_id, std::initializer_list<const wchar_t*> strings) {
  const HANDLE source = log.published.load(std::memory_order_acquire);
  if (!source) return;
  const uint32_t kind = message_id & 0xFFFF;
  BudgetVerdict verdict;
  {
    std::lock_guard<Lock> guard(log.lock);
    verdict = log.budget.Admit(kind, GetTickCount());
  }
  if (verdict == BudgetVerdict::kDrop) return;
  if (verdict == BudgetVerdict::kHoldBack) {
    const EventNumber code = EventNumber::Decimal(kind);
    const EventNumber entries = EventNumber::Decimal(kEventBudgetEntries);
    const EventNumber minutes = EventNumber::Decimal(kEventBudgetWindowMs / 60000);
    const wchar_t* notice[] = {code.c_str(), entries.c_str(), minutes.c_str()};
    Write(source, MSG_ENTRIES_HELD_BACK, notice, 3);
    return;
  }
  Write(source, message_id, strings.begin(), static_cast<WORD>(strings.size()));
}

EventNumber EventNumber::Decimal(uint32_t value) {
  EventNumber number;
  FormatBounded(number.text_, sizeof(number.text_) / sizeof(number.text_[0]), L"%u", value);
  return number;
}

EventNumber EventNumber::Hex(uint32_t value) {
  EventNumber number;
  FormatBounded(number.text_, sizeof(number.text_) / sizeof(number.text_[0]), L"%08X", value);
  return number;
}

}  // namespace halvaro
