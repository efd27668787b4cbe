#include <gtest/gtest.h>

#include "service/logon_process.h"

namespace halvaro {
namespace {

TEST(LogonProcessTest, OnlyTheSystemsOwnInTheConsoleSessionIsTaken) {
  // A user's program named WINLOGON.EXE first in the snapshot (the first one was taken
  // before), the system's in another session, then the console's own.
  const std::vector<LogonCandidate> candidates = {
      {40, 1, false}, {12, 0, true}, {64, 1, true}, {88, 1, true}};
  EXPECT_EQ(ChooseLogonProcess(candidates, 1), 64u);
  EXPECT_EQ(ChooseLogonProcess(candidates, 0), 12u);
  EXPECT_EQ(ChooseLogonProcess(candidates, 2), 0u);
  EXPECT_EQ(ChooseLogonProcess({{40, 1, false}}, 1), 0u);  // only a user's: no token
}

}  // namespace
}  // namespace halvaro
