#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "common/service_problem.h"
#include "service/service_control.h"
#include "service/service_state.h"
#include "service/status_report.h"

namespace halvaro {
namespace {

std::vector<SERVICE_STATUS> g_reports;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
  g_reports.push_back(*status);
  return TRUE;
}

// Each test starts from a record of its own in the running state, whose reports go to
// g_reports.
class StatusReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    record_.sink = &RecordStatus;
    InitServiceStatus(record_);
    ReportServiceStatus(record_, SERVICE_RUNNING);  // what ServiceMain reports once registered
  }

  StatusRecord record_;
};

// The control handler reports on the service's own record: its reports go to g_reports, and
// the record is put back as it was afterwards.
class ControlHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    StatusRecord& s = Service().status;
    {
      std::lock_guard<Lock> lock(s.lock);
      saved_ = Saved{s.status, s.checkpoint, s.problem, s.sink};
      s.sink = &RecordStatus;
      s.checkpoint = 1;
      s.problem = kNoServiceProblem;
    }
    InitServiceStatus(s);
    ReportServiceStatus(s, SERVICE_RUNNING);
  }

  void TearDown() override {
    StatusRecord& s = Service().status;
    std::lock_guard<Lock> lock(s.lock);
    s.status = saved_.status;
    s.checkpoint = saved_.checkpoint;
    s.problem = saved_.problem;
    s.sink = saved_.sink;
  }

 private:
  struct Saved {
    SERVICE_STATUS status;
    uint32_t checkpoint;
    DWORD problem;
    StatusSink sink;
  };
  Saved saved_{};
};

void ExpectReport(const SERVICE_STATUS& r, DWORD state, DWORD accepted, DWORD checkpoint) {
  EXPECT_EQ(r.dwCurrentState, state);
  EXPECT_EQ(r.dwControlsAccepted, accepted);
  EXPECT_EQ(r.dwWin32ExitCode, 0u);
  EXPECT_EQ(r.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(r.dwCheckPoint, checkpoint);
  EXPECT_EQ(r.dwWaitHint, 0u);
}

TEST_F(ControlHandlerTest, LifecycleSequenceCarriesCheckpointsOnlyInPendingStates) {
  ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
  ServiceControlHandler(SERVICE_CONTROL_PAUSE);
  ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
  ServiceControlHandler(SERVICE_CONTROL_CONTINUE);
  ServiceControlHandler(200);  // an unknown code reports the current state
  // The stop's two reports, with the whole teardown between them (it ends companions by name
  // among others, which has no place here).
  ReportServiceStatusWithCheckpoint(Service().status, SERVICE_STOP_PENDING,
                                    /*take_checkpoint=*/true);
  ReportServiceStatus(Service().status, SERVICE_STOPPED);
  ServiceControlHandler(SERVICE_CONTROL_PAUSE);  // a later pending report takes the next one

  ASSERT_EQ(g_reports.size(), 9u);
  ExpectReport(g_reports[0], SERVICE_RUNNING, 5, 0);
  ExpectReport(g_reports[1], SERVICE_RUNNING, 5, 0);  // interrogation keeps the counter
  ExpectReport(g_reports[2], SERVICE_PAUSED, 5, 1);
  ExpectReport(g_reports[3], SERVICE_PAUSED, 5, 2);  // paused is not running: takes one
  ExpectReport(g_reports[4], SERVICE_RUNNING, 5, 0);
  ExpectReport(g_reports[5], SERVICE_RUNNING, 5, 0);
  ExpectReport(g_reports[6], SERVICE_STOP_PENDING, 5, 3);
  ExpectReport(g_reports[7], SERVICE_STOPPED, 5, 0);
  ExpectReport(g_reports[8], SERVICE_PAUSED, 5, 4);
}

// A problem is told at once and with every later report while the service runs or is
// paused, never with a pending or stopped state.
TEST_F(StatusReportTest, ProblemIsReportedWhileRunningOnly) {
  ReportServiceProblem(record_, kForeignMixerEventProblem);
  ReportServiceStatus(record_, SERVICE_PAUSED);
  ReportServiceStatus(record_, SERVICE_STOP_PENDING);
  ReportServiceStatus(record_, SERVICE_STOPPED);
  ReportServiceProblem(record_, kForeignMixerEventProblem);  // stopped: nothing is sent
  ASSERT_EQ(g_reports.size(), 5u);
  for (size_t i : {1u, 2u}) {
    EXPECT_EQ(g_reports[i].dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR)) << i;
    EXPECT_EQ(g_reports[i].dwServiceSpecificExitCode, kForeignMixerEventProblem) << i;
  }
  EXPECT_EQ(g_reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ExpectReport(g_reports[3], SERVICE_STOP_PENDING, 5, 2);
  ExpectReport(g_reports[4], SERVICE_STOPPED, 5, 0);
}

TEST_F(ControlHandlerTest, ShutdownReportsStoppedOnly) {
  ServiceControlHandler(SERVICE_CONTROL_SHUTDOWN);
  ASSERT_EQ(g_reports.size(), 2u);
  ExpectReport(g_reports[1], SERVICE_STOPPED, 5, 0);
  ServiceControlHandler(SERVICE_CONTROL_INTERROGATE);
  ASSERT_EQ(g_reports.size(), 3u);
  ExpectReport(g_reports[2], SERVICE_STOPPED, 5, 0);
}

TEST_F(StatusReportTest, StartPendingAcceptsNoControlsAndTakesACheckpoint) {
  ReportServiceStatus(record_, SERVICE_START_PENDING);
  ReportServiceStatus(record_, SERVICE_START_PENDING);
  ASSERT_EQ(g_reports.size(), 3u);
  ExpectReport(g_reports[1], SERVICE_START_PENDING, 0, 1);
  ExpectReport(g_reports[2], SERVICE_START_PENDING, 0, 2);
}

}  // namespace
}  // namespace halvaro
