// HalvaroCtl volume <level> and hotkey-volume <level>: one AV-command operation (2, Set
// volume; 1, Hotkey volume), which the service passes to the AV board, and whether the board
// acknowledged it.
#include "ctl/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/service_pipes.h"

namespace halvaro::ctl {

int RunVolume(const Arguments& args) {
  const std::string what = CommandName(args.command) + " " + std::to_string(args.level);
  ServiceStatus service;
  const int not_running = RequireRunning(args, &service);
  if (not_running != kExitOk) return not_running;

  const uint8_t operation = args.command == Command::kVolume ? kAvSetVolumeOperation
                                                             : kAvHotkeyVolumeOperation;
  const AvAnswer answer =
      AskAvCommand(service.process_id, operation, static_cast<uint8_t>(args.level),
                   kBoardReplyMs);
  JsonObject fields;
  fields.Number("level", args.level).Number("operation", operation);
  if (!answer.pipe.answered()) {
    fields.Text("pipe", answer.pipe.name).Text("pipe_state", PipeStateToken(answer.pipe.state));
    if (answer.pipe.server_process_id != 0) {
      fields.Number("server_process_id", answer.pipe.server_process_id);
    }
    return Fail(args, kExitPipe, "the pipe " + answer.pipe.name + " " + DescribePipe(answer.pipe),
                fields);
  }

  const uint32_t result = answer.header.result;
  const bool acknowledged = result == kAvResultDone && answer.data_byte_1 == 1;
  int exit_code = kExitOk;
  std::string text = what + ": acknowledged by the board";
  if (!acknowledged) {
    exit_code = result == kAvResultDone || result == kAvResultNotAcknowledged
                    ? kExitNotAcknowledged
                    : kExitFailure;  // the service refused the request itself
    text = what + (exit_code == kExitNotAcknowledged ? ": not acknowledged by the board"
                                                     : ": refused by the service") +
           " (result " + Hex32(result) + ")";
  }
  if (args.json) {
    JsonObject out;
    out.Text("command", CommandName(args.command))
        .Members(fields)
        .Bool("acknowledged", acknowledged)
        .Text("reply_code", Hex8(answer.header.reply_code))
        .Text("result", Hex32(result));
    if (answer.data_byte_1) {
      out.Number("data_byte_1", *answer.data_byte_1);
    } else {
      out.Null("data_byte_1");
    }
    PrintLine(out.Number("exit_code", exit_code).str());
  } else {
    PrintLine(text);
  }
  if (exit_code != kExitOk) PrintError(text);
  return exit_code;
}

}  // namespace halvaro::ctl
