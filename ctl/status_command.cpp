// HalvaroCtl status: the service as the manager sees it, its registry values, and whether
// its two pipes answer. Asks nothing that changes the service: the subscription pipe gets
// command 3 (read the last code), the AV-command pipe operation 0 (the query).
#include "common/service_problem.h"
#include "ctl/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/service_build.h"
#include "ctl/service_pipes.h"

namespace halvaro::ctl {

namespace {

JsonObject SettingJson(const SettingValue& s) {
  JsonObject json;
  json.Number("value", s.value).Text("source", s.from_registry ? "registry" : "default");
  if (s.from_registry && s.stored != s.value) json.Number("stored", s.stored);
  if (s.ignored_size != 0) json.Number("ignored_size", s.ignored_size);
  return json;
}

std::string SettingText(const SettingValue& s) {
  std::string text = "setting " + Narrow(s.name) + ": " + std::to_string(s.value) + " (" +
                     (s.from_registry ? "registry" : "default");
  if (s.from_registry && s.stored != s.value) text += ", stored " + std::to_string(s.stored);
  if (s.ignored_size != 0) {
    text += "; the stored value of " + std::to_string(s.ignored_size) +
            " bytes is not 4 bytes long and is ignored";
  }
  return text + ")";
}

JsonObject PipeJson(const PipeAnswer& pipe) {
  JsonObject json;
  json.Text("name", pipe.name).Text("state", PipeStateToken(pipe.state));
  if (pipe.server_process_id != 0) json.Number("server_process_id", pipe.server_process_id);
  if (!pipe.server_checked) json.Bool("server_checked", false);
  if (!pipe.answered() && pipe.state != PipeState::kHeld) json.Number("error", pipe.error);
  return json;
}

std::string BuildText(const ServiceBuild& build) {
  std::string text = "service build: ";
  if (build.version.empty()) {
    text += std::string("unknown (") + build.failed_call + " failed, error " +
            std::to_string(build.error) + ")";
  } else {
    text += build.version;
  }
  if (!build.image.empty()) text += " (" + Narrow(build.image.c_str()) + ")";
  return text;
}

struct StatusReport {
  ServiceStatus service;
  ServiceBuild build;
  ServiceKeyValues key;
  SubscriptionAnswer last;
  AvAnswer query;
};

void PrintJson(const StatusReport& r, int exit_code, const std::string& problem) {
  JsonObject service;
  service.Text("state", StateName(r.service));
  if (r.service.process_id != 0) service.Number("process_id", r.service.process_id);
  if (r.service.problem != 0) {
    service.Number("problem_code", r.service.problem)
        .Text("problem", DescribeServiceProblem(r.service.problem));
  }
  if (r.service.installed) {
    if (!r.build.image.empty()) service.Text("image", Narrow(r.build.image.c_str()));
    if (!r.build.version.empty()) {
      service.Text("version", r.build.version);
    } else {
      service.Null("version");
    }
  }

  JsonObject settings;
  for (const SettingValue& s : r.key.settings) {
    settings.Object(Narrow(s.name).c_str(), SettingJson(s));
  }
  JsonObject status_values;
  for (const StatusValue& v : r.key.status) {
    if (v.present) {
      status_values.Number(Narrow(v.name).c_str(), v.value);
    } else {
      status_values.Null(Narrow(v.name).c_str());
    }
  }

  JsonObject subscription = PipeJson(r.last.pipe);
  if (r.last.pipe.answered()) subscription.Number("last_code", r.last.reply.last_code);
  JsonObject av = PipeJson(r.query.pipe);
  if (r.query.pipe.answered()) {
    av.Text("reply_code", Hex8(r.query.header.reply_code))
        .Text("result", Hex32(r.query.header.result));
    if (r.query.data_byte_1) {
      av.Number("data_byte_1", *r.query.data_byte_1);
    } else {
      av.Null("data_byte_1");
    }
  }

  JsonObject out;
  out.Text("command", "status")
      .Object("service", service)
      .Object("settings", settings)
      .Object("status_values", status_values)
      .Object("subscription_pipe", subscription)
      .Object("av_command_pipe", av);
  if (!problem.empty()) out.Text("error", problem);
  PrintLine(out.Number("exit_code", exit_code).str());
}

void PrintText(const StatusReport& r) {
  std::string service = "service: " + StateName(r.service);
  if (r.service.process_id != 0) {
    service += " (process id " + std::to_string(r.service.process_id) + ")";
  }
  PrintLine(service);
  if (r.service.problem != 0) {
    PrintLine("service problem " + std::to_string(r.service.problem) + ": " +
              DescribeServiceProblem(r.service.problem));
  }
  if (r.service.installed) PrintLine(BuildText(r.build));
  for (const SettingValue& s : r.key.settings) PrintLine(SettingText(s));
  for (const StatusValue& v : r.key.status) {
    PrintLine("status value " + Narrow(v.name) + ": " +
              (v.present ? std::to_string(v.value) : std::string("absent")));
  }
  std::string subscription = "subscription pipe " + r.last.pipe.name + ": " +
                             DescribePipe(r.last.pipe);
  if (r.last.pipe.answered()) {
    subscription += "; last event code " + std::to_string(r.last.reply.last_code) + " (" +
                    Hex8(r.last.reply.last_code) + ")";
  }
  PrintLine(subscription);
  std::string av = "AV-command pipe " + r.query.pipe.name + ": " + DescribePipe(r.query.pipe);
  if (r.query.pipe.answered()) {
    av += "; query reply " + Hex8(r.query.header.reply_code) + ", result " +
          Hex32(r.query.header.result) + ", data byte 1 = " +
          (r.query.data_byte_1 ? std::to_string(*r.query.data_byte_1) : std::string("absent"));
  }
  PrintLine(av);
}

}  // namespace

int RunStatus(const Arguments& args) {
  StatusReport r;
  r.service = QueryService();
  std::string problem;
  int exit_code = ServiceProblem(r.service, &problem);
  if (!r.service.known) return Fail(args, exit_code, problem);
  if (r.service.installed) r.build = QueryServiceBuild();
  r.key = ReadServiceKey();
  // Asked whatever the manager says: a pipe that answers without the service is someone
  // else's, and worth showing.
  r.last = AskSubscription(r.service.process_id, kReadLastCodeCommand, 0);
  r.query = AskAvCommand(r.service.process_id, kAvQueryOperation, 0);

  if (exit_code == kExitOk && (!r.last.pipe.answered() || !r.query.pipe.answered())) {
    exit_code = kExitPipe;
    const PipeAnswer& bad = r.last.pipe.answered() ? r.query.pipe : r.last.pipe;
    problem = "the pipe " + bad.name + " " + DescribePipe(bad);
  }
  if (args.json) {
    PrintJson(r, exit_code, problem);
  } else {
    PrintText(r);
  }
  if (!problem.empty()) PrintError(problem);
  return exit_code;
}

}  // namespace halvaro::ctl
