#include <gtest/gtest.h>

#include "service/hotkey_actions.h"
#include "service/service_state.h"
#include "service/service_volume.h"
#include "volume/audio_callbacks.h"
#include "volume/endpoint_conversion.h"

namespace halvaro {
namespace {

TEST(EndpointConversionTest, LevelsTruncateAndSetValuesCanReadBackOneLess) {
  EXPECT_EQ(RawVolumeFromLevel(0.0f), 0u);
  EXPECT_EQ(RawVolumeFromLevel(0.5f), 32767u);
  EXPECT_EQ(RawVolumeFromLevel(1.0f), 65535u);
  // Through the nearest float and back, truncated: these lose one.
  for (uint32_t raw : {1u, 32768u, 64879u}) {
    EXPECT_EQ(RawVolumeFromLevel(LevelFromRawVolume(raw)), raw - 1) << raw;
  }
  for (uint32_t raw : {0u, 32767u, 65535u}) {
    EXPECT_EQ(RawVolumeFromLevel(LevelFromRawVolume(raw)), raw) << raw;
  }
}

TEST(StartPercentageTest, RoundsDownWrapsAndSurvivesAZeroRange) {
  EXPECT_EQ(StartPercentage(0, 65535), 0u);
  EXPECT_EQ(StartPercentage(65535, 65535), 100u);
  EXPECT_EQ(StartPercentage(32767, 65535), 49u);
  EXPECT_EQ(StartPercentage(40, 100), 40u);
  EXPECT_EQ(StartPercentage(5, 0), 0u);
  // raw × 100 wraps in 32 bits: 0x80000000 × 100 is 0 modulo 2^32.
  EXPECT_EQ(StartPercentage(0x80000000u, 0xFFFFFFFFu), 0u);
}

TEST(PercentConversionTest, RoundTripsFromARangeOf100AndLosesBelowIt) {
  EXPECT_EQ(PercentFromRaw(32767, 65535), 50u);  // rounded up, unlike the start value
  EXPECT_EQ(RawFromPercent(51, 65535), 33422u);
  EXPECT_EQ(PercentFromRaw(33422, 65535), 51u);
  EXPECT_EQ(RawFromPercent(99, 65535), 64879u);
  EXPECT_EQ(RawFromPercent(1, 65535), 655u);
  for (uint32_t p = 0; p <= 100; ++p) {
    EXPECT_EQ(PercentFromRaw(RawFromPercent(p, 65535), 65535), p);
    EXPECT_EQ(PercentFromRaw(RawFromPercent(p, 100), 100), p);
  }
  EXPECT_EQ(RawFromPercent(5, 31), 1u);
  EXPECT_EQ(PercentFromRaw(1, 31), 4u);
  EXPECT_EQ(PercentFromRaw(7, 0), 0u);
}

TEST(VolumeKeyTest, BeforeTheMonitorExistsAKeyIsTakenAndChangesNothing) {
  // A subscribe at start can start the hotkey listener before the start makes the monitor.
  ServiceVolume& volume = Service().volume;
  ASSERT_EQ(volume.Monitor(), nullptr);
  volume.current_percent = 37;
  EXPECT_EQ(HandleHotkey(kVolumeUpCode), 1u);  // no client is woken
  EXPECT_EQ(HandleHotkey(kVolumeDownCode), 1u);
  EXPECT_EQ(volume.current_percent, 37u);  // before: read as 0 and sent as Hotkey volume 1
}

TEST(AudioCallbacksTest, InterfacesAnsweredAndOnNotifyWithoutCallback) {
  CAudioEventCallback volume;
  void* object = nullptr;
  EXPECT_EQ(volume.QueryInterface(IID_IUnknown, &object), S_OK);
  EXPECT_EQ(object, static_cast<IUnknown*>(&volume));
  volume.Release();
  EXPECT_EQ(volume.QueryInterface(__uuidof(IAudioEndpointVolumeCallback), &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(volume.OnNotify(nullptr), E_FAIL);
  // Owned by its monitor: the owner's reference keeps it from ever reaching 0.
  EXPECT_EQ(volume.AddRef(), 2u);
  EXPECT_EQ(volume.Release(), 1u);

  CAudioEndpointNotify notify;
  EXPECT_EQ(notify.QueryInterface(__uuidof(IMMNotificationClient), &object), S_OK);
  notify.Release();
  EXPECT_EQ(notify.QueryInterface(__uuidof(IAudioEndpointVolumeCallback), &object),
            E_NOINTERFACE);

  // Only the render flow's console role sets the device-changed event.
  UniqueHandle changed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  notify.SetEvent(changed.get());
  for (auto [flow, role] : {std::pair{eCapture, eConsole}, std::pair{eRender, eMultimedia},
                            std::pair{eRender, eCommunications}}) {
    EXPECT_EQ(notify.OnDefaultDeviceChanged(flow, role, L"x"), S_OK);
  }
  EXPECT_EQ(WaitForSingleObject(changed.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(notify.OnDefaultDeviceChanged(eRender, eConsole, nullptr), S_OK);
  EXPECT_EQ(WaitForSingleObject(changed.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
}  // namespace halvaro
