// The pipe server's stop against clients that hold their connection: one that connected and
// never wrote, and one that wrote a request and never reads the reply.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

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

}  // namespace
}  // namespace halvaro
