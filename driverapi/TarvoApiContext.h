// The context that owns one open handle to the driver's device object, with the single
// request primitive and a one-line wrapper for every control request.
#pragma once

#include <windows.h>
#include <cstdint>

#include "TarvoIoctl.h"
#include "TarvoStatus.h"
#include "WnHandle.h"

constexpr uint32_t TARVO_DRIVER_NAME_CHARS = 100;  // 99 characters and the terminator
constexpr uint32_t TARVO_DEVICE_PATH_CHARS = 300;

// Owns one open handle to the device object. Every control request goes through
// DeviceControl, which holds the context's lock for the whole request: requests on one
// context are strictly serial, different contexts run in parallel.
//
//   TarvoApiContext context;
//   if (context.Open(TARVO_DEVICE_OBJECT_NAME) == TARVO_STATUS_SUCCESS) {
//       TarvoDriverInfo info;
//       context.GetDriverInfo(info);
//   }
class TarvoApiContext {
public:
    TarvoApiContext();
    virtual ~TarvoApiContext();

    TarvoApiContext(const TarvoApiContext&) = delete;
    TarvoApiContext& operator=(const TarvoApiContext&) = delete;

    // Opens "\\.\<name>" and checks the interface version. TARVO_STATUS_REJECTED when
    // already open; the Win32 error of CreateFileW; TARVO_STATUS_VERSION_MISMATCH when
    // the driver's interface major version is not 2. A failure leaves the context closed.
    [[nodiscard]] TarvoStatus Open(const wchar_t* name);
    void Close();
    bool IsOpen() const { return handle != nullptr; }

    // The request primitive. Waits as long as the driver takes (no time-out). The byte
    // count is stored in *bytesReturned when given, also on failure.
    [[nodiscard]] TarvoStatus DeviceControl(uint32_t code, const void* inBuffer, uint32_t inSize,
                                            void* outBuffer, uint32_t outSize,
                                            uint32_t* bytesReturned = nullptr);

    // out is written only on success.
    [[nodiscard]] TarvoStatus GetDriverInfo(TarvoDriverInfo& out);

    // Common streaming state, read on a connection handle. Callers zero the record
    // first; a failed request leaves it as it was.
    [[nodiscard]] TarvoStatus GetInputChannels(TarvoChannelList& out);
    [[nodiscard]] TarvoStatus GetOutputChannels(TarvoChannelList& out);
    [[nodiscard]] TarvoStatus GetChannelInfo(uint32_t idWord0, uint32_t idWord1, TarvoChannelInfo& out);
    [[nodiscard]] TarvoStatus GetSampleRates(TarvoSampleRates& out);
    [[nodiscard]] TarvoStatus GetBufferSizes(TarvoBufferSizes& out);
    [[nodiscard]] TarvoStatus GetStreamingStatus(TarvoStreamingStatus& out);
    [[nodiscard]] TarvoStatus GetErrorCounters(TarvoErrorCounters& out);
    [[nodiscard]] TarvoStatus GetPolicy(TarvoPolicy& out);

    // Common streaming state, changed by the service only.
    [[nodiscard]] TarvoStatus StreamingCommand(uint32_t command, uint32_t argument);
    [[nodiscard]] TarvoStatus SelectSampleRate(uint32_t rate);
    [[nodiscard]] TarvoStatus SetSampleRate(uint32_t rate);
    [[nodiscard]] TarvoStatus SetBufferSizes(const TarvoBufferSizeSettings& settings);
    [[nodiscard]] TarvoStatus SetPolicy(const TarvoPolicy& policy);
    [[nodiscard]] TarvoStatus SetStreamingDevice(const TarvoStreamingDeviceRecord& record);

    // Device controls, on a device's own handle. Out-parameters are written only on
    // success, except GetMixerPins, which always stores bytes returned / 4.
    [[nodiscard]] TarvoStatus GetSpdifStatus(uint32_t inputNumber, TarvoSpdifStatus& record);
    [[nodiscard]] TarvoStatus SetSpdifPassThrough(uint32_t selector1, uint32_t selector2, bool on);
    [[nodiscard]] TarvoStatus GetSpdifPassThrough(uint32_t selector1, uint32_t selector2, bool& on);
    [[nodiscard]] TarvoStatus SetVolumeBypass(uint8_t on);
    [[nodiscard]] TarvoStatus GetVolumeBypass(uint8_t& state);
    [[nodiscard]] TarvoStatus SetMuteBypass(uint8_t on);
    [[nodiscard]] TarvoStatus GetMuteBypass(uint8_t& state);
    [[nodiscard]] TarvoStatus GetMixerPins(uint32_t selector, TarvoPin* pins, uint32_t capacity, uint32_t& count);
    // The entry arrays work in place: the caller fills the pins (and the values to set),
    // the driver writes the values back into the same n entries.
    [[nodiscard]] TarvoStatus GetInputLevels(TarvoLevelEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus GetOutputLevels(TarvoLevelEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus GetVolumes(TarvoVolumeEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus SetVolumes(TarvoVolumeEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus GetWeights(TarvoWeightEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus SetWeights(TarvoWeightEntry* entries, uint32_t n);
    [[nodiscard]] TarvoStatus GetStoredVolumes(uint32_t table, uint32_t index, TarvoStoredVolumes& out);
    [[nodiscard]] TarvoStatus SetStoredVolumes(const TarvoStoredVolumes& record);
    [[nodiscard]] TarvoStatus GetPluginParameters(TarvoPluginParameters& block, uint32_t size);
    [[nodiscard]] TarvoStatus SetPluginParameters(const TarvoPluginParameters& block, uint32_t size);

    // Device configuration, on a device's own handle (the service only).
    [[nodiscard]] TarvoStatus GetChannelGroups(TarvoChannelGroups& out);
    [[nodiscard]] TarvoStatus SetRouting(const TarvoRoutingRecord& record);
    [[nodiscard]] TarvoStatus SetWdmChannels(const TarvoWdmChannels& record);
    [[nodiscard]] TarvoStatus SetWdmPins(const TarvoWdmPins& record);
    [[nodiscard]] TarvoStatus SendC22(uint32_t group, uint32_t value);
    [[nodiscard]] TarvoStatus SendC20(uint32_t group, uint32_t value);

protected:
    CRITICAL_SECTION lock;  // recursive: Open calls Close and DeviceControl while holding it
    HANDLE volatile handle = nullptr;
    WnEvent ioEvent;
};
