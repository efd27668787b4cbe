// Subscription pipe benchmarks, in one run:
//
//   PipeBench.exe roundtrips <rounds>
//       command-3 round trips per second against the service's pipe, and against a
//       minimal server in the same style (one instance waiting at a time, a thread per
//       connection) on a pipe of its own, measured the same way
//   PipeBench.exe compare <blocks> <per block>
//       the time of one whole request on each pipe (connect, request, the reply's messages,
//       the service's disconnect, close): the subscription pipe's command 3 and the
//       AV-command pipe's operation 0 (no board exchange), in alternating blocks against a
//       one-thread server of the same shape that makes its next instance before it serves a
//       connected one (so its name never lapses either); prints the medians and their ratio
//   PipeBench.exe latency <rounds> <SimFirmware.exe>
//       press-to-wake latency: from the simulated press to this subscribed client's wake-up
#include <windows.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/av_command_message.h"
#include "common/bounded_format.h"
#include "common/joinable_thread.h"
#include "common/object_names.h"
#include "common/pipe_server.h"
#include "common/unique_resource.h"
#include "common/subscription_message.h"
#include "common/world_access.h"

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

// --- compare: the service against the plainest server that keeps its name ---


// What the plain server adds of the service's ways, to see what each costs: the service's
// security descriptor on each instance, overlapped I/O with event waits, and the hand-over
// of each connection to a second thread that writes the reply.
// kPipeServerClass serves with the service's own PipeServer instead, in a process that does
// nothing else, to tell the server's cost from that of the service process around it.
enum Extra : unsigned {
  kNoExtra = 0,
  kDescriptor = 1,
  kOverlapped = 2,
  kHandOver = 4,
  kPipeServerClass = 8
};

HANDLE MakeInstance(const wchar_t* name, unsigned extra) {
  const DWORD mode = PIPE_ACCESS_DUPLEX | (extra & kOverlapped ? FILE_FLAG_OVERLAPPED : 0);
  const DWORD type = PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT;
  if (!(extra & kDescriptor)) {
    return CreateNamedPipeW(name, mode, type, PIPE_UNLIMITED_INSTANCES, 8192, 8192, 150,
                            nullptr);
  }
  halvaro::WorldAccessAttributes security(kServicePipeAccessMask,
                                          halvaro::WorldAccessAttributes::Network::kDenied);
  return CreateNamedPipeW(name, mode, type, PIPE_UNLIMITED_INSTANCES, 8192, 8192, 150,
                          security.get());
}

