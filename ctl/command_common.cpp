#include "common/object_names.h"
#include "ctl/commands.h"
#include "ctl/exit_codes.h"

namespace halvaro::ctl {

const char* CommandName(Command command) {
  switch (command) {
    case Command::kStatus: return "status";
    case Command::kWatch: return "watch";
    case Command::kVolume: return "volume";
    case Command::kHotkeyVolume: return "hotkey-volume";
    case Command::kNone: break;
  }
  return "";
}

int Fail(const Arguments& args, int exit_code, const std::string& message, JsonObject fields) {
  PrintError(message);
  if (args.json) {
    JsonObject out;
    out.Text("command", CommandName(args.command)).Members(fields);
    PrintLine(out.Text("error", message).Number("exit_code", exit_code).str());
  }
  return exit_code;
}

int RequireRunning(const Arguments& args, ServiceStatus* status) {
  *status = QueryService();
  if (!status->known) {
    return Fail(args, kExitFailure,
                std::string("cannot ask the service control manager: ") + status->failed_call +
                    " failed (error " + std::to_string(status->error) + ")");
  }
  if (!status->installed) {
    return Fail(args, kExitNotInstalled, "the service \"" + Narrow(kServiceName) +
                                             "\" is not installed");
  }
  if (!status->running()) {
    return Fail(args, kExitNotRunning,
                "the service \"" + Narrow(kServiceName) + "\" is not running (" +
                    StateName(*status) + ")",
                JsonObject().Text("state", StateName(*status)));
  }
  return kExitOk;
}

}  // namespace halvaro::ctl
