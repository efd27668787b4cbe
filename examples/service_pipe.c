#include "service_pipe.h"

#include <aclapi.h>
#include <stdio.h>

#define CONNECT_MS 3000 /* for an instance while every one is busy */
#define ABSENT_MS 1000  /* for an instance while none exists */
#define ABSENT_RETRY_MS 50

typedef BOOL(WINAPI *ServerProcessIdFunction)(HANDLE pipe, PULONG process_id);

DWORD Load32(const BYTE *bytes) {
  return (DWORD)bytes[0] | ((DWORD)bytes[1] << 8) | ((DWORD)bytes[2] << 16) |
         ((DWORD)bytes[3] << 24);
}

void Store32(BYTE *bytes, DWORD value) {
  bytes[0] = (BYTE)value;
  bytes[1] = (BYTE)(value >> 8);
  bytes[2] = (BYTE)(value >> 16);
  bytes[3] = (BYTE)(value >> 24);
}

static DWORD Remaining(DWORD start, DWORD span) {
  const DWORD passed = GetTickCount() - start;
  return passed >= span ? 0 : span - passed;
}

DWORD ServiceProcessId(void) {
  SERVICE_STATUS_PROCESS status;
  DWORD needed = 0;
  DWORD pid = 0;
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  SC_HANDLE service;
  if (!manager) return 0;
  service = OpenServiceW(manager, L"Orva WMI Service", SERVICE_QUERY_STATUS);
  if (service) {
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof(status),
                             &needed) &&
        status.dwCurrentState == SERVICE_RUNNING) {
      pid = status.dwProcessId;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return pid;
}

/* NT 6.0 and later name the process that made the instance; NT 5.x only tells its owner,
 * which for the service is LocalSystem (or the Administrators group, the owner that
 * LocalSystem gives its objects on some versions). */
static BOOL ServerIsService(HANDLE pipe, DWORD service_pid, DWORD *server_pid) {
  /* Looked up, not imported: NT 5.1 lacks it. Through void*: FARPROC's type is no guide. */
  const ServerProcessIdFunction server_process_id = (ServerProcessIdFunction)(void *)
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeServerProcessId");
  PSID owner = NULL;
  PSECURITY_DESCRIPTOR descriptor = NULL;
  BOOL trusted;
  *server_pid = 0;
  if (server_process_id) {
    ULONG pid = 0;
    if (!server_process_id(pipe, &pid)) return FALSE;
    *server_pid = pid;
    return pid == service_pid;
  }
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL,
                      NULL, &descriptor) != ERROR_SUCCESS) {
    return FALSE;
  }
  trusted = owner != NULL && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                              IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  LocalFree(descriptor);
  return trusted;
}

static HANDLE Connect(const wchar_t *name, int *status) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, NULL);
    DWORD error;
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    error = GetLastError();
    if (error == ERROR_PIPE_BUSY && Remaining(start, CONNECT_MS) != 0) {
      WaitNamedPipeW(name, Remaining(start, CONNECT_MS));
    } else if (error == ERROR_FILE_NOT_FOUND && Remaining(start, ABSENT_MS) != 0) {
      Sleep(ABSENT_RETRY_MS);
    } else {
      fprintf(stderr, "cannot connect to %ls (error %lu)\n", name, error);
      *status = error == ERROR_PIPE_BUSY || error == ERROR_FILE_NOT_FOUND ? EXIT_NO_REPLY
                                                                           : EXIT_REFUSED;
      return INVALID_HANDLE_VALUE;
    }
  }
}

/* Waits for an overlapped I/O until `left` ms have passed; on time-out it is cancelled (it
 * is this thread's, so CancelIo reaches it on NT 5.1 too) and waited for. */
static BOOL Finish(HANDLE pipe, OVERLAPPED *io, DWORD left, DWORD *transferred) {
  if (WaitForSingleObject(io->hEvent, left) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, io, transferred, TRUE);
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
  }
  return GetOverlappedResult(pipe, io, transferred, FALSE) || GetLastError() == ERROR_MORE_DATA;
}

static int Transact(HANDLE pipe, HANDLE event, const BYTE *request, DWORD request_length,
                    ReplyLength reply_length, BYTE *reply, DWORD capacity, DWORD reply_ms,
                    DWORD *received) {
  const DWORD start = GetTickCount();
  OVERLAPPED io;
  DWORD done = 0;
  ZeroMemory(&io, sizeof(io));
  io.hEvent = event;
  if (!WriteFile(pipe, request, request_length, NULL, &io) && GetLastError() != ERROR_IO_PENDING) {
    fprintf(stderr, "cannot write the request (error %lu)\n", GetLastError());
    return EXIT_REFUSED;
  }
  if (!Finish(pipe, &io, Remaining(start, reply_ms), &done) || done != request_length) {
    fprintf(stderr, "cannot write the request (error %lu)\n", GetLastError());
    return EXIT_REFUSED;
  }
  *received = 0;
  for (;;) {
    const DWORD wanted = reply_length(reply, *received);
    const DWORD goal = wanted != 0 && wanted < capacity ? wanted : capacity;
    if (*received >= goal) return EXIT_DONE;
    ZeroMemory(&io, sizeof(io));
    io.hEvent = event;
    done = 0;
    if (!ReadFile(pipe, reply + *received, goal - *received, NULL, &io) &&
        GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
      break;
    }
    if (!Finish(pipe, &io, Remaining(start, reply_ms), &done) || done == 0) break;
    *received += done;
  }
  fprintf(stderr, "no whole reply: %lu bytes (error %lu)\n", *received, GetLastError());
  return EXIT_NO_REPLY;
}

int AskService(const wchar_t *pipe_name, DWORD service_pid, const BYTE *request,
               DWORD request_length, ReplyLength reply_length, BYTE *reply, DWORD capacity,
               DWORD reply_ms, DWORD *received) {
  int status = EXIT_DONE;
  DWORD server_pid = 0;
  HANDLE event;
  HANDLE pipe = Connect(pipe_name, &status);
  if (pipe == INVALID_HANDLE_VALUE) return status;
  if (!ServerIsService(pipe, service_pid, &server_pid)) {
    fprintf(stderr, "%ls is held by another program (process id %lu); nothing was sent\n",
            pipe_name, server_pid);
    CloseHandle(pipe);
    return EXIT_HELD;
  }
  event = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (!event) {
    fprintf(stderr, "cannot make an event (error %lu)\n", GetLastError());
    CloseHandle(pipe);
    return EXIT_REFUSED;
  }
  status = Transact(pipe, event, request, request_length, reply_length, reply, capacity,
                    reply_ms, received);
  CloseHandle(event);
  CloseHandle(pipe);
  return status;
}
