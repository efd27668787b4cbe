// A volume change made by another process until the change callback runs here: through the
// VolumeMonitor, against a bare callback registered on the same endpoint (no monitor), in
// the same run. The changes come from a child copy of this program that sets the level each
// time the parent asks through a pipe.
//
//   VolumeBench.exe <rounds>     prints monitor_median_ms, bare_median_ms and the ratio
//   VolumeBench.exe changer      (the child) reads one byte per change from stdin
#include <windows.h>
#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/endpoint_baseline.h"
#include "common/com_apartment.h"
#include "common/unique_resource.h"
#include "volume/volume_monitor.h"

namespace halvaro {
namespace {

using Microsoft::WRL::ComPtr;

HANDLE g_called = nullptr;

uint32_t OnMonitorChange(uint32_t, uint32_t) {
  SetEvent(g_called);
  return 0;
}

int Changer() {
  ComPtr<IAudioEndpointVolume> volume = DefaultEndpoint();
  if (!volume) return 1;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  uint8_t level = 0;
  DWORD read = 0;
  while (ReadFile(in, &level, 1, &read, nullptr) && read == 1) {
    volume->SetMasterVolumeLevelScalar(level / 100.0f, nullptr);
  }
  return 0;
}

struct Child {
  UniqueHandle process;
  UniqueHandle input;
};

Child StartChanger() {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  CreatePipe(&read_end, &write_end, &inherit, 0);
  UniqueHandle reader(read_end);
  Child child;
  child.input.reset(write_end);
  SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" changer";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = reader.get();
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(path, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &info)) {
    CloseHandle(info.hThread);
    child.process.reset(info.hProcess);
  }
  return child;
}

// Milliseconds from asking the child for a change until the callback set g_called, one
// sample per change.
void Sample(Child& child, int rounds, std::vector<double>* samples) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int i = 0; i < rounds; ++i) {
    ResetEvent(g_called);
    const uint8_t level = static_cast<uint8_t>(10 + i % 80);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    DWORD written = 0;
    WriteFile(child.input.get(), &level, 1, &written, nullptr);
    if (WaitForSingleObject(g_called, 5000) != WAIT_OBJECT_0) continue;
    QueryPerformanceCounter(&end);
    if (samples) samples->push_back((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
    Sleep(5);  // lets the notification of this change be over before the next
  }
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return -1;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

int Measure(int rounds) {
  UniqueHandle called(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  g_called = called.get();
  Child child = StartChanger();
  if (!child.process) return 1;
  ComPtr<IAudioEndpointVolume> volume = DefaultEndpoint();
  if (!volume) return 1;
  // Blocks of each kind alternate, so that a drift of the machine weighs on both alike.
  constexpr int kBlocks = 6;
  std::vector<double> bare, monitored;
  BareCallback callback([] { SetEvent(g_called); });
  for (int block = 0; block < kBlocks; ++block) {
    volume->RegisterControlChangeNotify(&callback);
    Sample(child, block == 0 ? 10 : 0, nullptr);  // warms up the child and the path
    Sample(child, rounds / kBlocks, &bare);
    volume->UnregisterControlChangeNotify(&callback);

    VolumeMonitor monitor;
    monitor.SetChangeCallback(OnMonitorChange, 0);
    Sample(child, rounds / kBlocks, &monitored);
  }
  child.input.reset();  // the child ends at the end of its input
  WaitForSingleObject(child.process.get(), 5000);
  const double bare_ms = Median(bare), monitor_ms = Median(monitored);
  std::printf("rounds=%d monitor_median_ms=%.3f bare_median_ms=%.3f ratio=%.3f\n", rounds,
              monitor_ms, bare_ms, monitor_ms / bare_ms);
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  halvaro::ComApartment apartment;
  if (argc >= 2 && std::wcscmp(argv[1], L"changer") == 0) return halvaro::Changer();
  if (argc >= 2) return halvaro::Measure(_wtoi(argv[1]));
  return 2;
}
