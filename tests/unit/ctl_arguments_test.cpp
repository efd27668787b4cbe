// HalvaroCtl's command line: what a person types is taken only when it means one thing.
#include <gtest/gtest.h>

#include <vector>

#include "ctl/arguments.h"

namespace halvaro::ctl {
namespace {

std::optional<Arguments> Parse(std::vector<const wchar_t*> args) {
  args.insert(args.begin(), L"HalvaroCtl.exe");
  std::string error;
  return ParseArguments(static_cast<int>(args.size()), args.data(), &error);
}

TEST(CtlArgumentsTest, LevelsAreWholeNumbersFromZeroToOneHundred) {
  EXPECT_EQ(Parse({L"volume", L"0"})->level, 0u);
  EXPECT_EQ(Parse({L"hotkey-volume", L"100", L"--json"})->level, 100u);
  for (const wchar_t* bad : {L"101", L"-1", L"+5", L"4x", L"", L"0x10", L"99999999999"}) {
    EXPECT_FALSE(Parse({L"volume", bad})) << bad;
  }
  EXPECT_FALSE(Parse({L"volume"}));
  EXPECT_FALSE(Parse({L"volume", L"5", L"6"}));
}

TEST(CtlArgumentsTest, OptionsAnywhereAndOnlyWhereTheyBelong) {
  const std::optional<Arguments> watch = Parse({L"--json", L"watch", L"--for", L"3"});
  ASSERT_TRUE(watch);
  EXPECT_TRUE(watch->json);
  EXPECT_EQ(watch->for_seconds, 3u);
  EXPECT_FALSE(Parse({L"status", L"--for", L"3"}));
  EXPECT_FALSE(Parse({L"watch", L"--for"}));
  EXPECT_FALSE(Parse({L"status", L"--verbose"}));
  EXPECT_FALSE(Parse({L"stats"}));
  EXPECT_FALSE(Parse({}));
  const std::optional<Arguments> help = Parse({L"volume", L"--help"});
  ASSERT_TRUE(help);  // the level is not needed for the command's help
  EXPECT_TRUE(help->help);
  EXPECT_EQ(help->command, Command::kVolume);
}

TEST(CtlArgumentsTest, HelpNamesACommandAsTyped) {
  const std::optional<Arguments> help = Parse({L"help", L"hotkey-volume"});
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
  EXPECT_EQ(help->command, Command::kHotkeyVolume);
  const std::optional<Arguments> program = Parse({L"help"});
  ASSERT_TRUE(program);
  EXPECT_TRUE(program->help);
  EXPECT_EQ(program->command, Command::kNone);
  EXPECT_FALSE(Parse({L"help", L"stats"}));
  EXPECT_EQ(CommandName(Command::kHotkeyVolume), "hotkey-volume");
  EXPECT_EQ(CommandName(Command::kStatus), "status");
  EXPECT_EQ(CommandName(Command::kNone), "");
}

}  // namespace
}  // namespace halvaro::ctl
