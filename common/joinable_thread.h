// A plain thread that runs one callable, for the test and benchmark programs: the win32
// thread model's standard library has no std::thread. Same use as std::thread: construct
// with a callable and its arguments, then join() or detach(). Unlike std::thread, a thread
// neither joined nor detached is joined by the destructor. The service's own threads are
// WorkerThreads (common/worker_thread.h), which can be told to stop.
//
// Threading: join and detach are called by the owner only. An exception that leaves the
// callable ends the process, as with std::thread.
#pragma once

#include <windows.h>
#include <process.h>

#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "common/unique_resource.h"

namespace halvaro {

class JoinableThread {
 public:
  JoinableThread() = default;
  template <typename Function, typename... Args>
  explicit JoinableThread(Function&& function, Args&&... args) {
    auto body = std::make_unique<std::function<void()>>(
        std::bind(std::forward<Function>(function), std::forward<Args>(args)...));
    thread_.reset(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &JoinableThread::Run, body.get(), 0, nullptr)));
    if (!thread_) throw std::bad_alloc();
    body.release();  // the thread owns it now
  }
  ~JoinableThread() { join(); }
  JoinableThread(JoinableThread&&) noexcept = default;
  JoinableThread& operator=(JoinableThread&& other) noexcept {
    join();
    thread_ = std::move(other.thread_);
    return *this;
  }

  bool joinable() const { return thread_.valid(); }
  void join() {
    if (!thread_) return;
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
  void detach() { thread_.reset(); }

 private:
  static unsigned __stdcall Run(void* parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    try {
      (*body)();
    } catch (...) {
      std::terminate();
    }
    return 0;
  }

  UniqueHandle thread_;
};

}  // namespace halvaro
