// Stands in for a client program of the subscription pipe "\\.\pipe\OrvaEMA_srv_np_0".
// Every request goes on a connection of its own; the service answers one and disconnects.
//
//   SimClient.exe subscribe <pid>     prints result=0x%08X
//   SimClient.exe unsubscribe <pid>   prints result=0x%08X
//   SimClient.exe last                prints code=<decimal> result=0x%08X
//   SimClient.exe raw [hex bytes...]  sends the bytes as they are ("01 00 0400", "0x01" ...);
//                                     prints bytes=<hex,hex,...> and length=<n>
//   SimClient.exe av query [length]   the AV-command pipe (\\.\pipe\OrvaVurur_srv_0): an
//   SimClient.exe av hotkey <level>   operation 0, 1 or 2; prints reply=0x%02X result=0x%08X
//   SimClient.exe av set <level>      length=<data length field> data_bytes=<n> data=<hex,..>
//   SimClient.exe av raw [hex...]     (the first 16 data bytes)
//   SimClient.exe av split <ms>       a query whose data block comes in two writes <ms> apart
//   SimClient.exe av late <ms>        hotkey volume 30 whose block follows the header <ms> later
//   SimClient.exe watch [seconds]     subscribes its own process id and waits on its wake and
//                                     removal events: prints
//                                     "subscribed pid=<decimal> result=0x%08X",
//                                     then "event code=<decimal>" for every wake-up, and
//                                     "removed" when it is evicted (then ends); after the
//                                     given seconds it unsubscribes, prints
//                                     "unsubscribed result=0x%08X" and ends. Without seconds
//                                     it runs until it is ended.
//   SimClient.exe mutexes             prints subscription_mutex=<0|1> av_mutex=<0|1>
//   SimClient.exe dacl <sub|av>       prints the DACL of a pipe instance, an ace line each
//
// Process ids are decimal, or hexadecimal with 0x. Every line of stdout is flushed as it is
// written. Exit codes: 0 done, 1 pipe or I/O failure (a message on stderr), 2 usage.
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/av_command_message.h"
#include "common/bounded_format.h"
#include "common/pipe_client.h"
#include "common/subscription_message.h"
#include "common/unique_resource.h"
#include "sim/client_inspect.h"
#include "sim/common/parse_number.h"

namespace halvaro {
namespace {

constexpr DWORD kConnectPatienceMs = 5000;  // for a busy pipe
// For a pipe with no instance: the listener may be between closing one and making the next.
constexpr DWORD kAbsentPatienceMs = 1000;
constexpr DWORD kAbsentRetryMs = 50;
constexpr DWORD kReplyPatienceMs = 8000;    // for the reply and the disconnect after it
constexpr size_t kMostRawBytes = 256;
constexpr size_t kMostReplyBytes = 8 + 4096;  // more than any reply; the rest is not read

constexpr int kExitOk = 0;
constexpr int kExitIoFailure = 1;
constexpr int kExitUsage = 2;

void Line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Fail(const char* what) {
  std::fprintf(stderr, "%s (error %lu)\n", what, static_cast<unsigned long>(GetLastError()));
  std::fflush(stderr);
}

int Usage() {
  std::fputs(
      "usage: SimClient.exe subscribe <pid> | unsubscribe <pid> | last |\n"
      "                     raw [hex bytes...] | watch [seconds] |\n"
      "                     av query [data length] | av hotkey <level> | av set <level> |\n"
      "                     av raw [hex bytes...] | av split <pause ms> | av late <pause ms> |\n"
      "                     mutexes | dacl <sub|av>\n",
      stderr);
  return kExitUsage;
}

// Says on stderr why an exchange gave no whole reply.
void FailPipe(PipeOutcome outcome, DWORD error, size_t received) {
  SetLastError(error);
  switch (outcome) {
    case PipeOutcome::kWriteFailed: return Fail("cannot write the request");
    case PipeOutcome::kNoReply: return Fail("no reply in time");
    case PipeOutcome::kClosed:
      std::fprintf(stderr, "short reply: %u bytes\n", static_cast<unsigned>(received));
      std::fflush(stderr);
      return;
    default: return Fail("cannot connect to the pipe");
  }
}

// One request in one write, and its reply as long as `reply_length` tells.
bool Exchange(const wchar_t* pipe_format, const uint8_t* request, size_t length,
              ReplyLengthFunction reply_length, std::vector<uint8_t>* reply) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe_format, 0);
  PipeClient client({kConnectPatienceMs, kAbsentPatienceMs, kReplyPatienceMs});
  const PipeOutcome outcome = client.Ask(name, request, length, reply_length, reply);
  if (outcome == PipeOutcome::kDone) return true;
  FailPipe(outcome, client.error(), reply->size());
  return false;
}

