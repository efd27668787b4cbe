// The pipe server against clients that hold their connection: one that connected and never
// wrote, one that wrote a request and never reads the reply, and more silent ones than the
// server serves at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <vector>

#include "common/pipe_server.h"
#include "common/unique_resource.h"
#include "tests/support/process_threads.h"

namespace halvaro {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\HalvaroPipeServerTest";

UniqueHandle Connect() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueHandle pipe(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    WaitNamedPipeW(kPipeName, 100);
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

TEST(PipeServerTest, SilentClientsAreCappedAndDisconnectedInTime) {
  PipeServer server;
  PipeServer::Options options;
  options.name = kPipeName;
  options.access_mask = GENERIC_READ | GENERIC_WRITE;
  ASSERT_TRUE(server.Start(options, PipeServer::RequestReply(32, [](uint8_t*, size_t n) {
    return n;
  })));

  std::vector<UniqueHandle> silent;
  for (size_t i = 0; i < kPipeMostConnections; ++i) {
    silent.push_back(Connect());
    ASSERT_TRUE(silent.back());
  }
  // One more than the server serves at once: turned away at once, not given a thread.
  UniqueHandle extra = Connect();
  ASSERT_TRUE(extra);
  bool turned_away = false;
  for (int i = 0; i < 200 && !turned_away; ++i) {
    turned_away = DisconnectedByServer(extra.get());
    if (!turned_away) Sleep(10);
  }
  EXPECT_TRUE(turned_away);
  EXPECT_FALSE(DisconnectedByServer(silent.front().get()));

  // The silent ones are let go once their time to send a request is over.
  const ULONGLONG deadline = GetTickCount64() + kPipeRequestWaitMs + 5000;
  size_t gone = 0;
  while (GetTickCount64() < deadline) {
    gone = 0;
    for (const UniqueHandle& pipe : silent) gone += DisconnectedByServer(pipe.get()) ? 1 : 0;
    if (gone == silent.size()) break;
    Sleep(50);
  }
  EXPECT_EQ(gone, silent.size());
  EXPECT_TRUE(server.Stop(10000));
}

TEST(PipeServerTest, ANameAnotherProgramHoldsIsNotServed) {
  UniqueHandle squatter(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 8,
                                         4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter);
  PipeServer server;
  PipeServer::Options options;
  options.name = kPipeName;
  options.access_mask = GENERIC_READ | GENERIC_WRITE;
  options.creation_failures_allowed = 1;
  ASSERT_TRUE(server.Start(options, PipeServer::RequestReply(32, [](uint8_t*, size_t) {
    return size_t{0};
  })));
  Sleep(300);  // the server's attempt has been made and refused

  // The squatter's one instance takes the first client; there is no second instance.
  UniqueHandle first(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(first);
  UniqueHandle second(CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(second);  // busy (wine: not found), where our own instance would have taken it
  EXPECT_TRUE(server.Stop(2000));
}

}  // namespace
}  // namespace halvaro
