// HalvaroCtl watch: subscribes this process to the hotkey events, prints each code as it
// comes, and unsubscribes when told to end (Ctrl+C, --for) so that the service's subscriber
// place is free again.
#include <windows.h>

#include <algorithm>

#include "common/bounded_format.h"
#include "common/object_names.h"
#include "common/tick_deadline.h"
#include "common/unique_resource.h"
#include "ctl/commands.h"
#include "ctl/exit_codes.h"
#include "ctl/interrupt.h"
#include "ctl/service_pipes.h"

namespace halvaro::ctl {

namespace {

// How often the manager is asked whether the service still runs: a stopped service forgets
// its subscribers without a word.
constexpr DWORD kServiceCheckMs = 2000;

UniqueHandle ClientEvent(const wchar_t* format, uint32_t pid) {
  wchar_t name[kObjectNameSize];
  FormatBounded(name, kObjectNameSize, format, pid);
  return UniqueHandle(CreateEventW(nullptr, FALSE, FALSE, name));
}

void Event(const Arguments& args, JsonObject json, const std::string& text) {
  PrintLine(args.json ? json.str() : text);
}

int PipeFailure(const Arguments& args, const char* doing, const PipeAnswer& pipe) {
  return Fail(args, kExitPipe,
              std::string("cannot ") + doing + ": the pipe " + pipe.name + " " +
                  DescribePipe(pipe),
              JsonObject().Text("event", "error").Text("pipe_state", PipeStateToken(pipe.state)));
}

// What WaitForCodes returns when Ctrl+C or --for ended the watch: unsubscribe then.
constexpr int kWatchEnded = -1;

// Subscribes `pid`; kExitOk once subscribed (and said so), else the exit code.
int Subscribe(const Arguments& args, const ServiceStatus& service, uint32_t pid) {
  const SubscriptionAnswer subscribed =
      AskSubscription(service.process_id, kSubscribeCommand, pid);
  if (!subscribed.pipe.answered()) return PipeFailure(args, "subscribe", subscribed.pipe);
  const uint32_t result = subscribed.reply.result;
  if (result != kSubscriptionResultDone && result != kSubscriptionResultEvicted &&
      result != kSubscriptionResultAlready) {
    std::string why = "the service refused the subscription (result " + Hex32(result) + ")";
    if (result == kSubscriptionResultNoListener) why += ": its hotkey listener is not running";
    return Fail(args, kExitRefused, why,
                JsonObject().Text("event", "error").Text("result", Hex32(result)));
  }
  std::string text = "subscribed as process " + std::to_string(pid) + " (result " +
                     Hex32(result) + ")";
  if (result == kSubscriptionResultEvicted) text += "; an older subscriber was let go";
  Event(args,
        JsonObject().Text("event", "subscribed").Number("process_id", pid).Text("result",
                                                                                Hex32(result)),
        text + "; Ctrl+C ends");
  return kExitOk;
}

// Prints the code at each wake-up. kWatchEnded at Ctrl+C or when --for runs out; an exit
// code when the watch ends otherwise (evicted, the service gone, a failed wait).
int WaitForCodes(const Arguments& args, const ServiceStatus& service,
                 const InterruptEvent& interrupt, HANDLE wake, HANDLE removal) {
  const bool bounded = args.for_seconds.has_value();
  const TickDeadline deadline =
      TickDeadline::After(bounded ? static_cast<DWORD>(*args.for_seconds) * 1000 : INFINITE);
  // The wait reports the first of the signalled events: Ctrl+C comes first, so that no
  // other process that keeps a subscriber event signalled can hold the program here.
  constexpr DWORD kInterrupted = WAIT_OBJECT_0;
  constexpr DWORD kWoken = WAIT_OBJECT_0 + 1;
  constexpr DWORD kRemoved = WAIT_OBJECT_0 + 2;
  const HANDLE events[3] = {interrupt.get(), wake, removal};
  for (;;) {
    DWORD timeout = kServiceCheckMs;
    if (bounded) {
      const DWORD left = deadline.Remaining();
      if (left == 0) return kWatchEnded;
      timeout = std::min<DWORD>(left, kServiceCheckMs);
    }
    const DWORD signalled = WaitForMultipleObjects(3, events, FALSE, timeout);
    if (signalled == kInterrupted) {
      return kWatchEnded;
    } else if (signalled == kWoken) {
      const SubscriptionAnswer last =
          AskSubscription(service.process_id, kReadLastCodeCommand, 0);
      const std::string time = LocalTimestamp();
      if (last.pipe.answered()) {
        const uint32_t code = last.reply.last_code;
        Event(args, JsonObject().Text("event", "code").Text("time", time).Number("code", code),
              time + " code " + std::to_string(code) + " (" + Hex8(code) + ")");
      } else {
        Event(args,
              JsonObject().Text("event", "code_unread").Text("time", time).Text(
                  "pipe_state", PipeStateToken(last.pipe.state)),
              time + " woken, but the code could not be read: the pipe " + last.pipe.name +
                  " " + DescribePipe(last.pipe));
      }
    } else if (signalled == kRemoved) {
      const std::string time = LocalTimestamp();
      Event(args, JsonObject().Text("event", "evicted").Text("time", time),
            time + " evicted: the service let this subscriber go to make room for another");
      return kExitOk;
    } else if (signalled == WAIT_TIMEOUT) {
      const ServiceStatus now = QueryService();
      if (now.known && (!now.running() || now.process_id != service.process_id)) {
        return Fail(args, kExitNotRunning,
                    "the service is no longer running (" + StateName(now) +
                        "); the subscription ended with it",
                    JsonObject().Text("event", "error"));
      }
    } else {
      return Fail(args, kExitFailure,
                  "cannot wait for the subscriber events (error " +
                      std::to_string(GetLastError()) + ")",
                  JsonObject().Text("event", "error"));
    }
  }
}

int Unsubscribe(const Arguments& args, const ServiceStatus& service, uint32_t pid,
                InterruptEvent& interrupt) {
  const SubscriptionAnswer unsubscribed =
      AskSubscription(service.process_id, kUnsubscribeCommand, pid);
  interrupt.Finished();
  if (!unsubscribed.pipe.answered()) return PipeFailure(args, "unsubscribe", unsubscribed.pipe);
  Event(args,
        JsonObject().Text("event", "unsubscribed").Text("result",
                                                        Hex32(unsubscribed.reply.result)),
        "unsubscribed (result " + Hex32(unsubscribed.reply.result) + ")");
  return kExitOk;
}

}  // namespace

int RunWatch(const Arguments& args) {
  ServiceStatus service;
  const int not_running = RequireRunning(args, &service);
  if (not_running != kExitOk) return not_running;

  // The events come before the subscription so that no wake-up is missed in between; the
  // service opens the same ones by name.
  const uint32_t pid = GetCurrentProcessId();
  UniqueHandle wake = ClientEvent(kWakeEventNameFormat, pid);
  UniqueHandle removal;
  if (wake) removal = ClientEvent(kRemovalEventNameFormat, pid);
  if (!removal) {
    return Fail(args, kExitFailure,
                "cannot make the subscriber events (error " + std::to_string(GetLastError()) +
                    ")");
  }
  InterruptEvent interrupt;
  if (!interrupt.valid()) {
    return Fail(args, kExitFailure,
                "cannot install the Ctrl+C handler (error " + std::to_string(GetLastError()) +
                    ")");
  }

  const int subscribed = Subscribe(args, service, pid);
  if (subscribed != kExitOk) return subscribed;
  const int waited = WaitForCodes(args, service, interrupt, wake.get(), removal.get());
  if (waited != kWatchEnded) return waited;
  return Unsubscribe(args, service, pid, interrupt);
}

}  // namespace halvaro::ctl
