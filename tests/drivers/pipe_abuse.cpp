// A hostile client of the service's two pipes, for the reliability tests and the soak.
//
//   PipeAbuse.exe fuzz <sub|av> <count> <seed>   sends <count> malformed or random requests,
//       each on a connection of its own, and checks every reply that comes; prints
//       "sent=<n> refused=<n> expected=<n> replies=<n> missing=<n> bad_replies=<n>", then
//       "answered=<0|1>" for one valid request. A request the service answers at once
//       (expected) must get a whole, well-formed reply; one it waits on (an AV data block
//       that never comes whole) may get one, which must be well-formed too.
//   PipeAbuse.exe idle <sub|av> <count> <hold s> opens <count> connections that never write
//       and prints "held=<n>"; then asks a valid request on a further connection and prints
//       "answered=<0|1> ms=<n>"; holds them all for <hold s>, closes them, prints "released".
//   PipeAbuse.exe counts                          prints "threads=<n> handles=<n>" of the
//       service process (Halvaro.exe).
//   PipeAbuse.exe ask <sub|av>                    one valid request; prints "answered=<0|1>".
//   PipeAbuse.exe squat <sub|av> <seconds>         holds one instance of the pipe's name, as a
//       program that took the name before the service would; prints "squatting", then after
//       <seconds> closes it and prints "released".
//   PipeAbuse.exe subscribers sub <count>         subscribes and unsubscribes <count> made-up
//       clients one after another, each with its own pair of events; prints
//       "cycles=<n> failures=<n>" (a failure: a reply other than 0 or 0x90000000 to the
//       subscribe, or other than 0 to the unsubscribe).
//   PipeAbuse.exe churn <sub|av> <count>          connects and closes at once <count> times
//       while another thread asks whether the name exists; prints
//       "connects=<n> asks=<n> misses=<n>" (a miss: no instance of the name at all).
//
// Exit codes: 0 done, 1 failure (a message on stderr), 2 usage.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <random>
#include <vector>

#include "common/av_command_message.h"
#include "common/bounded_format.h"
#include "common/joinable_thread.h"
#include "common/object_names.h"
#include "common/pipe_client.h"
#include "common/subscription_message.h"
#include "common/unique_resource.h"
#include "tests/support/process_threads.h"

namespace halvaro {
namespace {

constexpr DWORD kConnectPatienceMs = 5000;
constexpr DWORD kWriteWaitMs = 20;    // a write the service does not take is abandoned
constexpr DWORD kReplyWaitMs = 3000;  // for a valid request's reply

struct Pipe {
  const wchar_t* format;
  bool av;
  ReplyLengthFunction reply_length;
};

bool ChoosePipe(const wchar_t* which, Pipe* pipe) {
  if (std::wcscmp(which, L"sub") == 0) {
    *pipe = {kSubscriptionPipeNameFormat, false, SubscriptionReplyLength};
    return true;
  }
  if (std::wcscmp(which, L"av") == 0) {
    *pipe = {kAvCommandPipeNameFormat, true, AvReplyLength};
    return true;
  }
  return false;
}

// An overlapped client end for the hostile requests, so that no write or read of ours can
// hang on the service.
UniqueHandle Connect(const Pipe& pipe) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe.format, 0);
  const ULONGLONG deadline = GetTickCount64() + kConnectPatienceMs;
  for (;;) {
    UniqueHandle handle(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (handle || GetTickCount64() >= deadline) return handle;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name, 100);
    } else {
      Sleep(10);  // between two instances
    }
  }
}

// One overlapped transfer, cancelled after `wait_ms`; the bytes moved.
DWORD Transfer(HANDLE handle, bool write, void* bytes, DWORD length, DWORD wait_ms) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  DWORD moved = 0;
  const BOOL done = write ? WriteFile(handle, bytes, length, &moved, &overlapped)
                          : ReadFile(handle, bytes, length, &moved, &overlapped);
  if (done) return moved;
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return 0;
  if (WaitForSingleObject(event.get(), wait_ms) != WAIT_OBJECT_0) CancelIo(handle);
  GetOverlappedResult(handle, &overlapped, &moved, TRUE);
  return moved;
}

// Reads until the service disconnects or the time is over; the whole reply.
std::vector<uint8_t> ReadReply(HANDLE handle, DWORD wait_ms) {
  std::vector<uint8_t> reply;
  const ULONGLONG deadline = GetTickCount64() + wait_ms;
  uint8_t chunk[8 + 4096];
  while (reply.size() < sizeof(chunk)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD got = Transfer(handle, false, chunk, sizeof(chunk),
                               static_cast<DWORD>(deadline - now));
    if (got == 0) break;
    reply.insert(reply.end(), chunk, chunk + got);
  }
  return reply;
}

