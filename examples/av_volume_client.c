/* An example client of the AV-command pipe (docs/protocol.md): sets the volume that the AV
 * board shows, with the board's Set volume command, and prints whether the board took it.
 *
 *   av_volume_client.exe <0-100>
 *
 * Prints "result=0x%08X board=<answer>" and "done" or "not acknowledged". Exit codes as in
 * service_pipe.h. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "service_pipe.h"

#define PIPE_NAME L"\\\\.\\pipe\\OrvaVurur_srv_0"
#define HEADER_SIZE 8
#define DATA_SIZE 2
#define REPLY_MS 10000 /* the board's exchange, and the wait for the line, 2 s each at most */

#define AV_OPERATION 1
#define SET_VOLUME 2
#define RESULT_DONE 0x00000000UL
#define RESULT_NOT_ACKNOWLEDGED 0x80000008UL

/* The header tells: 8 bytes, and the data length at offset 2 after them. */
static DWORD AvReplyLength(const BYTE *reply, DWORD received) {
  if (received < HEADER_SIZE) return 0;
  return HEADER_SIZE + (reply[2] | ((DWORD)reply[3] << 8));
}

int wmain(int argc, wchar_t **argv) {
  BYTE request[HEADER_SIZE + DATA_SIZE] = {0};
  BYTE reply[HEADER_SIZE + DATA_SIZE] = {0};
  DWORD received = 0;
  DWORD service_pid;
  DWORD result;
  unsigned long level;
  wchar_t *end = NULL;
  int status;
  if (argc != 2) return EXIT_USAGE;
  level = wcstoul(argv[1], &end, 10);
  if (*argv[1] == L'\0' || *end != L'\0' || level > 100) return EXIT_USAGE;

  service_pid = ServiceProcessId();
  if (service_pid == 0) {
    fprintf(stderr, "the service is not running\n");
    return EXIT_NOT_RUNNING;
  }
  request[0] = AV_OPERATION;
  request[2] = DATA_SIZE; /* data length, little-endian 16 bits */
  request[HEADER_SIZE] = SET_VOLUME;
  request[HEADER_SIZE + 1] = (BYTE)level;
  status = AskService(PIPE_NAME, service_pid, request, sizeof(request), AvReplyLength, reply,
                      sizeof(reply), REPLY_MS, &received);
  if (status != EXIT_DONE) return status;
  if (reply[0] != 0x80 + AV_OPERATION) {
    fprintf(stderr, "unexpected reply code 0x%02X\n", reply[0]);
    return EXIT_NO_REPLY;
  }
  result = Load32(reply + 4);
  /* Data come only with result 0; their byte 1 is the board's answer, 1 for acknowledged. */
  printf("result=0x%08lX board=%d\n", result,
         received >= HEADER_SIZE + DATA_SIZE ? reply[HEADER_SIZE + 1] : 0);
  if (result == RESULT_DONE) {
    printf("done\n");
    return EXIT_DONE;
  }
  printf(result == RESULT_NOT_ACKNOWLEDGED ? "not acknowledged\n" : "refused\n");
  return EXIT_REFUSED;
}