// What PipeClient is not for: a request in two writes with a pause between, and a reply read
// to the service's disconnect as it comes, whatever its length. The connect waits as
// Exchange's does.
UniqueHandle Connect(const wchar_t* pipe_format) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, pipe_format, 0);
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG deadline = start + kConnectPatienceMs;
  const ULONGLONG absent_deadline = start + kAbsentPatienceMs;
  for (;;) {
    UniqueHandle pipe(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (pipe) return pipe;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (error == ERROR_PIPE_BUSY && now < deadline) {
      WaitNamedPipeW(name, static_cast<DWORD>(deadline - now));
    } else if (error == ERROR_FILE_NOT_FOUND && now < absent_deadline) {
      Sleep(kAbsentRetryMs);
    } else {
      SetLastError(error);
      break;
    }
  }
  Fail("cannot connect to the pipe");
  return UniqueHandle();
}

bool WriteAll(HANDLE pipe, const uint8_t* bytes, size_t length) {
  DWORD written = 0;
  if (!WriteFile(pipe, bytes, static_cast<DWORD>(length), &written, nullptr) ||
      written != length) {
    Fail("cannot write the request");
    return false;
  }
  return true;
}

// Sends a request of `length` bytes in one write, or, with `split_at` inside it, in two
// writes `pause_ms` apart, and collects the reply until the service disconnects, the reply is
// as long as `reply_length` tells (when there is one), or the patience runs out. Returns
// false on a failed connect or write, or on time-out.
bool RawExchange(const wchar_t* pipe_format, const uint8_t* request, size_t length,
                 ReplyLengthFunction reply_length, std::vector<uint8_t>* reply,
                 size_t split_at = 0, DWORD pause_ms = 0) {
  reply->clear();
  UniqueHandle pipe = Connect(pipe_format);
  if (!pipe) return false;
  if (split_at == 0 || split_at >= length) split_at = length;
  if (!WriteAll(pipe.get(), request, split_at)) return false;
  if (split_at < length) {
    Sleep(pause_ms);
    if (!WriteAll(pipe.get(), request + split_at, length - split_at)) return false;
  }
  const ULONGLONG deadline = GetTickCount64() + kReplyPatienceMs;
  for (;;) {
    if (reply_length != nullptr) {
      const size_t wanted = reply_length(reply->data(), reply->size());
      if (wanted != 0 && reply->size() >= wanted) return true;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
      return true;  // the service has disconnected: everything it sent is in
    }
    if (available == 0) {
      if (GetTickCount64() >= deadline) {
        SetLastError(ERROR_TIMEOUT);
        Fail("no reply in time");
        return false;
      }
      Sleep(5);
      continue;
    }
    static uint8_t chunk[kMostReplyBytes];
    const size_t room = kMostReplyBytes - reply->size();
    if (room == 0) return true;
    DWORD got = 0;
    const DWORD want = available < room ? available : static_cast<DWORD>(room);
    if (!ReadFile(pipe.get(), chunk, want, &got, nullptr) && GetLastError() != ERROR_MORE_DATA) {
      return true;
    }
    reply->insert(reply->end(), chunk, chunk + got);
  }
}

// One request from the encoder, one decoded reply with the expected reply code.
bool Transact(uint8_t command, uint32_t process_id, uint32_t payload_length,
              SubscriptionReply* out) {
  const EncodedSubscriptionRequest request =
      EncodeSubscriptionRequest(command, process_id, payload_length);
  std::vector<uint8_t> bytes;
  if (!Exchange(kSubscriptionPipeNameFormat, request.bytes, request.length,
                SubscriptionReplyLength, &bytes)) {
    return false;
  }
  const std::optional<SubscriptionReply> reply = DecodeSubscriptionReply(bytes.data(), bytes.size());
  if (!reply) {
    std::fprintf(stderr, "short reply: %u bytes\n", static_cast<unsigned>(bytes.size()));
    return false;
  }
  if (reply->reply_code != SubscriptionReplyCode(command)) {
    std::fprintf(stderr, "unexpected reply code 0x%02X\n", reply->reply_code);
    return false;
  }
  *out = *reply;
  return true;
}

