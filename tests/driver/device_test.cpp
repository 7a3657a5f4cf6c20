// The device object on the whole machine: initialise and uninitialise, property
// requests routed by set, id and buffer size to the property manager, the
// refused power state, and the one-time ten-second action of the 100-ms timer.
#include <map>
#include <set>
#include <string>

#include "driver/debug.h"
#include "port_env.h"
#include "settings/propman.h"
#include "settings/registry.h"

using namespace zm4::host;

namespace {

using DeviceTest = MachineTest;

constexpr GUID kOtherSet = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(DeviceTest, InitialiseBringsTheCameraUpPropertiesAreRoutedAndUninitialiseSaves)
{
    EXPECT_EQ(device()->PhysicalDeviceObject, machine().bus().physicalDeviceObject());
    EXPECT_EQ(stored("CameraPresent"), RegistryValue::dword(1));
    EXPECT_EQ(stored("CameraFault"), RegistryValue::dword(0));
    // The decoder's line image is one of the driver's own blocks.
    EXPECT_NE(machine().kernel().pool().leakReport().find("('Wdm ', 202752 bytes"), std::string::npos);
    // The settings were loaded: a missing one reads as its default.
    EXPECT_EQ(adapter().getProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS).value, 5000);
    EXPECT_EQ(adapter().configuration().StreamDescriptorSize,
              sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));
    // Camera control is up: a set on the stopped camera stores the value at
    // once, without waiting out a lock that was never made.
    const int64_t before = scheduler().now();
    ASSERT_EQ(adapter().setProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 7000, 0).status,
              STATUS_SUCCESS);
    EXPECT_LT(scheduler().now() - before, 10 * kMillisecond);
    EXPECT_EQ(Debug_GetRecord()->problemBits & DEBUG_PROBLEM_EXCLUDER_TIMEOUT, 0u);
    // Settings are saved when the camera stops, not on every set.
    EXPECT_NE(stored("Brightness"), RegistryValue::dword(7000));

    // Property requests are routed by set, id and buffer size; brightness is
    // the marker: a request that reaches a brightness handler changes or reads
    // it, one that does not leaves it alone. The power state is refused.
    const struct {
        bool get;
        const GUID &set;
        ULONG id;
        ULONG bufferSize;
        NTSTATUS status;
        ULONG bytes;
    } cases[] = {
        {true, PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 40, STATUS_SUCCESS, 40},
        {true, PROPSETID_VIDCAP_VIDEOPROCAMP, 2, 40, STATUS_NOT_IMPLEMENTED, 0}, // hue
        {true, PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_IDS, 40, STATUS_NOT_IMPLEMENTED, 0},
        {true, PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 36, STATUS_SUCCESS, 0},
        {false, PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 36, STATUS_SUCCESS, 0},
        {true, PROPSETID_LUMPROP, PROPMAN_LUM_SENSOR, 40, STATUS_SUCCESS, 40},
        {false, PROPSETID_LUMPROP, PROPMAN_LUM_SENSOR, 40, STATUS_NOT_IMPLEMENTED, 0},
        {true, PROPSETID_LUMPROP, 2, 40, STATUS_NOT_IMPLEMENTED, 0},
        {true, PROPSETID_LUMPROP, PROPMAN_LUM_PUSH_BUTTON_CURRENT_STATE, 40, STATUS_SUCCESS, 40},
        {false, PROPSETID_LUMPROP, PROPMAN_LUM_PUSH_BUTTON_CURRENT_STATE, 40, STATUS_NOT_IMPLEMENTED, 0},
        {true, PROPSETID_LUMPROP, PROPMAN_LUM_IDS, 40, STATUS_NOT_IMPLEMENTED, 0},
        {false, PROPSETID_LUMPROP, 0xFFFFFFFF, 40, STATUS_NOT_IMPLEMENTED, 0},
        {true, kOtherSet, PROPMAN_VPA_BRIGHTNESS, 40, STATUS_SUCCESS, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.get ? "get" : "set") << " id " << c.id << " size " << c.bufferSize);
        const zm4::host::PropertyResult result =
            c.get ? adapter().getProperty(c.set, c.id, c.bufferSize)
                  : adapter().setProperty(c.set, c.id, 1234, PROPMAN_FLAG_MANUAL, c.bufferSize);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.bytes, c.bytes);
        if (c.get && c.id == PROPMAN_VPA_BRIGHTNESS && c.bytes == 40) {
            EXPECT_EQ(result.value, 7000);
        }
    }
    // No set above reached the brightness handler.
    EXPECT_EQ(adapter().getProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS).value, 7000);
    EXPECT_EQ(adapter().sendDeviceCommand(SRB_CHANGE_POWER_STATE)->status(), STATUS_NOT_IMPLEMENTED);

    // A timer that no longer runs is waited for one second, no longer.
    device()->timerRunning = 0;
    scheduler().runFor(200 * kMillisecond);
    const int64_t removal = scheduler().now();
    machine().removeDevice();
    EXPECT_GE(scheduler().now() - removal, 1000 * kMillisecond);
    EXPECT_LT(scheduler().now() - removal, 1100 * kMillisecond);
    EXPECT_EQ(stored("CameraPresent"), RegistryValue::dword(0));
    EXPECT_EQ(stored("Brightness"), RegistryValue::dword(7000));
}

