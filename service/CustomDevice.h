// The service's device object. When the server opens it, it configures its device: the
// loopback of the first software output pair into the virtual input pair, the WDM
// channel and sound device tables, two device settings, and a periodic timer. It keeps
// the device's sound device configuration in the registry (one key per serial number)
// and keeps the volumes of the device's WDM render devices and the mixer in step.
#pragma once

#include "TarvoDeviceCtrl.h"
#include "WnCallbacks.h"
#include "WnRegistryKey.h"
#include "WnThread.h"

constexpr int32_t VKN_DEVICE_TIMER_PERIOD_MS = 3000;

class CustomDevice : public TarvoDeviceCtrl {
public:
    // registryRoot: the service's key under HKEY_LOCAL_MACHINE; its "Devices" subkey holds
    // one key per serial number. timerPeriodMs is the period of the device's timer.
    explicit CustomDevice(const wchar_t* registryRoot, int32_t timerPeriodMs = VKN_DEVICE_TIMER_PERIOD_MS);
    ~CustomDevice() override;

    [[nodiscard]] TarvoStatus LoadConfiguration();
    [[nodiscard]] TarvoStatus SaveConfiguration();
    [[nodiscard]] TarvoStatus SetupLoopback();
    [[nodiscard]] TarvoStatus SendChannelTable();
    // Rebuilds the kept sound device table for the stored configuration and sends it.
    [[nodiscard]] TarvoStatus SendSoundDeviceTable();
    [[nodiscard]] TarvoStatus ApplyDeviceSettings();
    // record: key0, key1, render, capture. Only configuration 0 is built: any other value
    // is TARVO_STATUS_INVALID_PARAMETER and changes nothing.
    [[nodiscard]] TarvoStatus SetSoundDeviceConfiguration(const uint32_t (&record)[4]);
    void OnTimer(uint32_t lowDateTime, uint32_t highDateTime);

    TarvoStatus BeforeTransition(uint32_t from, uint32_t to, uint32_t sampleRate) override;
    void SaveVolumes() override;
    void OnRenderVolumeChanged(uint32_t index) override;

    uint32_t GetRenderConfiguration() const { return renderConfiguration; }
    uint32_t GetCaptureConfiguration() const { return captureConfiguration; }
    const TarvoWdmPins& GetSoundDeviceTable() const { return soundDeviceTable; }

protected:
    TarvoStatus OnOpen() override;

private:
    // Creates (when missing) and opens the device's key, level by level.
    uint32_t OpenRegistryKey(WnRegistryKey& deviceKey) const;

    uint32_t renderConfiguration = 0;
    uint32_t captureConfiguration = 0;
    TarvoWdmPins soundDeviceTable;
    WnWaitableTimer timer;
    WnWaitableTimerCallbackForwarderT<CustomDevice> timerForwarder;
    const wchar_t* registryRoot;
    int32_t timerPeriodMs;
};
