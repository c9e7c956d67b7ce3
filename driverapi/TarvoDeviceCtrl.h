// The server's device object: a device with its own bound handle that also takes part in
// the server's streaming steps (it may veto stepping up and hears about every step) and
// in the volume notifications addressed to it. Every hook does nothing here; the service
// derives its own device class.
#pragma once

#include "TarvoDevice.h"

class TarvoDeviceCtrl : public TarvoDevice {
public:
    TarvoDeviceCtrl() = default;
    ~TarvoDeviceCtrl() override = default;

    // The name of the device's registry key: the serial number of its list entry. It is
    // up to TARVO_SERIAL_CHARS characters and terminated only when shorter, so copy it
    // with a bound (CopyText with TARVO_SERIAL_CHARS + 1).
    virtual const wchar_t* GetRegistryKeyName() const { return GetEntry().serialNumber; }

    // Called before the server sends the streaming command that moves from one state to
    // the other; a non-zero status stops a step up (stepping down ignores it).
    virtual TarvoStatus BeforeTransition(uint32_t from, uint32_t to, uint32_t sampleRate);
    virtual void AfterTransition(uint32_t from, uint32_t to, uint32_t sampleRate);
    virtual void TransitionFailed(uint32_t from, uint32_t to, TarvoStatus status);
    // The mixer's volumes of the device changed.
    virtual void SaveVolumes();
    // A WDM sound device of the device (entry index in its table) changed its volume.
    virtual void OnCaptureVolumeChanged(uint32_t index);
    virtual void OnRenderVolumeChanged(uint32_t index);
    // The value of a device request of a client; the first failure of any device object
    // becomes the request's status.
    virtual TarvoStatus OnDeviceRequest(uint8_t value);
    // Before the server steps the stream up; a failure stops it.
    virtual TarvoStatus PrepareStart();
};
