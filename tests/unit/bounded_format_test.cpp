#include <gtest/gtest.h>

#include <cwchar>

#include "common/bounded_format.h"

namespace halvaro {
namespace {

TEST(BoundedFormatTest, FormatsNamesThatFit) {
  wchar_t buffer[32];
  EXPECT_EQ(FormatBounded(buffer, 32, L"\\\\.\\COM%d", 7), kFormatOk);
  EXPECT_STREQ(buffer, L"\\\\.\\COM7");
  EXPECT_EQ(FormatBounded(buffer, 32, L"Global\\ORVAWMIEMA_%x", 0x1A2Bu), kFormatOk);
  EXPECT_STREQ(buffer, L"Global\\ORVAWMIEMA_1a2b");
}

TEST(BoundedFormatTest, ExactFitIsNotCut) {
  wchar_t buffer[4];
  EXPECT_EQ(FormatBounded(buffer, 4, L"%d", 123), kFormatOk);
  EXPECT_STREQ(buffer, L"123");
}

TEST(BoundedFormatTest, CutTextIsTerminatedAndReported) {
  wchar_t buffer[8];
  wmemset(buffer, L'#', 8);
  EXPECT_EQ(FormatBounded(buffer, 8, L"\\\\.\\COM%d", 123456), kFormatTruncated);
  EXPECT_STREQ(buffer, L"\\\\.\\COM");
  EXPECT_EQ(FormatBounded(buffer, 1, L"x"), kFormatTruncated);
  EXPECT_STREQ(buffer, L"");
}

TEST(BoundedFormatTest, RejectsInvalidSizesWithoutWriting) {
  wchar_t buffer[2] = {L'a', L'b'};
  EXPECT_EQ(FormatBounded(buffer, 0, L"%d", 1), kFormatInvalidSize);
  EXPECT_EQ(FormatBounded(buffer, size_t{0x80000000u}, L"%d", 1), kFormatInvalidSize);
  EXPECT_EQ(buffer[0], L'a');
  EXPECT_EQ(buffer[1], L'b');
}

}  // namespace
}  // namespace halvaro
