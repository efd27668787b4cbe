// SimDrive.sys: a simulated optical drive at \\.\CDROM0. It holds only two facts, whether a
// disc is in and how many ejects were asked for; SimDrive.exe changes and reads them through
// private control codes and can make each eject take a while. The drive starts empty, as on
// a machine with no disc.
#include <ntddk.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddstor.h>

#include "sim/drive/drive_control.h"

// Long enough for any test, short enough that a wrong value cannot hang a run.
#define MAX_EJECT_DELAY_MS 60000u

// Several programs may call at once; every field is read and written with interlocked ops.
static volatile LONG g_media_present = 0;
static volatile LONG g_ejects = 0;
static volatile LONG g_eject_delay_ms = 0;
static volatile LONG g_ejects_in_progress = 0;  // delayed ejects not yet completed

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD DriverUnload;
static DRIVER_DISPATCH DispatchSuccess;
static DRIVER_DISPATCH DispatchUnsupported;
static DRIVER_DISPATCH DispatchControl;
static IO_WORKITEM_ROUTINE FinishEject;

static LONG ReadShared(volatile LONG* value) { return InterlockedCompareExchange(value, 0, 0); }

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static LARGE_INTEGER Relative(LONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -(LONGLONG)ms * 10000;  // negative: relative, in 100 ns units
  return interval;
}

// Runs on a pool thread, so the drive answers other requests while the tray moves.
static void NTAPI FinishEject(PDEVICE_OBJECT device, PVOID context) {
  (void)device;
  const PIRP irp = (PIRP)context;
  const PIO_WORKITEM item = (PIO_WORKITEM)irp->Tail.Overlay.DriverContext[0];
  LARGE_INTEGER interval = Relative((LONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[1]);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  InterlockedExchange(&g_media_present, 0);
  Complete(irp, STATUS_SUCCESS, 0);
  IoFreeWorkItem(item);
  InterlockedDecrement(&g_ejects_in_progress);
}

static NTSTATUS Eject(PDEVICE_OBJECT device, PIRP irp) {
  // Counted when asked, emptied when done: during a delay a test sees the eject in progress.
  InterlockedIncrement(&g_ejects);
  const LONG delay_ms = ReadShared(&g_eject_delay_ms);
  PIO_WORKITEM item = delay_ms > 0 ? IoAllocateWorkItem(device) : NULL;
  if (item == NULL) {
    InterlockedExchange(&g_media_present, 0);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  InterlockedIncrement(&g_ejects_in_progress);
  irp->Tail.Overlay.DriverContext[0] = item;
  irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)delay_ms;
  IoMarkIrpPending(irp);
  IoQueueWorkItem(item, FinishEject, DelayedWorkQueue, irp);
  return STATUS_PENDING;
}

static NTSTATUS NTAPI DispatchSuccess(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchUnsupported(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void* const buffer = irp->AssociatedIrp.SystemBuffer;  // METHOD_BUFFERED: in and out

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_CDROM_CHECK_VERIFY:
      return Complete(irp, ReadShared(&g_media_present) ? STATUS_SUCCESS
                                                        : STATUS_NO_MEDIA_IN_DEVICE, 0);
    case IOCTL_STORAGE_EJECT_MEDIA:
    case IOCTL_DISK_EJECT_MEDIA:
      return Eject(device, irp);
    case IOCTL_SIMDRIVE_INSERT:
      InterlockedExchange(&g_media_present, 1);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_SIMDRIVE_REMOVE:
      InterlockedExchange(&g_media_present, 0);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_SIMDRIVE_STATUS: {
      if (out_size < sizeof(SimDriveStatus) || buffer == NULL) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      SimDriveStatus* const status = (SimDriveStatus*)buffer;
      status->media_present = ReadShared(&g_media_present) ? 1u : 0u;
      status->ejects = (uint32_t)ReadShared(&g_ejects);
      return Complete(irp, STATUS_SUCCESS, sizeof(SimDriveStatus));
    }
    case IOCTL_SIMDRIVE_DELAY: {
      if (in_size < sizeof(SimDriveDelay) || buffer == NULL) {
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      const uint32_t delay_ms = ((const SimDriveDelay*)buffer)->eject_delay_ms;
      if (delay_ms > MAX_EJECT_DELAY_MS) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      InterlockedExchange(&g_eject_delay_ms, (LONG)delay_ms);
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  // A delayed eject still runs code of this driver.
  while (ReadShared(&g_ejects_in_progress) > 0) {
    LARGE_INTEGER interval = Relative(10);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, SIMDRIVE_LINK_NAME);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject != NULL) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  (void)registry_path;
  UNICODE_STRING device_name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&device_name, SIMDRIVE_DEVICE_NAME);
  RtlInitUnicodeString(&link, SIMDRIVE_LINK_NAME);

  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_CD_ROM,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateSymbolicLink(&link, &device_name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }

  // Every request completes, also those a drive has no use for.
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    driver->MajorFunction[major] = DispatchUnsupported;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchSuccess;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchSuccess;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchSuccess;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = DriverUnload;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
