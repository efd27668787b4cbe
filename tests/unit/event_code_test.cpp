#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <vector>

#include "service/event_code.h"
#include "service/event_listener.h"

namespace halvaro {
namespace {

TEST(EventCodeTest, IntegersAreTakenByTheirType) {
  VARIANT v;
  uint32_t code = 0;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 0xC0;
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 0xC0u);

  v.vt = VT_UI1;
  v.lVal = 0x7FFFFFC6;  // only the byte belongs to the value
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 0xC6u);

  v.vt = VT_UI2;
  v.uiVal = 0xBEEF;
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 0xBEEFu);

  v.vt = VT_I2;
  v.iVal = -2;
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 0xFFFFFFFEu);

  v.vt = VT_UI4;
  v.ulVal = 0xFFFFFFFFu;
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 0xFFFFFFFFu);
}

TEST(EventCodeTest, DecimalStringsAreNumbersOthersAreNot) {
  VARIANT v;
  uint32_t code = 7;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"198");
  ASSERT_TRUE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 198u);
  VariantClear(&v);

  for (const wchar_t* text : {L"", L"12x", L"-1", L"4294967296", L" 5"}) {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    code = 7;
    EXPECT_FALSE(EventCodeFromVariant(v, &code)) << text;
    EXPECT_EQ(code, 7u);
    VariantClear(&v);
  }
}

TEST(EventCodeTest, EmptyAndOtherTypesCarryNoCode) {
  VARIANT v;
  uint32_t code = 7;
  VariantInit(&v);
  EXPECT_FALSE(EventCodeFromVariant(v, &code));  // what a failed read leaves
  v.vt = VT_NULL;
  EXPECT_FALSE(EventCodeFromVariant(v, &code));
  v.vt = VT_R8;
  v.dblVal = 192.0;
  EXPECT_FALSE(EventCodeFromVariant(v, &code));
  EXPECT_EQ(code, 7u);
}

// The listener's reconnection pauses: doubled from the first, and never beyond the longest.
TEST(EventListenerTest, RestartPausesRunFromOneSecondToSixteen) {
  std::vector<DWORD> pauses = {kFirstRestartPauseMs};
  for (int i = 0; i < 6; ++i) pauses.push_back(NextRestartPause(pauses.back()));
  EXPECT_EQ(pauses, (std::vector<DWORD>{1000, 2000, 4000, 8000, 16000, 16000, 16000}));
}

}  // namespace
}  // namespace halvaro
