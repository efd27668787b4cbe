// The names by which the service, the agent, client programs and the simulated machine find
// each other: the service and its registry key, pipes, events, mutexes, windows, devices,
// the firmware's WMI event, and the programs the service starts and ends. Each is spelled
// here once.
//
// Formats are for FormatBounded (common/bounded_format.h) into buffers of the size given
// beside them, in wide characters.
//
// Threading: constants only.
#pragma once

#include <cstddef>

namespace halvaro {

// The service and its registry key under HKEY_LOCAL_MACHINE.
constexpr wchar_t kServiceName[] = L"Orva WMI Service";
constexpr wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\Orva WMI Service";
// The service's event source in the Application log, and its registration (the installer
// package writes the same key and values).
constexpr wchar_t kEventSourceName[] = L"Orva WMI Service";
constexpr wchar_t kEventSourceKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orva WMI Service";
constexpr wchar_t kEventMessageFileValue[] = L"EventMessageFile";
constexpr wchar_t kTypesSupportedValue[] = L"TypesSupported";

// Values under the service key: settings read at start, status written by the service.
constexpr wchar_t kMaxSubscribersValue[] = L"EMAMaxRegister";
constexpr wchar_t kComPortValue[] = L"ComPort";
constexpr wchar_t kBaudRateValue[] = L"BuadRate";
constexpr wchar_t kCmdTimeFrameValue[] = L"ComCmdTimeFrame";
constexpr wchar_t kAvModeValue[] = L"CurrentAVMode";
constexpr wchar_t kServiceModeValue[] = L"CurrentServiceMode";
constexpr wchar_t kBoardStatusValue[] = L"AVBoardStatus";

// Object and device names.
constexpr size_t kPipeNameSize = 80;
constexpr size_t kObjectNameSize = 32;

// What Everyone (but the network) may do with both pipes and their mutexes: generic file
// read, write and execute.
constexpr unsigned long kServicePipeAccessMask = 0x1201BF;

// The subscription pipe and the objects of its clients.
constexpr wchar_t kSubscriptionPipeNameFormat[] = L"\\\\.\\pipe\\OrvaEMA_srv_np_%d";
constexpr wchar_t kSubscriptionMutexName[] = L"Global\\OrvaEMASrv_Mux";
constexpr wchar_t kWakeEventNameFormat[] = L"Global\\ORVAWMIEMA_%x";
constexpr wchar_t kRemovalEventNameFormat[] = L"Global\\ORVAWMIEMA_RM_%x";

// The AV-command pipe.
constexpr wchar_t kAvCommandPipeNameFormat[] = L"\\\\.\\pipe\\OrvaVurur_srv_%d";
constexpr wchar_t kAvCommandMutexName[] = L"Global\\RIVADODUVUru_Mux";

// Between the service and the agent.
constexpr wchar_t kMixerNotifyEventName[] = L"Global\\MIXER_NOTIFY_EVENT";
constexpr wchar_t kMixerNotifyMutexName[] = L"Global\\MIXER_NOTIFY_MUTEX";

// Hidden windows: class, then title.
constexpr wchar_t kServiceWindowClass[] = L"COrvaOSDSrv";
constexpr wchar_t kServiceWindowTitle[] = L"OrvaOSDSrv";
constexpr wchar_t kAgentWindowClass[] = L"CQUENLIT";
constexpr wchar_t kAgentWindowTitle[] = L"Quenlit";
constexpr wchar_t kMixerWindowClass[] = L"CMIXERMASTERVOLUMECLASS";
constexpr wchar_t kMixerWindowTitle[] = L"MIXERMASTERVOLUME";
// Owned by a program outside this system; the service only posts it WM_QUIT at stop.
constexpr wchar_t kForeignMixerWindowClass[] = L"CMIXERNOTIFYEVENT";
constexpr wchar_t kForeignMixerWindowTitle[] = L"MixerNotifyEvent";

// Devices.
constexpr wchar_t kSerialPortNameFormat[] = L"\\\\.\\COM%d";
constexpr wchar_t kOpticalDriveNameFormat[] = L"\\\\.\\CDROM%d";

// The firmware's hotkey event.
constexpr wchar_t kWmiNamespace[] = L"ROOT\\WMI";
constexpr wchar_t kWmiQueryLanguage[] = L"WQL";
constexpr wchar_t kHotkeyEventQuery[] = L"Select * from Acpi_OSD_event";
constexpr wchar_t kHotkeyCodeProperty[] = L"EC_RAM_Data_1";

// Programs, by image name.
constexpr wchar_t kAgentImage[] = L"Quenlit.exe";
constexpr wchar_t kMerrowinImage[] = L"Merrowin.exe";
constexpr wchar_t kCompanionImages[][16] = {L"Merrowin.exe", L"Tobrel.exe", L"Swanick.exe",
                                            L"VASKEN.exe"};
constexpr wchar_t kWinlogonImage[] = L"WINLOGON.EXE";

}  // namespace halvaro
