// Turns Ctrl+C, Ctrl+Break and the console's close into a signalled event, so that a long
// command ends on its own thread and tidies up (watch unsubscribes) instead of being ended
// by the default handler.
//
// Threading: one InterruptEvent at a time, made and destroyed on the main thread. The
// handler runs on a thread that the system makes for each control event; it only sets the
// event and, for a close, waits (bounded) until Finished() says the tidying is done, since
// the process ends as soon as the handler returns. The destructor waits for a handler that
// is still using the events, so none touches them once they are closed.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace halvaro::ctl {

class InterruptEvent {
 public:
  InterruptEvent();
  ~InterruptEvent();
  InterruptEvent(const InterruptEvent&) = delete;
  InterruptEvent& operator=(const InterruptEvent&) = delete;

  bool valid() const { return installed_; }
  HANDLE get() const { return interrupted_.get(); }
  void Finished() { SetEvent(finished_.get()); }

 private:
  UniqueHandle interrupted_;
  UniqueHandle finished_;
  bool installed_ = false;
};

}  // namespace halvaro::ctl