// Whether a reply is a whole one that the protocol allows.
bool WellFormed(const Pipe& pipe, const std::vector<uint8_t>& reply) {
  if (pipe.av) {
    const std::optional<AvReplyHeader> header = DecodeAvReplyHeader(reply.data(), reply.size());
    if (!header) return false;
    if (header->reply_code != kAvOperationReply && header->reply_code != kAvUnknownCommandReply) {
      return false;
    }
  } else if (!DecodeSubscriptionReply(reply.data(), reply.size())) {
    return false;
  }
  return reply.size() == pipe.reply_length(reply.data(), reply.size());
}

// Whether the service answers `request` (one message) at once. The subscription pipe
// answers every request, short ones read as if padded with zeros. The AV-command pipe waits
// only for an operation's data block that the message does not hold whole.
bool AnsweredAtOnce(const Pipe& pipe, const std::vector<uint8_t>& request) {
  if (request.empty()) return false;  // a zero-length message: either way is allowed
  if (!pipe.av) return true;
  uint8_t header[kAvHeaderSize] = {};
  std::copy(request.begin(), request.begin() + std::min(request.size(), kAvHeaderSize), header);
  if (header[kAvCommandOffset] != kAvOperationCommand) return true;
  const uint16_t length = AvDataLength(header);
  return !AvDataLengthValid(length) || request.size() >= kAvHeaderSize + length;
}

// A valid, harmless request: the last event code, or the AV query.
std::vector<uint8_t> ValidRequest(const Pipe& pipe) {
  if (pipe.av) return EncodeAvRequest(kAvQueryOperation, 0);
  const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(kReadLastCodeCommand, 0, 0);
  return std::vector<uint8_t>(request.bytes, request.bytes + request.length);
}

// An ordinary request, asked as the service's client programs ask it; true with the whole
// reply.
bool Request(const Pipe& pipe, const uint8_t* request, size_t length,
             std::vector<uint8_t>* reply) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe.format, 0);
  // The same patience for a busy pipe and for one between two instances.
  PipeClient client({kConnectPatienceMs, kConnectPatienceMs, kReplyWaitMs});
  return client.Ask(name, request, length, pipe.reply_length, reply) == PipeOutcome::kDone;
}

bool Ask(const Pipe& pipe) {
  const std::vector<uint8_t> request = ValidRequest(pipe);
  std::vector<uint8_t> reply;
  return Request(pipe, request.data(), request.size(), &reply) && WellFormed(pipe, reply);
}

struct FuzzCounts {
  unsigned refused = 0;   // no connection within the patience
  unsigned expected = 0;  // requests the service answers at once
  unsigned replies = 0;
  unsigned missing = 0;   // expected, and no reply came
  unsigned bad = 0;       // a reply the protocol does not allow, or a partial one
};

// Reads the reply to `bytes`, written whole, and counts it.
void Judge(const Pipe& pipe, HANDLE handle, const std::vector<uint8_t>& bytes,
           FuzzCounts* counts) {
  const bool expected = AnsweredAtOnce(pipe, bytes);
  // An answer at once comes within milliseconds; one that the service still waits for
  // would take the request's whole time limit, so it is looked for only briefly.
  const std::vector<uint8_t> reply = ReadReply(handle, expected ? kReplyWaitMs : 50);
  if (expected) ++counts->expected;
  if (!reply.empty()) ++counts->replies;
  if (expected && reply.empty()) ++counts->missing;
  if (!reply.empty() && !WellFormed(pipe, reply)) ++counts->bad;
}

