// SimFirmware.exe: the test's hand on the simulated firmware behind SimWmi.dll.
//
//   SimFirmware press <code>                       queue one hotkey event (decimal or 0x hex)
//   SimFirmware fault connect|query|badprop|empty|broken|slow on|off  make that step of the
//                                                  WMI path fail (slow: ConnectServer takes 10 s)
//   SimFirmware failnext <n>                       the next n Next calls fail (WBEM_E_FAILED)
//                                                  on a connection that stays sound
//   SimFirmware status                             print counters and flags as key=value;
//                                                  connect_gaps= the milliseconds between
//                                                  the last connection attempts, oldest first
//   SimFirmware reset                              clear counters, queue and faults
//
// Exit code: 0 done, 1 the shared state could not be opened or the queue is full, 2 bad usage.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <optional>

#include "sim/common/parse_number.h"
#include "sim/wmi/shared_state.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

int Usage() {
  std::fwprintf(stderr,
                L"usage: SimFirmware press <code>\n"
                L"       SimFirmware fault connect|query|badprop|empty|broken|slow on|off\n"
                L"       SimFirmware failnext <n>\n"
                L"       SimFirmware status\n"
                L"       SimFirmware reset\n");
  return kBadUsage;
}


std::optional<bool> ParseSwitch(const wchar_t* text) {
  if (_wcsicmp(text, L"on") == 0) return true;
  if (_wcsicmp(text, L"off") == 0) return false;
  return std::nullopt;
}

void PrintStatus(const simwmi::StateRecord& r) {
  std::wprintf(L"connect_attempts=%u\nconnections=%u\nquery_attempts=%u\nqueries=%u\n"
               L"next_calls=%u\ndelivered=%u\npending=%u\ncalls_after_release=%u\n"
               L"enumerators_alive=%d\nfault_connect=%u\nfault_query=%u\nfault_badprop=%u\n"
               L"fault_broken=%u\nprovider_restarts=%u\n",
               r.connect_attempts, r.connections, r.query_attempts, r.queries, r.next_calls,
               r.delivered, r.queue_count, r.calls_after_release, r.enumerators_alive,
               r.fault_connect, r.fault_query, r.fault_badprop, r.fault_broken,
               r.provider_restarts);
  std::wprintf(L"next_failures=%u\nnext_failures_left=%u\nconnect_gaps=", r.next_failures,
               r.next_failures_left);
  const uint32_t kept =
      r.connect_attempts < simwmi::kConnectTickCount ? r.connect_attempts
                                                     : simwmi::kConnectTickCount;
  for (uint32_t i = r.connect_attempts - kept + 1; kept != 0 && i < r.connect_attempts; ++i) {
    const uint32_t gap = r.connect_ticks[i % simwmi::kConnectTickCount] -
                         r.connect_ticks[(i - 1) % simwmi::kConnectTickCount];
    std::wprintf(L"%ls%u", i == r.connect_attempts - kept + 1 ? L"" : L",", gap);
  }
  std::wprintf(L"\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const wchar_t* command = argv[1];

  // Check the whole command line before touching the shared state.
  std::optional<uint32_t> code;
  std::optional<bool> on;
  uint32_t simwmi::StateRecord::*fault = nullptr;
  const wchar_t* fault_name = nullptr;
  std::optional<uint32_t> failures;
  if (_wcsicmp(command, L"press") == 0) {
    if (argc != 3 || !(code = simcom::ParseNumber(argv[2]))) return Usage();
  } else if (_wcsicmp(command, L"failnext") == 0) {
    if (argc != 3 || !(failures = simcom::ParseNumber(argv[2]))) return Usage();
  } else if (_wcsicmp(command, L"fault") == 0) {
    if (argc != 4 || !(on = ParseSwitch(argv[3]))) return Usage();
    static constexpr struct {
      const wchar_t* name;
      uint32_t simwmi::StateRecord::*flag;
    } kFaults[] = {{L"connect", &simwmi::StateRecord::fault_connect},
                   {L"query", &simwmi::StateRecord::fault_query},
                   {L"badprop", &simwmi::StateRecord::fault_badprop},
                   {L"empty", &simwmi::StateRecord::fault_empty},
                   {L"broken", &simwmi::StateRecord::fault_broken},
                   {L"slow", &simwmi::StateRecord::fault_slow}};
    for (const auto& candidate : kFaults) {
      if (_wcsicmp(argv[2], candidate.name) == 0) {
        fault = candidate.flag;
        fault_name = candidate.name;
      }
    }
    if (!fault) return Usage();
  } else if (_wcsicmp(command, L"status") != 0 && _wcsicmp(command, L"reset") != 0) {
    return Usage();
  } else if (argc != 2) {
    return Usage();
  }

  std::optional<simwmi::SharedState> state = simwmi::SharedState::Open();
  if (!state) {
    std::fwprintf(stderr, L"SimFirmware: cannot open the shared state (error %lu)\n",
                  GetLastError());
    return kFailed;
  }

  if (code) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);  // taken before the press: a benchmark times it to the wake-up
    if (!state->Press(*code)) {
      std::fwprintf(stderr, L"SimFirmware: queue full (%u events pending)\n",
                    simwmi::kQueueCapacity);
      return kFailed;
    }
    const uint32_t pending = state->Locked([](simwmi::StateRecord& r) { return r.queue_count; });
    std::wprintf(L"pressed=0x%X\npending=%u\nqpc=%lld\n", *code, pending,
                 static_cast<long long>(now.QuadPart));
  } else if (failures) {
    state->Locked([&](simwmi::StateRecord& r) { r.next_failures_left = *failures; });
    std::wprintf(L"next_failures_left=%u\n", *failures);
  } else if (fault) {
    state->Locked([&](simwmi::StateRecord& r) {
      // A provider that goes down loses every enumerator it has handed out.
      if (fault == &simwmi::StateRecord::fault_broken && *on && !r.fault_broken) {
        ++r.provider_restarts;
      }
      r.*fault = *on ? 1 : 0;
    });
    std::wprintf(L"fault_%ls=%d\n", fault_name, *on ? 1 : 0);
  } else if (_wcsicmp(command, L"reset") == 0) {
    state->Reset();
    std::wprintf(L"reset=1\n");
  } else {
    const simwmi::StateRecord snapshot = state->Locked([](simwmi::StateRecord& r) { return r; });
    PrintStatus(snapshot);
  }
  return kDone;
}
