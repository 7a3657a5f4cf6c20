// The device object through the port library: property requests routed by set,
// id and buffer size to the property manager, the refused power state, and the
// one-time ten-second action driven by the 100-ms timer in simulated time.
#include "port_env.h"
#include "settings/propman.h"

using zm4::host::kEnumKeyPath;
using zm4::host::kMillisecond;
using zm4::host::kSecond;
using zm4::host::RegistryValue;

namespace {

using DeviceTest = PortDriverTest;

constexpr GUID kOtherSet = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(DeviceTest, PropertyRequestsAreRoutedBySetIdAndBufferSize)
{
    // Brightness is the marker: a request that reaches a brightness handler
    // changes or reads it, one that does not leaves it alone.
    ASSERT_EQ(adapter_->setProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS, 7000, 0).status,
              STATUS_SUCCESS);
    // Settings are saved when the camera stops, not on every set.
    EXPECT_EQ(stored("Brightness"), std::nullopt);
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
            c.get ? adapter_->getProperty(c.set, c.id, c.bufferSize)
                  : adapter_->setProperty(c.set, c.id, 1234, PROPMAN_FLAG_MANUAL, c.bufferSize);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.bytes, c.bytes);
        if (c.get && c.id == PROPMAN_VPA_BRIGHTNESS && c.bytes == 40) {
            EXPECT_EQ(result.value, 7000);
        }
    }
    // No set above reached the brightness handler.
    EXPECT_EQ(adapter_->getProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, PROPMAN_VPA_BRIGHTNESS).value, 7000);
    EXPECT_EQ(adapter_->sendDeviceCommand(SRB_CHANGE_POWER_STATE)->status(), STATUS_NOT_IMPLEMENTED);
}

TEST_F(DeviceTest, TheTenSecondActionDeletesTheEnumerationKeyOnceWhenAsked)
{
    for (const uint32_t enumFix : {0u, 1u}) {
        SCOPED_TRACE(testing::Message() << "PUEnumFix " << enumFix);
        ASSERT_TRUE(registry().write(zm4::host::kDriverKeyPath, "PUEnumFix", RegistryValue::dword(enumFix)));
        ASSERT_TRUE(registry().createKey(kEnumKeyPath));
        device()->tickCount = 0;
        device()->timerRunning = 1;
        StreamClassScheduleTimer(nullptr, device(), 1000, Entry_TimerCallback, device());

        // Ticks at 1, 101, ... ms: the 99th brings the driver time to 9,900.
        scheduler().runFor(9850 * kMillisecond);
        EXPECT_TRUE(registry().keyExists(kEnumKeyPath));
        scheduler().runFor(100 * kMillisecond); // the 100th tick: 10,000
        EXPECT_EQ(registry().keyExists(kEnumKeyPath), enumFix == 0);

        // Only once: a key that comes back stays.
        ASSERT_TRUE(registry().createKey(kEnumKeyPath));
        scheduler().runFor(20 * kSecond);
        EXPECT_TRUE(registry().keyExists(kEnumKeyPath));

        device()->timerRunning = 0;
        EXPECT_TRUE(scheduler().runUntilIdle(10 * kSecond));
        EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u);
    }
}

} // namespace
