// Subscription pipe benchmarks, in one run:
//
//   PipeBench.exe roundtrips <rounds>
//       command-3 round trips per second against the service's pipe, and against a
//       minimal server in the same style (one instance waiting at a time, a thread per
//       connection) on a pipe of its own, measured the same way
//   PipeBench.exe latency <rounds> <SimFirmware.exe>
//       press-to-wake latency: from the simulated press to this subscribed client's wake-up
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/bounded_format.h"
#include "common/joinable_thread.h"
#include "common/unique_resource.h"
#include "common/subscription_message.h"

namespace halvaro {
namespace {

constexpr wchar_t kBaselinePipe[] = L"\\\\.\\pipe\\HalvaroBenchBaseline";

// The service's subscription pipe, instance 0.
const wchar_t* ServicePipe() {
  static wchar_t name[kPipeNameSize];
  if (name[0] == 0) FormatBounded(name, kPipeNameSize, kSubscriptionPipeNameFormat, 0);
  return name;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

bool RoundTrip(const wchar_t* name, uint8_t command, uint32_t pid = 0) {
  UniqueHandle pipe;
  for (int tries = 0; tries < 200 && !pipe; ++tries) {
    pipe.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr));
    if (!pipe) WaitNamedPipeW(name, 100);
  }
  if (!pipe) return false;
  const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(command, pid);
  uint8_t reply[32];
  DWORD done = 0;
  return WriteFile(pipe.get(), request.bytes, static_cast<DWORD>(request.length), &done,
                   nullptr) &&
         ReadFile(pipe.get(), reply, sizeof(reply), &done, nullptr) && done >= 16;
}

// The baseline: the plainest server of the same shape, synchronous and unguarded.
void BaselineServer(HANDLE stop) {
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    HANDLE pipe = CreateNamedPipeW(kBaselinePipe, PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 150, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return;
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      CloseHandle(pipe);
      continue;
    }
    halvaro::JoinableThread([pipe] {
      uint8_t buffer[32] = {};
      DWORD received = 0;
      if (ReadFile(pipe, buffer, sizeof(buffer), &received, nullptr)) {
        const size_t length = BuildSubscriptionReply(buffer, received, 0, 0);
        DWORD written = 0;
        WriteFile(pipe, buffer, static_cast<DWORD>(length), &written, nullptr);
        FlushFileBuffers(pipe);
      }
      DisconnectNamedPipe(pipe);
      CloseHandle(pipe);
    }).detach();
  }
}

double Rate(const wchar_t* name, int rounds) {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  int ok = 0;
  for (int i = 0; i < rounds; ++i) ok += RoundTrip(name, kReadLastCodeCommand) ? 1 : 0;
  QueryPerformanceCounter(&end);
  return ok / Seconds(start, end);
}

int RoundTrips(int rounds) {
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  halvaro::JoinableThread server(BaselineServer, stop.get());
  Rate(kBaselinePipe, 20);  // warm up both
  Rate(ServicePipe(), 20);
  const double baseline = Rate(kBaselinePipe, rounds);
  const double service = Rate(ServicePipe(), rounds);
  SetEvent(stop.get());
  RoundTrip(kBaselinePipe, kReadLastCodeCommand);  // lets the baseline's connect return
  server.join();
  std::printf("rounds=%d service_per_s=%.1f baseline_per_s=%.1f ratio=%.3f\n", rounds, service,
              baseline, service / baseline);
  return 0;
}

int Latency(int rounds, const wchar_t* firmware) {
  const uint32_t pid = GetCurrentProcessId();
  wchar_t name[kObjectNameSize];
  FormatBounded(name, kObjectNameSize, kWakeEventNameFormat, pid);
  UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, name));
  if (!RoundTrip(ServicePipe(), kSubscribeCommand, pid)) return 1;
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    CreatePipe(&read_end, &write_end, &inherit, 0);
    UniqueHandle reader(read_end), writer(write_end);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command = L"\"" + std::wstring(firmware) + L"\" press 0x" +
                           std::to_wstring(0x10 + i % 0x20);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 1;
    }
    UniqueHandle process_handle(process.hProcess), thread_handle(process.hThread);
    writer.reset();
    const bool woke = WaitForSingleObject(wake.get(), 5000) == WAIT_OBJECT_0;
    LARGE_INTEGER woke_at;
    QueryPerformanceCounter(&woke_at);
    std::string out;
    char chunk[256];
    DWORD got = 0;
    while (ReadFile(reader.get(), chunk, sizeof(chunk), &got, nullptr) && got) out.append(chunk, got);
    WaitForSingleObject(process.hProcess, 5000);
    const size_t at = out.find("qpc=");
    if (!woke || at == std::string::npos) continue;
    LARGE_INTEGER pressed_at;
    pressed_at.QuadPart = std::stoll(out.substr(at + 4));
    samples.push_back(Seconds(pressed_at, woke_at) * 1000.0);
  }
  RoundTrip(ServicePipe(), kUnsubscribeCommand, pid);
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return 1;
  std::printf("rounds=%d woken=%zu median_ms=%.3f max_ms=%.3f\n", rounds, samples.size(),
              samples[samples.size() / 2], samples.back());
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"roundtrips") == 0) {
    return halvaro::RoundTrips(std::wcstol(argv[2], nullptr, 10));
  }
  if (argc >= 4 && std::wcscmp(argv[1], L"latency") == 0) {
    return halvaro::Latency(std::wcstol(argv[2], nullptr, 10), argv[3]);
  }
  std::fputs("usage: PipeBench.exe roundtrips <n> | latency <n> <SimFirmware.exe>\n", stderr);
  return 2;
}