TEST_F(DeviceTest, TheTenSecondActionDeletesTheEnumerationKeyOnceWhenAsked)
{
    for (const uint32_t enumFix : {0u, 1u}) {
        SCOPED_TRACE(testing::Message() << "PUEnumFix " << enumFix);
        if (enumFix == 1) { // a fresh device: the action runs once per device
            machine().removeDevice();
            machine_.reset();
            machine_ = std::make_unique<zm4::host::Machine>();
        }
        ASSERT_TRUE(registry().write(zm4::host::kDriverKeyPath, "PUEnumFix", RegistryValue::dword(enumFix)));
        ASSERT_TRUE(registry().createKey(kEnumKeyPath));
        ASSERT_TRUE(machine().runUntil([&] { return device()->tickCount == 99; }, 20 * kSecond));
        scheduler().runFor(50 * kMillisecond);
        EXPECT_TRUE(registry().keyExists(kEnumKeyPath));
        scheduler().runFor(100 * kMillisecond); // the 100th tick: 10,000 ms of driver time
        EXPECT_EQ(registry().keyExists(kEnumKeyPath), enumFix == 0);

        // Only once: a key that comes back stays.
        ASSERT_TRUE(registry().createKey(kEnumKeyPath));
        scheduler().runFor(20 * kSecond);
        EXPECT_TRUE(registry().keyExists(kEnumKeyPath));
        EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
    }
}

class DamagedRegistry : public MachineTest {
protected:
    MachineOptions machineOptions() const override
    {
        MachineOptions options;
        options.addDevice = false;
        return options;
    }
};

// Text where every number belongs: the device comes up on the defaults and
// writes them back, except what it found out itself (a camera that reports
// status is present); the values it only reads stay as they were.
TEST_F(DamagedRegistry, DeviceComesUpOnTheDefaultsAndWritesThemBack)
{
    auto name = [](ULONG i) {
        const PCWSTR n = Registry_Table[i].name;
        return std::string(n, n + std::char_traits<WCHAR>::length(n));
    };
    const std::set<ULONG> onlyRead = {
        REG_DEBUG_INFO,  REG_DEBUG_FUNC,   REG_BANDWIDTH,         REG_FLICKER_MAX,        REG_FLICKER_EXP,
        REG_PU_ENUM_FIX, REG_AUTO_FR_SAVE, REG_USE_REG_MATRIX,    REG_USE_OLD_BRIGHTNESS, REG_AP_COR,
        REG_GAM_COR,     REG_OFFSET,       REG_DEBUG_MASK_OUTPUT, REG_DEBUG_CRISIS_COUNT, REG_DEBUG_LIST};
    // Each value as its number, or "-" where it is not one.
    std::map<std::string, std::string> expected, found;
    for (ULONG i = 0; i < REG_TERMINATOR; ++i) {
        ASSERT_TRUE(registry().write(kDriverKeyPath, name(i), RegistryValue::string("x")));
        const bool learnt = i == REG_ZIRC_CAMERA || i == REG_CAMERA_PRESENT;
        expected[name(i)] =
            onlyRead.count(i) ? "-" : std::to_string(learnt ? 1 : Registry_Table[i].defaultValue);
    }
    ASSERT_EQ(machine().addDevice(), STATUS_SUCCESS);
    for (ULONG i = 0; i < REG_TERMINATOR; ++i)
        if (auto value = stored(name(i).c_str()))
            found[name(i)] = value->asDword() ? std::to_string(*value->asDword()) : "-";
    EXPECT_EQ(found, expected);

    // Good values are taken, and written back as found.
    machine().removeDevice();
    registry().write(kDriverKeyPath, "XferIRPs", RegistryValue::dword(3));
    registry().write(kDriverKeyPath, "XferPackets", RegistryValue::dword(5));
    ASSERT_EQ(machine().addDevice(), STATUS_SUCCESS);
    EXPECT_EQ(device()->xferRequestsPerStream * 10 + device()->xferPacketsPerRequest, 35u);
    EXPECT_EQ(stored("XferIRPs"), RegistryValue::dword(3));
}

} // namespace
