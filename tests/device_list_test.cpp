// The device list of a connection against the simulated driver's plugged devices: which
// objects are kept, created and destroyed, and what one update costs.
#include <gtest/gtest.h>

#include <cwchar>

#include "SimControl.h"
#include "TarvoDriver.h"

namespace {

class DeviceListTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.OpenAsViewer(TARVO_DEVICE_OBJECT_NAME));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(driver, connectionId));
    }
    void TearDown() override { sim.Reset(); }

    TarvoDeviceKey Plug(const wchar_t* serial, uint16_t vid = 0, uint16_t pid = 0)
    {
        SimPlugRecord record = SimControl::PlugRecord(serial);
        record.vendorId = vid;
        record.productId = pid;
        TarvoDeviceKey key = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(record, &key));
        return key;
    }

    SimControl sim;
    TarvoDriver driver;
    uint32_t connectionId = 0;
};

TEST_F(DeviceListTest, NewDevicesAreOpenedAndBoundInListOrder)
{
    const TarvoDeviceKey a = Plug(L"A1");
    const TarvoDeviceKey b = Plug(L"B2");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    ASSERT_EQ(2u, driver.GetDeviceCount());
    EXPECT_EQ(a.key0, driver.GetDevice(0)->GetEntry().key0);
    EXPECT_EQ(b.key1, driver.GetDevice(1)->GetEntry().key1);
    EXPECT_STREQ(L"B2", driver.GetDevice(1)->GetEntry().serialNumber);
    EXPECT_EQ(driver.GetDevice(1), driver.FindDevice(b.key0, b.key1));
    EXPECT_EQ(nullptr, driver.FindDevice(b.key0, a.key1));
    EXPECT_EQ(nullptr, driver.GetDevice(2));
    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(1u, state.devices[0].boundConnections);
    EXPECT_EQ(1u, state.devices[1].boundConnections);
}

TEST_F(DeviceListTest, UnchangedListKeepsObjectsAndCostsOneRequest)
{
    Plug(L"A1");
    Plug(L"B2");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* first = driver.GetDevice(0);
    TarvoDevice* second = driver.GetDevice(1);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.ClearCounts());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(first, driver.GetDevice(0));
    EXPECT_EQ(second, driver.GetDevice(1));
    EXPECT_EQ(1u, sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_GET_DEVICE_LIST));
    EXPECT_EQ(0u, sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_OPEN_DEVICE));
    EXPECT_EQ(0u, sim.CountOf(SIM_TOTAL_CONNECTION_ID, TARVO_IOCTL_GET_DRIVER_INFO));  // no handle reopened
    uint8_t state = 7;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, first->GetVolumeBypass(state));  // still bound
}

TEST_F(DeviceListTest, RekeyedDeviceKeepsItsObjectWithNewKeyAndFlags)
{
    const TarvoDeviceKey old = Plug(L"R1");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* device = driver.GetDevice(0);
    const uint32_t newFlags = TARVO_DEVICE_FLAG_HIGH_SPEED | TARVO_DEVICE_FLAG_PLUGIN;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Rekey(L"R1", newFlags));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    ASSERT_EQ(1u, driver.GetDeviceCount());
    EXPECT_EQ(device, driver.GetDevice(0));
    const TarvoDeviceEntry& entry = device->GetEntry();
    EXPECT_NE(old.key0, entry.key0);
    EXPECT_EQ(newFlags | TARVO_DEVICE_FLAG_STREAMING, entry.flags);  // bit 16: all devices stream
    EXPECT_EQ(device, driver.FindDevice(entry.key0, entry.key1));
    EXPECT_EQ(nullptr, driver.FindDevice(old.key0, old.key1));
}

// Unplugged and plugged again, the device has the same identity and a new key: the old
// object is kept, but its handle was bound to the device that went away.
TEST_F(DeviceListTest, ReplugKeepsTheObjectWhoseBindingIsGone)
{
    Plug(L"P1");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* device = driver.GetDevice(0);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"P1"));
    const TarvoDeviceKey again = Plug(L"P1");
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(device, driver.GetDevice(0));
    EXPECT_EQ(again.key0, device->GetEntry().key0);
    uint8_t state = 0;
    EXPECT_EQ(TARVO_STATUS_DEVICE_REMOVED, device->GetVolumeBypass(state));
}

TEST_F(DeviceListTest, DuplicateIdentitiesTakeOldObjectsInOrder)
{
    Plug(L"SAME", 0x1111, 0x2222);
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* first = driver.GetDevice(0);
    Plug(L"SAME", 0x1111, 0x2222);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);  // the second listing got a new object
    ASSERT_EQ(2u, driver.GetDeviceCount());
    EXPECT_EQ(first, driver.GetDevice(0));
    TarvoDevice* second = driver.GetDevice(1);
    EXPECT_NE(first, second);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(first, driver.GetDevice(0));
    EXPECT_EQ(second, driver.GetDevice(1));
}

