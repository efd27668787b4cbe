// Requests to the service through its two pipes, each on a connection of its own, every wait
// bounded (common/pipe_client.h). Before anything is sent, the program that made the pipe's
// instance is compared with the service's process: a pipe held by another program is
// reported with that program's id and sent nothing, so no reply of an impostor is trusted.
//
// Threading: reentrant; each call uses a connection of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/av_command_message.h"
#include "common/subscription_message.h"

namespace halvaro::ctl {

enum class PipeState {
  kAnswers,   // the service's own instance gave a well-formed reply
  kAbsent,    // no instance of the name
  kBusy,      // every instance stayed busy
  kHeld,      // another program made the instance
  kNoReply,   // no whole reply in time, or the connection ended first
  kBadReply,  // a reply that is not one the request allows
  kFailed,    // the open or the write failed otherwise
};

struct PipeAnswer {
  std::string name;                // \\.\pipe\...
  PipeState state = PipeState::kFailed;
  unsigned long error = 0;         // the system's error for kAbsent ... kFailed
  uint32_t server_process_id = 0;  // 0 when unknown
  bool server_checked = true;      // false: this Windows cannot name the instance's maker
  std::vector<uint8_t> reply;

  bool answered() const { return state == PipeState::kAnswers; }
};

// "answers", "absent", "busy", "held", "no_reply", "bad_reply", "failed"
const char* PipeStateToken(PipeState state);
// For a person: "answers", "held by another program (process id 84)", ...
std::string DescribePipe(const PipeAnswer& answer);

struct SubscriptionAnswer {
  PipeAnswer pipe;
  SubscriptionReply reply;  // when pipe.answered()
};

// Command 1, 2 (with `process_id`) or 3 to the subscription pipe of the service whose
// process is `service_pid`.
SubscriptionAnswer AskSubscription(uint32_t service_pid, uint8_t command, uint32_t process_id);

struct AvAnswer {
  PipeAnswer pipe;
  AvReplyHeader header;                // when pipe.answered()
  std::optional<uint8_t> data_byte_1;  // the board's answer: 1 when it acknowledged
};

// Replies that need no board come within this long.
constexpr unsigned long kServiceReplyMs = 3000;
// A volume operation waits for the board: up to 10 sends with 1 s each for its answer, and
// for the serial line while another exchange holds it.
constexpr unsigned long kBoardReplyMs = 15000;

// One operation (query, hotkey volume, set volume) to the AV-command pipe; the reply is
// waited for `reply_ms`.
AvAnswer AskAvCommand(uint32_t service_pid, uint8_t operation, uint8_t level,
                      unsigned long reply_ms = kServiceReplyMs);

}  // namespace halvaro::ctl
