/* An example client of the subscription pipe (docs/protocol.md): subscribes this process to
 * the hotkey events, waits for one, reads its code, prints it and unsubscribes.
 *
 *   subscribe_client.exe [seconds]   waits at most that long for the hotkey (default 60)
 *
 * Prints "subscribed result=0x%08X", then "code=0x%02X" (or "evicted", or "no hotkey"), then
 * "unsubscribed result=0x%08X". Exit codes as in service_pipe.h. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "service_pipe.h"

#define PIPE_NAME L"\\\\.\\pipe\\OrvaEMA_srv_np_0"
#define REQUEST_SIZE 20
#define REPLY_MS 5000 /* a subscribe may wait 2 s for the service's event listener */

#define SUBSCRIBE 1
#define UNSUBSCRIBE 2
#define READ_LAST_CODE 3
#define RESULT_DONE 0x00000000UL
#define RESULT_EVICTED_OTHERS 0x90000000UL
#define RESULT_ALREADY 0x90000001UL

static DWORD SubscriptionReplyLength(const BYTE *reply, DWORD received) {
  if (received == 0) return 0;
  return reply[0] == 0x80 + READ_LAST_CODE ? 20 : 16;
}

/* One request; *result gets offset 12 of the reply and *value offset 16 (reply 0x83). */
static int Ask(DWORD service_pid, BYTE command, DWORD process_id, DWORD *result, DWORD *value) {
  BYTE request[REQUEST_SIZE] = {0};
  BYTE reply[20] = {0};
  DWORD received = 0;
  int status;
  request[0] = command;
  Store32(request + 4, 4); /* payload length: the process id at offset 16 */
  Store32(request + 16, process_id);
  status = AskService(PIPE_NAME, service_pid, request, sizeof(request), SubscriptionReplyLength,
                      reply, sizeof(reply), REPLY_MS, &received);
  if (status != EXIT_DONE) return status;
  if (reply[0] != 0x80 + command) {
    fprintf(stderr, "unexpected reply code 0x%02X\n", reply[0]);
    return EXIT_NO_REPLY;
  }
  *result = Load32(reply + 12);
  if (value) *value = Load32(reply + 16);
  return EXIT_DONE;
}

static HANDLE ClientEvent(const wchar_t *format, DWORD pid) {
  wchar_t name[32];
  _snwprintf(name, 32, format, (unsigned)pid);
  name[31] = L'\0';
  /* Auto-reset and not signalled, as the service would make it. */
  return CreateEventW(NULL, FALSE, FALSE, name);
}

int wmain(int argc, wchar_t **argv) {
  const DWORD pid = GetCurrentProcessId();
  DWORD seconds = 60;
  DWORD service_pid;
  DWORD result = 0;
  DWORD code = 0;
  HANDLE events[2];
  int status;
  if (argc > 2) return EXIT_USAGE;
  if (argc == 2) seconds = wcstoul(argv[1], NULL, 10);

  service_pid = ServiceProcessId();
  if (service_pid == 0) {
    fprintf(stderr, "the service is not running\n");
    return EXIT_NOT_RUNNING;
  }
  /* Made before the subscribe, so that no wake-up is missed; the service opens them. */
  events[0] = ClientEvent(L"Global\\ORVAWMIEMA_%x", pid);
  events[1] = ClientEvent(L"Global\\ORVAWMIEMA_RM_%x", pid);
  if (!events[0] || !events[1]) {
    fprintf(stderr, "cannot make the subscriber events (error %lu)\n", GetLastError());
    return EXIT_REFUSED;
  }

  status = Ask(service_pid, SUBSCRIBE, pid, &result, NULL);
  if (status != EXIT_DONE) return status;
  printf("subscribed result=0x%08lX\n", result);
  fflush(stdout);
  if (result != RESULT_DONE && result != RESULT_EVICTED_OTHERS && result != RESULT_ALREADY) {
    return EXIT_REFUSED;
  }

  switch (WaitForMultipleObjects(2, events, FALSE, seconds * 1000)) {
    case WAIT_OBJECT_0:
      status = Ask(service_pid, READ_LAST_CODE, 0, &result, &code);
      if (status != EXIT_DONE) break;
      printf("code=0x%02lX\n", code);
      break;
    case WAIT_OBJECT_0 + 1:
      printf("evicted\n"); /* no longer subscribed: nothing to undo */
      return EXIT_REFUSED;
    default:
      printf("no hotkey\n");
      status = EXIT_NO_REPLY;
      break;
  }
  fflush(stdout);

  if (Ask(service_pid, UNSUBSCRIBE, pid, &result, NULL) == EXIT_DONE) {
    printf("unsubscribed result=0x%08lX\n", result);
  }
  CloseHandle(events[0]);
  CloseHandle(events[1]);
  return status;
}
