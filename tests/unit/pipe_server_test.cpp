// The pipe server against clients that hold their connection: one that connected and never
// wrote, one that wrote a request and never reads the reply, and more silent ones than the
// server serves at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "common/locks.h"
#include "common/pipe_server.h"
#include "common/unique_resource.h"
#include "tests/support/process_threads.h"

namespace halvaro {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\HalvaroPipeServerTest";

// Waits up to about 10 s for an instance: busy ones, and a name that does not exist yet (the
// listener thread has not made its first instance, or waits to retry).
UniqueHandle Connect() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueHandle pipe(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipeName, 100);
    } else {
      Sleep(100);
    }
  }
  return UniqueHandle();
}

TEST(PipeServerTest, StopEndsConnectionsThatIdleOrNeverReadTheirReply) {
  const size_t threads_before = ThreadsOfThisProcess();
  ASSERT_GT(threads_before, 0u);

  std::atomic<int> handled{0};
  PipeServer server;
  PipeServer::Options options;
  options.name = kPipeName;
  options.access_mask = GENERIC_READ | GENERIC_WRITE;
  ASSERT_TRUE(server.Start(options, PipeServer::RequestReply(32, [&](uint8_t*, size_t received) {
    ++handled;
    return received;  // echoes the request
  })));

  UniqueHandle idle = Connect();
  ASSERT_TRUE(idle);
  UniqueHandle deaf = Connect();
  ASSERT_TRUE(deaf);
  const uint8_t request[4] = {3, 0, 0, 0};
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(deaf.get(), request, sizeof(request), &written, nullptr));
  for (int i = 0; i < 500 && handled == 0; ++i) Sleep(10);
  ASSERT_EQ(handled, 1);

  const ULONGLONG began = GetTickCount64();
  EXPECT_TRUE(server.Stop(10000));
  EXPECT_LT(GetTickCount64() - began, 5000u);  // generous; without the stop event: forever
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before);
}

// True when the server has closed its end: a read on the client's end then fails.
bool DisconnectedByServer(HANDLE pipe) {
  DWORD available = 0;
  return !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
}

bool WaitDisconnected(HANDLE pipe, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!DisconnectedByServer(pipe)) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}

// One request on a connection of its own; true when the 4-byte echo came back.
bool Ask(const uint8_t (&request)[4]) {
  UniqueHandle pipe = Connect();
  DWORD done = 0;
  uint8_t reply[4] = {};
  return pipe && WriteFile(pipe.get(), request, sizeof(request), &done, nullptr) &&
         ReadFile(pipe.get(), reply, sizeof(reply), &done, nullptr) && done == sizeof(reply) &&
         std::equal(reply, reply + 4, request);
}

class EchoServer {
 public:
  EchoServer() {
    PipeServer::Options options;
    options.name = kPipeName;
    options.access_mask = GENERIC_READ | GENERIC_WRITE;
    started_ = server_.Start(options, PipeServer::RequestReply(32, [](uint8_t*, size_t n) {
      return n;
    }));
  }
  bool started() const { return started_; }
  PipeServer& server() { return server_; }

 private:
  PipeServer server_;
  bool started_ = false;
};

TEST(PipeServerTest, SilentClientsCostNoThreadAndTheOldestMakeRoom) {
  const size_t threads_before = ThreadsOfThisProcess();
  EchoServer echo;
  ASSERT_TRUE(echo.started());

  std::vector<UniqueHandle> silent;
  for (size_t i = 0; i <= kPipeMostWaiting; ++i) {
    silent.push_back(Connect());
    ASSERT_TRUE(silent.back()) << i;
  }
  // One more than may wait: the oldest is let go long before its time is over.
  EXPECT_TRUE(WaitDisconnected(silent.front().get(), kPipeRequestWaitMs / 2));
  EXPECT_FALSE(DisconnectedByServer(silent.back().get()));
  // The others do not keep a new client from its answer, nor cost a thread each.
  const uint8_t request[4] = {3, 1, 2, 3};
  EXPECT_TRUE(Ask(request));
  EXPECT_LE(ThreadsOfThisProcess(), threads_before + 2);  // the listener and one connection

  // And they are let go once their time to send a request is over.
  EXPECT_TRUE(WaitDisconnected(silent.back().get(), kPipeRequestWaitMs + 5000));
  EXPECT_TRUE(echo.server().Stop(10000));
  EXPECT_EQ(ThreadsOfThisProcess(), threads_before);
}

