#include "common/worker_thread.h"

#include "common/tick_deadline.h"

#include <utility>

namespace halvaro {

namespace {

struct Launch {
  WorkerThread::Body body;
  HANDLE stop_event;  // owned by the WorkerThread, which outlives the thread
};

DWORD WINAPI RunWorker(void* parameter) {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(parameter));
  try {
    launch->body(launch->stop_event);
  } catch (...) {
    // An escaped exception would end the whole process; the worker ends instead.
  }
  return 0;
}

}  // namespace

bool WorkerThread::Start(Body body) {
  if (Running()) return false;
  thread_.reset();
  stop_event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event_) return false;
  auto launch = std::make_unique<Launch>(Launch{std::move(body), stop_event_.get()});
  // Suspended until its handle is stored: a body may hand its end to whoever then looks at
  // this object (the service's stop reports from its thread that the process may end).
  thread_.reset(CreateThread(nullptr, 0, RunWorker, launch.get(), CREATE_SUSPENDED, nullptr));
  if (!thread_) return false;
  if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
    thread_.reset();  // never runs: the launch is freed here
    return false;
  }
  launch.release();  // the thread owns it now
  return true;
}

void WorkerThread::RequestStop() {
  if (stop_event_) SetEvent(stop_event_.get());
}

bool WorkerThread::Stop(DWORD timeout_ms) {
  RequestStop();
  if (!thread_) return true;
  return WaitForSingleObject(thread_.get(), timeout_ms) == WAIT_OBJECT_0;
}

bool WorkerThread::Running() const {
  return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT;
}

void WorkerGroup::ForgetEnded() {
  workers_.remove_if([](const std::unique_ptr<WorkerThread>& w) { return !w->Running(); });
}

bool WorkerGroup::Start(WorkerThread::Body body) {
  std::lock_guard<Lock> guard(lock_);
  if (closed_) return false;
  ForgetEnded();
  if (workers_.size() >= capacity_) return false;
  auto worker = std::make_unique<WorkerThread>();
  if (!worker->Start(std::move(body))) return false;
  workers_.push_back(std::move(worker));
  return true;
}

bool WorkerGroup::StopAll(DWORD timeout_ms) {
  std::list<std::unique_ptr<WorkerThread>> workers;
  {
    std::lock_guard<Lock> guard(lock_);
    closed_ = true;
    workers.swap(workers_);
  }
  for (auto& worker : workers) worker->RequestStop();
  const TickDeadline deadline = TickDeadline::After(timeout_ms);
  bool all_ended = true;
  for (auto& worker : workers) {
    if (!worker->Stop(deadline.Remaining())) all_ended = false;
  }
  if (!all_ended) {
    // Those still running stay owned by the group, whose destruction waits for them.
    std::lock_guard<Lock> guard(lock_);
    workers_.splice(workers_.end(), workers);
    ForgetEnded();
  }
  return all_ended;
}

size_t WorkerGroup::Running() {
  std::lock_guard<Lock> guard(lock_);
  ForgetEnded();
  return workers_.size();
}

}  // namespace halvaro
