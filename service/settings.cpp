#include "service/settings.h"

#include "service/service_state.h"

namespace halvaro {

const wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\Orva WMI Service";

namespace {

// The service control manager creates the key with the service; the service never does.
UniqueRegKey OpenServiceKey() {
  UniqueRegKey key;
  if (RegOpenKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath, key.put()) != ERROR_SUCCESS) {
    key.release();
  }
  return key;
}

void QuerySetting(HKEY key, const wchar_t* name, uint32_t* field) {
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  const LONG result = RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
  DecodeSettingDword(result, data, size, field);
}

void SetDword(HKEY key, const wchar_t* name, uint32_t value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

}  // namespace

bool DecodeSettingDword(LONG query_result, const BYTE* data, DWORD size, uint32_t* value) {
  // ERROR_MORE_DATA (longer data) and short values are both treated as absent.
  if (query_result != ERROR_SUCCESS || size != 4) return false;
  *value = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
           (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
  return true;
}

void ReadSettings() {
  UniqueRegKey key = OpenServiceKey();
  if (!key) return;
  ServiceState& s = Service();
  QuerySetting(key.get(), L"EMAMaxRegister", &s.max_subscribers);
  if (s.max_subscribers == 0) s.max_subscribers = 1;  // the registry keeps its 0
  QuerySetting(key.get(), L"ComPort", &s.com_port);
  QuerySetting(key.get(), L"BuadRate", &s.baud_rate);
  QuerySetting(key.get(), L"ComCmdTimeFrame", &s.cmd_time_frame);
  RegDeleteValueW(key.get(), L"CurrentAVMode");
  s.av_mode = 0;
}

void ClearListenerStatus() {
  UniqueRegKey key = OpenServiceKey();
  if (!key) return;
  RegDeleteValueW(key.get(), L"CurrentServiceMode");
}

void WriteListenerStatus() {
  UniqueRegKey key = OpenServiceKey();
  if (!key) return;
  ServiceState& s = Service();
  SetDword(key.get(), L"CurrentServiceMode", s.listener_running.load());
  SetDword(key.get(), L"AVBoardStatus", s.av_board_present.load());
}

LONG WriteAvMode() {
  UniqueRegKey key;
  const LONG opened = RegOpenKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath, key.put());
  if (opened != ERROR_SUCCESS) {
    key.release();
    return opened;
  }
  SetDword(key.get(), L"CurrentAVMode", Service().av_mode.load());
  return RegCloseKey(key.release());  // the caller learns the close result
}

}  // namespace halvaro
