#include <gtest/gtest.h>

#include "common/unique_resource.h"

namespace halvaro {
namespace {

TEST(UniqueHandleTest, BothFailureValuesAreEmptyWhicheverCallFailed) {
  UniqueHandle missing_file(CreateFileW(L"Z:\\no\\such\\file", GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(missing_file);
  UniqueHandle null_handle(nullptr);
  EXPECT_FALSE(null_handle);
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_TRUE(event);

  // An out-parameter left at INVALID_HANDLE_VALUE is empty too, and never closed.
  UniqueHandle out;
  *out.put() = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(out);
}

TEST(UniqueHandleTest, ClosingKeepsTheLastError) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  SetLastError(ERROR_FILE_NOT_FOUND);
  event.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace halvaro