// One transfer, waited for on `event` when the instance is overlapped.
bool Io(HANDLE pipe, bool write, void* bytes, DWORD length, DWORD* done, HANDLE event) {
  if (!event) {
    return write ? WriteFile(pipe, bytes, length, done, nullptr)
                 : ReadFile(pipe, bytes, length, done, nullptr);
  }
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event;
  const BOOL now = write ? WriteFile(pipe, bytes, length, done, &overlapped)
                         : ReadFile(pipe, bytes, length, done, &overlapped);
  if (!now && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(pipe, &overlapped, done, TRUE);
}

void Reply(HANDLE pipe, bool av, uint8_t* buffer, DWORD received, HANDLE event) {
  DWORD written = 0;
  if (av) {
    const size_t data = BuildAvReplyHeader(buffer, 0);
    Io(pipe, true, buffer, static_cast<DWORD>(kAvHeaderSize), &written, event);
    if (data) Io(pipe, true, buffer + kAvHeaderSize, static_cast<DWORD>(data), &written, event);
  } else {
    const size_t length = BuildSubscriptionReply(buffer, received, 0, 0);
    Io(pipe, true, buffer, static_cast<DWORD>(length), &written, event);
  }
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
}

// One thread (two with kHandOver): waits for a client, makes the next instance, then reads
// the request, writes the reply (one message on the subscription pipe; header and data on
// the AV pipe), flushes and disconnects.
void PlainServer(const wchar_t* name, bool av, unsigned extra, HANDLE stop) {
  UniqueHandle event(extra & kOverlapped ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr);
  UniqueHandle current(MakeInstance(name, extra));
  // The hand-over: the reader passes the connection to a writer thread and waits for it.
  UniqueHandle handed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  UniqueHandle served(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  HANDLE job_pipe = nullptr;
  DWORD job_received = 0;
  uint8_t buffer[8 + 4096] = {};
  halvaro::JoinableThread writer;
  if (extra & kHandOver) {
    writer = halvaro::JoinableThread([&] {
      UniqueHandle writer_event(extra & kOverlapped ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                                    : nullptr);
      const HANDLE waits[2] = {stop, handed.get()};
      while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        Reply(job_pipe, av, buffer, job_received, writer_event.get());
        SetEvent(served.get());
      }
    });
  }
  while (current && WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    bool connected = false;
    if (event) {
      OVERLAPPED overlapped = {};
      overlapped.hEvent = event.get();
      DWORD ignored = 0;
      connected = ConnectNamedPipe(current.get(), &overlapped) ||
                  GetLastError() == ERROR_PIPE_CONNECTED ||
                  (GetLastError() == ERROR_IO_PENDING &&
                   GetOverlappedResult(current.get(), &overlapped, &ignored, TRUE));
    } else {
      connected = ConnectNamedPipe(current.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    }
    if (!connected) {
      current.reset(MakeInstance(name, extra));
      continue;
    }
    UniqueHandle next(MakeInstance(name, extra));
    DWORD received = 0;
    if (Io(current.get(), false, buffer, sizeof(buffer), &received, event.get())) {
      if (extra & kHandOver) {
        job_pipe = current.get();
        job_received = received;
        SetEvent(handed.get());
        const HANDLE waits[2] = {stop, served.get()};
        WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      } else {
        Reply(current.get(), av, buffer, received, event.get());
      }
    } else {
      DisconnectNamedPipe(current.get());
    }
    current = std::move(next);
  }
}

// Where one request's time goes, as its client sees it, in milliseconds: the open, the
// write of the request, the wait for the first reply message, and the rest (further reply
// messages and the disconnect's arrival).
enum Phase { kConnectPhase, kWritePhase, kFirstReplyPhase, kDisconnectPhase, kPhases };

struct TimedPhases {
  double total = -1;  // negative when the request failed
  double phase[kPhases] = {};
};

TimedPhases TimedRequest(const wchar_t* name, const std::vector<uint8_t>& request) {
  TimedPhases timed;
  LARGE_INTEGER marks[kPhases + 1];
  QueryPerformanceCounter(&marks[0]);
  UniqueHandle pipe;
  for (int tries = 0; tries < 200 && !pipe; ++tries) {
    pipe.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr));
    if (!pipe) WaitNamedPipeW(name, 100);
  }
  if (!pipe) return timed;
  QueryPerformanceCounter(&marks[1]);
  DWORD done = 0;
  if (!WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &done,
                 nullptr)) {
    return timed;
  }
  QueryPerformanceCounter(&marks[2]);
  uint8_t reply[8 + 4096];
  size_t total = 0;
  bool first = true;
  while (ReadFile(pipe.get(), reply, sizeof(reply), &done, nullptr) && done) {
    total += done;
    if (first) QueryPerformanceCounter(&marks[3]);
    first = false;
  }
  pipe.reset();
  QueryPerformanceCounter(&marks[4]);
  if (!total) return timed;
  timed.total = Seconds(marks[0], marks[4]) * 1000.0;
  for (int p = 0; p < kPhases; ++p) timed.phase[p] = Seconds(marks[p], marks[p + 1]) * 1000.0;
  return timed;
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Runs PlainServer in a process of its own, as the service is one: a server thread in the
// measuring process itself slows every pipe call of that process under wine.
class PlainServerProcess {
 public:
  PlainServerProcess(const wchar_t* name, bool av, unsigned extra) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" serve " + name + L" " +
                           (av ? L"av " : L"sub ") + std::to_wstring(extra);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
      process_.reset(info.hProcess);
      UniqueHandle thread(info.hThread);
    }
    // Ready once its first instance exists.
    for (int i = 0; i < 200 && !WaitNamedPipeW(name, NMPWAIT_NOWAIT) &&
                    GetLastError() == ERROR_FILE_NOT_FOUND;
         ++i) {
      Sleep(10);
    }
  }
  ~PlainServerProcess() {
    if (process_) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), 5000);
    }
  }

 private:
  UniqueHandle process_;
};

// The AV pipe's handler without the board: the header, the data block, the two messages.
void AvQueryClient(PipeConnection& connection) {
  uint8_t header[kAvHeaderSize] = {};
  uint8_t data[kAvMaxDataLength] = {};
  size_t received = 0;
  if (!connection.Read(header, sizeof(header), kPipeRequestWaitMs, &received)) return;
  const uint16_t length = AvDataLength(header);
  size_t got = 0;
  while (AvDataLengthValid(length) && got < length &&
         connection.Read(data + got, length - got, kPipeRequestWaitMs, &received) && received) {
    got += received;
  }
  data[1] = 1;
  const size_t data_bytes = BuildAvReplyHeader(header, kAvResultDone);
  connection.Write(header, sizeof(header));
  if (data_bytes != 0) connection.Write(data, data_bytes);
}

int Serve(const wchar_t* name, bool av, unsigned extra) {
  UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (extra & kPipeServerClass) {
    PipeServer server;
    PipeServer::Options options;
    options.name = name;
    options.access_mask = kServicePipeAccessMask;
    options.head_size = av ? kAvHeaderSize + 24 : kSubscriptionRequestSize;  // as the service's
    const bool started =
        av ? server.Start(options, AvQueryClient)
           : server.Start(options, PipeServer::RequestReply(
                                       kSubscriptionRequestSize, [](uint8_t* b, size_t n) {
                                         return BuildSubscriptionReply(b, n, 0, 0);
                                       }));
    if (started) WaitForSingleObject(never.get(), INFINITE);  // until terminated
    return started ? 0 : 1;
  }
  PlainServer(name, av, extra, never.get());  // until terminated
  return 0;
}

