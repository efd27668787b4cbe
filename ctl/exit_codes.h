// HalvaroCtl's exit codes, one per kind of outcome, so that scripts can tell them apart.
// `HalvaroCtl --help` and README.md list them; keep the three in step.
//
// Threading: constants only.
#pragma once

namespace halvaro::ctl {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;        // a system call failed, or a reply made no sense
constexpr int kExitUsage = 2;          // unknown command, option or argument
constexpr int kExitNotInstalled = 3;   // the service is not installed
constexpr int kExitNotRunning = 4;     // installed, but not running (stopped, pending, paused)
constexpr int kExitPipe = 5;           // a pipe does not answer, or another program holds it
constexpr int kExitNotAcknowledged = 6;  // the AV board did not acknowledge
constexpr int kExitRefused = 7;        // the service refused the subscription

}  // namespace halvaro::ctl