bool ParseUnsigned(const wchar_t* text, uint32_t* value) {
  const std::optional<uint32_t> parsed = simcom::ParseNumber(text);
  if (!parsed) return false;
  *value = *parsed;
  return true;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Each argument is a run of hex digit pairs, optionally led by 0x.
bool ParseHexBytes(int count, wchar_t** args, std::vector<uint8_t>* bytes) {
  for (int i = 0; i < count; ++i) {
    const wchar_t* p = args[i];
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) p += 2;
    const size_t digits = std::wcslen(p);
    if (digits == 0 || digits % 2 != 0) return false;
    for (size_t d = 0; d < digits; d += 2) {
      const int high = HexDigit(p[d]);
      const int low = HexDigit(p[d + 1]);
      if (high < 0 || low < 0) return false;
      bytes->push_back(static_cast<uint8_t>(high * 16 + low));
    }
  }
  return bytes->size() <= kMostRawBytes;
}

int SubscribeOrUnsubscribe(uint8_t command, const wchar_t* pid_text) {
  uint32_t pid = 0;
  if (!ParseUnsigned(pid_text, &pid)) return Usage();
  SubscriptionReply reply;
  if (!Transact(command, pid, kSubscriptionProcessIdPayload, &reply)) return kExitIoFailure;
  Line("result=0x%08X", static_cast<unsigned>(reply.result));
  return kExitOk;
}

bool ReadLastCode(SubscriptionReply* reply) {
  return Transact(kReadLastCodeCommand, 0, 0, reply);
}

int Last() {
  SubscriptionReply reply;
  if (!ReadLastCode(&reply)) return kExitIoFailure;
  Line("code=%u result=0x%08X", static_cast<unsigned>(reply.last_code),
       static_cast<unsigned>(reply.result));
  return kExitOk;
}

int Raw(int count, wchar_t** args) {
  std::vector<uint8_t> request;
  if (!ParseHexBytes(count, args, &request)) return Usage();
  std::vector<uint8_t> reply;
  if (!RawExchange(kSubscriptionPipeNameFormat, request.data(), request.size(), nullptr,
                   &reply)) {
    return kExitIoFailure;
  }
  std::printf("bytes=");
  for (size_t i = 0; i < reply.size(); ++i) std::printf(i == 0 ? "%02X" : ",%02X", reply[i]);
  std::printf("\n");
  Line("length=%u", static_cast<unsigned>(reply.size()));
  return kExitOk;
}

UniqueHandle OpenOrCreateEvent(const wchar_t* format, uint32_t pid) {
  wchar_t name[kObjectNameSize];
  FormatBounded(name, kObjectNameSize, format, pid);
  return UniqueHandle(CreateEventW(nullptr, FALSE, FALSE, name));
}

int Watch(const wchar_t* seconds_text) {
  uint32_t seconds = 0;
  const bool bounded = seconds_text != nullptr;
  if (bounded && !ParseUnsigned(seconds_text, &seconds)) return Usage();
  const uint32_t pid = GetCurrentProcessId();

  // The events are opened before subscribing so that no wake-up is missed in between; the
  // service opens the same ones.
  UniqueHandle wake = OpenOrCreateEvent(kWakeEventNameFormat, pid);
  UniqueHandle removal = OpenOrCreateEvent(kRemovalEventNameFormat, pid);
  if (!wake || !removal) {
    Fail("cannot open the subscriber events");
    return kExitIoFailure;
  }

  SubscriptionReply reply;
  if (!Transact(kSubscribeCommand, pid, kSubscriptionProcessIdPayload, &reply)) {
    return kExitIoFailure;
  }
  Line("subscribed pid=%u result=0x%08X", static_cast<unsigned>(pid),
       static_cast<unsigned>(reply.result));
  if (reply.result != kSubscriptionResultDone && reply.result != kSubscriptionResultEvicted &&
      reply.result != kSubscriptionResultAlready) {
    Line("not subscribed");
    return kExitOk;
  }

  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  const HANDLE events[2] = {wake.get(), removal.get()};
  for (;;) {
    DWORD timeout = INFINITE;
    if (bounded) {
      const ULONGLONG now = GetTickCount64();
      timeout = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    const DWORD signalled = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (signalled == WAIT_OBJECT_0) {
      SubscriptionReply code;
      if (ReadLastCode(&code)) {
        Line("event code=%u", static_cast<unsigned>(code.last_code));
      } else {
        std::fputs("woken, but the code could not be read\n", stderr);
        std::fflush(stderr);
      }
    } else if (signalled == WAIT_OBJECT_0 + 1) {
      Line("removed");
      return kExitOk;
    } else if (signalled == WAIT_TIMEOUT) {
      if (!Transact(kUnsubscribeCommand, pid, kSubscriptionProcessIdPayload, &reply)) {
        return kExitIoFailure;
      }
      Line("unsubscribed result=0x%08X", static_cast<unsigned>(reply.result));
      return kExitOk;
    } else {
      Fail("cannot wait for the subscriber events");
      return kExitIoFailure;
    }
  }
}

// One AV-command request, in one write or, with `split_at`, in two: prints the reply code,
// the result, the data length field, and the data block that came (its first 16 bytes in
// hex, and how many there were).
int AvRequest(const std::vector<uint8_t>& request, size_t split_at = 0, DWORD pause_ms = 0) {
  std::vector<uint8_t> reply;
  const bool ok =
      split_at == 0
          ? Exchange(kAvCommandPipeNameFormat, request.data(), request.size(), AvReplyLength,
                     &reply)
          : RawExchange(kAvCommandPipeNameFormat, request.data(), request.size(), AvReplyLength,
                        &reply, split_at, pause_ms);
  if (!ok) return kExitIoFailure;
  const auto header = DecodeAvReplyHeader(reply.data(), reply.size());
  if (!header) {
    Fail("short reply");
    return kExitIoFailure;
  }
  std::string data;
  for (size_t i = kAvHeaderSize; i < reply.size() && i < kAvHeaderSize + 16; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof(hex), i == kAvHeaderSize ? "%02X" : ",%02X", reply[i]);
    data += hex;
  }
  Line("reply=0x%02X result=0x%08X length=%u data_bytes=%u data=%s", header->reply_code,
       header->result, header->data_length, static_cast<unsigned>(reply.size() - kAvHeaderSize),
       data.empty() ? "-" : data.c_str());
  return kExitOk;
}

