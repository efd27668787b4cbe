// Starts and stops the installed service again and again while client threads use both
// pipes, for the reliability tests and the soak.
//
//   ServiceCycler.exe <cycles> <seed>
//
// Each cycle starts the service, lets it run a random 0 to 400 ms (so that the stop falls
// anywhere in the start), asks it to stop and waits for its process to end. Prints
// "cycles=<n> slowest_stop_ms=<n> stops_over_1s=<n> hung=<n> bad_exits=<n>
//  requests=<n> answered=<n>", where a stop is timed from the control to the end of the
// process, a hung stop is one whose process outlived 10 s, and a bad exit is a process that
// ended with a code other than 0 (a crash).
//
// Exit codes: 0 done, 1 failure (a message on stderr), 2 usage.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <type_traits>
#include <vector>

#include "common/av_command_message.h"
#include "common/bounded_format.h"
#include "common/joinable_thread.h"
#include "common/object_names.h"
#include "common/pipe_client.h"
#include "common/subscription_message.h"
#include "common/unique_resource.h"

namespace halvaro {
namespace {

constexpr wchar_t kServiceName[] = L"Orva WMI Service";
constexpr DWORD kHungStopMs = 10000;
constexpr DWORD kClientWaitMs = 500;

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

// One request on a pipe, not waited for while the service has no free instance, and its
// reply within kClientWaitMs; true when the whole reply came.
bool Request(const wchar_t* format, ReplyLengthFunction reply_length,
             const std::vector<uint8_t>& request) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, format, 0);
  PipeClient client({/*connect_ms=*/0, /*absent_ms=*/0, kClientWaitMs});
  std::vector<uint8_t> reply;
  return client.Ask(name, request.data(), request.size(), reply_length, &reply) ==
         PipeOutcome::kDone;
}

// A client that subscribes, reads the last code, unsubscribes and asks the AV board, over
// and over, until told to stop.
void ClientLoop(std::atomic<bool>* stop, std::atomic<unsigned>* requests,
                std::atomic<unsigned>* answered) {
  const uint32_t pid = GetCurrentProcessId();
  const EncodedSubscriptionRequest subscribe = EncodeSubscriptionRequest(kSubscribeCommand, pid, 4);
  const EncodedSubscriptionRequest last = EncodeSubscriptionRequest(kReadLastCodeCommand, 0, 0);
  const EncodedSubscriptionRequest unsubscribe =
      EncodeSubscriptionRequest(kUnsubscribeCommand, pid, 4);
  const std::vector<std::vector<uint8_t>> subscription_requests = {
      {subscribe.bytes, subscribe.bytes + subscribe.length},
      {last.bytes, last.bytes + last.length},
      {unsubscribe.bytes, unsubscribe.bytes + unsubscribe.length}};
  const std::vector<uint8_t> av_query = EncodeAvRequest(kAvQueryOperation, 0);
  while (!*stop) {
    for (const auto& request : subscription_requests) {
      ++*requests;
      if (Request(kSubscriptionPipeNameFormat, SubscriptionReplyLength, request)) ++*answered;
    }
    ++*requests;
    if (Request(kAvCommandPipeNameFormat, AvReplyLength, av_query)) ++*answered;
    Sleep(5);
  }
}

int Run(unsigned cycles, unsigned seed) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(
      manager ? OpenServiceW(manager.get(), kServiceName,
                             SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
              : nullptr);
  if (!service) {
    std::fprintf(stderr, "cannot open the service (error %lu)\n", GetLastError());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::atomic<unsigned> requests{0};
  std::atomic<unsigned> answered{0};
  halvaro::JoinableThread client(ClientLoop, &stop, &requests, &answered);

  std::mt19937 random(seed);
  unsigned done = 0, slowest = 0, over_1s = 0, hung = 0, bad_exits = 0;
  for (; done < cycles; ++done) {
    if (!StartServiceW(service.get(), 0, nullptr)) {
      std::fprintf(stderr, "cycle %u: cannot start (error %lu)\n", done, GetLastError());
      break;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                         reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                     status.dwProcessId));
    Sleep(random() % 400);
    SERVICE_STATUS stopped = {};
    const ULONGLONG asked = GetTickCount64();
    ControlService(service.get(), SERVICE_CONTROL_STOP, &stopped);  // wine may drop its answer
    if (!process || WaitForSingleObject(process.get(), kHungStopMs) != WAIT_OBJECT_0) {
      ++hung;
      std::fprintf(stderr, "cycle %u: the service process did not end\n", done);
      break;
    }
    const unsigned took = static_cast<unsigned>(GetTickCount64() - asked);
    slowest = took > slowest ? took : slowest;
    if (took > 1000) ++over_1s;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code) || code != 0) ++bad_exits;
    // The manager must see it stopped before the next start.
    for (int i = 0; i < 500; ++i) {
      if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                               reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) &&
          status.dwCurrentState == SERVICE_STOPPED) {
        break;
      }
      Sleep(10);
    }
  }
  stop = true;
  client.join();
  std::printf("cycles=%u slowest_stop_ms=%u stops_over_1s=%u hung=%u bad_exits=%u requests=%u"
              " answered=%u\n", done, slowest, over_1s, hung, bad_exits, requests.load(),
              answered.load());
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: ServiceCycler.exe <cycles> <seed>\n", stderr);
    return 2;
  }
  return halvaro::Run(static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 10)),
                      static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)));
}
