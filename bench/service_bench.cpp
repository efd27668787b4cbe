// The hand of bench/service_bench.py on the simulated machine. The script reads the board's
// frames with its own clock; this program takes the moments of what it does with
// QueryPerformanceCounter, printed as seconds, and "clock" lets the script map one onto the
// other. One request a line on stdin, one answer a line on stdout.
//
//   ServiceBench.exe               requests:
//     clock                        now=<s>
//     subscribe                    result=<hex>: this process on the subscription pipe
//     wake <code>                  press a code and wait for the wake-up: ms=<press to wake>
//     press <code>                 at=<s>, taken just before the press
//     level <percent>              at=<s>, taken just before the endpoint's level is set
//     mixer <raw>                  at=<s>, taken just before the simulated mixer's volume is
//                                  set and its windows are told, as the driver would
//     burst <count> <ms> <from> <to>  count changes spread over ms, a ramp of levels from
//                                  one percentage to the other (every change a new level,
//                                  only the last one at `to`): first=<s> last=<s> percent=<to>
//     av <rounds> <op> <percent>   an operation (0 query, 2 Set volume) through the
//                                  AV-command pipe, one connection a round:
//                                  ms=<round trips> failed=<n>
//     echo <rounds> <threaded>     operation 0 the same way through a plain server in this
//                                  program (1: a thread per connection): ms=<..> failed=<n>
//     bare <port> <baud> <rounds>  the Set volume exchange on the port itself, written and
//                                  read bare and through SendVolume in turn:
//                                  ms=<bare> send_ms=<SendVolume> acks=<n>
//   ServiceBench.exe watch         a bare callback on the endpoint; notified=<s> per call,
//                                  until stdin ends
#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "avboard/av_commands.h"
#include "avboard/av_frames.h"
#include "avboard/serial_link.h"
#include "common/av_command_message.h"
#include "common/bounded_format.h"
#include "bench/endpoint_baseline.h"
#include "common/com_apartment.h"
#include "common/joinable_thread.h"
#include "common/object_names.h"
#include "common/pipe_client.h"
#include "common/subscription_message.h"
#include "common/unique_resource.h"
#include "sim/mixer/notify.h"
#include "sim/mixer/shared_state.h"
#include "sim/wmi/shared_state.h"

