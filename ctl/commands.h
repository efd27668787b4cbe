// HalvaroCtl's commands, each in a file of its own, and what they share: the check that the
// service runs, and the report of a failure in the chosen output.
//
// Threading: the commands run on the main thread (watch also has the console's control
// handler, ctl/interrupt.h).
#pragma once

#include <string>

#include "ctl/arguments.h"
#include "ctl/ctl_output.h"
#include "ctl/service_query.h"

namespace halvaro::ctl {

int RunStatus(const Arguments& args);
int RunWatch(const Arguments& args);
int RunVolume(const Arguments& args);  // volume and hotkey-volume

// Usage: the program's, or one command's (Command::kNone for the program's).
void PrintUsage(Command command);

// Prints `message` on stderr and, with --json, an object with "error" and "exit_code" (and
// `fields` before them) on stdout, as a line of its own. Returns `exit_code`.
int Fail(const Arguments& args, int exit_code, const std::string& message,
         JsonObject fields = JsonObject());

// kExitOk when the service runs; otherwise the exit code (kExitFailure, kExitNotInstalled,
// kExitNotRunning) and why, in *problem.
int ServiceProblem(const ServiceStatus& status, std::string* problem);

// kExitOk when the service runs (its status in *status); otherwise reports why not and
// returns that exit code.
int RequireRunning(const Arguments& args, ServiceStatus* status);

}  // namespace halvaro::ctl
