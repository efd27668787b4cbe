// Drives a VolumeMonitor in a process of its own, for the system tests: prints key=value
// lines, one per line, flushed.
//
//   VolumeDriver.exe info                 kind, watcher, bounds, volume, muted
//   VolumeDriver.exe set <raw>...         SetVolume of each, 100 ms apart, then the volume and
//                                         mute read back
//   VolumeDriver.exe unmute               Unmute, then the mute read back
//   VolumeDriver.exe watch <seconds>      installs a change callback and prints
//                                         "callback volume=<raw> muted=<0|1>" per call
//   VolumeDriver.exe unset <seconds>      installs a callback, removes it, waits, prints calls
//   VolumeDriver.exe churn <seconds>      sets the volume in a tight loop (another process's
//                                         changes, for the lifetime test)
//   VolumeDriver.exe lifetime <rounds>    creates and destroys monitors with a callback
//                                         installed; prints late_calls (calls after a
//                                         destruction returned) and the thread count before
//                                         and after
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <cstdarg>
#include <cstdlib>

#include "common/com_apartment.h"
#include "common/unique_resource.h"
#include "tests/support/process_threads.h"
#include "volume/volume_monitor.h"

namespace halvaro {
namespace {

VolumeMonitor* g_monitor = nullptr;
std::atomic<uint32_t> g_calls{0};
std::atomic<bool> g_live{false};
std::atomic<uint32_t> g_late_calls{0};

void Line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

uint32_t PrintCall(uint32_t volume, uint32_t) {
  ++g_calls;
  Line("callback volume=%u muted=%u", volume, g_monitor ? g_monitor->IsMuted() : 0);
  return 0;
}

uint32_t CountCall(uint32_t, uint32_t) {
  if (!g_live) ++g_late_calls;
  ++g_calls;
  return 0;
}

int Run(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const wchar_t* command = argv[1];
  const unsigned long argument = argc > 2 ? std::wcstoul(argv[2], nullptr, 0) : 0;

  if (std::wcscmp(command, L"lifetime") == 0) {
    // The platform's audio and COM libraries keep threads of their own once loaded; a first
    // monitor loads them before the count.
    { VolumeMonitor warm_up; }
    const size_t before = ThreadsOfThisProcess();
    for (unsigned long round = 0; round < argument; ++round) {
      auto monitor = std::make_unique<VolumeMonitor>();
      g_live = true;
      monitor->SetChangeCallback(CountCall, round);
      Sleep(round % 8 * 180);  // some live through a re-opening after a device change
      monitor.reset();
      g_live = false;  // from here on a call would come from a destroyed monitor
    }
    Sleep(300);  // a call that was still queued would arrive now
    Line("rounds=%lu calls=%u late_calls=%u threads_before=%u threads_after=%u", argument,
         g_calls.load(), g_late_calls.load(), static_cast<unsigned>(before),
         static_cast<unsigned>(ThreadsOfThisProcess()));
    return 0;
  }

  VolumeMonitor monitor;
  g_monitor = &monitor;
  if (std::wcscmp(command, L"info") == 0) {
    const VolumeBounds bounds = monitor.GetVolumeBounds();
    Line("kind=%u watcher=%d min=%u max=%u volume=%u muted=%u", monitor.kind(),
         monitor.has_device_watcher() ? 1 : 0, bounds.minimum, bounds.maximum,
         monitor.GetVolume(), monitor.IsMuted());
  } else if (std::wcscmp(command, L"set") == 0 && argc > 2) {
    for (int i = 2; i < argc; ++i) {
      if (i > 2) Sleep(100);
      monitor.SetVolume(static_cast<uint32_t>(std::wcstoul(argv[i], nullptr, 0)));
    }
    Line("volume=%u muted=%u", monitor.GetVolume(), monitor.IsMuted());
  } else if (std::wcscmp(command, L"unmute") == 0) {
    monitor.Unmute();
    Line("muted=%u", monitor.IsMuted());
  } else if (std::wcscmp(command, L"watch") == 0 && argc > 2) {
    monitor.SetChangeCallback(PrintCall, 0);
    Line("watching kind=%u", monitor.kind());
    Sleep(static_cast<DWORD>(argument * 1000));
    monitor.SetChangeCallback(nullptr, 0);
    Line("calls=%u", g_calls.load());
  } else if (std::wcscmp(command, L"churn") == 0 && argc > 2) {
    const ULONGLONG end = GetTickCount64() + argument * 1000;
    uint32_t sets = 0;
    while (GetTickCount64() < end) monitor.SetVolume(++sets % 2 ? 20000 : 40000);
    Line("sets=%u", sets);
  } else if (std::wcscmp(command, L"unset") == 0 && argc > 2) {
    monitor.SetChangeCallback(PrintCall, 0);
    monitor.SetChangeCallback(nullptr, 0);
    Line("unset");
    Sleep(static_cast<DWORD>(argument * 1000));
    Line("calls=%u", g_calls.load());
  } else {
    return 2;
  }
  g_monitor = nullptr;
  return 0;
}

}  // namespace
}  // namespace halvaro

int wmain(int argc, wchar_t** argv) {
  halvaro::ComApartment apartment;  // the monitor's callers are in the multithreaded apartment
  return halvaro::Run(argc, argv);
}