// One hostile request on a connection of its own.
void Abuse(const Pipe& pipe, std::mt19937& random, FuzzCounts* counts) {
  UniqueHandle handle = Connect(pipe);
  if (!handle) {
    ++counts->refused;
    return;
  }
  std::vector<uint8_t> bytes;
  const int kind = static_cast<int>(random() % 8);
  switch (kind) {
    case 0:  // connect and close
      return;
    case 1: {  // random bytes, any length up to 8 KiB
      bytes.resize(random() % (8 * 1024 + 1));
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      break;
    }
    case 2: {  // a partial header
      bytes.resize(1 + random() % (pipe.av ? kAvHeaderSize - 1 : kSubscriptionRequestSize - 1));
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 4);
      break;
    }
    case 3: {  // the largest lengths in a well-formed header, with or without their data
      bytes = ValidRequest(pipe);
      if (pipe.av) {
        const uint16_t length = (random() % 2) ? 0xFFFF : 4097 + random() % 100;
        bytes[kAvDataLengthOffset] = static_cast<uint8_t>(length);
        bytes[kAvDataLengthOffset + 1] = static_cast<uint8_t>(length >> 8);
      } else {
        bytes[0] = static_cast<uint8_t>(1 + random() % 3);
        for (int i = 4; i < 8; ++i) bytes[i] = 0xFF;
      }
      if (random() % 2) bytes.resize(bytes.size() + random() % 5000, 0x5A);
      break;
    }
    case 4: {  // a request whose data is shorter than announced (truncated write)
      bytes = ValidRequest(pipe);
      if (pipe.av) {
        bytes[kAvDataLengthOffset] = 0x00;
        bytes[kAvDataLengthOffset + 1] = 0x10;  // 4096
      }
      bytes.resize(bytes.size() / 2 + 1);
      break;
    }
    case 5: {  // a valid request, written and never read
      bytes = ValidRequest(pipe);
      Transfer(handle.get(), true, bytes.data(), static_cast<DWORD>(bytes.size()), kWriteWaitMs);
      return;
    }
    case 6: {  // every command byte, random payload lengths
      bytes = ValidRequest(pipe);
      bytes[0] = static_cast<uint8_t>(random());
      if (!pipe.av) {
        for (int i = 4; i < 8; ++i) bytes[i] = static_cast<uint8_t>(random());
        bytes[0] = static_cast<uint8_t>(random() % 2 ? 2 : bytes[0]);  // unsubscribe, mostly
      } else if (bytes.size() > kAvHeaderSize) {
        bytes[kAvHeaderSize] = static_cast<uint8_t>(3 + random() % 253);  // no board command
      }
      break;
    }
    default: {  // a zero-length message
      break;
    }
  }
  // Requests of up to 8 KiB go in one message; a write the service does not take whole
  // leaves nothing to judge.
  if (Transfer(handle.get(), true, bytes.data(), static_cast<DWORD>(bytes.size()),
               kWriteWaitMs) != bytes.size()) {
    return;
  }
  Judge(pipe, handle.get(), bytes, counts);
}

int Fuzz(const Pipe& pipe, unsigned count, unsigned seed) {
  std::mt19937 random(seed);
  FuzzCounts counts;
  for (unsigned i = 0; i < count; ++i) Abuse(pipe, random, &counts);
  std::printf("sent=%u refused=%u expected=%u replies=%u missing=%u bad_replies=%u\n", count,
              counts.refused, counts.expected, counts.replies, counts.missing, counts.bad);
  std::printf("answered=%d\n", Ask(pipe) ? 1 : 0);
  return 0;
}

int Idle(const Pipe& pipe, unsigned count, unsigned hold_seconds) {
  std::vector<UniqueHandle> held;
  held.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    UniqueHandle handle = Connect(pipe);
    if (!handle) break;
    held.push_back(std::move(handle));
  }
  std::printf("held=%u\n", static_cast<unsigned>(held.size()));
  std::fflush(stdout);
  const ULONGLONG began = GetTickCount64();
  const bool answered = Ask(pipe);
  std::printf("answered=%d ms=%u\n", answered ? 1 : 0,
              static_cast<unsigned>(GetTickCount64() - began));
  std::fflush(stdout);
  Sleep(hold_seconds * 1000);
  held.clear();
  std::printf("released\n");
  return 0;
}

// The handles that process `pid` holds, from the system's handle table (wine does not count
// another process's handles in GetProcessHandleCount); -1 when it cannot be read.
long HandlesOf(DWORD pid) {
  struct Entry {  // SYSTEM_HANDLE_TABLE_ENTRY_INFO
    USHORT process_id;
    USHORT creator_back_trace_index;
    UCHAR object_type;
    UCHAR attributes;
    USHORT handle;
    void* object;
    ULONG granted_access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return -1;
  constexpr ULONG kSystemHandleInformation = 16;
  std::vector<uint8_t> buffer(1 << 20);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const Table* table = reinterpret_cast<const Table*>(buffer.data());
      long count = 0;
      for (ULONG i = 0; i < table->count; ++i) {
        if (table->entries[i].process_id == static_cast<USHORT>(pid)) ++count;
      }
      return count;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return -1;
}

int Counts() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 1;
  PROCESSENTRY32W process = {};
  process.dwSize = sizeof(process);
  DWORD pid = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &process); more;
       more = Process32NextW(snapshot.get(), &process)) {
    if (_wcsicmp(process.szExeFile, L"Halvaro.exe") == 0) pid = process.th32ProcessID;
  }
  if (pid == 0) {
    std::fputs("no service process\n", stderr);
    return 1;
  }
  const unsigned threads = static_cast<unsigned>(ThreadsOfProcess(pid));
  const long handles = HandlesOf(pid);
  if (handles < 0) {
    std::fputs("cannot read the service's handle count\n", stderr);
    return 1;
  }
  std::printf("threads=%u handles=%ld\n", threads, handles);
  return 0;
}

