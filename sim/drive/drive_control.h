// The private control codes of SimDrive.sys, shared by the driver and SimDrive.exe. Include
// the header that defines CTL_CODE first (winioctl.h in programs, the DDK headers in the
// driver).
#pragma once

#include <stdint.h>

#define SIMDRIVE_DEVICE_NAME L"\\Device\\SimDrive0"
#define SIMDRIVE_LINK_NAME L"\\DosDevices\\CDROM0"
#define SIMDRIVE_USER_PATH L"\\\\.\\CDROM0"

// Function numbers from 0x800 up are free for private use.
#define SIMDRIVE_IOCTL(n) \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// No buffers: a disc goes in / comes out, without counting an eject.
#define IOCTL_SIMDRIVE_INSERT SIMDRIVE_IOCTL(0)
#define IOCTL_SIMDRIVE_REMOVE SIMDRIVE_IOCTL(1)
// Output: SimDriveStatus.
#define IOCTL_SIMDRIVE_STATUS SIMDRIVE_IOCTL(2)
// Input: SimDriveDelay. Each later eject takes that long before it completes.
#define IOCTL_SIMDRIVE_DELAY SIMDRIVE_IOCTL(3)

typedef struct SimDriveStatus {
  uint32_t media_present;  // 0 or 1
  uint32_t ejects;         // eject requests since the driver started
} SimDriveStatus;

typedef struct SimDriveDelay {
  uint32_t eject_delay_ms;
} SimDriveDelay;
