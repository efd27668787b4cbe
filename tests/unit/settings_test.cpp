// Reads the settings from the real registry of the test prefix, under the service's key.
#include <gtest/gtest.h>

#include "common/unique_resource.h"
#include "common/object_names.h"
#include "service/settings.h"

namespace halvaro {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKeyPath); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKeyPath); }

  static UniqueRegKey CreateKey() {
    UniqueRegKey key;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath, key.put()), ERROR_SUCCESS);
    return key;
  }

  static void Set(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }

  static void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    Set(key, name, REG_DWORD, &value, sizeof(value));
  }

  static bool ReadDword(const wchar_t* name, DWORD* value) {
    DWORD size = sizeof(*value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKeyPath, name, RRF_RT_ANY, nullptr, value,
                        &size) == ERROR_SUCCESS;
  }

  void ExpectSettings(uint32_t subscribers, uint32_t port, uint32_t baud, uint32_t frame) {
    const Settings& s = settings_;
    EXPECT_EQ(s.max_subscribers, subscribers);
    EXPECT_EQ(s.com_port, port);
    EXPECT_EQ(s.baud_rate, baud);
    EXPECT_EQ(s.cmd_time_frame, frame);
  }

  Settings settings_;
};

TEST_F(SettingsTest, NoKeyOrNoValuesKeepsTheDefaults) {
  ReadSettings(settings_);
  ExpectSettings(1, 1, 9600, 0);
  UniqueRegKey key = CreateKey();
  ReadSettings(settings_);
  ExpectSettings(1, 1, 9600, 0);
}

TEST_F(SettingsTest, StoredValuesAreTakenAndZeroSubscribersReadsAsOne) {
  UniqueRegKey key = CreateKey();
  SetDword(key.get(), L"EMAMaxRegister", 0);
  SetDword(key.get(), L"ComPort", 7);
  SetDword(key.get(), L"BuadRate", 115200);
  SetDword(key.get(), L"ComCmdTimeFrame", 250);
  ReadSettings(settings_);
  ExpectSettings(1, 7, 115200, 250);
  DWORD stored = 99;
  ASSERT_TRUE(ReadDword(L"EMAMaxRegister", &stored));
  EXPECT_EQ(stored, 0u);  // the registry keeps its 0

  // A period longer than 10 s counts as 10 s: 0xFFFFFFFF held the board's update 25 days.
  SetDword(key.get(), L"ComCmdTimeFrame", 0xFFFFFFFF);
  ReadSettings(settings_);
  ExpectSettings(1, 7, 115200, 10000);
}

TEST_F(SettingsTest, OnlyDataOfExactlyFourBytesCounts) {
  UniqueRegKey key = CreateKey();
  const BYTE four[4] = {0x03, 0x00, 0x00, 0x00};
  const BYTE eight[8] = {5, 0, 0, 0, 0, 0, 0, 0};
  const BYTE two[2] = {9, 0};
  Set(key.get(), L"EMAMaxRegister", REG_BINARY, four, sizeof(four));   // any type, 4 bytes
  Set(key.get(), L"ComPort", REG_SZ, L"12", 6);                         // 6 bytes: ignored
  Set(key.get(), L"BuadRate", REG_BINARY, eight, sizeof(eight));        // longer: ignored
  Set(key.get(), L"ComCmdTimeFrame", REG_BINARY, two, sizeof(two));     // shorter: ignored
  ReadSettings(settings_);
  ExpectSettings(3, 1, 9600, 0);

  const BYTE le[4] = {0x80, 0x25, 0x00, 0x00};  // 9600 stored as a string of 4 bytes
  Set(key.get(), L"BuadRate", REG_SZ, le, sizeof(le));
  ReadSettings(settings_);
  EXPECT_EQ(settings_.baud_rate, 0x2580u);
}

TEST_F(SettingsTest, AvModeLeftOnIsClearedAtStart) {
  UniqueRegKey key = CreateKey();
  SetDword(key.get(), L"CurrentAVMode", 1);
  settings_.av_mode = 1;
  ReadSettings(settings_);
  DWORD value = 0;
  EXPECT_FALSE(ReadDword(L"CurrentAVMode", &value));
  EXPECT_EQ(settings_.av_mode.load(), 0u);

  EXPECT_EQ(WriteAvMode(1), ERROR_SUCCESS);
  ASSERT_TRUE(ReadDword(L"CurrentAVMode", &value));
  EXPECT_EQ(value, 1u);
}

TEST_F(SettingsTest, ListenerStatusIsWrittenAndCleared) {
  UniqueRegKey key = CreateKey();
  WriteListenerStatus(0, 1);
  DWORD mode = 7, board = 7;
  ASSERT_TRUE(ReadDword(L"CurrentServiceMode", &mode));
  ASSERT_TRUE(ReadDword(L"AVBoardStatus", &board));
  EXPECT_EQ(mode, 0u);
  EXPECT_EQ(board, 1u);
  ClearListenerStatus();
  EXPECT_FALSE(ReadDword(L"CurrentServiceMode", &mode));
  EXPECT_TRUE(ReadDword(L"AVBoardStatus", &board));  // never deleted
}

TEST_F(SettingsTest, WritersDoNothingWithoutTheKey) {
  WriteListenerStatus(1, 1);
  EXPECT_NE(WriteAvMode(1), ERROR_SUCCESS);
  HKEY probe = nullptr;
  EXPECT_NE(RegOpenKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath, &probe), ERROR_SUCCESS);
}

}  // namespace
}  // namespace halvaro