int Squat(const Pipe& pipe, unsigned seconds) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe.format, 0);
  UniqueHandle instance(CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 4096,
                                         4096, 0, nullptr));
  if (!instance) {
    std::fprintf(stderr, "cannot create the pipe (error %lu)\n", GetLastError());
    return 1;
  }
  std::printf("squatting\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  instance.reset();
  std::printf("released\n");
  return 0;
}

// One subscription request; the reply's result, or 0xFFFFFFFF when none came.
uint32_t AskSubscription(const Pipe& pipe, uint8_t command, uint32_t process_id) {
  const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(command, process_id);
  std::vector<uint8_t> reply;
  if (!Request(pipe, request.bytes, request.length, &reply)) return 0xFFFFFFFFu;
  const std::optional<SubscriptionReply> decoded =
      DecodeSubscriptionReply(reply.data(), reply.size());
  return decoded ? decoded->result : 0xFFFFFFFFu;
}

// Made-up clients that come and go: whatever the service holds for a subscriber it must
// give back at the unsubscribe, so the counts after many cycles show a leak of any size.
int Subscribers(const Pipe& pipe, unsigned count) {
  unsigned failures = 0;
  for (unsigned i = 0; i < count; ++i) {
    const uint32_t process_id = 0x7A000000u + i;  // no process has such an id
    wchar_t wake_name[kPipeNameSize];
    wchar_t removal_name[kPipeNameSize];
    FormatBounded(wake_name, kPipeNameSize, kWakeEventNameFormat, process_id);
    FormatBounded(removal_name, kPipeNameSize, kRemovalEventNameFormat, process_id);
    UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, wake_name));
    UniqueHandle removal(CreateEventW(nullptr, FALSE, FALSE, removal_name));
    const uint32_t subscribed = AskSubscription(pipe, kSubscribeCommand, process_id);
    if (subscribed != kSubscriptionResultDone && subscribed != kSubscriptionResultEvicted) {
      ++failures;
    }
    if (AskSubscription(pipe, kUnsubscribeCommand, process_id) != kSubscriptionResultDone) {
      ++failures;
    }
  }
  std::printf("cycles=%u failures=%u\n", count, failures);
  return 0;
}

// Connects and closes at once `count` times, while a second thread keeps asking whether the
// name exists; a miss is an ask answered "no instance at all".
int Churn(const Pipe& pipe, unsigned count) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe.format, 0);
  std::atomic<bool> done{false};
  unsigned asks = 0;
  unsigned misses = 0;
  JoinableThread watcher([&] {
    while (!done) {
      ++asks;
      if (!WaitNamedPipeW(name, NMPWAIT_NOWAIT) && GetLastError() == ERROR_FILE_NOT_FOUND) {
        ++misses;
      }
      Sleep(1);
    }
  });
  unsigned connects = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (Connect(pipe)) ++connects;  // closed at once
  }
  done = true;
  watcher.join();
  std::printf("connects=%u asks=%u misses=%u\n", connects, asks, misses);
  return 0;
}

int Usage() {
  std::fputs("usage: PipeAbuse.exe fuzz <sub|av> <count> <seed> | idle <sub|av> <count> <hold s> |"
             " counts | ask <sub|av> | squat <sub|av> <seconds> | churn <sub|av> <count> |"
             " subscribers sub <count>\n",
             stderr);
  return 2;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  using namespace halvaro;
  if (argc == 2 && std::wcscmp(argv[1], L"counts") == 0) return Counts();
  Pipe pipe;
  if (argc < 3 || !ChoosePipe(argv[2], &pipe)) return Usage();
  if (argc == 3 && std::wcscmp(argv[1], L"ask") == 0) {
    const bool answered = Ask(pipe);
    std::printf("answered=%d\n", answered ? 1 : 0);
    return 0;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"squat") == 0) {
    return Squat(pipe, static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)));
  }
  if (argc == 4 && std::wcscmp(argv[1], L"subscribers") == 0 && !pipe.av) {
    return Subscribers(pipe, static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)));
  }
  if (argc == 4 && std::wcscmp(argv[1], L"churn") == 0) {
    return Churn(pipe, static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)));
  }
  if (argc != 5) return Usage();
  const unsigned a = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
  const unsigned b = static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10));
  if (std::wcscmp(argv[1], L"fuzz") == 0) return Fuzz(pipe, a, b);
  if (std::wcscmp(argv[1], L"idle") == 0) return Idle(pipe, a, b);
  return Usage();
}
