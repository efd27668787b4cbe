// The help texts. The exit codes here, in ctl/exit_codes.h and in README.md agree.
#include <cstdio>

#include "ctl/commands.h"

namespace halvaro::ctl {

namespace {

constexpr char kProgramUsage[] =
    "usage: HalvaroCtl [--json] <command> [arguments]\n"
    "       HalvaroCtl <command> --help\n"
    "\n"
    "Looks at the service \"Orva WMI Service\" (Halvaro.exe) on this machine.\n"
    "\n"
    "commands:\n"
    "  status                the service's state, process id and build, its settings\n"
    "                        (value and source), its status values, and whether both\n"
    "                        pipes answer\n"
    "  watch [--for <s>]     prints each hotkey code as it comes, until Ctrl+C\n"
    "  volume <0-100>        sets the AV board's volume display (operation 2)\n"
    "  hotkey-volume <0-100> shows the level on the AV board as a hotkey does (operation 1)\n"
    "\n"
    "options:\n"
    "  --json                one JSON object per line on stdout instead of text\n"
    "  --help                this text, or a command's\n"
    "\n"
    "exit codes:\n"
    "  0  done\n"
    "  1  a system call failed, or the service refused the request\n"
    "  2  usage error\n"
    "  3  the service is not installed\n"
    "  4  the service is not running\n"
    "  5  a pipe does not answer, or another program holds it\n"
    "  6  the AV board did not acknowledge\n"
    "  7  the service refused the subscription (watch)\n"
    "Messages about failures go to stderr.\n";

constexpr char kStatusUsage[] =
    "usage: HalvaroCtl status [--json]\n"
    "\n"
    "Shows the service's state and process id (from the service control manager); its build,\n"
    "the version resource of the program the service's configuration runs; each\n"
    "setting (EMAMaxRegister, ComPort, BuadRate, ComCmdTimeFrame) with the value the service\n"
    "takes at its next start and its source, \"registry\" or \"default\"; the status values\n"
    "CurrentAVMode, CurrentServiceMode and AVBoardStatus; and whether each pipe answers: the\n"
    "subscription pipe with the last event code, the AV-command pipe with its answer to the\n"
    "query. Nothing is changed. A pipe made by another program than the service is reported\n"
    "with that program's process id and sent nothing.\n"
    "\n"
    "exit codes: 0 all answer, 1 the service manager cannot be asked, 3 not installed,\n"
    "4 not running, 5 a pipe does not answer or is held by another program.\n";

constexpr char kWatchUsage[] =
    "usage: HalvaroCtl watch [--for <seconds>] [--json]\n"
    "\n"
    "Subscribes this program to the service's hotkey events and prints each code as it\n"
    "comes, with the local time:\n"
    "  2024-05-01T13:45:07.123 code 80 (0x50)\n"
    "Ends at Ctrl+C or after --for seconds, and unsubscribes first. When the service lets\n"
    "this subscriber go to make room for another (EMAMaxRegister), it says so and ends.\n"
    "With --json each line is an object with \"event\": subscribed, code, code_unread,\n"
    "evicted, unsubscribed or error.\n"
    "\n"
    "exit codes: 0 ended, 1 a system call failed, 3 not installed, 4 not running (also when\n"
    "the service stops while watching), 5 a pipe does not answer or is held by another\n"
    "program, 7 the service refused the subscription.\n";

constexpr char kVolumeUsage[] =
    "usage: HalvaroCtl volume <0-100> [--json]\n"
    "       HalvaroCtl hotkey-volume <0-100> [--json]\n"
    "\n"
    "Sends the level to the AV board through the service (volume: Set volume, operation 2;\n"
    "hotkey-volume: Hotkey volume, operation 1) and says whether the board acknowledged it\n"
    "(result 0x00000000 and data byte 1 = 1) or not (result 0x80000008).\n"
    "\n"
    "exit codes: 0 acknowledged, 1 a system call failed or the service refused the request,\n"
    "3 not installed, 4 not running, 5 the pipe does not answer or is held by another\n"
    "program, 6 the board did not acknowledge.\n";

}  // namespace

void PrintUsage(Command command) {
  const char* text = kProgramUsage;
  switch (command) {
    case Command::kStatus: text = kStatusUsage; break;
    case Command::kWatch: text = kWatchUsage; break;
    case Command::kVolume:
    case Command::kHotkeyVolume: text = kVolumeUsage; break;
    case Command::kNone: break;
  }
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace halvaro::ctl