namespace halvaro {
namespace {

using Microsoft::WRL::ComPtr;

// Between two exchanges, so that each finds the line and the board idle.
constexpr DWORD kExchangeGapMs = 20;
constexpr DWORD kConnectMs = 5000;
// A volume operation may wait for the board: up to 10 sends with 1 s each for its answer.
constexpr DWORD kReplyMs = 15000;

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

void Answer(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Answer(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Join(const std::vector<double>& samples) {
  std::string text;
  char one[32];
  for (double sample : samples) {
    std::snprintf(one, sizeof(one), text.empty() ? "%.4f" : ",%.4f", sample);
    text += one;
  }
  return text.empty() ? "-" : text;
}

// The level whose raw volume reads back as exactly `percent`, as the tests set it.
float LevelOfPercent(unsigned percent) {
  return static_cast<float>((65535u * percent / 100u) / 65535.0);
}

// One connection, as a client program makes it: connect, request, the whole reply.
bool RoundTrip(const wchar_t* name, const uint8_t* request, size_t length,
               ReplyLengthFunction reply_length, std::vector<uint8_t>* reply) {
  PipeClient client({kConnectMs, /*absent_ms=*/kConnectMs, kReplyMs});
  return client.Ask(name, request, length, reply_length, reply) == PipeOutcome::kDone;
}

class Hand {
 public:
  Hand() : firmware_(simwmi::SharedState::Open()), volume_(DefaultEndpoint()) {}

  void Serve() {
    char line[256];
    while (std::fgets(line, sizeof(line), stdin)) {
      char verb[32] = {};
      int a = 0, b = 0, c = 0, d = 0;
      const int fields = std::sscanf(line, "%31s %i %i %i %i", verb, &a, &b, &c, &d) - 1;
      const std::string request(verb);
      if (request == "clock") {
        Answer("now=%.7f", Now());
      } else if (request == "subscribe") {
        Subscribe();
      } else if (request == "wake" && fields == 1) {
        Wake(a);
      } else if (request == "press" && fields == 1) {
        Press(a);
      } else if (request == "level" && fields == 1) {
        Level(a);
      } else if (request == "mixer" && fields == 1) {
        Mixer(static_cast<uint32_t>(a));
      } else if (request == "burst" && fields == 4) {
        Burst(a, b, c, d);
      } else if (request == "av" && fields == 3) {
        Av(a, b, c);
      } else if (request == "echo" && fields == 2) {
        Echo(a, b != 0);
      } else if (request == "bare" && fields == 3) {
        Bare(a, b, c);
      } else {
        Answer("error=usage");
      }
    }
  }

 private:
  void Subscribe() {
    const uint32_t pid = GetCurrentProcessId();
    wchar_t name[kObjectNameSize];
    FormatBounded(name, kObjectNameSize, kWakeEventNameFormat, pid);
    if (!wake_) wake_.reset(CreateEventW(nullptr, FALSE, FALSE, name));
    wchar_t pipe[kPipeNameSize];
    FormatBounded(pipe, kPipeNameSize, kSubscriptionPipeNameFormat, 0);
    const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(kSubscribeCommand, pid);
    std::vector<uint8_t> reply;
    const bool ok =
        RoundTrip(pipe, request.bytes, request.length, SubscriptionReplyLength, &reply);
    const auto decoded = DecodeSubscriptionReply(reply.data(), reply.size());
    Answer("result=0x%08X", ok && decoded ? static_cast<unsigned>(decoded->result) : 0xFFFFFFFFu);
  }

  void Wake(unsigned code) {
    if (!firmware_ || !wake_) return Answer("error=not-ready");
    ResetEvent(wake_.get());
    const double pressed = Now();
    firmware_->Press(code);
    const bool woke = WaitForSingleObject(wake_.get(), 5000) == WAIT_OBJECT_0;
    const double woken = Now();
    if (!woke) return Answer("error=no-wake");
    Answer("ms=%.4f", (woken - pressed) * 1000.0);
  }

  void Press(unsigned code) {
    if (!firmware_) return Answer("error=no-firmware");
    const double at = Now();
    firmware_->Press(code);
    Answer("at=%.7f", at);
  }

  void Level(unsigned percent) {
    if (!volume_) return Answer("error=no-endpoint");
    const float level = LevelOfPercent(percent);
    const double at = Now();
    volume_->SetMasterVolumeLevelScalar(level, nullptr);
    Answer("at=%.7f", at);
  }

  void Mixer(uint32_t raw) {
    if (!mixer_) mixer_ = simmixer::SharedState::Open();
    if (!mixer_) return Answer("error=no-mixer");
    const double at = Now();
    mixer_->Locked([raw](simmixer::StateRecord& record) { record.volume = raw; });
    simmixer::NotifyControlChange(*mixer_, simmixer::kVolumeControlId);
    Answer("at=%.7f", at);
  }

  // Changes due at an even pace; a late wake-up makes the next ones go at once. Sleep(1)
  // rather than a spin: the service needs the machine's other core meanwhile.
  void Burst(unsigned count, unsigned span_ms, unsigned from, unsigned to) {
    if (!volume_ || count < 3) return Answer("error=no-endpoint");
    const double start = Now();
    double first = 0, last = 0;
    for (unsigned i = 0; i < count; ++i) {
      const double due = start + span_ms / 1000.0 * i / count;
      while (Now() < due) Sleep(1);
      // The ramp stops one short, so that only the last change reads as `to`.
      const double percent =
          i + 1 == count ? to : from + (to - 1.0 - from) * i / (count - 2);
      const unsigned raw = static_cast<unsigned>(65535.0 * percent / 100.0);
      last = Now();
      if (i == 0) first = last;
      volume_->SetMasterVolumeLevelScalar(static_cast<float>(raw / 65535.0), nullptr);
    }
    Answer("first=%.7f last=%.7f percent=%u", first, last, to);
  }

  void Av(unsigned rounds, unsigned operation, unsigned percent) {
    wchar_t name[kPipeNameSize];
    FormatBounded(name, kPipeNameSize, kAvCommandPipeNameFormat, 0);
    TimeRoundTrips(name, rounds, operation, percent);
  }

  // The floor under the service's pipe: a plain synchronous server on a pipe of its own,
  // one instance at a time, answering a query as the service does (header, then data);
  // `threaded` serves each connection on a thread of its own, as the service does.
  void Echo(unsigned rounds, bool threaded) {
    static constexpr wchar_t kEchoPipe[] = L"\\\\.\\pipe\\HalvaroServiceBenchEcho";
    halvaro::JoinableThread server([rounds, threaded] {
      std::vector<halvaro::JoinableThread> served;
      for (unsigned i = 0; i < rounds; ++i) {
        auto pipe = std::make_shared<UniqueHandle>(CreateNamedPipeW(
            kEchoPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT,
            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 150, nullptr));
        if (!*pipe) return;
        if (!ConnectNamedPipe(pipe->get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
          continue;
        }
        auto serve = [pipe] {
          uint8_t message[kAvHeaderSize + 2] = {};
          DWORD done = 0;
          ReadFile(pipe->get(), message, kAvHeaderSize, &done, nullptr);
          ReadFile(pipe->get(), message + kAvHeaderSize, 2, &done, nullptr);
          message[kAvHeaderSize + 1] = 1;
          const size_t data = BuildAvReplyHeader(message, kAvResultDone);
          WriteFile(pipe->get(), message, kAvHeaderSize, &done, nullptr);
          WriteFile(pipe->get(), message + kAvHeaderSize, static_cast<DWORD>(data), &done,
                    nullptr);
          FlushFileBuffers(pipe->get());
          DisconnectNamedPipe(pipe->get());
        };
        if (threaded) {
          served.emplace_back(serve);
        } else {
          serve();
        }
      }
      for (halvaro::JoinableThread& thread : served) thread.join();
    });
    TimeRoundTrips(kEchoPipe, rounds, kAvQueryOperation, 0);
    server.join();
  }

  // One connection a round, as a client program makes it: connect, request, whole reply.
  void TimeRoundTrips(const wchar_t* name, unsigned rounds, unsigned operation,
                      unsigned percent) {
    const std::vector<uint8_t> request = EncodeAvRequest(static_cast<uint8_t>(operation),
                                                         static_cast<uint8_t>(percent));
    std::vector<double> samples;
    unsigned failed = 0;
    for (unsigned i = 0; i < rounds; ++i) {
      Sleep(kExchangeGapMs);
      std::vector<uint8_t> reply;
      const double start = Now();
      const bool ok = RoundTrip(name, request.data(), request.size(), AvReplyLength, &reply);
      const double end = Now();
      const auto header = DecodeAvReplyHeader(reply.data(), reply.size());
      if (!ok || reply.size() != kAvHeaderSize + 2 || !header ||
          header->result != kAvResultDone) {
        ++failed;
        continue;
      }
      samples.push_back((end - start) * 1000.0);
    }
    Answer("ms=%s failed=%u", Join(samples).c_str(), failed);
  }

  // As the service's exchange, without the service: purge, four bytes out, two back.
  void Bare(unsigned port, unsigned baud, unsigned rounds) {
    SerialLink link;
    link.port_number = static_cast<int32_t>(port);
    link.baud_rate = baud;
    if (!OpenSerialLinkWithRetry(link)) return Answer("error=no-port");
    unsigned acks = 0;
    for (int i = 0; i < 3; ++i) acks += SendVolume(link, 50);  // sets the port's time-outs
    const AvFrame frame = SetVolumeFrame(50);
    std::vector<double> bare, send;
    for (unsigned i = 0; i < rounds; ++i) {
      Sleep(kExchangeGapMs);
      uint8_t reply[2] = {};
      DWORD written = 0, read = 0;
      HANDLE handle = link.handle.get();
      double start = Now();
      PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
      WriteFile(handle, frame.bytes, 4, &written, nullptr);
      ReadFile(handle, reply, 2, &read, nullptr);
      bare.push_back((Now() - start) * 1000.0);
      if (read == 2 && reply[0] == 0xF0 && reply[1] == 0x0F) ++acks;

      Sleep(kExchangeGapMs);
      start = Now();
      acks += SendVolume(link, 50);
      send.push_back((Now() - start) * 1000.0);
    }
    CloseSerialLink(link);
    Answer("ms=%s send_ms=%s acks=%u", Join(bare).c_str(), Join(send).c_str(), acks);
  }

  std::optional<simwmi::SharedState> firmware_;
  std::optional<simmixer::SharedState> mixer_;
  ComPtr<IAudioEndpointVolume> volume_;
  UniqueHandle wake_;
};

int Watch() {
  ComPtr<IAudioEndpointVolume> volume = DefaultEndpoint();
  BareCallback callback([] { Answer("notified=%.7f", Now()); });
  if (!volume || FAILED(volume->RegisterControlChangeNotify(&callback))) {
    Answer("watching=0");
    return 1;
  }
  Answer("watching=1");
  char drain[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), drain, sizeof(drain), &read, nullptr) && read) {
  }
  volume->UnregisterControlChangeNotify(&callback);
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  halvaro::ComApartment apartment;
  if (argc >= 2 && std::wcscmp(argv[1], L"watch") == 0) return halvaro::Watch();
  halvaro::Hand hand;
  hand.Serve();
  return 0;
}
