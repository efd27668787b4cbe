#include "common/object_names.h"
#include "ctl/commands.h"
#include "ctl/exit_codes.h"

namespace halvaro::ctl {

int Fail(const Arguments& args, int exit_code, const std::string& message, JsonObject fields) {
  PrintError(message);
  if (args.json) {
    JsonObject out;
    out.Text("command", CommandName(args.command)).Members(fields);
    PrintLine(out.Text("error", message).Number("exit_code", exit_code).str());
  }
  return exit_code;
}

int ServiceProblem(const ServiceStatus& status, std::string* problem) {
  const std::string service = "the service \"" + Narrow(kServiceName) + "\"";
  if (!status.known) {
    *problem = std::string("cannot ask the service control manager: ") + status.failed_call +
               " failed (error " + std::to_string(status.error) + ")";
    return kExitFailure;
  }
  if (!status.installed) {
    *problem = service + " is not installed";
    return kExitNotInstalled;
  }
  if (!status.running()) {
    *problem = service + " is not running (" + StateName(status) + ")";
    return kExitNotRunning;
  }
  problem->clear();
  return kExitOk;
}

int RequireRunning(const Arguments& args, ServiceStatus* status) {
  *status = QueryService();
  std::string problem;
  const int exit_code = ServiceProblem(*status, &problem);
  if (exit_code == kExitOk) return kExitOk;
  JsonObject fields;
  if (exit_code == kExitNotRunning) fields.Text("state", StateName(*status));
  return Fail(args, exit_code, problem, fields);
}

}  // namespace halvaro::ctl
