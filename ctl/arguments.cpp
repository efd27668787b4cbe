#include "ctl/arguments.h"

#include <cwchar>
#include <vector>

#include "ctl/ctl_output.h"

namespace halvaro::ctl {

namespace {

struct CommandEntry {
  const wchar_t* name;
  Command command;
};

constexpr CommandEntry kCommands[] = {
    {L"status", Command::kStatus},
    {L"watch", Command::kWatch},
    {L"volume", Command::kVolume},
    {L"hotkey-volume", Command::kHotkeyVolume},
};

Command FindCommand(const wchar_t* name) {
  for (const CommandEntry& entry : kCommands) {
    if (std::wcscmp(name, entry.name) == 0) return entry.command;
  }
  return Command::kNone;
}

}  // namespace

std::string CommandName(Command command) {
  for (const CommandEntry& entry : kCommands) {
    if (entry.command == command) return Narrow(entry.name);
  }
  return "";
}

std::optional<uint32_t> ParseDecimal(const wchar_t* text, uint32_t most) {
  const size_t digits = std::wcslen(text);
  if (digits == 0 || digits > 10) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  if (value > most) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<Arguments> ParseArguments(int argc, const wchar_t* const* argv,
                                        std::string* error) {
  Arguments args;
  std::vector<const wchar_t*> positional;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (std::wcscmp(arg, L"--json") == 0) {
      args.json = true;
    } else if (std::wcscmp(arg, L"--help") == 0 || std::wcscmp(arg, L"-h") == 0 ||
               std::wcscmp(arg, L"/?") == 0) {
      args.help = true;
    } else if (std::wcscmp(arg, L"--for") == 0) {
      if (i + 1 >= argc) {
        *error = "--for needs a number of seconds";
        return std::nullopt;
      }
      args.for_seconds = ParseDecimal(argv[++i], kMostWatchSeconds);
      if (!args.for_seconds) {
        *error = "--for takes whole seconds from 0 to " + std::to_string(kMostWatchSeconds);
        return std::nullopt;
      }
    } else if (arg[0] == L'-' && arg[1] == L'-') {
      *error = "unknown option " + Narrow(arg);
      return std::nullopt;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    if (args.help) return args;
    *error = "no command given";
    return std::nullopt;
  }
  if (std::wcscmp(positional[0], L"help") == 0) {
    args.help = true;
    if (positional.size() == 1) return args;
    positional.erase(positional.begin());
  }
  args.command = FindCommand(positional[0]);
  if (args.command == Command::kNone) {
    *error = "unknown command " + Narrow(positional[0]);
    return std::nullopt;
  }
  if (args.help) return args;

  const bool takes_level =
      args.command == Command::kVolume || args.command == Command::kHotkeyVolume;
  const size_t expected = takes_level ? 2 : 1;
  if (positional.size() != expected) {
    *error = takes_level ? Narrow(positional[0]) + " takes one level, 0 to 100"
                         : Narrow(positional[0]) + " takes no arguments";
    return std::nullopt;
  }
  if (args.for_seconds && args.command != Command::kWatch) {
    *error = "--for belongs to watch";
    return std::nullopt;
  }
  if (takes_level) {
    const std::optional<uint32_t> level = ParseDecimal(positional[1], kMostLevel);
    if (!level) {
      *error = "the level is a whole number from 0 to 100, not " + Narrow(positional[1]);
      return std::nullopt;
    }
    args.level = *level;
  }
  return args;
}

}  // namespace halvaro::ctl
