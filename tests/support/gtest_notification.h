// GoogleTest's Notification on a Win32 event. GoogleTest builds its own on std::mutex and
// std::condition_variable, which the win32 thread model's standard library lacks; with
// GTEST_HAS_NOTIFICATION_ set it takes this one instead. Included ahead of every source of
// gtest and of the test programs that use it (tests/CMakeLists.txt).
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_.get()); }
  void WaitForNotification() { WaitForSingleObject(event_.get(), INFINITE); }

 private:
  halvaro::UniqueHandle event_;
};

}  // namespace internal
}  // namespace testing