// Alternating blocks of requests to the service's pipe and to one plain server each for
// `extras`; the medians in the order given, the service's first, then the median of each
// phase for the service and for the plain server without extras. Every server runs for the
// whole measurement, each on a name of its own, so that short blocks can alternate and a
// change of the machine's load falls on all of them alike.
std::vector<double> Medians(const wchar_t* service_name, const wchar_t* plain_name, bool av,
                            const std::vector<uint8_t>& request,
                            const std::vector<unsigned>& extras, int blocks, int per_block,
                            int* failures) {
  std::vector<std::wstring> names = {service_name};
  std::vector<std::unique_ptr<PlainServerProcess>> servers;
  for (size_t k = 0; k < extras.size(); ++k) {
    names.push_back(std::wstring(plain_name) + L"_" + std::to_wstring(k));
    servers.push_back(std::make_unique<PlainServerProcess>(names.back().c_str(), av, extras[k]));
  }
  std::vector<std::vector<double>> samples(names.size());
  std::vector<std::vector<double>> service_phases(kPhases), plain_phases(kPhases);
  for (int block = 0; block < blocks + 1; ++block) {  // block 0 warms every server up
    for (size_t k = 0; k < names.size(); ++k) {
      for (int i = 0; i < per_block; ++i) {
        const TimedPhases timed = TimedRequest(names[k].c_str(), request);
        if (timed.total < 0) {
          ++*failures;
        } else if (block > 0) {
          samples[k].push_back(timed.total);
          for (int p = 0; p < kPhases && k <= 1; ++p) {
            (k == 0 ? service_phases : plain_phases)[p].push_back(timed.phase[p]);
          }
        }
      }
    }
  }
  std::vector<double> medians;
  for (auto& s : samples) medians.push_back(Median(s));
  for (auto& s : service_phases) medians.push_back(Median(s));
  for (auto& s : plain_phases) medians.push_back(Median(s));
  return medians;
}

int Compare(int blocks, int per_block) {
  const EncodedSubscriptionRequest last = EncodeSubscriptionRequest(kReadLastCodeCommand, 0);
  struct Shape {
    const char* name;
    const wchar_t* service_format;
    const wchar_t* plain_name;
    std::vector<uint8_t> request;
  };
  const Shape shapes[] = {
      {"sub", kSubscriptionPipeNameFormat, L"\\\\.\\pipe\\HalvaroBenchPlainSub",
       std::vector<uint8_t>(last.bytes, last.bytes + last.length)},
      {"av", kAvCommandPipeNameFormat, L"\\\\.\\pipe\\HalvaroBenchPlainAv",
       EncodeAvRequest(kAvQueryOperation, 0)}};
  const std::vector<unsigned> extras = {kNoExtra, kDescriptor, kOverlapped, kHandOver,
                                        kDescriptor | kOverlapped | kHandOver,
                                        kPipeServerClass};
  for (const Shape& shape : shapes) {
    wchar_t service_name[kPipeNameSize];
    FormatBounded(service_name, kPipeNameSize, shape.service_format, 0);
    int failures = 0;
    const std::vector<double> m =
        Medians(service_name, shape.plain_name, shape.service_format == kAvCommandPipeNameFormat,
                shape.request, extras, blocks, per_block, &failures);
    std::printf("pipe=%s failures=%d service_median_ms=%.3f plain_median_ms=%.3f "
                "descriptor_ms=%.3f overlapped_ms=%.3f handover_ms=%.3f all_three_ms=%.3f "
                "pipe_server_ms=%.3f ratio=%.3f\n",
                shape.name, failures, m[0], m[1], m[2], m[3], m[4], m[5], m[6],
                m[1] > 0 ? m[0] / m[1] : 0.0);
    const size_t at = extras.size() + 1;
    std::printf("pipe=%s phases=connect,write,first_reply,rest service=%.3f,%.3f,%.3f,%.3f "
                "plain=%.3f,%.3f,%.3f,%.3f\n",
                shape.name, m[at], m[at + 1], m[at + 2], m[at + 3], m[at + 4], m[at + 5],
                m[at + 6], m[at + 7]);
  }
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
  if (argc >= 5 && std::wcscmp(argv[1], L"serve") == 0) {
    return halvaro::Serve(argv[2], std::wcscmp(argv[3], L"av") == 0,
                          static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)));
  }
  if (argc >= 4 && std::wcscmp(argv[1], L"compare") == 0) {
    return halvaro::Compare(std::wcstol(argv[2], nullptr, 10), std::wcstol(argv[3], nullptr, 10));
  }
  if (argc >= 4 && std::wcscmp(argv[1], L"latency") == 0) {
    return halvaro::Latency(std::wcstol(argv[2], nullptr, 10), argv[3]);
  }
  std::fputs("usage: PipeBench.exe roundtrips <n> | compare <blocks> <per block> |"
             " latency <n> <SimFirmware.exe>\n", stderr);
  return 2;
}