TEST(PipeServerTest, TheConnectionEndsOnceTheReplyIsRead) {
  EchoServer echo;
  ASSERT_TRUE(echo.started());
  UniqueHandle pipe = Connect();
  ASSERT_TRUE(pipe);
  const uint8_t request[4] = {3, 0, 0, 0};
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(pipe.get(), request, sizeof(request), &done, nullptr));
  uint8_t reply[64] = {};
  ASSERT_TRUE(ReadFile(pipe.get(), reply, sizeof(reply), &done, nullptr));
  // A client that reads on learns of the end at once, not when the reply's time is over.
  const ULONGLONG began = GetTickCount64();
  EXPECT_FALSE(ReadFile(pipe.get(), reply, sizeof(reply), &done, nullptr));
  EXPECT_LT(GetTickCount64() - began, kPipeReplyWaitMs / 2);
}

// True when the reply to the request sent on `pipe` is there to be read: the connection
// thread that served it has written it and waits for the client to read it.
bool ReplyWaiting(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0;
}

TEST(PipeServerTest, ClientsThatNeverReadTheirReplyGiveWayToOthers) {
  EchoServer echo;
  ASSERT_TRUE(echo.started());
  std::vector<UniqueHandle> deaf;
  const uint8_t request[4] = {3, 0, 0, 0};
  const ULONGLONG first_request = GetTickCount64();
  for (size_t i = 0; i < kPipeMostConnections; ++i) {
    deaf.push_back(Connect());
    ASSERT_TRUE(deaf.back());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(deaf.back().get(), request, sizeof(request), &written, nullptr));
  }
  // Every connection thread waits for a client to read its reply ...
  const auto all_replies_waiting = [&deaf] {
    return std::all_of(deaf.begin(), deaf.end(),
                       [](const UniqueHandle& pipe) { return ReplyWaiting(pipe.get()); });
  };
  for (int i = 0; i < 1000 && !all_replies_waiting(); ++i) Sleep(10);
  ASSERT_TRUE(all_replies_waiting());
  // ... and one more client is answered before the time of any of them can be over (it began
  // after the first request was written): one of them gave way.
  EXPECT_TRUE(Ask(request));
  EXPECT_LT(GetTickCount64() - first_request, kPipeReplyWaitMs);
  // A deaf client is cut off in the end, its reply unread.
  EXPECT_TRUE(WaitDisconnected(deaf.back().get(), kPipeReplyWaitMs + 5000));
}

TEST(PipeServerTest, ANameAnotherProgramHoldsIsServedOnlyOnceItIsFree) {
  UniqueHandle squatter(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 8,
                                         4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter);
  // What the server says of the name, once per change however many attempts it makes.
  Lock told_lock;
  std::vector<bool> told;
  const auto told_now = [&] {
    std::lock_guard<Lock> guard(told_lock);
    return told;
  };
  PipeServer server;
  PipeServer::Options options;
  options.name = kPipeName;
  options.access_mask = GENERIC_READ | GENERIC_WRITE;
  options.name_watcher = [&](bool held_elsewhere) {
    std::lock_guard<Lock> guard(told_lock);
    told.push_back(held_elsewhere);
  };
  ASSERT_TRUE(server.Start(options, PipeServer::RequestReply(32, [](uint8_t* buffer, size_t) {
    buffer[0] = 0x5A;
    return size_t{1};
  })));
  // The server tries at once and again after its first pause (500 ms): through both, the
  // squatter's instance stays the only one of the name.
  DWORD most_instances = 0;
  for (const ULONGLONG began = GetTickCount64(); GetTickCount64() - began < 1000; Sleep(10)) {
    DWORD instances = 0;
    ASSERT_TRUE(GetNamedPipeHandleStateW(squatter.get(), nullptr, &instances, nullptr, nullptr,
                                         nullptr, 0));
    most_instances = std::max(most_instances, instances);
  }
  EXPECT_EQ(most_instances, 1u);
  EXPECT_EQ(told_now(), std::vector<bool>{true});

  // The squatter's one instance takes the first client; there is no second instance.
  UniqueHandle first(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(first);
  UniqueHandle second(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(second);  // busy (wine: not found), where our own instance would have taken it

  // Once the squatter has gone, the server takes the name after its next pause (500 ms,
  // doubling): before, it had given up for good.
  first.reset();
  squatter.reset();
  UniqueHandle served = Connect();
  ASSERT_TRUE(served);
  const uint8_t request = 1;
  uint8_t reply = 0;
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(served.get(), &request, 1, &done, nullptr));
  ASSERT_TRUE(ReadFile(served.get(), &reply, 1, &done, nullptr));
  EXPECT_EQ(reply, 0x5A);
  EXPECT_TRUE(server.Stop(2000));
  EXPECT_EQ(told_now(), (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace halvaro