int Av(int argc, wchar_t** argv) {
  if (argc < 1) return Usage();
  const std::wstring what = argv[0];
  const unsigned long value = argc > 1 ? std::wcstoul(argv[1], nullptr, 0) : 0;
  if (what == L"query" && argc <= 2) {
    // An optional data length shows how the whole block comes back.
    return AvRequest(EncodeAvRequest(kAvQueryOperation, 0,
                                     static_cast<uint16_t>(argc == 2 ? value : 2)));
  }
  if ((what == L"hotkey" || what == L"set") && argc == 2) {
    return AvRequest(EncodeAvRequest(
        what == L"hotkey" ? kAvHotkeyVolumeOperation : kAvSetVolumeOperation,
        static_cast<uint8_t>(value)));
  }
  if (what == L"split" && argc == 2) {
    // A query of 8 data bytes whose last 6 (0xAB each) follow `pause` ms after the rest.
    std::vector<uint8_t> request = EncodeAvRequest(kAvQueryOperation, 0, 8);
    for (size_t i = kAvHeaderSize + 2; i < request.size(); ++i) request[i] = 0xAB;
    return AvRequest(request, kAvHeaderSize + 2, static_cast<DWORD>(value));
  }
  if (what == L"late" && argc == 2) {
    // Hotkey volume 30 whose whole data block follows `pause` ms after the header.
    return AvRequest(EncodeAvRequest(kAvHotkeyVolumeOperation, 30), kAvHeaderSize,
                     static_cast<DWORD>(value));
  }
  if (what == L"raw") {
    std::vector<uint8_t> request;
    for (int i = 1; i < argc; ++i) {
      request.push_back(static_cast<uint8_t>(std::wcstoul(argv[i], nullptr, 16)));
    }
    return AvRequest(request);
  }
  return Usage();
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  using namespace halvaro;
  if (argc < 2) return Usage();
  const wchar_t* command = argv[1];
  if (std::wcscmp(command, L"subscribe") == 0 && argc == 3) {
    return SubscribeOrUnsubscribe(kSubscribeCommand, argv[2]);
  }
  if (std::wcscmp(command, L"unsubscribe") == 0 && argc == 3) {
    return SubscribeOrUnsubscribe(kUnsubscribeCommand, argv[2]);
  }
  if (std::wcscmp(command, L"last") == 0 && argc == 2) return Last();
  if (std::wcscmp(command, L"raw") == 0) return Raw(argc - 2, argv + 2);
  if (std::wcscmp(command, L"av") == 0) return Av(argc - 2, argv + 2);
  if (std::wcscmp(command, L"mutexes") == 0 && argc == 2) return PrintServiceMutexes();
  if (std::wcscmp(command, L"dacl") == 0 && argc == 3) return PrintPipeDacl(argv[2]);
  if (std::wcscmp(command, L"watch") == 0 && argc <= 3) {
    return Watch(argc == 3 ? argv[2] : nullptr);
  }
  return Usage();
}
