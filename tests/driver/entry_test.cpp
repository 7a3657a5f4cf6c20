// Driver entry through the port library: the registration record, dispatch of
// commands without a handler, completion freeing request and link block, the
// time-out handler, the 100-ms timer with driver time and its stop handshake.
#include "port_env.h"

using zm4::host::kMillisecond;
using zm4::host::kPortPoolTag;
using zm4::host::kSecond;

namespace {

using EntryTest = PortDriverTest;

TEST_F(EntryTest, RegistersWithSynchronisationOffAndItsOwnSizes)
{
    const HW_INITIALIZATION_DATA &r = port_->registration();
    EXPECT_EQ(r.HwInterrupt, nullptr);
    EXPECT_NE(r.HwCancelPacket, nullptr);
    EXPECT_NE(r.HwRequestTimeoutHandler, nullptr);
    EXPECT_EQ(r.DeviceExtensionSize, sizeof(DEVICE_EXTENSION));
    EXPECT_EQ(r.PerRequestExtensionSize, sizeof(PVOID));
    EXPECT_EQ(r.FilterInstanceExtensionSize, 0u);
    EXPECT_EQ(r.BusMasterDMA, FALSE);
    EXPECT_EQ(r.Dma24BitAddresses, FALSE);
    EXPECT_EQ(r.BufferAlignment, 3u);
    EXPECT_EQ(r.TurnOffSynchronization, TRUE);
    EXPECT_EQ(r.DmaBufferSize, 0u);
}

TEST_F(EntryTest, DeviceCommandsAreAnsweredAndEveryBlockIsFreed)
{
    const struct {
        ULONG command;
        NTSTATUS status;
    } cases[] = {
        {SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
        {SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_CLOSE_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
        {SRB_CHANGE_POWER_STATE, STATUS_NOT_IMPLEMENTED},
        {SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED},
        {SRB_SURPRISE_REMOVAL, STATUS_NOT_IMPLEMENTED},
        {0x1FF, STATUS_NOT_IMPLEMENTED},
    };
    for (const auto &c : cases) {
        zm4::host::RequestPtr request = adapter_->sendDeviceCommand(static_cast<SRB_COMMAND>(c.command));
        EXPECT_EQ(request->status(), c.status) << std::hex << c.command;
        EXPECT_EQ(request->bytes(), 0u);
        // Request block and link block gone; the device extension stays.
        EXPECT_EQ(pool().liveBlocks(kWdmTag), 0u);
        EXPECT_EQ(pool().liveBlocks(kPortPoolTag), 1u);
    }
}

TEST_F(EntryTest, ARequestWhoseLinkBlockCannotBeAllocatedIsRefused)
{
    pool().failNth(2); // the port's request block is the first allocation, the link block the second
    zm4::host::RequestPtr request = adapter_->sendDeviceCommand(SRB_PAGING_OUT_DRIVER);
    EXPECT_EQ(request->status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pool().liveBlocks(kPortPoolTag), 1u);
}

TEST_F(EntryTest, ATimedOutRequestStartsANewPeriod)
{
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.TimeoutOriginal = 15;
    srb.TimeoutCounter = 0;
    port_->registration().HwRequestTimeoutHandler(&srb);
    EXPECT_EQ(srb.TimeoutCounter, 15u);
}

TEST_F(EntryTest, TimerTicksEvery100msUntilAskedToStop)
{
    // What device initialise does to start the timer.
    device()->timerRunning = 1;
    StreamClassScheduleTimer(nullptr, device(), 1000, Entry_TimerCallback, device());
    scheduler().runFor(3650 * kMillisecond); // ticks at 1, 101, ..., 3601 ms
    EXPECT_EQ(device()->tickCount, 37u);
    EXPECT_EQ(Entry_GetDriverTime(device()), 3700u);

    // The stop handshake: the next tick acknowledges and does not reschedule.
    device()->timerRunning = 0;
    scheduler().runFor(100 * kMillisecond);
    EXPECT_EQ(device()->timerRunning, 1u);
    EXPECT_EQ(device()->tickCount, 38u);
    EXPECT_TRUE(scheduler().runUntilIdle(10 * kSecond));
    EXPECT_EQ(Entry_GetDriverTime(device()), 3800u);
}

} // namespace
