// The command line of HalvaroCtl: `HalvaroCtl [--json] <command> [arguments] [options]`.
// Options may stand anywhere after the program's name.
//
// Threading: pure; touches only its arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace halvaro::ctl {

enum class Command { kNone, kStatus, kWatch, kVolume, kHotkeyVolume };

struct Arguments {
  Command command = Command::kNone;
  bool json = false;
  bool help = false;
  uint32_t level = 0;                    // volume and hotkey-volume
  std::optional<uint32_t> for_seconds;   // watch --for
};

constexpr uint32_t kMostLevel = 100;
constexpr uint32_t kMostWatchSeconds = 7 * 24 * 3600;

// The command's name as typed ("hotkey-volume"); empty for Command::kNone.
std::string CommandName(Command command);

// A decimal number of 1 to 10 digits, nothing else (no sign, no blanks), at most `most`.
std::optional<uint32_t> ParseDecimal(const wchar_t* text, uint32_t most);

// Empty with a message in *error for a command line that is not understood. With --help the
// command (if any) is kept and the rest is not checked.
std::optional<Arguments> ParseArguments(int argc, const wchar_t* const* argv,
                                        std::string* error);

}  // namespace halvaro::ctl
