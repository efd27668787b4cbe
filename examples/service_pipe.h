/* What both example clients do on the service's pipes, as docs/protocol.md describes it:
 * find the service's process, connect, check that the instance is the service's, and send one
 * request and read its whole reply, every wait bounded. Windows API only.
 *
 * Threading: no shared state; each call uses a connection of its own. */
#ifndef EXAMPLES_SERVICE_PIPE_H
#define EXAMPLES_SERVICE_PIPE_H

#include <windows.h>

/* Exit codes of the examples. */
enum {
  EXIT_DONE = 0,
  EXIT_REFUSED = 1,     /* a call failed, or the service refused the request */
  EXIT_USAGE = 2,
  EXIT_NOT_RUNNING = 3, /* the service is not installed or not running */
  EXIT_HELD = 4,        /* the pipe's instance is another program's: nothing was sent */
  EXIT_NO_REPLY = 5     /* no instance, every instance busy, or no whole reply in time */
};

/* The process id of the running service, or 0 when it is not running. */
DWORD ServiceProcessId(void);

/* How long a whole reply is, once its first `received` bytes are in; 0 while unknown. */
typedef DWORD (*ReplyLength)(const BYTE *reply, DWORD received);

/* Connects to `pipe_name`, checks the instance against `service_pid`, writes `request` as one
 * message and reads the reply into `reply` (room for `capacity` bytes) until it is as long as
 * `reply_length` says, within `reply_ms`. Returns EXIT_DONE with the length in *received, or
 * the exit code of what went wrong (said on stderr). */
int AskService(const wchar_t *pipe_name, DWORD service_pid, const BYTE *request,
               DWORD request_length, ReplyLength reply_length, BYTE *reply, DWORD capacity,
               DWORD reply_ms, DWORD *received);

/* Little-endian fields. */
DWORD Load32(const BYTE *bytes);
void Store32(BYTE *bytes, DWORD value);

#endif
