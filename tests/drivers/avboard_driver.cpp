// Drives the AV-board link and commands from the command line, so that the system tests can
// run them against the simulated board at the far end of a real COM port:
//
//   AvBoardDriver.exe <port> <baud> query | hotkey N | volume N | disc N
//   AvBoardDriver.exe <port> <baud> open-retry | timeouts | reopen | closed | flood T N
//
// Prints key=value lines.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "avboard/av_commands.h"
#include "avboard/serial_link.h"
#include "common/joinable_thread.h"

namespace halvaro {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

uint32_t RunCommand(SerialLink& link, const std::wstring& name, uint32_t value) {
  if (name == L"query") return QueryBoard(link);
  if (name == L"hotkey") return SendHotkeyVolume(link, value);
  if (name == L"volume") return SendVolume(link, value);
  if (name == L"disc") return SendDiscState(link, static_cast<uint8_t>(value));
  return 0xDEAD;
}

void PrintTimeouts(const char* key, HANDLE port) {
  COMMTIMEOUTS t = {};
  GetCommTimeouts(port, &t);
  std::printf("%s=%lu,%lu,%lu,%lu,%lu\n", key, t.ReadIntervalTimeout,
              t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
              t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
}

void PrintAllCommands(SerialLink& link) {
  for (const wchar_t* name : {L"query", L"hotkey", L"volume", L"disc"}) {
    const auto start = Clock::now();
    const uint32_t result = RunCommand(link, name, 1);
    std::printf("%ls=%u elapsed_ms=%.1f\n", name, result, MsSince(start));
  }
  uint8_t reply[2] = {0x55, 0x55};
  std::printf("write=%lu read=%lu\n", SerialWrite(&link, reply, 2), SerialReadReply(&link, reply));
}

int Run(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  SerialLink link;
  link.port_number = static_cast<int32_t>(std::wcstol(argv[1], nullptr, 10));
  link.baud_rate = std::wcstoul(argv[2], nullptr, 10);
  const std::wstring command = argv[3];
  const uint32_t value = argc > 4 ? std::wcstoul(argv[4], nullptr, 0) : 0;

  if (command == L"closed") {
    PrintAllCommands(link);
    return 0;
  }
  const auto open_start = Clock::now();
  const uint32_t opened = OpenSerialLinkWithRetry(link);
  std::printf("open=%u open_ms=%.1f\n", opened, MsSince(open_start));

  if (command == L"open-retry") {
    PrintAllCommands(link);
  } else if (command == L"timeouts") {
    COMMTIMEOUTS foreign = {7, 3, 55, 4, 66};  // as another program might leave them
    SetCommTimeouts(link.handle.get(), &foreign);
    PrintTimeouts("before", link.handle.get());
    const uint8_t byte = 0x00;
    SerialWrite(&link, &byte, 1);
    PrintTimeouts("after_write", link.handle.get());
    uint8_t reply[2];
    SerialReadReply(&link, reply);
    PrintTimeouts("after_read", link.handle.get());
  } else if (command == L"reopen") {
    // The port is opened exclusively: this only succeeds if the open port is closed first.
    std::printf("reopen=%u\n", OpenSerialLinkWithRetry(link));
    CloseSerialLink(link);
    CloseSerialLink(link);
    std::printf("closed_open_flag=%u\n", link.open() ? 1u : 0u);
    PrintAllCommands(link);
  } else if (command == L"flood") {
    const int threads = static_cast<int>(value);
    const int per_thread = argc > 5 ? static_cast<int>(std::wcstol(argv[5], nullptr, 10)) : 10;
    std::atomic<int> acks{0};
    std::vector<halvaro::JoinableThread> senders;
    for (int t = 0; t < threads; ++t) {
      senders.emplace_back([&link, &acks, t, per_thread] {
        for (int i = 0; i < per_thread; ++i) {
          uint32_t r = 0;
          switch ((t + i) % 4) {
            case 0: r = QueryBoard(link); break;
            case 1: r = SendHotkeyVolume(link, static_cast<uint32_t>(t * 10 + i)); break;
            case 2: r = SendVolume(link, static_cast<uint32_t>(i)); break;
            default: r = SendDiscState(link, static_cast<uint8_t>(i & 1)); break;
          }
          acks += static_cast<int>(r);
        }
      });
    }
    for (auto& sender : senders) sender.join();
    std::printf("acks=%d total=%d\n", acks.load(), threads * per_thread);
  } else {
    const auto start = Clock::now();
    const uint32_t result = RunCommand(link, command, value);
    if (result == 0xDEAD) return 2;
    std::printf("result=%u elapsed_ms=%.1f\n", result, MsSince(start));
  }
  CloseSerialLink(link);
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  const int code = halvaro::Run(argc, argv);
  if (code == 2) std::fputs("usage: AvBoardDriver.exe <port> <baud> <command> [args]\n", stderr);
  std::fflush(stdout);
  return code;
}
