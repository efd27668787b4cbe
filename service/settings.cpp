#include "service/settings.h"

#include "common/object_names.h"
#include "common/setting_values.h"
#include "common/unique_resource.h"
#include "service/event_log.h"
#include "service/event_messages.h"

namespace halvaro {

namespace {

// The service control manager creates the key with the service; the service never does.
LONG OpenServiceKey(UniqueRegKey* key) {
  const LONG result = RegOpenKeyW(HKEY_LOCAL_MACHINE, kServiceKeyPath, key->put());
  if (result != ERROR_SUCCESS) key->release();  // what a failed open leaves is not a key
  return result;
}

// A value that is there but not a number leaves the default in place, and says so.
void QuerySetting(HKEY key, const wchar_t* name, uint32_t* field) {
  const StoredDword stored = QueryStoredDword(key, name);
  if (stored.taken) {
    *field = stored.value;
  } else if (stored.size != 0) {
    LogEvent(MSG_SETTING_NOT_A_NUMBER, {name, EventNumber::Decimal(stored.size).c_str(),
                                        EventNumber::Decimal(*field).c_str()});
  }
}

// Takes the value that the service uses for `*field`, and reports one that differs.
void UseEffective(const wchar_t* name, uint32_t* field, uint32_t effective) {
  if (effective != *field) {
    LogEvent(MSG_SETTING_OUT_OF_RANGE, {name, EventNumber::Decimal(*field).c_str(),
                                        EventNumber::Decimal(effective).c_str()});
  }
  *field = effective;
}

void SetDword(HKEY key, const wchar_t* name, uint32_t value) {
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

}  // namespace

void ReadSettings(Settings& settings) {
  UniqueRegKey key;
  if (OpenServiceKey(&key) != ERROR_SUCCESS) return;
  QuerySetting(key.get(), kMaxSubscribersValue, &settings.max_subscribers);
  // A stored 0 stays in the registry but counts as one subscriber.
  UseEffective(kMaxSubscribersValue, &settings.max_subscribers,
               EffectiveMaxSubscribers(settings.max_subscribers));
  QuerySetting(key.get(), kComPortValue, &settings.com_port);
  QuerySetting(key.get(), kBaudRateValue, &settings.baud_rate);
  QuerySetting(key.get(), kCmdTimeFrameValue, &settings.cmd_time_frame);
  UseEffective(kCmdTimeFrameValue, &settings.cmd_time_frame,
               EffectiveCmdTimeFrame(settings.cmd_time_frame));
  RegDeleteValueW(key.get(), kAvModeValue);
  settings.av_mode = 0;
}

void ClearListenerStatus() {
  UniqueRegKey key;
  if (OpenServiceKey(&key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key.get(), kServiceModeValue);
}

void WriteListenerStatus(uint32_t listener_running, uint32_t board_present) {
  UniqueRegKey key;
  if (OpenServiceKey(&key) != ERROR_SUCCESS) return;
  SetDword(key.get(), kServiceModeValue, listener_running);
  SetDword(key.get(), kBoardStatusValue, board_present);
}

LONG WriteAvMode(uint32_t av_mode) {
  UniqueRegKey key;
  const LONG opened = OpenServiceKey(&key);
  if (opened != ERROR_SUCCESS) return opened;
  SetDword(key.get(), kAvModeValue, av_mode);
  return RegCloseKey(key.release());  // the caller learns the close result
}

}  // namespace halvaro
