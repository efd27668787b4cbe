// Times Set volume exchanges against the bare line transfer of the same six bytes (four out,
// two back) on the same port in the same run.
//
//   AvBoardBench.exe <port> <baud> <rounds>     prints median milliseconds of each
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "avboard/av_commands.h"
#include "avboard/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

template <typename Body>
std::vector<double> Time(int rounds, Body body) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    body(i);
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return samples;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace halvaro;
  if (argc < 4) {
    std::fputs("usage: AvBoardBench.exe <port> <baud> <rounds>\n", stderr);
    return 2;
  }
  SerialLink link;
  link.port_number = static_cast<int32_t>(std::wcstol(argv[1], nullptr, 10));
  link.baud_rate = std::wcstoul(argv[2], nullptr, 10);
  const int rounds = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
  if (!OpenSerialLinkWithRetry(link)) {
    std::puts("open=0");
    return 1;
  }
  int acks = 0;
  // Warm up, and let the first exchange set the port's time-outs.
  for (int i = 0; i < 5; ++i) acks += static_cast<int>(SendVolume(link, 50));

  const AvFrame frame = SetVolumeFrame(50);
  const std::vector<double> raw = Time(rounds, [&](int) {
    uint8_t reply[2];
    DWORD done = 0;
    HANDLE port = link.handle.get();
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    WriteFile(port, frame.bytes, 4, &done, nullptr);
    ReadFile(port, reply, 2, &done, nullptr);
  });
  const std::vector<double> exchange =
      Time(rounds, [&](int i) { acks += static_cast<int>(SendVolume(link, i % 101)); });

  std::printf("rounds=%d acks=%d raw_median_ms=%.3f exchange_median_ms=%.3f\n", rounds, acks,
              Median(raw), Median(exchange));
  CloseSerialLink(link);
  return 0;
}
