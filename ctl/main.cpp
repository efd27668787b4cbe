// HalvaroCtl.exe: a console program for support engineers and OEM developers that looks at
// the service "Orva WMI Service" on this machine through the same names and messages that
// its client programs use: `status`, `watch`, `volume`, `hotkey-volume` (see --help).
//
// Threading: everything runs on the main thread, apart from the console's control handler
// (ctl/interrupt.h).
#include <exception>
#include <string>

#include "ctl/arguments.h"
#include "ctl/commands.h"
#include "ctl/ctl_output.h"
#include "ctl/exit_codes.h"

namespace halvaro::ctl {

namespace {

int Run(int argc, wchar_t** argv) {
  std::string error;
  const std::optional<Arguments> args = ParseArguments(argc, argv, &error);
  if (!args) {
    PrintError(error + " (HalvaroCtl --help lists the commands)");
    return kExitUsage;
  }
  if (args->help) {
    PrintUsage(args->command);
    return kExitOk;
  }
  switch (args->command) {
    case Command::kStatus: return RunStatus(*args);
    case Command::kWatch: return RunWatch(*args);
    case Command::kVolume:
    case Command::kHotkeyVolume: return RunVolume(*args);
    case Command::kNone: break;
  }
  return kExitUsage;
}

}  // namespace

}  // namespace halvaro::ctl

int wmain(int argc, wchar_t** argv) {
  try {
    return halvaro::ctl::Run(argc, argv);
  } catch (const std::exception& e) {
    halvaro::ctl::PrintError(std::string("failed: ") + e.what());
  } catch (...) {
    halvaro::ctl::PrintError("failed");
  }
  return halvaro::ctl::kExitFailure;
}
