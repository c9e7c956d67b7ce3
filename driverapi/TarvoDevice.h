// A device object: its own handle to the driver's device object, bound to one listed
// device, so device requests reach that device and run in parallel with other handles.
#pragma once

#include "TarvoApiContext.h"

class TarvoDevice : public TarvoApiContext {
public:
    TarvoDevice() = default;
    ~TarvoDevice() override = default;

    // Opens its own handle with the connection's device object name and binds it to the
    // entry's key. A failure (of the bind or of OnOpen included) closes the handle again.
    [[nodiscard]] TarvoStatus Open(const wchar_t* name, const TarvoDeviceEntry& listEntry);

    const TarvoDeviceEntry& GetEntry() const { return entry; }
    const wchar_t* GetDriverName() const { return driverName; }

protected:
    // Runs once the handle is bound; subclasses push their device configuration here.
    virtual TarvoStatus OnOpen() { return TARVO_STATUS_SUCCESS; }

private:
    friend class TarvoDriver;  // the list update copies a re-listed device's new entry in
    using TarvoApiContext::Open;

    TarvoDeviceEntry entry = {};
    wchar_t driverName[TARVO_DRIVER_NAME_CHARS] = {};
};