TEST_F(DeviceListTest, RemovedDeviceIsDestroyed)
{
    Plug(L"A1");
    Plug(L"B2");
    Plug(L"C3");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* third = driver.GetDevice(2);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"B2"));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    ASSERT_EQ(2u, driver.GetDeviceCount());
    EXPECT_EQ(third, driver.GetDevice(1));
    EXPECT_STREQ(L"C3", driver.GetDevice(1)->GetEntry().serialNumber);
    EXPECT_EQ(nullptr, driver.GetDevice(2));
    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    ASSERT_EQ(2u, state.deviceCount);  // the destroyed object's handle is closed
    EXPECT_EQ(1u, state.devices[0].boundConnections);
    EXPECT_EQ(1u, state.devices[1].boundConnections);
}

TEST_F(DeviceListTest, CountZero)
{
    bool changed = true;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);  // nothing before, nothing now
    EXPECT_EQ(0u, driver.GetDeviceCount());
    Plug(L"A1");
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    ASSERT_EQ(1u, driver.GetDeviceCount());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.UnplugAll());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(0u, driver.GetDeviceCount());
    EXPECT_EQ(nullptr, driver.GetDevice(0));
}

TEST_F(DeviceListTest, DeviceWhoseBindFailsIsLeftOutWithoutChanged)
{
    Plug(L"A1");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    TarvoDevice* kept = driver.GetDevice(0);
    Plug(L"B2");
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_OPEN_DEVICE, TARVO_STATUS_NO_DEVICE, SIM_FAULT_ONCE));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_FALSE(changed);
    ASSERT_EQ(1u, driver.GetDeviceCount());
    EXPECT_EQ(kept, driver.GetDevice(0));
    SimStateRecord state;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(0u, state.devices[1].boundConnections);  // the failed object's handle was closed
    // The next update tries again.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    ASSERT_EQ(2u, driver.GetDeviceCount());
    EXPECT_STREQ(L"B2", driver.GetDevice(1)->GetEntry().serialNumber);
}

TEST_F(DeviceListTest, FailedListRequestEmptiesTheList)
{
    Plug(L"A1");
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.SetFault(TARVO_IOCTL_GET_DEVICE_LIST, TARVO_STATUS_INTERNAL_ERROR, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_INTERNAL_ERROR, driver.UpdateDeviceList(changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(0u, driver.GetDeviceCount());
}

// Binding: unbound handles, unknown keys and unplugged devices fail clearly.
TEST_F(DeviceListTest, DeviceRequestsNeedALiveBinding)
{
    const TarvoDeviceKey key = Plug(L"A1");
    uint8_t state = 0;
    EXPECT_EQ(TARVO_STATUS_NO_DEVICE, driver.GetVolumeBypass(state));  // connection handle, unbound
    TarvoDevice device;
    TarvoDeviceEntry entry = {};
    entry.key0 = key.key0 + 1000;
    entry.key1 = key.key1;
    EXPECT_EQ(TARVO_STATUS_NO_DEVICE, device.Open(TARVO_DEVICE_OBJECT_NAME, entry));
    EXPECT_FALSE(device.IsOpen());
    entry.key0 = key.key0;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, device.Open(TARVO_DEVICE_OBJECT_NAME, entry));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, device.GetVolumeBypass(state));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"A1"));
    EXPECT_EQ(TARVO_STATUS_DEVICE_REMOVED, device.GetVolumeBypass(state));
    EXPECT_EQ(TARVO_STATUS_OBJECT_NOT_FOUND, sim.Unplug(L"A1"));
}

TEST_F(DeviceListTest, AtMostEightDevices)
{
    wchar_t serial[8];
    for (uint32_t i = 0; i < TARVO_MAX_DEVICES; ++i) {
        swprintf(serial, 8, L"N%u", i);
        Plug(serial);
    }
    SimPlugRecord ninth = SimControl::PlugRecord(L"N8");
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, sim.Plug(ninth));
    bool changed = false;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.UpdateDeviceList(changed));
    EXPECT_EQ(TARVO_MAX_DEVICES, driver.GetDeviceCount());
    EXPECT_STREQ(L"N7", driver.GetDevice(7)->GetEntry().serialNumber);
}

TEST_F(DeviceListTest, DefaultsOfAPlainPlug)
{
    TarvoDeviceKey key = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(), &key));
    TarvoDeviceList list;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetDeviceList(list));
    ASSERT_EQ(1u, list.count);
    const TarvoDeviceEntry& entry = list.entries[0];
    EXPECT_EQ(key.key0, entry.key0);
    EXPECT_NE(0, entry.vendorId);
    EXPECT_NE(0, entry.productId);
    EXPECT_NE(0, entry.serialNumber[0]);
    EXPECT_NE(0, entry.deviceName[0]);
    EXPECT_EQ(TARVO_DEVICE_FLAG_HIGH_SPEED | TARVO_DEVICE_FLAG_STREAMING, entry.flags);
    // A second plain plug gets another serial number and key.
    TarvoDeviceKey other = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(), &other));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, driver.GetDeviceList(list));
    EXPECT_NE(key.key0, other.key0);
    EXPECT_STRNE(list.entries[0].serialNumber, list.entries[1].serialNumber);
}

}  // namespace
