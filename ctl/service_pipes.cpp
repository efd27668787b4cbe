#include "ctl/service_pipes.h"

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/pipe_client.h"
#include "ctl/ctl_output.h"

namespace halvaro::ctl {

namespace {

PipeState StateOf(PipeOutcome outcome) {
  switch (outcome) {
    case PipeOutcome::kDone: return PipeState::kAnswers;
    case PipeOutcome::kAbsent: return PipeState::kAbsent;
    case PipeOutcome::kBusy: return PipeState::kBusy;
    case PipeOutcome::kNoReply:
    case PipeOutcome::kClosed: return PipeState::kNoReply;
    case PipeOutcome::kOpenFailed:
    case PipeOutcome::kWriteFailed: break;
  }
  return PipeState::kFailed;
}

PipeAnswer Ask(const wchar_t* format, uint32_t service_pid, const uint8_t* request,
               size_t length, ReplyLengthFunction reply_length, DWORD reply_ms) {
  wchar_t name[kPipeNameSize];
  FormatBounded(name, kPipeNameSize, format, 0);
  PipeAnswer answer;
  answer.name = Narrow(name);
  PipeLimits limits;
  limits.reply_ms = reply_ms;
  PipeClient client(limits);
  PipeOutcome outcome = client.Connect(name);
  if (outcome == PipeOutcome::kDone) {
    // Before NT 6.0 the system cannot name the instance's maker: the request goes unchecked,
    // and the answer says so.
    answer.server_checked = PipeClient::SystemNamesServer();
    if (answer.server_checked) answer.server_process_id = client.ServerProcessId();
    if (answer.server_checked &&
        (answer.server_process_id == 0 || answer.server_process_id != service_pid)) {
      answer.state = PipeState::kHeld;
      return answer;
    }
    outcome = client.Transact(request, length, reply_length, &answer.reply);
  }
  answer.state = StateOf(outcome);
  if (!answer.answered()) answer.error = client.error();
  return answer;
}

}  // namespace

const char* PipeStateToken(PipeState state) {
  switch (state) {
    case PipeState::kAnswers: return "answers";
    case PipeState::kAbsent: return "absent";
    case PipeState::kBusy: return "busy";
    case PipeState::kHeld: return "held";
    case PipeState::kNoReply: return "no_reply";
    case PipeState::kBadReply: return "bad_reply";
    case PipeState::kFailed: break;
  }
  return "failed";
}

std::string DescribePipe(const PipeAnswer& answer) {
  switch (answer.state) {
    case PipeState::kAnswers:
      if (!answer.server_checked) {
        return "answers (this Windows cannot name the program that made the pipe instance, "
               "so it was not checked to be the service)";
      }
      return "answers";
    case PipeState::kAbsent: return "does not answer: no instance of the pipe exists";
    case PipeState::kBusy: return "does not answer: every instance stayed busy";
    case PipeState::kHeld:
      if (answer.server_process_id == 0) {
        return "held by a program that the system does not name; not trusted, nothing was sent";
      }
      return "held by another program (process id " + std::to_string(answer.server_process_id) +
             "), not by the service; nothing was sent to it";
    case PipeState::kNoReply:
      return "does not answer: no whole reply in time (error " + std::to_string(answer.error) +
             ")";
    case PipeState::kBadReply: return "answered with a reply that does not fit the request";
    case PipeState::kFailed: break;
  }
  return "cannot be used (error " + std::to_string(answer.error) + ")";
}

SubscriptionAnswer AskSubscription(uint32_t service_pid, uint8_t command, uint32_t process_id) {
  const EncodedSubscriptionRequest request = EncodeSubscriptionRequest(command, process_id);
  SubscriptionAnswer answer;
  answer.pipe = Ask(kSubscriptionPipeNameFormat, service_pid, request.bytes, request.length,
                    SubscriptionReplyLength, kServiceReplyMs);
  if (!answer.pipe.answered()) return answer;
  const std::optional<SubscriptionReply> reply =
      DecodeSubscriptionReply(answer.pipe.reply.data(), answer.pipe.reply.size());
  if (!reply || reply->reply_code != SubscriptionReplyCode(command)) {
    answer.pipe.state = PipeState::kBadReply;
    return answer;
  }
  answer.reply = *reply;
  return answer;
}

AvAnswer AskAvCommand(uint32_t service_pid, uint8_t operation, uint8_t level,
                      unsigned long reply_ms) {
  const std::vector<uint8_t> request = EncodeAvRequest(operation, level);
  AvAnswer answer;
  answer.pipe = Ask(kAvCommandPipeNameFormat, service_pid, request.data(), request.size(),
                    AvReplyLength, reply_ms);
  if (!answer.pipe.answered()) return answer;
  const std::vector<uint8_t>& bytes = answer.pipe.reply;
  const std::optional<AvReplyHeader> header = DecodeAvReplyHeader(bytes.data(), bytes.size());
  if (!header || header->reply_code != kAvOperationReply) {
    answer.pipe.state = PipeState::kBadReply;
    return answer;
  }
  answer.header = *header;
  if (bytes.size() >= kAvHeaderSize + 2) answer.data_byte_1 = bytes[kAvHeaderSize + 1];
  return answer;
}

}  // namespace halvaro::ctl
